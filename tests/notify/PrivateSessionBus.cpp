#include "tests/notify/PrivateSessionBus.h"

#include <QFile>
#include <chrono>

#include "tests/common/WaitFor.h"

namespace {

// Anyone may own any name and send anywhere, as on a desktop session bus; no service folders,
// so nothing the machine has installed is started on demand.
constexpr char kConfig[] = R"(<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateSessionBus::PrivateSessionBus() {
    const QString configPath = dir_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!dir_.isValid() || !config.open(QIODevice::WriteOnly) ||
        config.write(QString::fromLatin1(kConfig).arg(dir_.path()).toUtf8()) < 0) {
        error_ = QStringLiteral("cannot write ") + configPath;
        return;
    }
    config.close();
    daemon_.start(
        QStringLiteral("dbus-daemon"),
        {QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
         QStringLiteral("--config-file=") + configPath, QStringLiteral("--print-address")});
    const bool printed =
        daemon_.waitForStarted() &&
        testsupport::WaitUntil(
            [&] { return daemon_.canReadLine() || daemon_.state() != QProcess::Running; },
            std::chrono::seconds(10));
    if (!printed || !daemon_.canReadLine()) {
        error_ = QStringLiteral("dbus-daemon gave no address: ") + daemon_.errorString() +
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
