#include "mqtt/BrokerSettings.h"

#include <QSysInfo>

#include "mqtt/BatmonMessages.h"

std::optional<BrokerSettings> ReadBrokerSettings(const config::SettingValues& values,
                                                 QString* error) {
    const auto wrong = [&](const char* key, const QString& problem) {
        if (error) *error = values.Label(key) + QStringLiteral(": ") + problem;
        return std::nullopt;
    };
    BrokerSettings broker;
    if (const QString url = values.Value("mqtt"); !url.isEmpty()) {
        QString reason;
        broker.endpoint = ParseMqttUrl(url, &reason);
        if (!broker.endpoint) return wrong("mqtt", reason);
        broker.endpoint->user = values.Value("mqtt_user");
        broker.endpoint->password = values.Value("mqtt_password");
    }
    broker.caFile = values.Value("ca_file");
    if (!broker.caFile.isEmpty()) {
        if (const auto problem = config::ReadableFileProblem(broker.caFile))
            return wrong("ca_file", QStringLiteral("the CA file ") + *problem);
    }
    return broker;
}

std::optional<QString> ReadSiteSetting(const config::SettingValues& values, QString* error) {
    QString site = values.Value("site");
    if (site.isEmpty()) site = QSysInfo::machineHostName();
    if (const auto problem = SiteNameProblem(site)) {
        if (error) *error = values.Label("site") + QStringLiteral(": ") + *problem;
        return std::nullopt;
    }
    return site;
}
