#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <memory>
#include <optional>

#include "app/TForm1.h"
#include "config/BatmondConf.h"
#include "config/CommandLine.h"
#include "config/IniFile.h"
#include "config/Log.h"
#include "config/SettingValues.h"
#include "mqtt/BrokerSettings.h"
#include "notify/Notifier.h"
#include "station/MqttPublisher.h"
#include "store/DataDir.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"

namespace {

const QString kProgram = QStringLiteral("batmon");

using config::SettingPlace;

constexpr config::Setting kWindowSettings[] = {
    {"data_dir", "DIR",
     "Folder of the history store (default $XDG_DATA_HOME/batmon or ~/.local/share/batmon).",
     SettingPlace::CommandLine},
    {"restore_hours", "N", "Hours of stored readings shown at start (default 24; 0: none).",
     SettingPlace::CommandLine},
    {"keep_days", "N", "Delete readings older than N days, once a day (default 0: keep all).",
     SettingPlace::CommandLine},
    {"config", "FILE",
     "batmond's configuration file, read for its broker settings (default "
     "/etc/batmon/batmond.conf when it exists).",
     SettingPlace::CommandLine},
};

// The program's options and, when its configuration file names a broker, where to publish;
// where to deliver alarms, as the same file says.
struct ProgramOptions {
    StationOptions station;
    std::optional<PublisherOptions> broker;
    notify::NotifySettings notify;
    QString site;
};

// The notification settings and the site of batmond's file, read like its broker settings; a
// channel whose settings are wrong is reported in one line and left out.
void ReadNotifyOfFile(QString configFile, ProgramOptions* options) {
    if (configFile.isEmpty() && QFileInfo::exists(QString::fromLatin1(config::kBatmondConfFile)))
        configFile = QString::fromLatin1(config::kBatmondConfFile);
    if (configFile.isEmpty()) return;
    QString error;
    const auto file = config::IniFile::Read(configFile, config::kBatmondSettings, &error);
    if (!file) return;  // BrokerOfFile has said why
    const config::SettingValues values(nullptr, &*file);
    QStringList problems;
    options->notify = notify::ReadNotifySettings(values, &problems);
    for (const QString& problem : problems)
        qCCritical(ConfigLog).noquote()
            << kProgram + QStringLiteral(": notification channel left out: ") + problem;
    options->site = ReadSiteSetting(values, &error).value_or(QString());
}

// Where the window publishes: the broker settings of batmond's file (`configFile`, else the
// installed one when it exists), none when it names no broker. The file is read with batmond's
// settings; a key neither knows is reported and left out, since the window does not use it.
// Nothing, with one line in `error`, when the file or a broker setting is wrong.
std::optional<std::optional<PublisherOptions>> BrokerOfFile(QString configFile, QString* error) {
    if (configFile.isEmpty() && QFileInfo::exists(QString::fromLatin1(config::kBatmondConfFile)))
        configFile = QString::fromLatin1(config::kBatmondConfFile);
    if (configFile.isEmpty()) return std::optional<PublisherOptions>();
    const auto file = config::IniFile::Read(configFile, config::kBatmondSettings, error);
    if (!file) return std::nullopt;
    for (const QString& unknown : file->Unknown())
        qCWarning(ConfigLog).noquote() << kProgram + QStringLiteral(": ") + unknown;
    const config::SettingValues values(nullptr, &*file);
    const std::optional<BrokerSettings> broker = ReadBrokerSettings(values, error);
    if (!broker) return std::nullopt;
    if (!broker->endpoint) return std::optional<PublisherOptions>();
    const std::optional<QString> site = ReadSiteSetting(values, error);
    if (!site) return std::nullopt;
    PublisherOptions publishing;
    publishing.endpoint = *broker->endpoint;
    publishing.site = *site;
    publishing.caFile = broker->caFile;
    return std::optional<PublisherOptions>(publishing);
}

std::optional<int> NonNegative(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

// Read before the application object exists, so --help and --version need no display.
config::Parsed<ProgramOptions> ParseOptions(const QStringList& arguments) {
    config::CommandLine line(kProgram, QStringLiteral("[options]"),
                             QStringLiteral("The window of the wireless storage-battery monitor "
                                            "(无线蓄电池监控软件)."),
                             kWindowSettings);
    config::Parsed<ProgramOptions> parsed;
    if (!line.Parse(arguments, &parsed.exit)) return parsed;

    StationOptions options;
    options.dataDir = store::ResolveDataDir(line.Value("data_dir"));
    const std::optional<int> hours = NonNegative(
        line.IsSet("restore_hours") ? line.Value("restore_hours") : QStringLiteral("24"));
    const std::optional<int> days =
        NonNegative(line.IsSet("keep_days") ? line.Value("keep_days") : QStringLiteral("0"));
    if (!hours || !days) {
        parsed.exit = {2,
                       QStringLiteral("--restore-hours and --keep-days take a whole number >= 0")};
        return parsed;
    }
    options.restoreHours = *hours;
    options.keepDays = *days;
    QString error;
    const auto broker = BrokerOfFile(line.Value("config"), &error);
    if (!broker) {
        parsed.exit = {2, error};
        return parsed;
    }
    // Readings wait in the store until the broker has them.
    options.mqttOutbox = broker->has_value();
    parsed.options = ProgramOptions{options, *broker, {}, {}};
    ReadNotifyOfFile(line.Value("config"), &*parsed.options);
    return parsed;
}

}  // namespace

int main(int argc, char** argv) {
    config::InstallLogHandler(config::LogStyle::Plain);
    const auto parsed = ParseOptions(config::ArgumentsOf(argc, argv));
    if (!parsed.options) return config::Finish(kProgram, parsed.exit);
    const ProgramOptions& options = *parsed.options;

    UseQtEventDispatcher();
    GuardedApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/batmon.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvane.batmon"));
    InstallFontSubstitutions();

    TForm1 Form1(options.station);
    std::unique_ptr<MqttPublisher> publisher;
    if (options.broker) {
        QString error;
        publisher = PublishStation(Form1.Monitoring(), *options.broker, &error);
        if (publisher) {
            QObject::connect(publisher.get(), &MqttPublisher::ConnectionChanged,
                             [](bool online, const QString& reason) {
                                 if (online)
                                     qCInfo(MqttLog).noquote() << "batmon: broker connected";
                                 else
                                     qCWarning(MqttLog).noquote()
                                         << "batmon: broker connection lost: " + reason;
                             });
        }
        if (!publisher || !publisher->Start(&error))
            qCCritical(MqttLog).noquote() << "batmon: not publishing: " + error;
    }
    std::unique_ptr<notify::Notifier> notifier;
    if (options.notify.Any()) {
        QString error;
        notifier = notify::NotifyStation(Form1.Monitoring(), options.notify, options.site, &error);
        if (notifier) {
            QObject::connect(notifier.get(), &notify::Notifier::DeliveryChanged,
                             [](const QString& channel, const QString& problem) {
                                 if (problem.isEmpty())
                                     qCInfo(ServiceLog).noquote()
                                         << "batmon: " + channel + " notifications delivered again";
                                 else
                                     qCWarning(ServiceLog).noquote()
                                         << "batmon: " + channel +
                                                " notification not delivered: " + problem +
                                                "; retrying";
                             });
            notifier->Start();
            Form1.SetNotifier(notifier.get());
        } else {
            qCCritical(ConfigLog).noquote() << "batmon: notifications off: " + error;
        }
    }
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Form1.move(screen.center() - Form1.rect().center());
    Form1.show();
    return app.exec();
}
