#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "mqtt/MqttUrl.h"

struct ServiceOptions {
    QString port;  // serial port name or tcp://HOST:PORT
    int periodSeconds = 10;
    QString dataDir;
    QString site;                      // topic level and metrics label; the host name by default
    std::optional<MqttEndpoint> mqtt;  // none: no publishing
    QString caFile;
    QString metrics;  // HOST:PORT of /metrics; empty: none
    int keepDays = 0;
    QString configFile;  // the INI file read, empty when none

    bool operator==(const ServiceOptions&) const = default;
};

// batmond --port PORT [--period SECONDS] [--data-dir DIR] [--site NAME] [--mqtt URL]
//         [--metrics HOST:PORT] [--config FILE]
// The INI file (keys port, period, data_dir, site, mqtt, mqtt_user, mqtt_password, ca_file,
// metrics, keep_days) gives defaults and the command line wins. Without --config,
// `defaultConfig` is read when it exists. Nothing, with `error` set, on a bad or missing option.
// The window reads the same file for its broker settings, with `portRequired` false: its
// operator chooses the port on its settings page.
std::optional<ServiceOptions> ParseServiceOptions(const QStringList& arguments,
                                                  const QString& defaultConfig, QString* error,
                                                  bool portRequired = true);

inline constexpr char kInstalledConfigFile[] = "/etc/batmon/batmond.conf";

inline constexpr char kServiceUsage[] =
    "usage: batmond --port PORT [--period SECONDS] [--data-dir DIR] [--site NAME] "
    "[--mqtt URL] [--metrics HOST:PORT] [--config FILE]";
