#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace config {

// Turns SIGTERM, SIGINT and SIGHUP into Qt signals on the thread that made this object: the
// handler only writes the signal's number into a socket pair, which a QSocketNotifier watches.
// One instance per process.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(QObject* parent = nullptr);
    ~SignalPipe() override;

    bool IsValid() const { return notifier_ != nullptr; }

signals:
    void TerminateRequested();
    void ReloadRequested();

private:
    void Drain();

    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace config
