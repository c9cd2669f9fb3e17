#include "web/StoreTail.h"

#include <QJsonObject>
#include <limits>

#include "store/HistoryReader.h"
#include "web/ApiJson.h"

namespace web {
namespace {

QByteArray Frame(const char* event, const EventCursor& after, const QJsonObject& data) {
    return "id: " + after.Text() + "\nevent: " + event + "\ndata: " + Compact(data) + "\n\n";
}

}  // namespace

TailRead ReadAfter(store::HistoryReader& reader, const EventCursor& cursor, int limit) {
    TailRead read;
    std::vector<battery::Reading> readings;
    store::ReadingFilter filter;
    filter.fromMs = cursor.reading.tMs;
    filter.batteries.assign(battery::WatchedBatteries().begin(), battery::WatchedBatteries().end());
    bool ok = reader.ForEachReading(filter, [&](const battery::Reading& r) {
        if (ReadingKey::Of(r) <= cursor.reading) return true;
        readings.push_back(r);
        return static_cast<int>(readings.size()) < limit;
    });
    std::vector<std::pair<qint64, alarms::AlarmEvent>> alarmRows;
    ok = ok && reader.ForEachAlarmAfter(cursor.alarmId, limit,
                                        [&](qint64 id, const alarms::AlarmEvent& event) {
                                            alarmRows.emplace_back(id, event);
                                            return true;
                                        });
    if (!ok) return read;
    read.ok = true;
    read.complete =
        static_cast<int>(readings.size()) < limit && static_cast<int>(alarmRows.size()) < limit;
    // When only one kind hit the limit, the other is taken only up to where the first stopped,
    // so the merged events stay in time order across batches.
    qint64 horizon = std::numeric_limits<qint64>::max();
    if (static_cast<int>(readings.size()) >= limit) horizon = readings.back().tMs;
    if (static_cast<int>(alarmRows.size()) >= limit)
        horizon = std::min<qint64>(horizon, alarmRows.back().second.tMs);

    EventCursor at = cursor;
    std::size_t r = 0;
    std::size_t a = 0;
    while (true) {
        const bool haveReading = r < readings.size() && readings[r].tMs <= horizon;
        const bool haveAlarm = a < alarmRows.size() && alarmRows[a].second.tMs <= horizon;
        if (!haveReading && !haveAlarm) break;
        auto event = std::make_shared<StreamEvent>();
        if (haveReading && (!haveAlarm || readings[r].tMs <= alarmRows[a].second.tMs)) {
            at.reading = ReadingKey::Of(readings[r]);
            event->kind = StreamEvent::Kind::Reading;
            event->reading = at.reading;
            event->frame = Frame("reading", at, ReadingJson(readings[r]));
            ++r;
        } else {
            at.alarmId = alarmRows[a].first;
            event->kind = StreamEvent::Kind::Alarm;
            event->alarmId = at.alarmId;
            event->frame = Frame("alarm", at, AlarmEventJson(at.alarmId, alarmRows[a].second));
            ++a;
        }
        read.events.push_back(std::move(event));
    }
    if (r < readings.size() || a < alarmRows.size()) read.complete = false;
    read.cursor = at;
    return read;
}

EventCursor NewestCursor(store::HistoryReader& reader) {
    EventCursor cursor;
    for (const battery::BatteryId id : battery::WatchedBatteries()) {
        const auto last = reader.LastReadingMs(id.device, id.battery);
        if (last)
            cursor.reading = std::max(cursor.reading, ReadingKey{*last, id.device, id.battery});
    }
    cursor.alarmId = reader.LastAlarmId().value_or(0);
    return cursor;
}

StoreTail::StoreTail(QString historyPath, std::shared_ptr<EventHub> hub)
    : historyPath_(std::move(historyPath)), hub_(std::move(hub)) {}

StoreTail::~StoreTail() = default;

void StoreTail::Start() {
    reader_ = std::make_unique<store::HistoryReader>(historyPath_);
    if (reader_->IsOpen()) cursor_ = NewestCursor(*reader_);
    hub_->SetCursor(cursor_);
}

void StoreTail::Poll() {
    due_ = false;
    if (!reader_ || !reader_->IsOpen()) {
        // The writer creates the file: a tail started before it existed opens it now.
        reader_ = std::make_unique<store::HistoryReader>(historyPath_);
        if (!reader_->IsOpen()) return;
    }
    while (true) {
        TailRead read = ReadAfter(*reader_, cursor_, kBatch);
        if (!read.ok) return;
        cursor_ = read.cursor;
        if (!read.events.empty()) hub_->Publish(read.events, cursor_);
        if (read.complete) return;
    }
}

void StoreTail::Finish() { reader_.reset(); }

}  // namespace web
