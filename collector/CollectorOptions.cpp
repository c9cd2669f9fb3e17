#include "collector/CollectorOptions.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>

namespace {

std::optional<CollectorOptions> Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

// QSettings splits unquoted values at commas; a connection string or password may have some.
QString IniText(const QSettings& settings, const QString& key) {
    const QVariant value = settings.value(key);
    if (value.userType() == QMetaType::QStringList) return value.toStringList().join(u',');
    return value.toString();
}

bool ReadCount(const QString& text, int low, int* out) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low) return false;
    *out = value;
    return true;
}

}  // namespace

std::optional<CollectorOptions> ParseCollectorOptions(const QStringList& arguments,
                                                      QString* error) {
    QCommandLineParser parser;
    const QCommandLineOption mqtt(QStringLiteral("mqtt"), QStringLiteral("Broker URL."),
                                  QStringLiteral("URL"));
    const QCommandLineOption postgres(QStringLiteral("postgres"),
                                      QStringLiteral("PostgreSQL connection string."),
                                      QStringLiteral("CONNINFO"));
    const QCommandLineOption config(QStringLiteral("config"), QStringLiteral("INI file."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption clientId(QStringLiteral("client-id"),
                                      QStringLiteral("MQTT client id of the kept session."),
                                      QStringLiteral("ID"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"),
                                    QStringLiteral("CA certificate for mqtts://."),
                                    QStringLiteral("FILE"));
    parser.addOptions({mqtt, postgres, config, clientId, caFile});
    if (!parser.parse(arguments)) return Fail(error, parser.errorText());
    if (!parser.positionalArguments().isEmpty()) {
        return Fail(
            error,
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));
    }

    QString url, user, password;
    CollectorOptions options;
    if (parser.isSet(config)) {
        const QString file = parser.value(config);
        if (!QFileInfo(file).isReadable()) {
            return Fail(error, QStringLiteral("cannot read the configuration file %1").arg(file));
        }
        QSettings ini(file, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError) {
            return Fail(error, QStringLiteral("cannot parse the configuration file %1").arg(file));
        }
        url = IniText(ini, QStringLiteral("mqtt"));
        options.postgres = IniText(ini, QStringLiteral("postgres"));
        if (ini.contains(QStringLiteral("client_id"))) {
            options.clientId = IniText(ini, QStringLiteral("client_id"));
        }
        user = IniText(ini, QStringLiteral("mqtt_user"));
        password = IniText(ini, QStringLiteral("mqtt_password"));
        options.caFile = IniText(ini, QStringLiteral("ca_file"));
        const struct {
            const char* key;
            int low;
            int* out;
        } counts[] = {{"batch_rows", 1, &options.batchRows},
                      {"flush_ms", 1, &options.flushIntervalMs},
                      {"max_held_rows", 1, &options.maxHeldRows}};
        for (const auto& count : counts) {
            const QString key = QString::fromLatin1(count.key);
            if (ini.contains(key) && !ReadCount(IniText(ini, key), count.low, count.out)) {
                return Fail(error, QStringLiteral("%1 must be a positive whole number").arg(key));
            }
        }
    }
    if (parser.isSet(mqtt)) url = parser.value(mqtt);
    if (parser.isSet(postgres)) options.postgres = parser.value(postgres);
    if (parser.isSet(clientId)) options.clientId = parser.value(clientId);
    if (parser.isSet(caFile)) options.caFile = parser.value(caFile);

    if (url.isEmpty()) return Fail(error, QStringLiteral("--mqtt URL is required"));
    if (options.postgres.isEmpty())
        return Fail(error, QStringLiteral("--postgres CONNINFO is required"));
    if (options.clientId.isEmpty()) return Fail(error, QStringLiteral("the client id is empty"));
    QString urlError;
    const auto endpoint = ParseMqttUrl(url, &urlError);
    if (!endpoint) return Fail(error, urlError);
    options.broker = *endpoint;
    if (options.broker.user.isEmpty()) {
        options.broker.user = user;
        options.broker.password = password;
    }
    return options;
}
