#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "alarms/AlarmLimits.h"
#include "alarms/Discharge.h"
#include "config/CommandLine.h"
#include "mqtt/MqttUrl.h"

struct ServiceOptions {
    QString port;  // serial port name or tcp://HOST:PORT
    int periodSeconds = 10;
    QString dataDir;
    QString site;                      // topic level and metrics label; the host name by default
    std::optional<MqttEndpoint> mqtt;  // none: no publishing
    QString caFile;
    QString metrics;                // HOST:PORT of /metrics; empty: none
    bool metricsSiteLabel = false;  // the site label on every series
    bool haDiscovery = false;       // Home Assistant discovery documents on the broker
    QString haPrefix = QStringLiteral("homeassistant");
    int keepDays = 0;
    alarms::AlarmSettings alarms;  // from the file's alarm_* keys; the defaults without them
    alarms::DeviceDischargeSettings discharge{};  // from the file's discharge_* keys
    QString configFile;                           // the INI file read, empty when none

    bool operator==(const ServiceOptions&) const = default;
};

// batmond's command line and configuration file, both read with config::kBatmondSettings: the
// file gives defaults and the command line wins. Without --config, `defaultConfig` is read when
// it exists. A key the file should not hold is refused like a wrong value: batmond does not
// start on it, and a SIGHUP keeps the running settings.
config::Parsed<ServiceOptions> ParseServiceOptions(const QStringList& arguments,
                                                   const QString& defaultConfig);
