#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "alarms/AlarmLimits.h"
#include "alarms/Discharge.h"
#include "config/CommandLine.h"
#include "mqtt/MqttUrl.h"
#include "notify/NotifySettings.h"
#include "web/WebServer.h"
#include "web/WebSettings.h"

struct ServiceOptions {
    QString port;  // serial port name or tcp://HOST:PORT
    int periodSeconds = 10;
    QString dataDir;
    QString site;                      // topic level and metrics label; the host name by default
    std::optional<MqttEndpoint> mqtt;  // none: no publishing
    QString caFile;
    QString metrics;                // HOST:PORT of /metrics; empty: none
    bool metricsSiteLabel = false;  // the site label on every series
    web::WebSettings web;           // the web server; none when web.http is empty
    bool haDiscovery = false;       // Home Assistant discovery documents on the broker
    QString haPrefix = QStringLiteral("homeassistant");
    int keepDays = 0;
    alarms::AlarmSettings alarms;  // from the file's alarm_* keys; the defaults without them
    alarms::DeviceDischargeSettings discharge{};  // from the file's discharge_* keys
    QString configFile;                           // the INI file read, empty when none
    notify::NotifySettings notify;                // the channels whose settings are right
    QStringList notifyProblems;                   // one line for each channel left out, and why
    bool testNotify = false;  // send a test message through each channel and exit

    bool operator==(const ServiceOptions&) const = default;
};

// Where /metrics is served: "HOST:PORT" with an IP address ("0.0.0.0:9061", "[::1]:9061"), or
// ":9061", "9061" or "localhost:9061" for 127.0.0.1; the port 1 to 65535.
std::optional<web::HttpAddress> ParseMetricsAddress(const QString& text);

// batmond's command line and configuration file, both read with config::kBatmondSettings: the
// file gives defaults and the command line wins. Without --config, `defaultConfig` is read when
// it exists. A key the file should not hold is refused like a wrong value: batmond does not
// start on it, and a SIGHUP keeps the running settings. A notification channel whose settings
// are wrong is only left out (notifyProblems says why): the rest runs.
config::Parsed<ServiceOptions> ParseServiceOptions(const QStringList& arguments,
                                                   const QString& defaultConfig);
