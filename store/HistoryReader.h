#pragma once

#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "alarms/Discharge.h"
#include "battery/Reading.h"
#include "store/Outbox.h"

namespace store {

struct ReadingFilter {
    qint64 fromMs = std::numeric_limits<qint64>::min();  // inclusive
    qint64 toMs = std::numeric_limits<qint64>::max();    // inclusive
    std::optional<std::uint8_t> device;
    std::optional<std::uint8_t> battery;
    // When not empty, only these batteries.
    std::vector<battery::BatteryId> batteries;
};

// Reads the history file through a connection of its own, on the thread that made it. Never
// creates or changes the file; WAL lets it read while the writer writes.
class HistoryReader {
public:
    explicit HistoryReader(const QString& filePath);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    bool IsOpen() const { return open_; }
    QString ErrorText() const { return errorText_; }

    // Calls `row` for every reading the filter selects, in time order (readings of one
    // millisecond by device, then battery), holding only one row per battery in memory.
    // `row` returns false to stop. Returns false when the file cannot be read.
    bool ForEachReading(const ReadingFilter& filter,
                        const std::function<bool(const battery::Reading&)>& row);

    // The readings since `sinceMs` in time order, for the start-up restore.
    std::vector<battery::Reading> LoadSince(qint64 sinceMs);
    std::vector<battery::Reading> LoadRecentHours(int hours, qint64 nowMs);

    // When the newest stored reading of one battery arrived; nothing when it has none or the
    // file cannot be read. One index lookup, however long the history.
    std::optional<qint64> LastReadingMs(std::uint8_t device, std::uint8_t battery);

    // Calls `row` for every alarm event in the range, oldest first. Rows of a kind or battery
    // this program does not know are passed over.
    bool ForEachAlarm(qint64 fromMs, qint64 toMs,
                      const std::function<bool(const alarms::AlarmEvent&)>& row);

    // Alarm events by their row number: `row` gets each event numbered after `afterId` with its
    // number, in recording order, up to `limit` rows. The numbers follow the order events were
    // written, so a reader that keeps the last number it saw can resume after it.
    bool ForEachAlarmAfter(qint64 afterId, int limit,
                           const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row);
    // The same over a time range, oldest first.
    bool ForEachAlarmWithId(qint64 fromMs, qint64 toMs,
                            const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row);
    // The number of the newest alarm event; 0 when there is none, nothing when unreadable.
    std::optional<qint64> LastAlarmId();
    // The discharge records, newest first (with `runningOnly`, those still running: at start-up,
    // the discharges to take up again), and one of them by its number. Empty when the file
    // cannot be read (ErrorText says why).
    std::vector<alarms::DischargeRecord> Discharges(bool runningOnly = false);
    std::optional<alarms::DischargeRecord> Discharge(qint64 id);

    // Up to `limit` readings waiting for the broker, numbered after `afterSeq`, oldest first;
    // nothing when the outbox cannot be read.
    std::optional<OutboxPage<OutboxEntry>> ReadOutbox(qint64 afterSeq, int limit);
    // The same for the alarm events waiting for one channel's sender.
    std::optional<OutboxPage<AlarmOutboxEntry>> ReadAlarmOutbox(const QString& channel,
                                                                qint64 afterSeq, int limit);

private:
    bool ForEachAlarmRow(const QString& where, const std::vector<qint64>& binds,
                         const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row);

    QString connectionName_;
    bool open_ = false;
    QString errorText_;
};

}  // namespace store
