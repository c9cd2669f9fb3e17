#include "web/WebServer.h"

#include <httplib.h>

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <map>

#include "battery/BatteryId.h"
#include "config/ListenAddress.h"
#include "store/CsvExport.h"
#include "store/HistoryReader.h"
#include "web/ApiJson.h"
#include "web/ConnectionPool.h"
#include "web/StoreTail.h"

namespace web {
namespace {

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kCookie[] = "batmon_session";
constexpr char kCsrfHeader[] = "X-CSRF-Token";

qint64 NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

void Answer(httplib::Response& response, int status, const QByteArray& body,
            const char* type = kJson) {
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

// RFC 3339 or milliseconds since the epoch.
std::optional<qint64> ParseTime(const QString& text) {
    bool isNumber = false;
    const qint64 ms = text.toLongLong(&isNumber);
    if (isNumber) return ms;
    return store::ParseTimeArgument(text);
}

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

void WebServer::Latest(const httplib::Request& request, httplib::Response& response) {
    if (!MayRead(request, response)) return;
    Answer(response, 200, LatestJson(*board_.Current(), NowMs()));
}

void WebServer::Readings(const httplib::Request& request, httplib::Response& response) {
    if (!MayRead(request, response)) return;
    if (!readings_) {
        Refuse(response, 503, QStringLiteral("no history store"));
        return;
    }
    const auto device = battery::DeviceFromName(Param(request, "device"));
    bool numberOk = false;
    const uint number = Param(request, "battery").toUInt(&numberOk);
    if (!device || !numberOk || number >= battery::kBatteriesPerDevice) {
        Refuse(response, 400, QStringLiteral("device must be A0 or A1 and battery 0 to 7"));
        return;
    }
    ReadingsRequest query;
    query.battery = {*device, static_cast<std::uint8_t>(number)};
    const qint64 now = NowMs();
    const QString from = Param(request, "from");
    const QString to = Param(request, "to");
    const auto fromMs =
        from.isEmpty() ? std::optional<qint64>(now - 24LL * 3600 * 1000) : ParseTime(from);
    const auto toMs = to.isEmpty() ? std::optional<qint64>(now) : ParseTime(to);
    if (!fromMs || !toMs || *fromMs > *toMs) {
        Refuse(response, 400, QStringLiteral("from and to: RFC 3339 or epoch ms, from <= to"));
        return;
    }
    query.fromMs = *fromMs;
    query.toMs = *toMs;
    if (request.has_param("points")) {
        const int points = Param(request, "points").toInt(&numberOk);
        if (!numberOk || points < 1 || points > 10'000) {
            Refuse(response, 400, QStringLiteral("points must be 1 to 10000"));
            return;
        }
        query.points = points;
    }
    if (Param(request, "format") == u"csv") {
        const QString path = options_.historyPath;
        response.set_header("Content-Disposition", QStringLiteral("attachment; filename=\"%1.csv\"")
                                                       .arg(battery::RegisterName(query.battery))
                                                       .toStdString());
        response.set_chunked_content_provider(
            "text/csv; charset=utf-8", [path, query](std::size_t, httplib::DataSink& sink) {
                store::HistoryReader reader(path);
                QByteArray chunk = store::CsvHeader();
                bool writing = true;
                store::ReadingFilter filter;
                filter.fromMs = query.fromMs;
                filter.toMs = query.toMs;
                filter.device = query.battery.device;
                filter.battery = query.battery.battery;
                reader.ForEachReading(filter, [&](const battery::Reading& reading) {
                    store::AppendCsvLine(chunk, reading);
                    if (chunk.size() < qsizetype{64} * 1024) return true;
                    writing = sink.write(chunk.constData(), static_cast<std::size_t>(chunk.size()));
                    chunk.clear();
                    return writing;
                });
                if (writing && !chunk.isEmpty())
                    writing = sink.write(chunk.constData(), static_cast<std::size_t>(chunk.size()));
                if (writing) sink.done();
                return writing;
            });
        return;
    }
    const ReadingsAnswer answer =
        readings_->CallAndWait([&query](ReadingsQuery& q) { return q.Read(query); });
    if (!answer.error.isEmpty()) {
        Refuse(response, 500, answer.error);
        return;
    }
    Answer(response, 200, ReadingsJson(query, answer));
}

void WebServer::Alarms(const httplib::Request& request, httplib::Response& response) {
    if (!MayRead(request, response)) return;
    const qint64 now = NowMs();
    if (Param(request, "active") == u"1") {
        Answer(response, 200, ActiveAlarmsJson(*board_.Current(), now));
        return;
    }
    if (options_.historyPath.isEmpty()) {
        Refuse(response, 503, QStringLiteral("no history store"));
        return;
    }
    const QString from = Param(request, "from");
    const QString to = Param(request, "to");
    const auto fromMs =
        from.isEmpty() ? std::optional<qint64>(now - 30LL * 24 * 3600 * 1000) : ParseTime(from);
    const auto toMs = to.isEmpty() ? std::optional<qint64>(now) : ParseTime(to);
    if (!fromMs || !toMs || *fromMs > *toMs) {
        Refuse(response, 400, QStringLiteral("from and to: RFC 3339 or epoch ms, from <= to"));
        return;
    }
    // The newest kMaxEvents of the range, oldest first.
    constexpr int kMaxEvents = 1000;
    std::deque<QJsonObject> newest;
    store::HistoryReader reader(options_.historyPath);
    const bool ok =
        reader.ForEachAlarmWithId(*fromMs, *toMs, [&](qint64 id, const alarms::AlarmEvent& e) {
            newest.push_back(AlarmEventJson(id, e));
            if (newest.size() > kMaxEvents) newest.pop_front();
            return true;
        });
    if (!ok) {
        Refuse(response, 500, reader.ErrorText());
        return;
    }
    QJsonArray events;
    for (const QJsonObject& e : newest) events.append(e);
    QJsonObject root{{QStringLiteral("from"), QString::fromLatin1(store::FormatUtcMillis(*fromMs))},
                     {QStringLiteral("to"), QString::fromLatin1(store::FormatUtcMillis(*toMs))},
                     {QStringLiteral("events"), events}};
    Answer(response, 200, Compact(root));
}

void WebServer::Discharges(const httplib::Request& request, httplib::Response& response) {
    if (!MayRead(request, response)) return;
    if (options_.historyPath.isEmpty()) {
        Refuse(response, 503, QStringLiteral("no history store"));
        return;
    }
    store::HistoryReader reader(options_.historyPath);
    const std::vector<alarms::DischargeRecord> records = reader.Discharges();
    if (records.empty() && !reader.ErrorText().isEmpty()) {
        Refuse(response, 500, reader.ErrorText());
        return;
    }
    Answer(response, 200, DischargesJson(records, NowMs()));
}

void WebServer::Acknowledge(const httplib::Request& request, httplib::Response& response) {
    const auto session = SessionOf(request);
    if (!session) {
        Refuse(response, 401, QStringLiteral("sign in first"));
        return;
    }
    if (QByteArray::fromStdString(request.get_header_value(kCsrfHeader)) != session->csrf) {
        Refuse(response, 403, QStringLiteral("missing or wrong CSRF token"));
        return;
    }
    const QString id = QString::fromStdString(request.matches[1]);
    const auto key = AlarmKeyFromId(id);
    const auto state = board_.Current();
    const auto active =
        std::find_if(state->activeAlarms.begin(), state->activeAlarms.end(),
                     [&key](const alarms::ActiveAlarm& a) { return key && a.key == *key; });
    if (!key || active == state->activeAlarms.end()) {
        Refuse(response, 404, QStringLiteral("no such active alarm: %1").arg(id));
        return;
    }
    if (!active->acknowledged) acknowledge_(*key, session->user);
    Answer(response, 202,
           Compact(QJsonObject{{QStringLiteral("id"), id},
                               {QStringLiteral("acknowledged_by"),
                                active->acknowledged ? active->acknowledgedBy : session->user}}));
}

void WebServer::Events(const httplib::Request& request, httplib::Response& response) {
    if (!MayRead(request, response)) return;
    if (!hub_ || options_.historyPath.isEmpty()) {
        Refuse(response, 503, QStringLiteral("no history store"));
        return;
    }
    struct Stream {
        std::shared_ptr<StreamQueue> queue;
        EventCursor sent;
        std::optional<EventCursor> resume;
        QString historyPath;
        bool started = false;
    };
    auto stream = std::make_shared<Stream>();
    EventHub::Joined joined = hub_->Join();
    {
        const std::lock_guard lock(streamsMutex_);
        std::erase_if(streams_, [](const auto& weak) { return weak.expired(); });
        if (stopping_)
            joined.queue->Close();
        else
            streams_.push_back(joined.queue);
    }
    stream->queue = joined.queue;
    stream->sent = joined.cursor;
    QByteArray lastId = QByteArray::fromStdString(request.get_header_value("Last-Event-ID"));
    if (lastId.isEmpty()) lastId = Param(request, "last_event_id").toLatin1();
    if (!lastId.isEmpty()) stream->resume = EventCursor::Parse(lastId);
    stream->historyPath = options_.historyPath;

    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        // Exactly this type: httplib compresses (and so holds back) every other text type.
        "text/event-stream",
        [stream](std::size_t, httplib::DataSink& sink) {
            const auto send = [&sink](const QByteArray& bytes) {
                return sink.write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            };
            if (!stream->started) {
                stream->started = true;
                if (stream->resume) {
                    // What the browser missed, from the store, then the live events after it.
                    store::HistoryReader reader(stream->historyPath);
                    EventCursor at = *stream->resume;
                    int sent = 0;
                    while (sent < WebLimits::kMaxCatchUp) {
                        const TailRead read = ReadAfter(reader, at, StoreTail::kBatch);
                        if (!read.ok) break;
                        for (const auto& event : read.events)
                            if (!send(event->frame)) return false;
                        sent += static_cast<int>(read.events.size());
                        at = read.cursor;
                        if (read.complete) break;
                    }
                    stream->sent.reading = std::max(stream->sent.reading, at.reading);
                    stream->sent.alarmId = std::max(stream->sent.alarmId, at.alarmId);
                    if (sent < WebLimits::kMaxCatchUp) stream->sent = at;
                }
                if (!send("retry: 2000\nid: " + stream->sent.Text() + "\n\n")) return false;
            }
            std::vector<std::shared_ptr<const StreamEvent>> events;
            const bool open =
                stream->queue->Take(std::chrono::milliseconds(WebLimits::kStreamPingMs), events);
            for (const auto& event : events) {
                if (event->kind == StreamEvent::Kind::Reading) {
                    if (event->reading <= stream->sent.reading) continue;
                    stream->sent.reading = event->reading;
                } else {
                    if (event->alarmId <= stream->sent.alarmId) continue;
                    stream->sent.alarmId = event->alarmId;
                }
                if (!send(event->frame)) return false;
            }
            if (!open) return false;
            if (events.empty() && !send(": ping\n\n")) return false;
            return true;
        },
        [stream](bool) { stream->queue->Close(); });
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
