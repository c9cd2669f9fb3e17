#include "web/HttpAnswers.h"

#include <httplib.h>

#include <QDateTime>

#include "store/CsvExport.h"
#include "web/ApiJson.h"

namespace web::http {

qint64 NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

void Answer(httplib::Response& response, int status, const QByteArray& body, const char* type) {
    response.status = status;
    response.set_content(body.constData(), static_cast<std::size_t>(body.size()), type);
}

void Refuse(httplib::Response& response, int status, const QString& message) {
    Answer(response, status, ErrorJson(message));
}

QString Param(const httplib::Request& request, const char* name) {
    return request.has_param(name) ? QString::fromStdString(request.get_param_value(name))
                                   : QString();
}

std::optional<qint64> ParseTime(const QString& text) {
    bool isNumber = false;
    const qint64 ms = text.toLongLong(&isNumber);
    if (isNumber) return ms;
    return store::ParseTimeArgument(text);
}

}  // namespace web::http
