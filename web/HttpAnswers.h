#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

// What the web server's handlers share to read a request and write an answer.
namespace web::http {

inline constexpr char kJson[] = "application/json; charset=utf-8";
inline constexpr char kCsrfHeader[] = "X-CSRF-Token";

qint64 NowMs();
void Answer(httplib::Response& response, int status, const QByteArray& body,
            const char* type = kJson);
// An error answer: {"error": message}.
void Refuse(httplib::Response& response, int status, const QString& message);
// The query parameter `name`, empty when absent.
QString Param(const httplib::Request& request, const char* name);
// RFC 3339 or milliseconds since the epoch.
std::optional<qint64> ParseTime(const QString& text);

}  // namespace web::http
