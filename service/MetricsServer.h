#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <functional>
#include <optional>

// A minimal HTTP/1.x endpoint for Prometheus: GET /metrics answers with the text `render`
// returns; other paths get 404, other methods 405. One request per connection; a complete
// request head larger than 8 KiB gets 431, a longer one still coming or one not complete within
// 5 s closes the connection.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    explicit MetricsServer(std::function<QByteArray()> render, QObject* parent = nullptr);

    bool Listen(const QHostAddress& address, quint16 port, QString* error = nullptr);
    void Close() { server_.close(); }
    bool IsListening() const { return server_.isListening(); }
    quint16 Port() const { return server_.serverPort(); }

    static constexpr int kMaxRequestHead = 8192;
    static constexpr int kRequestTimeoutMs = 5000;

private:
    void Accept();

    std::function<QByteArray()> render_;
    QTcpServer server_;
};

struct MetricsAddress {
    QHostAddress address;
    quint16 port = 0;
};

// Where /metrics is served: "HOST:PORT" with an IP address ("0.0.0.0:9061", "[::1]:9061"), or
// ":9061", "9061" or "localhost:9061" for 127.0.0.1; the port 1 to 65535.
std::optional<MetricsAddress> ParseMetricsAddress(const QString& text);
