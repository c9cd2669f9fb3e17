#include "web/WebSettings.h"

#include "config/SettingValues.h"
#include "web/WebServer.h"

namespace web {

std::optional<WebSettings> ReadWebSettings(const config::SettingValues& values, QString* error) {
    WebSettings settings;
    settings.http = values.Value("http");
    if (!settings.http.isEmpty() && !ParseHttpAddress(settings.http)) {
        if (error)
            *error = QStringLiteral(
                         "%1 wants HOST:PORT with an IP address, or a port for "
                         "127.0.0.1, not \"%2\"")
                         .arg(values.Label("http"), settings.http);
        return std::nullopt;
    }
    const std::optional<bool> readAuth = values.Switch("http_read_auth", false);
    if (!readAuth) {
        if (error)
            *error = QStringLiteral("%1 must be true or false, not \"%2\"")
                         .arg(values.Label("http_read_auth"), values.Value("http_read_auth"));
        return std::nullopt;
    }
    settings.readAuth = *readAuth;
    settings.usersFile = values.Value("http_users");
    settings.certFile = values.Value("http_cert");
    settings.keyFile = values.Value("http_key");
    if (settings.certFile.isEmpty() != settings.keyFile.isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 and %2 go together")
                         .arg(values.Label("http_cert"), values.Label("http_key"));
        return std::nullopt;
    }
    return settings;
}

WebServerOptions ServerOptionsOf(const WebSettings& settings) {
    WebServerOptions options;
    options.listen = ParseHttpAddress(settings.http).value_or(HttpAddress{});
    options.readAuth = settings.readAuth;
    options.usersFile = settings.usersFile;
    options.certFile = settings.certFile;
    options.keyFile = settings.keyFile;
    return options;
}

}  // namespace web
