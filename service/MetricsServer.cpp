#include "service/MetricsServer.h"

#include <QTcpSocket>
#include <QTimer>

#include "config/ListenAddress.h"

namespace {

QByteArray Response(const char* status, const QByteArray& contentType, const QByteArray& body) {
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

MetricsServer::MetricsServer(std::function<QByteArray()> render, QObject* parent)
    : QObject(parent), render_(std::move(render)) {
    connect(&server_, &QTcpServer::newConnection, this, &MetricsServer::Accept);
}

bool MetricsServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    server_.close();
    if (server_.listen(address, port)) return true;
    if (error) *error = server_.errorString();
    return false;
}

void MetricsServer::Accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(kRequestTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            if (socket->property("answered").toBool()) {
                socket->readAll();
                return;
            }
            QByteArray head = socket->property("head").toByteArray() + socket->readAll();
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (head.size() > kMaxRequestHead)
                    socket->abort();
                else
                    socket->setProperty("head", head);
                return;
            }
            const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
            QByteArray answer;
            // A whole head can arrive in one read, far beyond the limit: it is refused all the
            // same, however it came.
            if (end + 4 > kMaxRequestHead) {
                answer = Response("431 Request Header Fields Too Large", "text/plain",
                                  "request head over 8 KiB\n");
            } else if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) {
                answer = Response("400 Bad Request", "text/plain", "bad request\n");
            } else if (requestLine[0] != "GET" && requestLine[0] != "HEAD") {
                answer = Response("405 Method Not Allowed", "text/plain", "GET only\n");
            } else {
                QByteArray path = requestLine[1];
                if (const qsizetype query = path.indexOf('?'); query >= 0) path.truncate(query);
                if (path == "/metrics")
                    answer =
                        Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", render_());
                else
                    answer = Response("404 Not Found", "text/plain", "try /metrics\n");
                if (requestLine[0] == "HEAD") answer.truncate(answer.indexOf("\r\n\r\n") + 4);
            }
            socket->setProperty("answered", true);
            socket->setProperty("head", QVariant());
            socket->write(answer);
            socket->disconnectFromHost();
        });
    }
}

std::optional<MetricsAddress> ParseMetricsAddress(const QString& text) {
    const std::optional<config::ListenAddress> listen = config::ParseListenAddress(text);
    if (!listen || listen->port == 0) return std::nullopt;
    MetricsAddress metrics{QHostAddress(QHostAddress::LocalHost), listen->port};
    if (!listen->host.isEmpty() && listen->host != QStringLiteral("localhost") &&
        !metrics.address.setAddress(listen->host))
        return std::nullopt;
    return metrics;
}
