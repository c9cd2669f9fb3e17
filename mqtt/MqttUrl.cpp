#include "mqtt/MqttUrl.h"

#include <QUrl>

namespace {

std::optional<MqttEndpoint> Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

}  // namespace

std::optional<MqttEndpoint> ParseMqttUrl(const QString& text, QString* error) {
    // Checked first, so that no message below repeats a password into the log.
    if (text.contains(u'@'))
        return Fail(error, QStringLiteral("a broker URL carries no login: put it into the "
                                          "configuration file as mqtt_user and mqtt_password"));
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid()) return Fail(error, QStringLiteral("not a valid URL: %1").arg(text));
    MqttEndpoint endpoint;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("mqtt")) {
        endpoint.tls = false;
    } else if (scheme == QLatin1String("mqtts")) {
        endpoint.tls = true;
    } else {
        return Fail(error,
                    QStringLiteral("the URL must start with mqtt:// or mqtts://: %1").arg(text));
    }
    endpoint.host = url.host();
    if (endpoint.host.isEmpty()) return Fail(error, QStringLiteral("no host in %1").arg(text));
    if (!url.path().isEmpty() && url.path() != QLatin1String("/")) {
        return Fail(error, QStringLiteral("a broker URL has no path: %1").arg(text));
    }
    if (url.hasQuery() || url.hasFragment()) {
        return Fail(error, QStringLiteral("a broker URL has no query or fragment: %1").arg(text));
    }
    const int defaultPort = endpoint.tls ? 8883 : 1883;
    endpoint.port = url.port(defaultPort);
    if (endpoint.port < 1 || endpoint.port > 65535) {
        return Fail(error, QStringLiteral("port out of range in %1").arg(text));
    }
    return endpoint;
}
