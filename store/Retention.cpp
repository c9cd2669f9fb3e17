#include "store/Retention.h"

#include <QDateTime>
#include <QSqlQuery>
#include <limits>

#include "battery/BatteryId.h"
#include "store/HistoryWriter.h"

namespace store {

qint64 RetentionCutoff(qint64 nowMs, int keepDays) {
    if (keepDays <= 0) return std::numeric_limits<qint64>::min();
    return nowMs - qint64{keepDays} * 24 * 3600 * 1000;
}

std::optional<qint64> DeleteReadingsBefore(QSqlDatabase& db, qint64 cutoffMs) {
    if (!db.transaction()) return std::nullopt;
    qint64 deleted = 0;
    QSqlQuery remove(db);
    // One range per battery, so each delete walks only the key range it removes.
    remove.prepare(
        QStringLiteral("DELETE FROM readings WHERE device = ? AND battery = ? AND t_ms < ?"));
    bool ok = true;
    for (const std::uint8_t device : battery::kDevices) {
        for (int battery = 0; battery < battery::kBatteriesPerDevice && ok; ++battery) {
            remove.bindValue(0, device);
            remove.bindValue(1, battery);
            remove.bindValue(2, cutoffMs);
            ok = remove.exec();
            deleted += remove.numRowsAffected();
        }
    }
    QSqlQuery outbox(db);
    outbox.prepare(QStringLiteral("DELETE FROM mqtt_outbox WHERE t_ms < ?"));
    outbox.addBindValue(cutoffMs);
    if (ok && outbox.exec() && db.commit()) return deleted;
    db.rollback();
    return std::nullopt;
}

RetentionTrigger::RetentionTrigger(HistoryWriter& writer, int keepDays, QObject* parent)
    : QObject(parent), writer_(writer), keepDays_(keepDays) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        RunNow();
        timer_.start(interval_);
    });
}

void RetentionTrigger::Start(std::chrono::milliseconds firstRun,
                             std::chrono::milliseconds interval) {
    if (keepDays_ <= 0) return;
    interval_ = interval;
    timer_.start(firstRun);
}

void RetentionTrigger::RunNow() {
    if (keepDays_ <= 0) return;
    writer_.DeleteReadingsBefore(RetentionCutoff(QDateTime::currentMSecsSinceEpoch(), keepDays_));
}

}  // namespace store
