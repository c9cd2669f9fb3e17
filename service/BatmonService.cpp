#include "service/BatmonService.h"

#include "config/CommandLine.h"
#include "config/Log.h"
#include "notify/Notifier.h"
#include "serial/CommLink.h"
#include "station/AlarmMonitor.h"
#include "station/DeviceHealth.h"
#include "station/MqttPublisher.h"
#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryWriter.h"
#include "web/StationWeb.h"
#include "web/WebServer.h"
#include "web/WebSettings.h"

namespace {

StationOptions StationOptionsOf(const ServiceOptions& options) {
    StationOptions station;
    station.dataDir = options.dataDir;
    station.restoreHours = 0;
    station.keepDays = options.keepDays;
    station.mqttOutbox = options.mqtt.has_value() && !options.dataDir.isEmpty();
    station.discharge = options.discharge;
    station.fastSamplingInDischarge = true;  // the service's period is no operator's
    return station;
}

}  // namespace

BatmonService::BatmonService(ServiceOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), metrics_(config::ProgramVersion()) {
    station_ = std::make_unique<Station>(std::make_unique<CommLink>(this), clock_,
                                         StationOptionsOf(options_));
    ApplyMetricsLabels();
    // What the web server and /metrics show is copied from the station on this thread; the
    // servers' threads read only the copy.
    web_ = std::make_unique<web::StationWeb>(
        *station_, options_.site,
        SamplingPeriodMs(options_.periodSeconds).value_or(MonitorSession::kDefaultSamplingMs),
        [this] {
            metrics_.SetCounts(station_->Session().Counts());
            if (const store::HistoryWriter* writer = station_->Writer())
                metrics_.SetStore(StoreMetrics{writer->IsHealthy(), writer->UnwrittenCount()});
            return metrics_.Render();
        });
    reopenTimer_.setSingleShot(true);
    reopenTimer_.setInterval(kReopenDelayMs);
    connect(&reopenTimer_, &QTimer::timeout, this, &BatmonService::Reopen);

    MonitorSession& session = station_->Session();
    connect(&session, &MonitorSession::PortOpened, this, &BatmonService::OnPortOpened);
    connect(&session, &MonitorSession::PortOpenFailed, this, &BatmonService::OnPortOpenFailed);
    connect(&session, &MonitorSession::PortClosed, this, &BatmonService::OnPortClosed);
    connect(&session, &MonitorSession::ReadingAccepted, this,
            [this](const battery::Reading& reading) { metrics_.RecordReading(reading); });
    connect(
        &station_->Health(), &DeviceHealthWatch::HealthChanged, this,
        [](std::uint8_t device, DeviceHealth health) {
            const QString name = battery::DeviceName(device);
            if (health == DeviceHealth::Late)
                qCWarning(ServiceLog).noquote()
                    << QStringLiteral(
                           "device %1 answers late; its readings of the cycle are discarded")
                           .arg(name);
            else if (health == DeviceHealth::Silent)
                qCWarning(ServiceLog).noquote() << QStringLiteral("device %1 is silent").arg(name);
            else
                qCInfo(ServiceLog).noquote() << QStringLiteral("device %1 answers again").arg(name);
        });

    connect(
        &station_->Health(), &DeviceHealthWatch::AvailabilityChanged, this,
        [this](std::uint8_t device, bool available) { metrics_.SetDeviceUp(device, available); });

    connect(station_.get(), &Station::StoreHealthChanged, this,
            [](bool writing, const QString& message) {
                if (writing)
                    qCInfo(StoreLog).noquote()
                        << QStringLiteral("store writing again%1")
                               .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message);
                else
                    qCCritical(StoreLog).noquote()
                        << QStringLiteral("store error: %1").arg(message);
            });
    // Alarm events reach the log and /metrics (the publisher sends them to the broker); the
    // alarms active at the last stop, restored by the station, are active in /metrics from the
    // start.
    connect(&station_->Alarms(), &AlarmMonitor::EventsOccurred, this,
            [this](const alarms::AlarmEvents& events) {
                for (const alarms::AlarmEvent& event : events) ReportAlarm(event);
            });
    for (const alarms::ActiveAlarm& alarm : station_->Alarms().Rules().ActiveAlarms())
        metrics_.SetAlarm(alarm.key.battery.device, alarm.key.battery.battery,
                          alarms::KindId(alarm.key.kind), true);
}

void BatmonService::ReportAlarm(const alarms::AlarmEvent& event) {
    const battery::BatteryId id = event.key.battery;
    const QString where =
        QStringLiteral("%1/%2").arg(battery::DeviceName(id.device)).arg(id.battery);
    const QString kind = alarms::KindId(event.key.kind);
    const QString line =
        QStringLiteral("alarm %1: %2 %3 %4, value %5%6")
            .arg(alarms::StateId(event.state), where, kind, alarms::LevelId(event.level))
            .arg(event.value.value_or(0))
            .arg(event.user.isEmpty() ? QString() : QStringLiteral(", by ") + event.user);
    if (event.state == alarms::AlarmState::Raised)
        qCWarning(ServiceLog).noquote() << line;
    else
        qCInfo(ServiceLog).noquote() << line;
    // Acknowledging or shelving an alarm leaves it active.
    if (event.state == alarms::AlarmState::Raised || event.state == alarms::AlarmState::Cleared)
        metrics_.SetAlarm(id.device, id.battery, kind, event.state == alarms::AlarmState::Raised);
}

BatmonService::~BatmonService() { Shutdown(); }

bool BatmonService::Start(QString* error) {
    station_->Alarms().SetSettings(options_.alarms);
    const auto periodMs = SamplingPeriodMs(options_.periodSeconds);
    station_->Session().SetSamplingPeriodMs(periodMs.value_or(MonitorSession::kDefaultSamplingMs));
    if (!StartMetrics(error) || !StartHttp(error) || !StartPublisher(error)) return false;
    StartNotifier(options_);
    qCInfo(ServiceLog).noquote()
        << QStringLiteral(
               "batmond started: port %1, period %2 s, site %3, store %4, broker %5, metrics %6, "
               "http %7")
               .arg(options_.port)
               .arg(options_.periodSeconds)
               .arg(options_.site,
                    options_.dataDir.isEmpty() ? QStringLiteral("none") : options_.dataDir,
                    options_.mqtt
                        ? QStringLiteral("%1:%2").arg(options_.mqtt->host).arg(options_.mqtt->port)
                        : QStringLiteral("none"),
                    options_.metrics.isEmpty() ? QStringLiteral("none") : options_.metrics,
                    options_.web.http.isEmpty() ? QStringLiteral("none") : options_.web.http);
    station_->Session().OpenPort(options_.port);
    return true;
}

bool BatmonService::StartMetrics(QString* error) {
    if (options_.metrics.isEmpty()) return true;
    metricsServer_ = MakeMetricsServer(options_.metrics, error);
    if (metricsServer_)
        qCInfo(ServiceLog).noquote()
            << QStringLiteral("metrics on http://%1:%2/metrics")
                   .arg(web::ParseHttpAddress(options_.metrics)->address.toString())
                   .arg(metricsServer_->Port());
    return metricsServer_ != nullptr;
}

bool BatmonService::StartHttp(QString* error) {
    if (options_.web.http.isEmpty()) return true;
    httpServer_ = MakeHttpServer(options_, error);
    if (httpServer_)
        qCInfo(ServiceLog).noquote()
            << QStringLiteral("web server on %1://%2:%3/")
                   .arg(httpServer_->Tls() ? QStringLiteral("https") : QStringLiteral("http"),
                        web::ParseHttpAddress(options_.web.http)->address.toString())
                   .arg(httpServer_->Port());
    return httpServer_ != nullptr;
}

std::unique_ptr<web::WebServer> BatmonService::MakeMetricsServer(const QString& address,
                                                                 QString* error) {
    const std::optional<web::HttpAddress> listen = web::ParseHttpAddress(address);
    if (!listen) {
        if (error) *error = QStringLiteral("not a metrics address: %1").arg(address);
        return nullptr;
    }
    web::WebServerOptions server;
    server.listen = *listen;
    server.metricsOnly = true;
    QString reason;
    auto made = web_->MakeServer(server, &reason);
    if (!made && error)
        *error = QStringLiteral("cannot serve /metrics on %1: %2").arg(address, reason);
    return made;
}

std::unique_ptr<web::WebServer> BatmonService::MakeHttpServer(const ServiceOptions& options,
                                                              QString* error) {
    QString reason;
    auto made = web_->MakeServer(web::ServerOptionsOf(options.web), &reason);
    if (!made && error)
        *error = QStringLiteral("cannot serve http on %1: %2").arg(options.web.http, reason);
    return made;
}

void BatmonService::StartNotifier(const ServiceOptions& options) {
    for (const QString& problem : options.notifyProblems)
        qCCritical(ConfigLog).noquote()
            << QStringLiteral("notification channel left out: %1").arg(problem);
    if (notifier_ && notifier_->Settings() == options.notify && options.site == options_.site)
        return;
    if (notifier_) notifier_->Stop();
    notifier_.reset();
    if (!options.notify.Any()) {
        if (station_->Writer()) station_->Writer()->SetNotifyChannels({});
        return;
    }
    QString error;
    notifier_ = notify::NotifyStation(*station_, options.notify, options.site, &error);
    if (!notifier_) {
        qCCritical(ConfigLog).noquote() << QStringLiteral("notifications off: %1").arg(error);
        return;
    }
    connect(notifier_.get(), &notify::Notifier::DeliveryChanged, this,
            [](const QString& channel, const QString& problem) {
                if (problem.isEmpty())
                    qCInfo(ServiceLog).noquote()
                        << QStringLiteral("%1 notifications delivered again").arg(channel);
                else
                    qCWarning(ServiceLog).noquote()
                        << QStringLiteral("%1 notification not delivered: %2; retrying")
                               .arg(channel, problem);
            });
    notifier_->Start();
    qCInfo(ServiceLog).noquote() << QStringLiteral("notifications: %1")
                                        .arg(notifier_->Channels().join(QStringLiteral(", ")));
}

bool BatmonService::StartPublisher(QString* error) {
    publisher_.reset();
    if (!options_.mqtt) return true;
    publisher_ = MakePublisher(options_, error);
    return publisher_ && publisher_->Start(error);
}

std::unique_ptr<MqttPublisher> BatmonService::MakePublisher(const ServiceOptions& options,
                                                            QString* error) {
    if (!station_->Writer()) {
        if (error)
            *error = QStringLiteral(
                "--mqtt needs --data-dir: readings wait in the store until the broker has them");
        return nullptr;
    }
    PublisherOptions publisherOptions;
    publisherOptions.endpoint = *options.mqtt;
    publisherOptions.site = options.site;
    publisherOptions.caFile = options.caFile;
    if (options.haDiscovery)
        publisherOptions.discovery = DiscoveryOptions{options.haPrefix, config::ProgramVersion()};
    // The checks the publisher's client makes when it starts, made before anything running is
    // given up for it.
    MqttClientOptions client;
    client.endpoint = publisherOptions.endpoint;
    client.caFile = publisherOptions.caFile;
    if (const auto problem = MqttClient::SetupProblem(client)) {
        if (error) *error = *problem;
        return nullptr;
    }
    std::unique_ptr<MqttPublisher> publisher = PublishStation(*station_, publisherOptions, error);
    if (!publisher) return nullptr;
    connect(publisher.get(), &MqttPublisher::ConnectionChanged, this,
            [this](bool online, const QString& reason) {
                if (shuttingDown_) return;
                if (online)
                    qCInfo(MqttLog).noquote() << QStringLiteral("broker connected");
                else
                    qCWarning(MqttLog).noquote()
                        << QStringLiteral("broker connection lost: %1").arg(reason);
            });
    return publisher;
}

bool BatmonService::Reload(const ServiceOptions& options, QString* error) {
    if (options.dataDir != options_.dataDir)
        qCWarning(ConfigLog).noquote()
            << QStringLiteral("the store's folder changes only with a restart; keeping %1")
                   .arg(options_.dataDir);
    ServiceOptions next = options;
    next.dataDir = options_.dataDir;
    next.keepDays = options_.keepDays;
    if (next.mqtt && !station_->Writer()) {
        if (error)
            *error = QStringLiteral("--mqtt needs --data-dir, which changes only with a restart");
        return false;
    }

    // What changes is built and checked first; only when all of it works is anything running
    // replaced, so that a reload that fails leaves the service exactly as it was.
    const bool brokerChanges = options_.mqtt != next.mqtt || options_.site != next.site ||
                               options_.caFile != next.caFile ||
                               options_.haDiscovery != next.haDiscovery ||
                               options_.haPrefix != next.haPrefix;
    std::unique_ptr<MqttPublisher> publisher;
    if (brokerChanges && next.mqtt) {
        publisher = MakePublisher(next, error);
        if (!publisher) return false;
    }
    const bool metricsChange = options_.metrics != next.metrics;
    std::unique_ptr<web::WebServer> metricsServer;
    bool previousListenerClosed = false;
    if (metricsChange && !next.metrics.isEmpty()) {
        metricsServer = MakeMetricsServer(next.metrics, error);
        // Another host on the same port (127.0.0.1:9105 to 0.0.0.0:9105) can only listen once
        // the running listener has let the port go.
        const auto previous = web::ParseHttpAddress(options_.metrics);
        const auto wanted = web::ParseHttpAddress(next.metrics);
        if (!metricsServer && metricsServer_ && previous && wanted &&
            previous->port == wanted->port) {
            metricsServer_.reset();
            previousListenerClosed = true;
            metricsServer = MakeMetricsServer(next.metrics, error);
        }
        if (!metricsServer) {
            if (previousListenerClosed) RelistenMetrics();
            return false;
        }
    }

    if (brokerChanges) {
        std::unique_ptr<MqttPublisher> previous = std::move(publisher_);
        if (previous) previous->Stop();
        publisher_ = std::move(publisher);
        // Checked above: only a file changed meanwhile makes this fail.
        if (publisher_ && !publisher_->Start(error)) {
            publisher_ = std::move(previous);
            if (publisher_) publisher_->Start();
            metricsServer.reset();
            if (previousListenerClosed) RelistenMetrics();
            return false;
        }
    }
    if (metricsChange) metricsServer_ = std::move(metricsServer);
    const bool httpChanges = options_.web != next.web;
    if (httpChanges) {
        // The running server holds its port until it is gone; a server that cannot start
        // on the new settings leaves none, which the log says.
        httpServer_.reset();
        QString reason;
        if (!next.web.http.isEmpty()) httpServer_ = MakeHttpServer(next, &reason);
        if (!next.web.http.isEmpty() && !httpServer_) qCCritical(ServiceLog).noquote() << reason;
    }
    StartNotifier(next);
    const ServiceOptions previous = options_;
    options_ = next;
    ApplyMetricsLabels();
    if (previous.site != next.site) web_->Watcher().SetSite(next.site);
    if (previous.alarms != next.alarms) station_->Alarms().SetSettings(next.alarms);
    if (previous.discharge != next.discharge) station_->Discharges().SetSettings(next.discharge);
    if (previous.periodSeconds != next.periodSeconds)
        station_->Session().SetSamplingPeriodMs(
            SamplingPeriodMs(next.periodSeconds).value_or(MonitorSession::kDefaultSamplingMs));
    if (previous.port != next.port) {
        reopenTimer_.stop();
        station_->Session().ClosePort();
        station_->Session().OpenPort(next.port);
    }
    qCInfo(ConfigLog).noquote() << QStringLiteral(
                                       "configuration re-read: port %1, period %2 s, site %3")
                                       .arg(next.port)
                                       .arg(next.periodSeconds)
                                       .arg(next.site);
    return true;
}

void BatmonService::RelistenMetrics() {
    QString reason;
    metricsServer_ = MakeMetricsServer(options_.metrics, &reason);
    if (metricsServer_) return;
    qCCritical(ServiceLog).noquote()
        << QStringLiteral("cannot serve /metrics on %1 again: %2").arg(options_.metrics, reason);
}

bool BatmonService::Shutdown() {
    if (shuttingDown_) return lostAtStop_.None();
    shuttingDown_ = true;
    reopenTimer_.stop();
    httpServer_.reset();
    metricsServer_.reset();
    if (publisher_) publisher_->Stop();
    if (notifier_) notifier_->Stop();
    lostAtStop_ = station_->Shutdown();
    station_->Session().ClosePort();
    if (lostAtStop_.None()) return true;
    qCCritical(StoreLog).noquote()
        << QStringLiteral(
               "store error at stop: %1 readings and %2 alarm events could not be written and "
               "are lost")
               .arg(lostAtStop_.readings)
               .arg(lostAtStop_.alarms);
    return false;
}

void BatmonService::ApplyMetricsLabels() {
    metrics_.SetSiteLabel(options_.metricsSiteLabel ? std::optional<QString>(options_.site)
                                                    : std::nullopt);
}

quint16 BatmonService::MetricsPort() const { return metricsServer_ ? metricsServer_->Port() : 0; }

quint16 BatmonService::HttpPort() const { return httpServer_ ? httpServer_->Port() : 0; }

void BatmonService::OnPortOpened(const QString& name) {
    reopenFailureLogged_ = false;
    qCInfo(SerialLog).noquote() << QStringLiteral("port opened: %1").arg(name);
    station_->Session().StartMonitoring();
}

void BatmonService::OnPortOpenFailed(const QString& name, const QString& reason) {
    if (!reopenFailureLogged_)
        qCCritical(SerialLog).noquote()
            << QStringLiteral("cannot open port %1: %2; retrying every %3 s")
                   .arg(name, reason)
                   .arg(kReopenDelayMs / 1000);
    reopenFailureLogged_ = true;
    ScheduleReopen();
}

void BatmonService::OnPortClosed(bool hungUp) {
    if (shuttingDown_ || !hungUp) return;
    qCCritical(SerialLog).noquote() << QStringLiteral("port hung up: %1; reopening every %2 s")
                                           .arg(options_.port)
                                           .arg(kReopenDelayMs / 1000);
    reopenFailureLogged_ = true;
    ScheduleReopen();
}

void BatmonService::ScheduleReopen() {
    if (!shuttingDown_) reopenTimer_.start();
}

void BatmonService::Reopen() {
    if (shuttingDown_) return;
    station_->Session().ClosePort();
    station_->Session().OpenPort(options_.port);
}
