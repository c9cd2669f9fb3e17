#include "web/WebServer.h"

#include <httplib.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>

#include "config/ListenAddress.h"
#include "web/ApiJson.h"
#include "web/ConnectionPool.h"
#include "web/HttpAnswers.h"

namespace web {

using namespace http;

namespace {

constexpr char kCookie[] = "batmon_session";

QByteArray CookieValue(const httplib::Request& request, const char* name) {
    const QByteArray header = QByteArray::fromStdString(request.get_header_value("Cookie"));
    for (const QByteArray& part : header.split(';')) {
        const QByteArray trimmed = part.trimmed();
        const qsizetype eq = trimmed.indexOf('=');
        if (eq > 0 && trimmed.left(eq) == name) return trimmed.mid(eq + 1);
    }
    return {};
}

struct StaticFile {
    QByteArray body;
    const char* type;
};

std::map<std::string, StaticFile> LoadPage() {
    const std::pair<const char*, const char*> files[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"app.js", "text/javascript; charset=utf-8"},
        {"style.css", "text/css; charset=utf-8"},
        {"uPlot.iife.min.js", "text/javascript; charset=utf-8"},
        {"uPlot.min.css", "text/css; charset=utf-8"},
        {"LICENSE.uPlot", "text/plain; charset=utf-8"},
    };
    std::map<std::string, StaticFile> page;
    for (const auto& [name, type] : files) {
        QFile file(QStringLiteral(":/web/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly)) continue;
        std::string path = "/";
        path += name;
        page[path] = {file.readAll(), type};
    }
    return page;
}

}  // namespace

std::optional<HttpAddress> ParseHttpAddress(const QString& text) {
    const auto parsed = config::ParseListenAddress(text);
    if (!parsed) return std::nullopt;
    HttpAddress address;
    address.port = parsed->port;
    if (parsed->host.isEmpty() || parsed->host.compare(u"localhost", Qt::CaseInsensitive) == 0)
        address.address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.address.setAddress(parsed->host))
        return std::nullopt;
    return address;
}

WebServer::WebServer(WebServerOptions options, const RoomBoard& board,
                     std::shared_ptr<EventHub> hub, AcknowledgeCall acknowledge)
    : options_(std::move(options)),
      board_(board),
      hub_(std::move(hub)),
      acknowledge_(std::move(acknowledge)) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(QString* error) {
    if (!options_.usersFile.isEmpty() && !users_.Load(options_.usersFile, error)) return false;
    if (options_.certFile.isEmpty() != options_.keyFile.isEmpty()) {
        if (error) *error = QStringLiteral("http_cert and http_key go together");
        return false;
    }
    if (options_.certFile.isEmpty()) {
        server_ = std::make_unique<httplib::Server>();
    } else {
        auto tls = std::make_unique<httplib::SSLServer>(options_.certFile.toLocal8Bit().constData(),
                                                        options_.keyFile.toLocal8Bit().constData());
        if (!tls->is_valid()) {
            if (error)
                *error = QStringLiteral("cannot load the certificate %1 or its key %2")
                             .arg(options_.certFile, options_.keyFile);
            return false;
        }
        server_ = std::move(tls);
    }
    server_->new_task_queue = [] { return new ConnectionPool(WebLimits::kMaxConnections); };
    // Answers go out at once: a head and a body written apart would otherwise wait for the
    // client's delayed acknowledgement (40 ms).
    server_->set_tcp_nodelay(true);
    server_->set_read_timeout(WebLimits::kReadTimeoutS, 0);
    server_->set_write_timeout(WebLimits::kWriteTimeoutS, 0);
    server_->set_keep_alive_timeout(WebLimits::kKeepAliveS);
    server_->set_payload_max_length(WebLimits::kMaxBody);
    if (!options_.historyPath.isEmpty() && !options_.metricsOnly) {
        readings_ = std::make_unique<threads::WorkerThread<ReadingsQuery>>(
            QStringLiteral("web-readings"), options_.historyPath);
        readings_->Post([](ReadingsQuery& query) { query.BuildDigests(); });
    }
    Route();

    const std::string host = options_.listen.address.toString().toStdString();
    int port = options_.listen.port;
    const bool bound = port == 0 ? (port = server_->bind_to_any_port(host)) > 0
                                 : server_->bind_to_port(host, port);
    if (!bound) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2")
                         .arg(options_.listen.address.toString())
                         .arg(options_.listen.port);
        server_.reset();
        readings_.reset();
        return false;
    }
    port_ = static_cast<quint16>(port);
    // The accept loop blocks inside the library until stop(): a plain thread, not a QObject
    // worker, whose event loop it would never return to.
    listener_.reset(QThread::create([server = server_.get()] { server->listen_after_bind(); }));
    listener_->setObjectName(QStringLiteral("web-listener"));
    listener_->start();
    // The server's stop() only ends a listener that has begun to accept: one told to stop just
    // before would begin afterwards and accept for ever. Start returns once it accepts; this
    // version of the library reports that only through is_running(), so it is polled.
    const QDeadlineTimer deadline(std::chrono::seconds(5));
    while (!server_->is_running() && !listener_->isFinished() && !deadline.hasExpired())
        QThread::usleep(200);
    return true;
}

void WebServer::Stop() {
    if (!server_) return;
    // New connections stop first, then this server's event streams end, so the threads that
    // serve them are free to be joined.
    server_->stop();
    {
        const std::lock_guard lock(streamsMutex_);
        stopping_ = true;
        for (const auto& weak : streams_)
            if (const auto queue = weak.lock()) queue->Close();
        streams_.clear();
    }
    if (listener_) listener_->wait();
    listener_.reset();
    server_.reset();
    readings_.reset();
}

void WebServer::Route() {
    httplib::Server& s = *server_;
    s.set_pre_routing_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        if (!ConnectionPool::Refusing()) return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("Connection", "close");
        response.set_header("Retry-After", "5");
        Refuse(response, 503, QStringLiteral("too many connections"));
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const auto state = board_.Current();
        if (state->metrics.isEmpty())
            Refuse(response, 404, QStringLiteral("this station keeps no metrics"));
        else
            Answer(response, 200, state->metrics, "text/plain; version=0.0.4; charset=utf-8");
    });
    if (options_.metricsOnly) return;
    ServeStatic();
    s.Get("/api/v1/latest", [this](const auto& q, auto& r) { Latest(q, r); });
    s.Get("/api/v1/readings", [this](const auto& q, auto& r) { Readings(q, r); });
    s.Get("/api/v1/alarms", [this](const auto& q, auto& r) { Alarms(q, r); });
    s.Get("/api/v1/discharges", [this](const auto& q, auto& r) { Discharges(q, r); });
    s.Post(R"(/api/v1/alarms/([A-Za-z0-9_.]+)/acknowledge)",
           [this](const auto& q, auto& r) { Acknowledge(q, r); });
    s.Get("/api/v1/events", [this](const auto& q, auto& r) { Events(q, r); });
    s.Get("/api/v1/session", [this](const auto& q, auto& r) { WhoAmI(q, r); });
    s.Post("/api/v1/session", [this](const auto& q, auto& r) { SignIn(q, r); });
    s.Delete("/api/v1/session", [this](const auto& q, auto& r) { SignOut(q, r); });
}

void WebServer::ServeStatic() {
    auto page = std::make_shared<const std::map<std::string, StaticFile>>(LoadPage());
    server_->Get(
        R"(/|/[A-Za-z.]+)", [page](const httplib::Request& request, httplib::Response& response) {
            const std::string path = request.path == "/" ? "/index.html" : request.path;
            const auto found = page->find(path);
            if (found == page->end()) {
                Refuse(response, 404, QStringLiteral("not found"));
                return;
            }
            response.set_header("Cache-Control", "no-cache");
            response.set_header("Content-Security-Policy",
                                "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
            Answer(response, 200, found->second.body, found->second.type);
        });
}

std::optional<Session> WebServer::SessionOf(const httplib::Request& request) {
    const QByteArray token = CookieValue(request, kCookie);
    if (token.isEmpty()) return std::nullopt;
    return sessions_.Find(token);
}

bool WebServer::MayRead(const httplib::Request& request, httplib::Response& response) {
    if (!options_.readAuth || SessionOf(request)) return true;
    Refuse(response, 401, QStringLiteral("sign in first"));
    return false;
}

void WebServer::WhoAmI(const httplib::Request& request, httplib::Response& response) {
    const auto session = SessionOf(request);
    QJsonObject root{{QStringLiteral("user"),
                      session ? QJsonValue(session->user) : QJsonValue(QJsonValue::Null)},
                     {QStringLiteral("read_auth"), options_.readAuth},
                     {QStringLiteral("sign_in"), !users_.Empty()}};
    if (session) root[QStringLiteral("csrf")] = QString::fromLatin1(session->csrf);
    Answer(response, 200, Compact(root));
}

void WebServer::SignIn(const httplib::Request& request, httplib::Response& response) {
    const QString address = QString::fromStdString(request.remote_addr);
    const auto wait = sessions_.WaitFor(address);
    if (wait.count() > 0) {
        response.set_header("Retry-After", std::to_string((wait.count() + 999) / 1000));
        Refuse(response, 429, QStringLiteral("too many failed sign-ins; wait"));
        return;
    }
    // JSON only: a form on another site cannot send it without the browser asking first.
    if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        Refuse(response, 415, QStringLiteral("send {\"user\": ..., \"password\": ...} as JSON"));
        return;
    }
    const QJsonObject body =
        QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    const QString user = body.value(QStringLiteral("user")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (user.isEmpty() || !users_.Check(user, password)) {
        sessions_.Failed(address);
        Refuse(response, 403, QStringLiteral("wrong user name or password"));
        return;
    }
    sessions_.Succeeded(address);
    const QByteArray token = sessions_.Open(user);
    const auto session = sessions_.Find(token);
    std::string cookie = std::string(kCookie) + "=" + token.toStdString() +
                         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         std::to_string(std::chrono::seconds(SessionStore::kLifetime).count());
    if (Tls()) cookie += "; Secure";
    response.set_header("Set-Cookie", cookie);
    Answer(response, 200,
           Compact(QJsonObject{{QStringLiteral("user"), user},
                               {QStringLiteral("csrf"), QString::fromLatin1(session->csrf)}}));
}

void WebServer::SignOut(const httplib::Request& request, httplib::Response& response) {
    const auto session = SessionOf(request);
    if (session &&
        QByteArray::fromStdString(request.get_header_value(kCsrfHeader)) == session->csrf)
        sessions_.Close(CookieValue(request, kCookie));
    response.set_header("Set-Cookie",
                        std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Answer(response, 200, Compact(QJsonObject{{QStringLiteral("user"), QJsonValue::Null}}));
}

}  // namespace web
