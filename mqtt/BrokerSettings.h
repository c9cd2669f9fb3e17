#pragma once

#include <QString>
#include <optional>

#include "config/SettingValues.h"
#include "mqtt/MqttUrl.h"

// The broker a program reaches, from its settings `mqtt` (the URL), `mqtt_user` and
// `mqtt_password` (the login: in the configuration file only, never in the URL) and `ca_file`.
// batmond, the window and batmon-collector read them the same way.
struct BrokerSettings {
    std::optional<MqttEndpoint> endpoint;  // none when no broker is named
    QString caFile;
};

// Nothing, with one line in `error` naming the setting and its fault, when one is wrong.
std::optional<BrokerSettings> ReadBrokerSettings(const config::SettingValues& values,
                                                 QString* error);

// The setting `site`, or the host name when it is not set; nothing, with one line in `error`,
// when it cannot be a topic level.
std::optional<QString> ReadSiteSetting(const config::SettingValues& values, QString* error);
