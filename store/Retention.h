#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QTimer>
#include <chrono>
#include <optional>

namespace store {

class HistoryWriter;

// The first moment that is kept when `keepDays` days are kept; nothing is deleted when
// keepDays <= 0 (keep everything).
qint64 RetentionCutoff(qint64 nowMs, int keepDays);

// Deletes the readings older than `cutoffMs`, and their outbox rows, in one transaction on the
// writer's connection. Returns how many readings went; nothing when the delete failed (and left
// the file as it was).
std::optional<qint64> DeleteReadingsBefore(QSqlDatabase& db, qint64 cutoffMs);

// Deletes readings older than `keepDays` days through the writer: once shortly after Start()
// and then once a day.
class RetentionTrigger : public QObject {
    Q_OBJECT
public:
    RetentionTrigger(HistoryWriter& writer, int keepDays, QObject* parent = nullptr);

    void Start(std::chrono::milliseconds firstRun = std::chrono::minutes(1),
               std::chrono::milliseconds interval = std::chrono::hours(24));
    void RunNow();

private:
    HistoryWriter& writer_;
    int keepDays_;
    QTimer timer_;
    std::chrono::milliseconds interval_{std::chrono::hours(24)};
};

}  // namespace store
