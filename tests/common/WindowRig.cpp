#include "tests/common/WindowRig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "engine/MonitorSession.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/MessageBox.h"

namespace testsupport {

WindowRig::WindowRig(Store store) : WindowRig(StationOptions{}, store) {}

WindowRig::WindowRig(const StationOptions& options) : WindowRig(options, Store::TemporaryFolder) {}

WindowRig::WindowRig(const StationOptions& options, Store store) : options_(options) {
    if (store == Store::None) {
        options_.dataDir.clear();
    } else if (options_.dataDir.isEmpty()) {
        dataFolder_ = std::make_unique<QTemporaryDir>();
        options_.dataDir = dataFolder_->path();
    }
    messagebox::SetHook([this](const QString& text, const QString& caption) {
        messages_.push_back({text, caption});
    });
    Open();
}

WindowRig::~WindowRig() {
    Close();
    messagebox::SetHook({});
}

void WindowRig::Open() {
    cyclesEnded_ = 0;
    accepted_ = 0;
    shown_ = 0;
    form_ = std::make_unique<TForm1>(options_);
    // Connected after the window's own handlers: a reading counts as shown once they have run.
    QObject::connect(&form_->Session(), &MonitorSession::ReadingAccepted, form_.get(),
                     [this] { ++accepted_; });
    QObject::connect(&form_->Monitoring(), &Station::ReadingRecorded, form_.get(),
                     [this] { ++shown_; });
    QObject::connect(&form_->Session(), &MonitorSession::CycleEnded, form_.get(),
                     [this] { ++cyclesEnded_; });
    form_->show();
}

void WindowRig::Close() { form_.reset(); }

void WindowRig::Reopen() {
    Close();
    Open();
}

bool WindowRig::OpenPort(const QString& port, std::chrono::milliseconds timeout) {
    Control<QComboBox>(*form_, "Com_combox")->setEditText(port);
    Control<QPushButton>(*form_, "Button1")->click();
    MonitorSession& session = form_->Session();
    WaitUntil([&] { return !session.PortOpening(); }, timeout);
    if (session.PortOpen()) return true;
    error_ = QStringLiteral("could not open %1").arg(port);
    return false;
}

bool WindowRig::OpenOnSimulatedBus(SimProcess& sim, const QStringList& arguments, BusLink link) {
    if (!(link == BusLink::Tcp ? sim.StartTcp(arguments) : sim.Start(arguments))) {
        error_ = QStringLiteral("batmon-sim: %1").arg(sim.ErrorText());
        return false;
    }
    return OpenPort(sim.PortPath());
}

void WindowRig::StartMonitoring(const QString& periodSeconds) {
    Control<QLineEdit>(*form_, "sample_time")->setText(periodSeconds);
    Control<QPushButton>(*form_, "RzBitBtn14")->click();
    Control<QPushButton>(*form_, "RzBitBtn7")->click();
}

bool WindowRig::WaitUntilShown(std::chrono::milliseconds timeout) {
    return WaitUntil([this] { return AllReadingsShown(); }, timeout);
}

bool WindowRig::WaitForCycles(int cycles, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return cyclesEnded_ >= cycles && AllReadingsShown(); }, timeout);
}

}  // namespace testsupport
