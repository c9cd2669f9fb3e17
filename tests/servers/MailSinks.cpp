#include "tests/servers/MailSinks.h"

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace testservers {
namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
constexpr std::chrono::seconds kStartDeadline(15);

QString ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The files of `folder` ending in `suffix`, in name order (the servers number them).
std::vector<QByteArray> Received(const QString& folder, const QString& suffix) {
    std::vector<QByteArray> contents;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({QStringLiteral("*") + suffix}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) contents.push_back(file.readAll());
    }
    return contents;
}

bool StartScript(ChildProcess& process, const char* script, const QStringList& arguments,
                 const QString& log, int port, QString* error) {
    if (process.Running()) return true;
    if (!process.Start(kPython, QStringList{QString::fromUtf8(script)} + arguments, log, -1, -1,
                       error))
        return false;
    if (WaitForListening(port, process, kStartDeadline)) return true;
    if (error)
        *error =
            QStringLiteral("%1 did not listen: %2").arg(QString::fromUtf8(script), ReadAll(log));
    process.Stop(SIGKILL);
    return false;
}

}  // namespace

SmtpServer::SmtpServer() : port_(FreeLoopbackPort()) {
    QDir(dir_.path()).mkdir(QStringLiteral("mail"));
}

SmtpServer::~SmtpServer() { Stop(); }

bool SmtpServer::Start(QString* error) {
    if (!certificates_ && !MakeLoopbackCertificates(dir_.path(), error)) return false;
    certificates_ = true;
    return StartScript(process_, BATMON_SMTP_SINK,
                       {QString::number(port_), dir_.filePath(QStringLiteral("mail")),
                        dir_.filePath(QStringLiteral("server.crt")),
                        dir_.filePath(QStringLiteral("server.key")), User(), Password()},
                       dir_.filePath(QStringLiteral("smtp.log")), port_, error);
}

void SmtpServer::Stop() { process_.Stop(SIGTERM); }

QString SmtpServer::Log() const { return ReadAll(dir_.filePath(QStringLiteral("smtp.log"))); }

std::vector<QByteArray> SmtpServer::Messages() const {
    return Received(dir_.filePath(QStringLiteral("mail")), QStringLiteral(".eml"));
}

HttpSink::HttpSink() : port_(FreeLoopbackPort()) {}

HttpSink::~HttpSink() { Stop(); }

bool HttpSink::Start(QString* error) {
    return StartScript(process_, BATMON_HTTP_SINK, {QString::number(port_), dir_.path()},
                       dir_.filePath(QStringLiteral("http.log")), port_, error);
}

void HttpSink::Stop() { process_.Stop(SIGTERM); }

QString HttpSink::Post::Header(const QString& name) const {
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
    return {};
}

std::vector<HttpSink::Post> HttpSink::Posts() const {
    std::vector<Post> posts;
    for (const QByteArray& text : Received(dir_.path(), QStringLiteral(".json"))) {
        const QJsonObject object = QJsonDocument::fromJson(text).object();
        Post post;
        post.path = object[QStringLiteral("path")].toString();
        const QJsonObject headers = object[QStringLiteral("headers")].toObject();
        for (auto it = headers.begin(); it != headers.end(); ++it)
            post.headers.emplace_back(it.key(), it.value().toString());
        post.body = object[QStringLiteral("body")].toString().toUtf8();
        posts.push_back(post);
    }
    return posts;
}

QString MailText(const QByteArray& mail) {
    // Each base64 part: the lines after a blank line up to the next boundary.
    QString text;
    static const QRegularExpression part(
        QStringLiteral("Content-Transfer-Encoding: base64\r\n\r\n([A-Za-z0-9+/=\r\n]+)"));
    for (auto it = part.globalMatch(QString::fromLatin1(mail)); it.hasNext();) {
        QByteArray encoded = it.next().captured(1).toLatin1();
        encoded.replace("\r\n", "");
        text += QString::fromUtf8(QByteArray::fromBase64(encoded));
    }
    return text;
}

QString MailSubject(const QByteArray& mail) {
    static const QRegularExpression subject(
        QStringLiteral("\r\nSubject: =\\?UTF-8\\?B\\?([A-Za-z0-9+/=]+)\\?=\r\n"));
    const auto match = subject.match(QString::fromLatin1(mail));
    return match.hasMatch()
               ? QString::fromUtf8(QByteArray::fromBase64(match.captured(1).toLatin1()))
               : QString();
}

}  // namespace testservers
