#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "alarms/AlarmTypes.h"
#include "engine/Clock.h"
#include "service/MetricsText.h"
#include "service/ServiceOptions.h"
#include "store/WriterReports.h"

class Station;
class MqttPublisher;

namespace notify {
class Notifier;
}  // namespace notify
namespace web {
class StationWeb;
class WebServer;
}  // namespace web

// The headless face of the monitoring engine: a station on the configured port that polls as
// the window does, reopens the port every few seconds while it is missing, and feeds the MQTT
// publisher and the /metrics endpoint when they are configured.
class BatmonService : public QObject {
    Q_OBJECT
public:
    static constexpr int kReopenDelayMs = 3000;

    explicit BatmonService(ServiceOptions options, QObject* parent = nullptr);
    ~BatmonService() override;

    // Opens the port and starts the publisher and the endpoint; false with `error` when a
    // setting can never work (the metrics address cannot be bound, bad MQTT settings).
    bool Start(QString* error);
    // Applies changed settings: period, port, site, broker and metrics address, all or none:
    // when one cannot be applied (the metrics address is taken, the broker settings can never
    // connect) it returns false with `error` and everything runs on as before. The store's
    // folder is fixed for the life of the process.
    bool Reload(const ServiceOptions& options, QString* error);
    // Finishes the current write, says goodbye to the broker and closes the port. What the store
    // holds while it cannot write is tried for a few seconds; false (after one error line with
    // the count) when some of it could not be written.
    bool Shutdown();

    Station& GetStation() { return *station_; }
    quint16 MetricsPort() const;
    quint16 HttpPort() const;

private:
    // An alarm event of the station: one log line and the alarm's state in /metrics (an
    // acknowledged alarm stays active until it clears). The publisher sends it to the broker.
    void ReportAlarm(const alarms::AlarmEvent& event);
    void OnPortOpened(const QString& name);
    void OnPortOpenFailed(const QString& name, const QString& reason);
    void OnPortClosed(bool hungUp);
    void ScheduleReopen();
    void Reopen();
    bool StartPublisher(QString* error);
    bool StartMetrics(QString* error);
    bool StartHttp(QString* error);
    // Logs what is wrong with the notification settings, then starts the channels that are
    // right, in place of those running.
    void StartNotifier(const ServiceOptions& options);
    // A publisher for `options` whose settings passed every check its start makes, not started
    // yet; nothing, with `error`, otherwise.
    std::unique_ptr<MqttPublisher> MakePublisher(const ServiceOptions& options, QString* error);
    // A /metrics endpoint listening on `address`; nothing, with `error`, when it cannot.
    std::unique_ptr<web::WebServer> MakeMetricsServer(const QString& address, QString* error);
    // The web server (page, API, event stream, /metrics) as `options` say; nothing, with
    // `error`, when it cannot start.
    std::unique_ptr<web::WebServer> MakeHttpServer(const ServiceOptions& options, QString* error);
    // The site label on the metrics, or none, as the options say.
    void ApplyMetricsLabels();
    // Listens on the running metrics address again after a reload let it go and then failed.
    void RelistenMetrics();

    ServiceOptions options_;
    SystemClock clock_;
    std::unique_ptr<Station> station_;
    std::unique_ptr<MqttPublisher> publisher_;
    std::unique_ptr<notify::Notifier> notifier_;
    StationMetrics metrics_;
    std::unique_ptr<web::StationWeb> web_;
    std::unique_ptr<web::WebServer> metricsServer_;
    std::unique_ptr<web::WebServer> httpServer_;
    QTimer reopenTimer_;
    bool reopenFailureLogged_ = false;
    bool shuttingDown_ = false;
    store::Unwritten lostAtStop_;
};
