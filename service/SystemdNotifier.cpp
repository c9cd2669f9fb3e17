#include "service/SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "config/Log.h"

SystemdNotifier::SystemdNotifier(QObject* parent) : QObject(parent) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    watchdogInterval_ = std::chrono::microseconds(usec);
    // Half the interval, so that one late tick of a busy loop is not taken for a hang.
    const auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(watchdogInterval_ / 2);
    keepAlive_.setInterval(std::max(tick, std::chrono::milliseconds(1)));
    connect(&keepAlive_, &QTimer::timeout, this, [this] { Send(QByteArrayLiteral("WATCHDOG=1")); });
    keepAlive_.start();
}

void SystemdNotifier::Ready() { Send(QByteArrayLiteral("READY=1")); }

void SystemdNotifier::Status(const QString& status) {
    if (stopping_ || status == lastStatus_) return;
    lastStatus_ = status;
    // The protocol takes one assignment per line.
    QString line = status;
    line.replace(u'\n', u' ');
    Send(QByteArrayLiteral("STATUS=") + line.toUtf8());
}

// What the bus does while the service shuts down (its port closing) is no news: the status
// stays "stopping".
void SystemdNotifier::Stopping() {
    stopping_ = true;
    keepAlive_.stop();
    Send(QByteArrayLiteral("STOPPING=1\nSTATUS=stopping"));
}

void SystemdNotifier::Send(const QByteArray& assignments) {
    const int result = sd_notify(0, assignments.constData());
    if (result >= 0 || failureLogged_) return;
    failureLogged_ = true;
    qCWarning(ServiceLog).noquote() << QStringLiteral("cannot notify systemd: %1")
                                           .arg(QString::fromLocal8Bit(std::strerror(-result)));
}
