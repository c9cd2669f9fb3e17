#include "service/ServiceOptions.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>
#include <map>

#include "mqtt/BatmonMessages.h"
#include "service/MetricsServer.h"

namespace {

std::optional<ServiceOptions> Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

// QSettings splits unquoted values at commas; a password may have some.
QString IniText(const QSettings& settings, const QString& key) {
    const QVariant value = settings.value(key);
    if (value.userType() == QMetaType::QStringList) return value.toStringList().join(u',');
    return value.toString();
}

struct Setting {
    const char* name;  // command-line option; the INI key has '_' for '-'
    const char* valueName;
    const char* help;
};

constexpr Setting kSettings[] = {
    {"port", "PORT", "Serial port or tcp://HOST:PORT of the bus."},
    {"period", "SECONDS", "Sampling period (default 10)."},
    {"data-dir", "DIR", "Folder of the history store."},
    {"site", "NAME", "Site name in topics and metrics (default: the host name)."},
    {"mqtt", "URL", "Broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]."},
    {"metrics", "HOST:PORT", "Serve /metrics there (host 127.0.0.1 unless given)."},
    {"keep-days", "DAYS", "Delete readings older than this (0: keep)."},
    {"ca-file", "FILE", "CA certificate for mqtts://."},
};

}  // namespace

std::optional<ServiceOptions> ParseServiceOptions(const QStringList& arguments,
                                                  const QString& defaultConfig, QString* error,
                                                  bool portRequired) {
    QCommandLineParser parser;
    QList<QCommandLineOption> options;
    for (const Setting& s : kSettings)
        options.append(QCommandLineOption(QString::fromLatin1(s.name), QString::fromUtf8(s.help),
                                          QString::fromLatin1(s.valueName)));
    const QCommandLineOption config(QStringLiteral("config"), QStringLiteral("INI file."),
                                    QStringLiteral("FILE"));
    options.append(config);
    parser.addOptions(options);
    if (!parser.parse(arguments)) return Fail(error, parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return Fail(
            error,
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    ServiceOptions result;
    QString configFile = parser.value(config);
    if (configFile.isEmpty() && !defaultConfig.isEmpty() && QFileInfo::exists(defaultConfig))
        configFile = defaultConfig;
    std::map<QString, QString> values;  // option name -> text
    QString user, password;
    if (!configFile.isEmpty()) {
        if (!QFileInfo(configFile).isReadable())
            return Fail(error,
                        QStringLiteral("cannot read the configuration file %1").arg(configFile));
        QSettings ini(configFile, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError)
            return Fail(error,
                        QStringLiteral("cannot parse the configuration file %1").arg(configFile));
        for (const Setting& s : kSettings) {
            const QString key = QString::fromLatin1(s.name).replace(u'-', u'_');
            if (ini.contains(key)) values[QString::fromLatin1(s.name)] = IniText(ini, key);
        }
        user = IniText(ini, QStringLiteral("mqtt_user"));
        password = IniText(ini, QStringLiteral("mqtt_password"));
        result.configFile = configFile;
    }
    for (const Setting& s : kSettings) {
        const QString name = QString::fromLatin1(s.name);
        if (parser.isSet(name)) values[name] = parser.value(name);
    }
    const auto value = [&](const char* name) {
        const auto it = values.find(QString::fromLatin1(name));
        return it == values.end() ? QString() : it->second.trimmed();
    };

    result.port = value("port");
    if (result.port.isEmpty() && portRequired)
        return Fail(error, QStringLiteral("--port is required"));
    if (const QString text = value("period"); !text.isEmpty()) {
        bool ok = false;
        result.periodSeconds = text.toInt(&ok);
        if (!ok || result.periodSeconds < 1 || result.periodSeconds > 86400)
            return Fail(
                error, QStringLiteral("--period must be 1 to 86400 seconds, not \"%1\"").arg(text));
    }
    if (const QString text = value("keep-days"); !text.isEmpty()) {
        bool ok = false;
        result.keepDays = text.toInt(&ok);
        if (!ok || result.keepDays < 0)
            return Fail(error,
                        QStringLiteral("--keep-days must be 0 or more, not \"%1\"").arg(text));
    }
    result.dataDir = value("data-dir");
    result.site = value("site");
    if (result.site.isEmpty()) result.site = QSysInfo::machineHostName();
    if (!IsValidSiteName(result.site))
        return Fail(
            error, QStringLiteral("the site name \"%1\" cannot be a topic level").arg(result.site));
    if (const QString url = value("mqtt"); !url.isEmpty()) {
        QString reason;
        result.mqtt = ParseMqttUrl(url, &reason);
        if (!result.mqtt) return Fail(error, QStringLiteral("--mqtt: %1").arg(reason));
        if (result.mqtt->user.isEmpty()) result.mqtt->user = user;
        if (result.mqtt->password.isEmpty()) result.mqtt->password = password;
    }
    result.caFile = value("ca-file");
    result.metrics = value("metrics");
    if (!result.metrics.isEmpty()) {
        QHostAddress address;
        quint16 port = 0;
        if (!ParseListenAddress(result.metrics, &address, &port))
            return Fail(
                error, QStringLiteral("--metrics wants HOST:PORT, not \"%1\"").arg(result.metrics));
    }
    return result;
}
