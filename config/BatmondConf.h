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
    {"http", "HOST:PORT",
     "Serve the web page, the JSON API and /metrics there; a bare port or :PORT means 127.0.0.1."},
    {"http_read_auth", "BOOL", "Reading the page and the API needs sign-in too: true or false."},
    {"http_users", "FILE", "Users who may sign in: name:hash lines, hashes made with mkpasswd."},
    {"http_cert", "FILE", "TLS certificate (PEM) of the web server; with http_key: https."},
    {"http_key", "FILE", "Private key (PEM) of http_cert."},
    {"keep_days", "DAYS", "Delete readings older than this many days (0: keep)."},
    // The alarm rules. Limits are off unless set; "off" (or an empty value) switches off a limit
    // that is on by default. The six limits may also be set for one battery, by its register
    // name: alarm_high_temperature_warning.A1-82 = 42.
    {"alarm_low_voltage_warning", "VOLTS", "Warning below this voltage.", SettingPlace::File,
     "BATTERY"},
    {"alarm_low_voltage_critical", "VOLTS", "Critical below this voltage.", SettingPlace::File,
     "BATTERY"},
    {"alarm_high_voltage_warning", "VOLTS", "Warning above this voltage.", SettingPlace::File,
     "BATTERY"},
    {"alarm_high_voltage_critical", "VOLTS", "Critical above this voltage.", SettingPlace::File,
     "BATTERY"},
    {"alarm_high_temperature_warning", "CELSIUS", "Warning above this temperature.",
     SettingPlace::File, "BATTERY"},
    {"alarm_high_temperature_critical", "CELSIUS", "Critical above this temperature.",
     SettingPlace::File, "BATTERY"},
    {"alarm_voltage_clear_margin", "VOLTS",
     "A voltage alarm clears this far back inside its limit (default 0.1).", SettingPlace::File},
    {"alarm_temperature_clear_margin", "CELSIUS",
     "A temperature alarm clears this far back inside its limit (default 1).", SettingPlace::File},
    {"alarm_on_delay", "READINGS",
     "A limit or string alarm is raised after this many readings in a row, 1 to 100 (default 2).",
     SettingPlace::File},
    {"alarm_voltage_deviation_warning", "VOLTS",
     "Warning this far from the device's median voltage (default 0.3).", SettingPlace::File},
    {"alarm_voltage_deviation_critical", "VOLTS",
     "Critical this far from the device's median voltage (default 0.5).", SettingPlace::File},
    {"alarm_voltage_spread_warning", "VOLTS",
     "Warning when a device's voltages spread this far (default 0.6).", SettingPlace::File},
    {"alarm_voltage_spread_critical", "VOLTS",
     "Critical when a device's voltages spread this far (default 1.0).", SettingPlace::File},
    {"alarm_temperature_above_median_warning", "CELSIUS",
     "Warning this far above the device's median temperature (default 5).", SettingPlace::File},
    {"alarm_temperature_above_median_critical", "CELSIUS",
     "Critical this far above the device's median temperature (default 10).", SettingPlace::File},
    {"alarm_temperature_rise_warning", "CELSIUS",
     "Warning after a rise this large within 30 minutes (default 2).", SettingPlace::File},
    {"alarm_temperature_rise_critical", "CELSIUS",
     "Critical after a rise this large within 30 minutes (default 5).", SettingPlace::File},
    // Alarm delivery: mail, a webhook and the operator's command, each with its minimum level
    // (warning or critical, default warning).
    {"mail_smtp", "URL",
     "Mail server: smtp://HOST[:PORT] (STARTTLS when offered; required with a login to another "
     "host) or smtps://HOST[:PORT]."},
    {"mail_user", "USER", "Mail server login.", SettingPlace::File},
    {"mail_password", "PASSWORD", "Mail server password.", SettingPlace::File},
    {"mail_from", "ADDRESS", "Sender address of alarm mail."},
    {"mail_to", "ADDRESSES", "Recipients of alarm mail, comma-separated."},
    {"mail_min_level", "LEVEL", "Mail only alarms of this level or worse: warning or critical."},
    {"webhook_url", "URL", "POST alarms to this http:// or https:// URL.", SettingPlace::File},
    {"webhook_format", "FORMAT", "json (batmon's document) or ntfy (ntfy's title and priority)."},
    {"webhook_min_level", "LEVEL", "Post only alarms of this level or worse."},
    {"notify_command", "COMMAND",
     "Program (and arguments) run without a shell for each alarm event, with BATMON_* "
     "variables.",
     SettingPlace::File},
    {"notify_command_timeout_s", "SECONDS", "The command is stopped after this long (default 30)."},
    {"notify_min_level", "LEVEL", "Run the command only for alarms of this level or worse."},
    {"notify_acknowledged", "BOOL", "Deliver acknowledged events too: true or false."},
    {"notify_ca_file", "FILE", "CA certificate for the mail server's and the webhook's TLS."},
    {"notify_group_s", "SECONDS",
     "Events this soon after a channel's last message go out together (default 30)."},
    {"notify_max_per_hour", "COUNT",
     "Messages per hour and channel before one summary, 1 to 3600 (default 20)."},
    {"notify_retry_max_s", "SECONDS",
     "Longest wait between delivery attempts while a server is away (default 300)."},
    {"test_notify", nullptr,
     "Send a test message through every notification channel, report each and exit.",
     SettingPlace::CommandLine},
    // Discharges, for both devices or one of them by its name: discharge_start_voltage.A1 = 25.2.
    {"discharge_start_voltage", "VOLTS",
     "A discharge starts when the device's median voltage is below this (default 12.6).",
     SettingPlace::File, "DEVICE"},
    {"discharge_end_level", "VOLTS",
     "A discharge ends when the device's median voltage is above this (default 13.0).",
     SettingPlace::File, "DEVICE"},
    {"discharge_end_voltage", "VOLTS",
     "A battery at or below this has reached its end voltage (default 10.5).", SettingPlace::File,
     "DEVICE"},
    {"discharge_capacity_minutes", "MINUTES",
     "A capacity test: the minutes the string must carry its load (default: none).",
     SettingPlace::File, "DEVICE"},
    {"config", "FILE", "INI file (default /etc/batmon/batmond.conf when it exists).",
     SettingPlace::CommandLine},
};

// Read when no --config names another file, if it exists.
inline constexpr char kBatmondConfFile[] = "/etc/batmon/batmond.conf";

}  // namespace config
