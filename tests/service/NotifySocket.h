#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace servicetest {

// A socket in systemd's place: a unix datagram socket bound in a temporary folder. Its path is
// what a program under test gets as NOTIFY_SOCKET; the socket collects what the program says.
class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool IsBound() const { return fd_ >= 0; }
    QString Path() const { return path_; }

    // Every assignment received so far ("READY=1", "STATUS=..."), in order, after taking what
    // has arrived (without waiting). One datagram may carry several, one per line.
    const QStringList& Assignments();
    int Count(const QString& assignment) {
        return static_cast<int>(Assignments().count(assignment));
    }
    // The value of the last STATUS= received, empty when none came.
    QString LastStatus();
    // Takes what has arrived and forgets everything received so far.
    void Clear();

private:
    QTemporaryDir dir_;
    QString path_;
    int fd_ = -1;
    QStringList assignments_;
};

// Points this process's NOTIFY_SOCKET (and WATCHDOG_USEC when `watchdogUsec` > 0) at `socket`
// for as long as it lives, so that programs started meanwhile inherit them.
class NotifyEnvironment {
public:
    NotifyEnvironment(const NotifySocket& socket, qint64 watchdogUsec);
    ~NotifyEnvironment();
    NotifyEnvironment(const NotifyEnvironment&) = delete;
    NotifyEnvironment& operator=(const NotifyEnvironment&) = delete;
};

}  // namespace servicetest
