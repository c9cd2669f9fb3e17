// batmon-collector: takes the readings and alarm events batmon publishes over MQTT and writes
// them into PostgreSQL.

#include <QCoreApplication>

#include "collector/Collector.h"
#include "collector/CollectorOptions.h"
#include "config/Log.h"
#include "config/SignalPipe.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = QStringLiteral("batmon-collector");
    QCoreApplication::setApplicationName(program);
    config::InstallLogHandler(config::LogStyle::Journal);

    const auto parsed = ParseCollectorOptions(QCoreApplication::arguments());
    if (!parsed.options) return config::Finish(program, parsed.exit);
    const CollectorOptions& options = *parsed.options;

    // SIGTERM and SIGINT end the collector through the event loop, so what it holds is written.
    config::SignalPipe signalPipe;
    if (!signalPipe.IsValid()) {
        qCCritical(CollectorLog).noquote()
            << QStringLiteral("batmon-collector: cannot watch signals");
        return 1;
    }
    Collector collector(options);
    QObject::connect(&signalPipe, &config::SignalPipe::TerminateRequested, &collector,
                     [&collector] { collector.ShutDown(); });
    // A hang-up used to end the collector with the rows it held; it reads its settings at start
    // only, so it says so and goes on.
    QObject::connect(&signalPipe, &config::SignalPipe::ReloadRequested, &collector, [] {
        qCWarning(ConfigLog).noquote()
            << QStringLiteral("SIGHUP ignored: batmon-collector reads its settings only at start");
    });
    QObject::connect(&collector, &Collector::Finished, &app, [](bool everythingWritten) {
        QCoreApplication::exit(everythingWritten ? 0 : 1);
    });

    QString error;
    if (!collector.Start(&error)) {
        qCCritical(CollectorLog).noquote() << QStringLiteral("batmon-collector: %1").arg(error);
        return 1;
    }
    qCInfo(CollectorLog).noquote()
        << QStringLiteral(
               "batmon-collector started: broker %1:%2, client id %3, batches of up to "
               "%4 rows every %5 ms, at most %6 rows held")
               .arg(options.broker.host)
               .arg(options.broker.port)
               .arg(options.clientId)
               .arg(options.batchRows)
               .arg(options.flushIntervalMs)
               .arg(options.maxHeldRows);
    return app.exec();
}
