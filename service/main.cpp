// batmond: the monitoring engine without a window, as a system service.

#include <QCoreApplication>

#include "config/BatmondConf.h"
#include "config/Log.h"
#include "config/SignalPipe.h"
#include "notify/Notifier.h"
#include "service/BatmonService.h"
#include "service/ServiceOptions.h"
#include "service/ServiceStatus.h"
#include "service/SystemdNotifier.h"

namespace {

// --test-notify: one test message through every channel, one line per channel; 0 only when
// every channel is configured right and took its message.
int TestNotify(const ServiceOptions& options) {
    config::InstallLogHandler(config::LogStyle::Plain);
    for (const QString& problem : options.notifyProblems)
        qCCritical(ConfigLog).noquote()
            << QStringLiteral("notification channel left out: %1").arg(problem);
    if (!options.notify.Any()) {
        qCCritical(ConfigLog).noquote() << QStringLiteral("no notification channel is configured");
        return 1;
    }
    bool allSent = options.notifyProblems.isEmpty();
    for (const auto& [channel, error] : notify::TestChannels(options.notify, options.site)) {
        if (error.isEmpty()) {
            qCInfo(ServiceLog).noquote() << QStringLiteral("%1: test message sent").arg(channel);
        } else {
            qCCritical(ServiceLog).noquote()
                << QStringLiteral("%1: test message failed: %2").arg(channel, error);
            allSent = false;
        }
    }
    return allSent ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = QStringLiteral("batmond");
    QCoreApplication::setApplicationName(program);
    config::InstallLogHandler(config::LogStyle::Journal);
    const QStringList arguments = QCoreApplication::arguments();
    const QString defaultConfig = QString::fromLatin1(config::kBatmondConfFile);

    const auto parsed = ParseServiceOptions(arguments, defaultConfig);
    if (!parsed.options) return config::Finish(program, parsed.exit);
    if (parsed.options->testNotify) return TestNotify(*parsed.options);

    config::SignalPipe signalPipe;
    if (!signalPipe.IsValid()) {
        qCCritical(ServiceLog).noquote() << QStringLiteral("batmond: cannot watch signals");
        return 1;
    }
    BatmonService service(*parsed.options);
    // Made on this thread, whose event loop paces the bus: the watchdog's keep-alive stops when
    // that loop hangs.
    SystemdNotifier systemd;
    ServiceStatus status(service.GetStation(), systemd, parsed.options->port);
    QObject::connect(&signalPipe, &config::SignalPipe::TerminateRequested, &app, [&] {
        qCInfo(ServiceLog).noquote() << QStringLiteral("stopping");
        systemd.Stopping();
        // Readings held in memory that the store could not write at the end are an error.
        QCoreApplication::exit(service.Shutdown() ? 0 : 1);
    });
    // A configuration that no longer parses, or holds a key batmond does not know, leaves the
    // running one in place.
    QObject::connect(&signalPipe, &config::SignalPipe::ReloadRequested, &app, [&] {
        QString reason;
        const auto reread = ParseServiceOptions(arguments, defaultConfig);
        if (!reread.options)
            reason = reread.exit.text;
        else if (service.Reload(*reread.options, &reason))
            return;
        qCCritical(ConfigLog).noquote()
            << QStringLiteral("configuration not re-read: %1").arg(reason);
    });

    QString error;
    if (!service.Start(&error)) {
        qCCritical(ServiceLog).noquote() << QStringLiteral("batmond: %1").arg(error);
        return 1;
    }
    status.Started();
    return app.exec();
}
