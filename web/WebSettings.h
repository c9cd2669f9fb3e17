#pragma once

#include <QString>
#include <optional>

namespace config {
class SettingValues;
}

namespace web {

// The web server's settings as batmond's file (and command line) give them: the keys http,
// http_read_auth, http_users, http_cert and http_key. The window reads the same keys from
// batmond's file.
struct WebSettings {
    QString http;           // HOST:PORT; empty: no web server
    bool readAuth = false;  // reading needs sign-in too
    QString usersFile;      // "name:hash" lines; empty: nobody can sign in
    QString certFile;       // with keyFile: https
    QString keyFile;

    bool operator==(const WebSettings&) const = default;
};

// Nothing, with one line in `error`, for an address that is not one or a certificate without
// its key (or the other way round).
std::optional<WebSettings> ReadWebSettings(const config::SettingValues& values, QString* error);

struct WebServerOptions;
// The server's options for `settings` (whose address was checked by ReadWebSettings).
WebServerOptions ServerOptionsOf(const WebSettings& settings);

}  // namespace web
