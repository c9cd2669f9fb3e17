#include "collector/CollectorOptions.h"

#include <libpq-fe.h>

#include <memory>

#include "config/IniFile.h"
#include "config/SettingValues.h"
#include "mqtt/BrokerSettings.h"

namespace {

using config::SettingPlace;

constexpr config::Setting kCollectorSettings[] = {
    {"mqtt", "URL", "Broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS)."},
    {"postgres", "CONNINFO", "PostgreSQL connection string (\"host=db dbname=batmon\")."},
    {"client_id", "ID",
     "MQTT client id of the session the broker keeps (default "
     "batmon-collector); run one collector per id."},
    {"ca_file", "FILE", "CA certificate for mqtts:// (default: the system's CA store)."},
    {"mqtt_user", "USER", "Broker login.", SettingPlace::File},
    {"mqtt_password", "PASSWORD", "Broker password.", SettingPlace::File},
    {"batch_rows", "N", "Rows written in one go (default 5000).", SettingPlace::File},
    {"flush_ms", "MS", "Longest wait before held rows are written (default 100).",
     SettingPlace::File},
    {"max_held_rows", "N", "Rows held before the collector leaves the broker (default 200000).",
     SettingPlace::File},
    {"config", "FILE", "INI file with any of these settings.", SettingPlace::CommandLine},
};

// Why libpq cannot take `conninfo`, or why it must not come from the command line; nothing when
// it is fine.
std::optional<QString> ConnectionStringProblem(const QString& conninfo, bool onCommandLine) {
    char* message = nullptr;
    const std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
        PQconninfoParse(conninfo.toUtf8().constData(), &message), &PQconninfoFree);
    if (!options) {
        const QString reason =
            message ? QString::fromUtf8(message).trimmed() : QStringLiteral("out of memory");
        PQfreemem(message);
        return QStringLiteral("not a PostgreSQL connection string: %1").arg(reason);
    }
    if (!onCommandLine) return std::nullopt;
    for (const PQconninfoOption* option = options.get(); option->keyword; ++option) {
        if (qstrcmp(option->keyword, "password") == 0 && option->val && *option->val)
            return QStringLiteral(
                "a password does not belong on the command line, where every user sees it in "
                "ps: put the connection string into the configuration file, or the password "
                "into ~/.pgpass");
    }
    return std::nullopt;
}

}  // namespace

config::Parsed<CollectorOptions> ParseCollectorOptions(const QStringList& arguments) {
    config::CommandLine line(
        QStringLiteral("batmon-collector"),
        QStringLiteral("--mqtt URL --postgres CONNINFO [options]"),
        QStringLiteral("Takes the readings and alarm events batmon publishes over MQTT and writes "
                       "them into PostgreSQL.\nThe command line wins over the configuration "
                       "file."),
        kCollectorSettings);
    config::Parsed<CollectorOptions> parsed;
    if (!line.Parse(arguments, &parsed.exit)) return parsed;
    const auto refuse = [&](const QString& reason) {
        parsed.exit = {2, reason};
        return parsed;
    };

    std::optional<config::IniFile> file;
    if (line.IsSet("config")) {
        QString error;
        file = config::IniFile::Read(line.Value("config"), kCollectorSettings, &error);
        if (!file) return refuse(error);
        if (!file->Unknown().isEmpty()) return refuse(file->Unknown().constFirst());
    }
    const config::SettingValues values(&line, file ? &*file : nullptr);
    const auto wrong = [&](const char* key, const QString& problem) {
        return refuse(values.Label(key) + QStringLiteral(": ") + problem);
    };

    CollectorOptions options;
    if (values.Value("mqtt").isEmpty()) return refuse(QStringLiteral("--mqtt URL is required"));
    QString error;
    const std::optional<BrokerSettings> broker = ReadBrokerSettings(values, &error);
    if (!broker) return refuse(error);
    options.broker = *broker->endpoint;
    options.caFile = broker->caFile;

    options.postgres = values.Value("postgres");
    if (options.postgres.isEmpty())
        return refuse(QStringLiteral("--postgres CONNINFO is required"));
    if (const auto problem = ConnectionStringProblem(options.postgres, line.IsSet("postgres")))
        return wrong("postgres", *problem);
    if (values.Has("client_id")) options.clientId = values.Value("client_id");
    if (options.clientId.isEmpty()) return refuse(QStringLiteral("the client id is empty"));

    const struct {
        const char* key;
        int* out;
    } counts[] = {{"batch_rows", &options.batchRows},
                  {"flush_ms", &options.flushIntervalMs},
                  {"max_held_rows", &options.maxHeldRows}};
    for (const auto& count : counts) {
        if (!values.Has(count.key)) continue;
        bool ok = false;
        const int value = values.Value(count.key).toInt(&ok);
        if (!ok || value < 1)
            return refuse(QStringLiteral("%1 must be a positive whole number, not \"%2\"")
                              .arg(values.Label(count.key), values.Value(count.key)));
        *count.out = value;
    }
    parsed.options = options;
    return parsed;
}
