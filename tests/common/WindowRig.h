#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <vector>

#include "app/TForm1.h"
#include "station/Station.h"

class SimProcess;

namespace testsupport {

// The real window, driven through its controls the way the operator drives it, for tests and
// benchmarks. By default it runs as the program does, with a history store, here in a temporary
// data folder: a reading is shown once the store has committed it. Message boxes are recorded
// instead of shown. The rig counts the session's ended cycles and the readings accepted and
// shown, so that a driver waits for a condition, never for a fixed time.
class WindowRig {
public:
    enum class Store { TemporaryFolder, None };
    enum class BusLink { Pty, Tcp };
    struct ShownMessage {
        QString text;
        QString caption;
    };

    explicit WindowRig(Store store = Store::TemporaryFolder);
    // The window with `options`; a store in a temporary folder unless they name a data folder.
    explicit WindowRig(const StationOptions& options);
    ~WindowRig();
    WindowRig(const WindowRig&) = delete;
    WindowRig& operator=(const WindowRig&) = delete;

    TForm1& Form() const { return *form_; }
    // The options the window was made with; Reopen() takes them as they are then.
    StationOptions& Options() { return options_; }
    QString DataDir() const { return options_.dataDir; }

    // Closes the window; its store finishes writing. The data folder stays.
    void Close();
    // Closes the window and opens a new one on the same data folder, as a restart does.
    void Reopen();

    // Types `port` into the port box and presses "打开串口"; true once the port is open (a
    // tcp:// link connects in the background), false when opening failed or timed out.
    bool OpenPort(const QString& port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Starts `sim` with `arguments` (as a serial device server for BusLink::Tcp) and opens its
    // port. False, with ErrorText() saying why, when either fails.
    bool OpenOnSimulatedBus(SimProcess& sim, const QStringList& arguments = {},
                            BusLink link = BusLink::Pty);
    // Types the sampling period, presses "设置" and then "启动监测".
    void StartMonitoring(const QString& periodSeconds);

    int CyclesEnded() const { return cyclesEnded_; }
    // Every reading the session accepted has been shown (and, with a store, committed).
    bool AllReadingsShown() const { return shown_ == accepted_; }
    bool WaitUntilShown(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until `cycles` poll cycles in all have ended and their readings are shown.
    bool WaitForCycles(int cycles, std::chrono::milliseconds timeout);

    std::vector<ShownMessage>& Messages() { return messages_; }
    QString ErrorText() const { return error_; }

private:
    WindowRig(const StationOptions& options, Store store);
    void Open();

    std::unique_ptr<QTemporaryDir> dataFolder_;
    StationOptions options_;
    std::unique_ptr<TForm1> form_;
    std::vector<ShownMessage> messages_;
    QString error_;
    int cyclesEnded_ = 0;
    qint64 accepted_ = 0;
    qint64 shown_ = 0;
};

}  // namespace testsupport
