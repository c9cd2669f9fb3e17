// batmon-collector: takes the readings and alarm events batmon publishes over MQTT and writes
// them into PostgreSQL.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "collector/Collector.h"
#include "collector/CollectorOptions.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("batmon-collector"));

    QString error;
    const auto options = ParseCollectorOptions(QCoreApplication::arguments(), &error);
    if (!options) {
        LogLine(QStringLiteral("batmon-collector: %1").arg(error));
        LogLine(
            QStringLiteral("usage: batmon-collector --mqtt URL --postgres CONNINFO [--config FILE] "
                           "[--client-id ID] [--ca-file FILE]"));
        return 2;
    }

    // SIGTERM and SIGINT end the collector through the event loop, so what it holds is written.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    Collector collector(*options);
    QSocketNotifier terminate(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, &collector, [&] {
        terminate.setEnabled(false);
        collector.shutDown();
    });
    QObject::connect(&collector, &Collector::finished, &app, [](bool everythingWritten) {
        QCoreApplication::exit(everythingWritten ? 0 : 1);
    });

    if (!collector.start(&error)) {
        LogLine(QStringLiteral("batmon-collector: %1").arg(error));
        return 1;
    }
    LogLine(QStringLiteral("batmon-collector started: broker %1:%2, client id %3, batches of up to "
                           "%4 rows every %5 ms, at most %6 rows held")
                .arg(options->broker.host)
                .arg(options->broker.port)
                .arg(options->clientId)
                .arg(options->batchRows)
                .arg(options->flushIntervalMs)
                .arg(options->maxHeldRows));
    return app.exec();
}
