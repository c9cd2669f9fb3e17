#pragma once

#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "store/StoredReading.h"

namespace store {

struct ReadingFilter {
    qint64 from_ms = std::numeric_limits<qint64>::min();  // inclusive
    qint64 to_ms = std::numeric_limits<qint64>::max();    // inclusive
    std::optional<std::uint8_t> device;
    std::optional<std::uint8_t> battery;
};

struct OutboxEntry {
    qint64 seq = 0;
    StoredReading reading;
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
                        const std::function<bool(const StoredReading&)>& row);

    // The readings since `sinceMs` in time order, for the start-up restore.
    std::vector<StoredReading> LoadSince(qint64 sinceMs);
    std::vector<StoredReading> LoadRecentHours(int hours, qint64 nowMs);

    bool ForEachAlarm(qint64 fromMs, qint64 toMs,
                      const std::function<bool(const AlarmEvent&)>& row);

    // Readings waiting for the broker, oldest first.
    std::vector<OutboxEntry> ReadOutbox(int limit);

private:
    QString connectionName_;
    bool open_ = false;
    QString errorText_;
};

}  // namespace store
