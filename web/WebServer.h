#pragma once

#include <QHostAddress>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "threads/Worker.h"
#include "web/EventHub.h"
#include "web/ReadingsQuery.h"
#include "web/RoomState.h"
#include "web/SignIn.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace web {

// Where the web server listens: "HOST:PORT" with an IP address ("0.0.0.0:8080", "[::1]:8080"),
// or ":8080", "8080" or "localhost:8080" for 127.0.0.1; the port 0 to 65535 (0: any free one).
struct HttpAddress {
    QHostAddress address;
    quint16 port = 0;
};
std::optional<HttpAddress> ParseHttpAddress(const QString& text);

struct WebServerOptions {
    HttpAddress listen;
    bool metricsOnly = false;  // serve /metrics and nothing else (batmond's --metrics)
    QString historyPath;       // the store's file; empty: no history, no event stream
    bool readAuth = false;     // reading needs sign-in too
    QString usersFile;         // "name:hash" lines; empty: nobody can sign in
    QString certFile;          // with keyFile: HTTPS
    QString keyFile;
};

// The limits every connection is held to.
struct WebLimits {
    static constexpr int kMaxConnections = 128;
    static constexpr std::size_t kMaxBody = std::size_t{16} * 1024;
    static constexpr int kReadTimeoutS = 5;   // for each part of a request to arrive
    static constexpr int kWriteTimeoutS = 5;  // for a client to take what it is sent
    static constexpr int kKeepAliveS = 5;
    static constexpr int kStreamPingMs = 15'000;
    static constexpr int kMaxCatchUp = 50'000;  // events a resuming stream is sent from the store
};

// What the server may ask the station to do: acknowledge an active alarm as `user`. Called on a
// server thread; must only hand the work over, never wait for the station.
using AcknowledgeCall = std::function<void(const alarms::AlarmKey& key, const QString& user)>;

// The station's HTTP server (cpp-httplib): the page, the JSON API, the event stream and
// /metrics. Every request is served on the server's own threads from the RoomBoard's copy of
// the station's state and from the store through read connections of its own; nothing it does
// runs on the thread that paces the bus or touches the port.
class WebServer {
public:
    WebServer(WebServerOptions options, const RoomBoard& board, std::shared_ptr<EventHub> hub,
              AcknowledgeCall acknowledge);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; false with `error` when the address cannot be bound, the
    // users file cannot be read or the certificate does not load.
    bool Start(QString* error);
    void Stop();
    quint16 Port() const { return port_; }
    bool Tls() const { return !options_.certFile.isEmpty(); }

private:
    void Route();
    void ServeStatic();
    std::optional<Session> SessionOf(const httplib::Request& request);
    bool MayRead(const httplib::Request& request, httplib::Response& response);
    void Latest(const httplib::Request& request, httplib::Response& response);
    void Readings(const httplib::Request& request, httplib::Response& response);
    void Alarms(const httplib::Request& request, httplib::Response& response);
    void Discharges(const httplib::Request& request, httplib::Response& response);
    void Acknowledge(const httplib::Request& request, httplib::Response& response);
    void Events(const httplib::Request& request, httplib::Response& response);
    void SignIn(const httplib::Request& request, httplib::Response& response);
    void SignOut(const httplib::Request& request, httplib::Response& response);
    void WhoAmI(const httplib::Request& request, httplib::Response& response);

    WebServerOptions options_;
    const RoomBoard& board_;
    std::shared_ptr<EventHub> hub_;
    AcknowledgeCall acknowledge_;
    UserFile users_;
    SessionStore sessions_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<QThread> listener_;
    std::unique_ptr<threads::WorkerThread<ReadingsQuery>> readings_;
    // This server's event streams: closed when it stops, so their threads can be joined, while
    // another server of the same station (after a reload) goes on with its own.
    std::mutex streamsMutex_;
    std::vector<std::weak_ptr<StreamQueue>> streams_;
    bool stopping_ = false;  // under streamsMutex_
    quint16 port_ = 0;
};

}  // namespace web
