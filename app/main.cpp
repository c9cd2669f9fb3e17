#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <cstdio>
#include <memory>
#include <optional>

#include "app/TForm1.h"
#include "service/ServiceOptions.h"
#include "station/MqttPublisher.h"
#include "store/DataDir.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"

namespace {

// The program's options and, when its configuration file names a broker, where to publish.
struct ProgramOptions {
    StationOptions station;
    std::optional<PublisherOptions> broker;
};

// The broker settings of the file batmond reads (`configFile`, else the installed one when it
// exists); none when it names no broker. Nothing, after a message, when the file is wrong.
std::optional<std::optional<PublisherOptions>> BrokerSettings(const QString& configFile) {
    QStringList arguments{QStringLiteral("batmon")};
    if (!configFile.isEmpty()) arguments << QStringLiteral("--config") << configFile;
    QString error;
    const std::optional<ServiceOptions> options =
        ParseServiceOptions(arguments, QString::fromLatin1(kInstalledConfigFile), &error, false);
    if (!options) {
        std::fprintf(stderr, "batmon: %s\n", qPrintable(error));
        return std::nullopt;
    }
    if (!options->mqtt) return std::optional<PublisherOptions>();
    PublisherOptions broker;
    broker.endpoint = *options->mqtt;
    broker.site = options->site;
    broker.caFile = options->caFile;
    return std::optional<PublisherOptions>(broker);
}

std::optional<int> NonNegative(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

// The program's options; nullopt (after a message on standard error) when one is wrong.
std::optional<ProgramOptions> ParseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("无线蓄电池监控软件"));
    parser.addHelpOption();
    const QCommandLineOption dataDir(QStringLiteral("data-dir"),
                                     QStringLiteral("Folder of the history store."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption restoreHours(
        QStringLiteral("restore-hours"),
        QStringLiteral("Hours of stored readings shown at start (0: none)."), QStringLiteral("N"),
        QStringLiteral("24"));
    const QCommandLineOption keepDays(
        QStringLiteral("keep-days"),
        QStringLiteral("Delete readings older than N days, once a day (0: keep all)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("batmond's configuration file, read for its broker settings "
                       "(default %1 when it exists).")
            .arg(QString::fromLatin1(kInstalledConfigFile)),
        QStringLiteral("FILE"));
    parser.addOptions({dataDir, restoreHours, keepDays, config});
    parser.process(app);

    StationOptions options;
    options.dataDir = store::ResolveDataDir(parser.value(dataDir));
    const std::optional<int> hours = NonNegative(parser.value(restoreHours));
    const std::optional<int> days = NonNegative(parser.value(keepDays));
    if (!hours || !days) {
        std::fprintf(stderr, "batmon: --restore-hours and --keep-days take a whole number >= 0\n");
        return std::nullopt;
    }
    options.restoreHours = *hours;
    options.keepDays = *days;
    const auto broker = BrokerSettings(parser.value(config));
    if (!broker) return std::nullopt;
    // Readings wait in the store until the broker has them.
    options.mqttOutbox = broker->has_value();
    return ProgramOptions{options, *broker};
}

}  // namespace

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    GuardedApplication app(argc, argv);
    const std::optional<ProgramOptions> options = ParseOptions(app);
    if (!options) return 2;
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/batmon.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvane.batmon"));
    InstallFontSubstitutions();

    TForm1 Form1(options->station);
    std::unique_ptr<MqttPublisher> publisher;
    if (options->broker) {
        QString error;
        publisher = PublishStation(Form1.Monitoring(), *options->broker, &error);
        if (publisher) {
            QObject::connect(
                publisher.get(), &MqttPublisher::ConnectionChanged,
                [](bool online, const QString& reason) {
                    std::fprintf(stderr, "batmon: broker %s%s\n",
                                 online ? "connected" : "connection lost: ", qPrintable(reason));
                });
        }
        if (!publisher || !publisher->Start(&error))
            std::fprintf(stderr, "batmon: not publishing: %s\n", qPrintable(error));
    }
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Form1.move(screen.center() - Form1.rect().center());
    Form1.show();
    return app.exec();
}
