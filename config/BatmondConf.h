#pragma once

#include "config/Setting.h"

namespace config {

// batmond's settings: its command line and its configuration file, which the window reads too
// for its broker settings (mqtt, mqtt_user, mqtt_password, ca_file, site).
inline constexpr Setting kBatmondSettings[] = {
    {"port", "PORT", "Serial port or tcp://HOST:PORT of the bus."},
    {"period", "SECONDS", "Sampling period, 1 to 86400 (default 10)."},
    {"data_dir", "DIR", "Folder of the history store (history.sqlite); needed with --mqtt."},
    {"site", "NAME", "The room's name in topics and metric labels (default: the host name)."},
    {"mqtt", "URL", "Broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS)."},
    {"mqtt_user", "USER", "Broker login.", SettingPlace::File},
    {"mqtt_password", "PASSWORD", "Broker password.", SettingPlace::File},
    {"ca_file", "FILE", "CA certificate the broker's TLS certificate is checked against."},
    {"ha_discovery", "BOOL", "Publish Home Assistant discovery documents: true or false."},
    {"ha_prefix", "PREFIX", "Home Assistant's discovery prefix (default homeassistant)."},
    {"metrics", "HOST:PORT", "Serve /metrics there; a bare port or :PORT means 127.0.0.1."},
    {"metrics_site_label", "BOOL", "Put the site label on every metric: true or false."},
    {"keep_days", "DAYS", "Delete readings older than this many days (0: keep)."},
    {"config", "FILE", "INI file (default /etc/batmon/batmond.conf when it exists).",
     SettingPlace::CommandLine},
};

// Read when no --config names another file, if it exists.
inline constexpr char kBatmondConfFile[] = "/etc/batmon/batmond.conf";

}  // namespace config
