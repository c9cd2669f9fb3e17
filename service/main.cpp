// batmond: the monitoring engine without a window, as a system service.

#include <QCoreApplication>

#include "service/BatmonService.h"
#include "service/ServiceOptions.h"
#include "service/SignalPipe.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("batmond"));
    const QStringList arguments = QCoreApplication::arguments();
    const QString defaultConfig = QString::fromLatin1(kInstalledConfigFile);

    QString error;
    const auto options = ParseServiceOptions(arguments, defaultConfig, &error);
    if (!options) {
        ServiceLog(LogPriority::Error, QStringLiteral("batmond: %1").arg(error));
        ServiceLog(LogPriority::Error, QString::fromLatin1(kServiceUsage));
        return 2;
    }

    SignalPipe signalPipe;
    if (!signalPipe.IsValid()) {
        ServiceLog(LogPriority::Error, QStringLiteral("batmond: cannot watch signals"));
        return 1;
    }
    BatmonService service(*options);
    QObject::connect(&signalPipe, &SignalPipe::TerminateRequested, &app, [&] {
        ServiceLog(LogPriority::Notice, QStringLiteral("stopping"));
        service.Shutdown();
        QCoreApplication::exit(0);
    });
    // A configuration that no longer parses leaves the running one in place.
    QObject::connect(&signalPipe, &SignalPipe::ReloadRequested, &app, [&] {
        QString reason;
        const auto reread = ParseServiceOptions(arguments, defaultConfig, &reason);
        if (!reread || !service.Reload(*reread, &reason))
            ServiceLog(LogPriority::Error,
                       QStringLiteral("configuration not re-read: %1").arg(reason));
    });

    if (!service.Start(&error)) {
        ServiceLog(LogPriority::Error, QStringLiteral("batmond: %1").arg(error));
        return 1;
    }
    return app.exec();
}
