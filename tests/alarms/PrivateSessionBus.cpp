#include "PrivateSessionBus.h"

#include <QFile>
#include <chrono>

#include "WaitFor.h"

namespace {

constexpr auto kStartDeadline = std::chrono::seconds(10);

QByteArray Config(const QString& socketDir) {
    return QByteArrayLiteral(
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=") +
           socketDir.toUtf8() +
           QByteArrayLiteral(
               "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n");
}

}  // namespace

PrivateSessionBus::PrivateSessionBus() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    const QString configPath = dir_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly) || config.write(Config(dir_.path())) < 0) {
        error_ = QStringLiteral("cannot write ") + configPath;
        return;
    }
    config.close();
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                          QStringLiteral("--config-file=") + configPath,
                          QStringLiteral("--print-address")});
    daemon_.start();
    if (!daemon_.waitForStarted()) {
        error_ = QStringLiteral("dbus-daemon does not start: ") + daemon_.errorString();
        return;
    }
    const bool ready = testsupport::WaitUntil(
        [&] { return daemon_.canReadLine() || daemon_.state() != QProcess::Running; },
        kStartDeadline);
    if (!ready || !daemon_.canReadLine()) {
        error_ = QStringLiteral("dbus-daemon printed no address: ") +
                 QString::fromLocal8Bit(daemon_.readAllStandardError());
        return;
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

PrivateSessionBus::~PrivateSessionBus() {
    if (daemon_.state() == QProcess::NotRunning) return;
    daemon_.terminate();  // SIGTERM to this daemon's pid only
    if (!daemon_.waitForFinished(5000)) {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
}
