#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <vector>

#include "tests/servers/ChildProcess.h"

namespace testservers {

// A mail server for one test (Debian's aiosmtpd): on 127.0.0.1 on a free port, STARTTLS with a
// certificate for 127.0.0.1 signed by a CA of the test's own (CaFile()), mail accepted only
// after TLS and the login User()/Password(). Can be stopped and started again on the same port;
// what it received is kept across.
class SmtpServer {
public:
    SmtpServer();
    ~SmtpServer();

    bool Start(QString* error = nullptr);
    void Stop();

    int Port() const { return port_; }
    QString Url() const { return QStringLiteral("smtp://127.0.0.1:%1").arg(port_); }
    QString CaFile() const { return dir_.filePath(QStringLiteral("ca.crt")); }
    static QString User() { return QStringLiteral("batmon"); }
    static QString Password() { return QStringLiteral("s3cret pass"); }
    QString Log() const;

    // The messages received so far, in order, as the server got them.
    std::vector<QByteArray> Messages() const;

private:
    QTemporaryDir dir_;
    int port_;
    bool certificates_ = false;
    ChildProcess process_;
};

// A plain HTTP server for one test (python3's http.server) that takes every POST and keeps it.
class HttpSink {
public:
    HttpSink();
    ~HttpSink();

    bool Start(QString* error = nullptr);
    void Stop();
    QString Url(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
    }

    struct Post {
        QString path;
        std::vector<std::pair<QString, QString>> headers;
        QByteArray body;
        QString Header(const QString& name) const;
    };
    std::vector<Post> Posts() const;

private:
    QTemporaryDir dir_;
    int port_;
    ChildProcess process_;
};

// The text parts of a MIME mail as they read, decoded from base64; its Subject decoded from
// RFC 2047.
QString MailText(const QByteArray& mail);
QString MailSubject(const QByteArray& mail);

}  // namespace testservers
