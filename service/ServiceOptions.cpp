#include "service/ServiceOptions.h"

#include <QFileInfo>
#include <array>
#include <map>

#include "config/BatmondConf.h"
#include "config/IniFile.h"
#include "config/SettingValues.h"
#include "mqtt/BatmonMessages.h"
#include "mqtt/BrokerSettings.h"
#include "serial/PortName.h"
#include "web/WebSettings.h"

namespace {

const QString kProgram = QStringLiteral("batmond");

// The alarm settings of the file's alarm_* keys, the defaults for those it does not set. A
// battery's own limits are named by its register ("alarm_high_temperature_warning.A1-82").
// Nothing, with one line in `error` naming the key, for a value the limits dialog would refuse.
std::optional<alarms::AlarmSettings> ReadAlarmSettings(const config::SettingValues& values,
                                                       QString* error) {
    alarms::AlarmSettingTexts texts = alarms::SettingTexts(alarms::AlarmSettings{});
    std::map<battery::BatteryId, QString> written;  // each battery's qualifier as written
    for (int i = 0; i < alarms::kSettingFieldCount; ++i) {
        const QByteArray key = alarms::IniKey(static_cast<alarms::SettingField>(i)).toLatin1();
        if (values.Has(key.constData()))
            texts.common[std::size_t(i)] = values.Value(key.constData());
        if (i >= alarms::kLimitFieldCount) continue;
        for (const QString& qualifier : values.Qualifiers(key.constData())) {
            const QByteArray qualified = key + '.' + qualifier.toLatin1();
            const std::optional<battery::BatteryId> battery =
                battery::BatteryFromRegisterName(qualifier);
            if (!battery || !battery::WatchedIndex(*battery)) {
                *error = QStringLiteral(
                             "%1: not a watched battery: \"%2\" (A0-80 to A0-87, "
                             "A1-80 to A1-85)")
                             .arg(values.Label(qualified.constData()), qualifier);
                return std::nullopt;
            }
            texts.batteries[*battery][std::size_t(i)] = values.Value(qualified.constData());
            written[*battery] = qualifier;
        }
    }
    const alarms::SettingsCheck check = alarms::ParseSettings(texts);
    if (check.settings) return check.settings;
    QString key = alarms::IniKey(check.problem.field);
    if (check.problem.battery) key += u'.' + written[*check.problem.battery];
    *error = QStringLiteral("%1: %2").arg(values.Label(key.toLatin1().constData()),
                                          check.problem.reason);
    return std::nullopt;
}

// The discharge settings of the file's discharge_* keys: a key alone sets both devices, a key
// qualified by a device's name ("discharge_start_voltage.A1") that device only.
std::optional<alarms::DeviceDischargeSettings> ReadDischargeSettings(
    const config::SettingValues& values, QString* error) {
    constexpr std::array<const char*, 4> kKeys = {"discharge_start_voltage", "discharge_end_level",
                                                  "discharge_end_voltage",
                                                  "discharge_capacity_minutes"};
    std::array<alarms::DischargeSettingTexts, 2> texts;
    texts.fill(alarms::DischargeTexts(alarms::DischargeSettings{}));
    const auto field = [](alarms::DischargeSettingTexts& t, std::size_t i) -> QString& {
        switch (i) {
            case 0:
                return t.startV;
            case 1:
                return t.endLevelV;
            case 2:
                return t.endVoltageV;
            default:
                return t.requiredMinutes;
        }
    };
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (values.Has(kKeys[i])) {
            for (auto& t : texts) field(t, i) = values.Value(kKeys[i]);
        }
    }
    std::array<QString, 2> named;  // the qualifier of each device's own value, as written
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        for (const QString& qualifier : values.Qualifiers(kKeys[i])) {
            const QByteArray qualified = QByteArray(kKeys[i]) + '.' + qualifier.toLatin1();
            const std::optional<std::uint8_t> device = battery::DeviceFromName(qualifier);
            if (!device) {
                *error = QStringLiteral("%1: not a device: \"%2\" (A0 or A1)")
                             .arg(values.Label(qualified.constData()), qualifier);
                return std::nullopt;
            }
            const auto d = static_cast<std::size_t>(battery::DeviceIndex(*device));
            field(texts[d], i) = values.Value(qualified.constData());
            named[d] = qualifier;
        }
    }
    alarms::DeviceDischargeSettings settings{};
    for (std::size_t d = 0; d < texts.size(); ++d) {
        QString problem;
        QString reason;
        const std::optional<alarms::DischargeSettings> parsed =
            alarms::ParseDischargeSettings(texts[d], &problem, &reason);
        if (!parsed) {
            *error = QStringLiteral("discharge settings of %1: %2")
                         .arg(battery::DeviceName(battery::kDevices[d]), reason);
            return std::nullopt;
        }
        settings[d] = *parsed;
    }
    return settings;
}

// A whole number of at least `low` and at most `high`, or nothing.
std::optional<int> WholeNumber(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

std::optional<web::HttpAddress> ParseMetricsAddress(const QString& text) {
    std::optional<web::HttpAddress> address = web::ParseHttpAddress(text);
    if (!address || address->port == 0) return std::nullopt;
    return address;
}

config::Parsed<ServiceOptions> ParseServiceOptions(const QStringList& arguments,
                                                   const QString& defaultConfig) {
    config::CommandLine line(
        kProgram, QStringLiteral("--port PORT [options]"),
        QStringLiteral("Polls the battery bus without a window, keeps the history store and feeds "
                       "MQTT and /metrics.\nSIGHUP re-reads the configuration file; the command "
                       "line wins over it."),
        config::kBatmondSettings);
    config::Parsed<ServiceOptions> parsed;
    if (!line.Parse(arguments, &parsed.exit)) return parsed;
    const auto refuse = [&](const QString& reason) {
        parsed.exit = {2, reason};
        return parsed;
    };

    QString configFile = line.Value("config");
    if (configFile.isEmpty() && !defaultConfig.isEmpty() && QFileInfo::exists(defaultConfig))
        configFile = defaultConfig;
    std::optional<config::IniFile> file;
    if (!configFile.isEmpty()) {
        QString error;
        file = config::IniFile::Read(configFile, config::kBatmondSettings, &error);
        if (!file) return refuse(error);
        if (!file->Unknown().isEmpty()) return refuse(file->Unknown().constFirst());
    }
    const config::SettingValues values(&line, file ? &*file : nullptr);
    const auto wrong = [&](const char* key, const QString& problem) {
        return refuse(values.Label(key) + QStringLiteral(": ") + problem);
    };

    ServiceOptions result;
    result.configFile = file ? configFile : QString();
    result.port = values.Value("port");
    const bool testNotify = line.IsSet("test_notify");
    if (result.port.isEmpty() && !testNotify) return refuse(QStringLiteral("--port is required"));
    if (const auto problem = PortNameProblem(result.port); problem && !testNotify)
        return wrong("port", *problem);
    if (!values.Value("period").isEmpty()) {
        const auto period = WholeNumber(values.Value("period"), 1, 86400);
        if (!period)
            return refuse(QStringLiteral("%1 must be 1 to 86400 seconds, not \"%2\"")
                              .arg(values.Label("period"), values.Value("period")));
        result.periodSeconds = *period;
    }
    if (!values.Value("keep_days").isEmpty()) {
        const auto days = WholeNumber(values.Value("keep_days"), 0, 1 << 30);
        if (!days)
            return refuse(QStringLiteral("%1 must be 0 or more days, not \"%2\"")
                              .arg(values.Label("keep_days"), values.Value("keep_days")));
        result.keepDays = *days;
    }
    result.dataDir = values.Value("data_dir");
    QString error;
    const std::optional<QString> site = ReadSiteSetting(values, &error);
    if (!site) return refuse(error);
    result.site = *site;
    const std::optional<BrokerSettings> broker = ReadBrokerSettings(values, &error);
    if (!broker) return refuse(error);
    result.mqtt = broker->endpoint;
    result.caFile = broker->caFile;
    const std::optional<alarms::AlarmSettings> alarmSettings = ReadAlarmSettings(values, &error);
    if (!alarmSettings) return refuse(error);
    result.alarms = *alarmSettings;
    const std::optional<alarms::DeviceDischargeSettings> discharge =
        ReadDischargeSettings(values, &error);
    if (!discharge) return refuse(error);
    result.discharge = *discharge;
    result.metrics = values.Value("metrics");
    if (!result.metrics.isEmpty() && !ParseMetricsAddress(result.metrics))
        return refuse(QStringLiteral("%1 wants HOST:PORT with an IP address, or a port for "
                                     "127.0.0.1, not \"%2\"")
                          .arg(values.Label("metrics"), result.metrics));
    const std::optional<web::WebSettings> webSettings = web::ReadWebSettings(values, &error);
    if (!webSettings) return refuse(error);
    result.web = *webSettings;
    const auto readSwitch = [&](const char* key, bool* into) {
        const std::optional<bool> value = values.Switch(key, *into);
        if (value) *into = *value;
        return value.has_value();
    };
    const auto notSwitch = [&](const char* key) {
        return refuse(QStringLiteral("%1 must be true or false, not \"%2\"")
                          .arg(values.Label(key), values.Value(key)));
    };
    if (!readSwitch("metrics_site_label", &result.metricsSiteLabel))
        return notSwitch("metrics_site_label");
    if (!readSwitch("ha_discovery", &result.haDiscovery)) return notSwitch("ha_discovery");
    if (values.Has("ha_prefix")) result.haPrefix = values.Value("ha_prefix");
    if (const auto problem = DiscoveryPrefixProblem(result.haPrefix))
        return wrong("ha_prefix", *problem);
    if (result.haDiscovery && !result.mqtt)
        return refuse(QStringLiteral("%1 needs a broker (mqtt)").arg(values.Label("ha_discovery")));
    result.notify = notify::ReadNotifySettings(values, &result.notifyProblems);
    result.testNotify = testNotify;
    if (result.notify.Any() && result.dataDir.isEmpty() && !result.testNotify) {
        result.notifyProblems << QStringLiteral(
            "notifications need data_dir: they wait in the history store until delivered");
        result.notify = notify::NotifySettings{};
    }
    parsed.options = result;
    return parsed;
}
