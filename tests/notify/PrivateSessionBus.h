#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A session bus of the test's own: a dbus-daemon with a minimal configuration (no service
// activation, so nothing the machine has installed can answer) listening in a temporary
// folder. Stopped and waited for when the object goes.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    // Empty when the daemon could not be started; `error` then says why.
    const QString& address() const { return address_; }
    const QString& error() const { return error_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QString error_;
};
