#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

// batmond's side of systemd's notification protocol: READY=1, STATUS=, STOPPING=1 and the
// watchdog's keep-alive WATCHDOG=1, sent to the socket systemd names in NOTIFY_SOCKET. Started
// by hand, without that socket, every call does nothing.
//
// The keep-alive comes from a timer of the thread that makes this object, at half the interval
// systemd asks for (WATCHDOG_USEC). batmond makes it on the thread whose event loop paces the
// bus, so a loop that hangs stops the keep-alive and systemd restarts the service.
class SystemdNotifier : public QObject {
    Q_OBJECT
public:
    explicit SystemdNotifier(QObject* parent = nullptr);

    // The interval systemd allows between two keep-alives; zero when it asks for none.
    std::chrono::microseconds WatchdogInterval() const { return watchdogInterval_; }

    void Ready();
    // Sends `status` (one line) unless it is the one sent last or the service is stopping.
    void Status(const QString& status);
    void Stopping();

private:
    void Send(const QByteArray& assignments);

    std::chrono::microseconds watchdogInterval_{0};
    QTimer keepAlive_;
    QString lastStatus_;
    bool stopping_ = false;
    bool failureLogged_ = false;
};
