// The JSON API's reading side, the acknowledgement and the event stream.
#include <httplib.h>

#include <QJsonObject>

#include "battery/BatteryId.h"
#include "store/CsvExport.h"
#include "store/HistoryReader.h"
#include "web/ApiJson.h"
#include "web/HttpAnswers.h"
#include "web/StoreTail.h"
#include "web/WebServer.h"

namespace web {

using namespace http;

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

}  // namespace web
