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
#include "web/StationWeb.h"
#include "web/WebServer.h"
#include "web/WebSettings.h"
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
     "batmond's configuration file, read for its broker and web settings (default "
     "/etc/batmon/batmond.conf when it exists).",
     SettingPlace::CommandLine},
};

// What batmond's file says the window should feed besides its own tables: a broker to publish
// to, a web server to serve and channels to deliver alarms through, each none when the file
// names none.
struct Outlets {
    std::optional<PublisherOptions> broker;
    std::optional<web::WebSettings> web;
    notify::NotifySettings notify;
    QString site;
};

// The program's options and the outlets of its configuration file.
struct ProgramOptions {
    StationOptions station;
    Outlets outlets;
};

// The outlets of batmond's file (`configFile`, else the installed one when it exists). The file
// is read with batmond's settings; a key neither knows is reported and left out, since the
// window does not use it. Nothing, with one line in `error`, when the file or a broker or web
// setting is wrong; a notification channel whose settings are wrong is reported in one line and
// left out.
std::optional<Outlets> OutletsOfFile(QString configFile, QString* error) {
    if (configFile.isEmpty() && QFileInfo::exists(QString::fromLatin1(config::kBatmondConfFile)))
        configFile = QString::fromLatin1(config::kBatmondConfFile);
    if (configFile.isEmpty()) return Outlets{};
    const auto file = config::IniFile::Read(configFile, config::kBatmondSettings, error);
    if (!file) return std::nullopt;
    for (const QString& unknown : file->Unknown())
        qCWarning(ConfigLog).noquote() << kProgram + QStringLiteral(": ") + unknown;
    const config::SettingValues values(nullptr, &*file);
    const std::optional<BrokerSettings> broker = ReadBrokerSettings(values, error);
    if (!broker) return std::nullopt;
    const std::optional<QString> site = ReadSiteSetting(values, error);
    if (!site) return std::nullopt;
    const std::optional<web::WebSettings> webSettings = web::ReadWebSettings(values, error);
    if (!webSettings) return std::nullopt;
    Outlets outlets;
    outlets.site = *site;
    QStringList problems;
    outlets.notify = notify::ReadNotifySettings(values, &problems);
    for (const QString& problem : problems)
        qCCritical(ConfigLog).noquote()
            << kProgram + QStringLiteral(": notification channel left out: ") + problem;
    if (!webSettings->http.isEmpty()) outlets.web = *webSettings;
    if (broker->endpoint) {
        PublisherOptions publishing;
        publishing.endpoint = *broker->endpoint;
        publishing.site = *site;
        publishing.caFile = broker->caFile;
        outlets.broker = publishing;
    }
    return outlets;
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
    const auto outlets = OutletsOfFile(line.Value("config"), &error);
    if (!outlets) {
        parsed.exit = {2, error};
        return parsed;
    }
    // Readings wait in the store until the broker has them.
    options.mqttOutbox = outlets->broker.has_value();
    parsed.options = ProgramOptions{options, *outlets};
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
    if (!options.outlets.site.isEmpty()) Form1.SetSite(options.outlets.site);
    std::unique_ptr<MqttPublisher> publisher;
    if (options.outlets.broker) {
        QString error;
        publisher = PublishStation(Form1.Monitoring(), *options.outlets.broker, &error);
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
    // The web page of the room, served from the window's station as batmond serves it.
    std::unique_ptr<web::StationWeb> stationWeb;
    std::unique_ptr<web::WebServer> webServer;
    if (options.outlets.web) {
        stationWeb = std::make_unique<web::StationWeb>(Form1.Monitoring(), options.outlets.site,
                                                       MonitorSession::kDefaultSamplingMs);
        QString error;
        webServer = stationWeb->MakeServer(web::ServerOptionsOf(*options.outlets.web), &error);
        if (webServer)
            qCInfo(ServiceLog).noquote()
                << QStringLiteral("batmon: web server on %1://%2:%3/")
                       .arg(webServer->Tls() ? QStringLiteral("https") : QStringLiteral("http"),
                            web::ParseHttpAddress(options.outlets.web->http)->address.toString())
                       .arg(webServer->Port());
        else
            qCCritical(ServiceLog).noquote() << "batmon: no web server: " + error;
    }
    std::unique_ptr<notify::Notifier> notifier;
    if (options.outlets.notify.Any()) {
        QString error;
        notifier = notify::NotifyStation(Form1.Monitoring(), options.outlets.notify,
                                         options.outlets.site, &error);
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
    const int status = app.exec();
    webServer.reset();
    stationWeb.reset();
    return status;
}
