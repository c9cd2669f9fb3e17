#include "store/Outbox.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "store/AlarmRow.h"

namespace store {
namespace {

// Runs a page query and hands each row to `take`; false when the query fails.
template <class Entry, class Take>
std::optional<OutboxPage<Entry>> ReadPage(QSqlQuery& query, int limit, QString* error,
                                          Take&& take) {
    if (!query.exec()) {
        if (error) *error = query.lastError().text();
        return std::nullopt;
    }
    OutboxPage<Entry> page;
    int rows = 0;
    while (query.next()) {
        ++rows;
        page.lastSeq = query.value(0).toLongLong();
        if (std::optional<Entry> entry = take(query)) page.entries.push_back(std::move(*entry));
    }
    page.complete = rows < limit;
    return page;
}

}  // namespace

std::optional<OutboxPage<OutboxEntry>> ReadReadingOutbox(QSqlDatabase& db, qint64 afterSeq,
                                                         int limit, QString* error) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT o.seq, r.t_ms, r.status, r.voltage_dv, r.temperature_dc, o.device, o.battery "
        "FROM mqtt_outbox o LEFT JOIN readings r "
        "ON r.device = o.device AND r.battery = o.battery AND r.t_ms = o.t_ms "
        "WHERE o.seq > ? ORDER BY o.seq LIMIT ?"));
    query.addBindValue(afterSeq);
    query.addBindValue(limit);
    return ReadPage<OutboxEntry>(
        query, limit, error, [](const QSqlQuery& q) -> std::optional<OutboxEntry> {
            if (q.value(1).isNull()) return std::nullopt;
            OutboxEntry entry;
            entry.seq = q.value(0).toLongLong();
            battery::Reading& r = entry.reading;
            r.t_ms = q.value(1).toLongLong();
            r.status = static_cast<std::uint8_t>(q.value(2).toUInt());
            r.voltage_dv = static_cast<std::uint8_t>(q.value(3).toUInt());
            r.temperature_dc = static_cast<std::uint16_t>(q.value(4).toUInt());
            r.device = static_cast<std::uint8_t>(q.value(5).toUInt());
            r.battery = static_cast<std::uint8_t>(q.value(6).toUInt());
            return entry;
        });
}

std::optional<OutboxPage<AlarmOutboxEntry>> ReadAlarmOutbox(QSqlDatabase& db,
                                                            const QString& channel, qint64 afterSeq,
                                                            int limit, QString* error) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT o.seq, %1 FROM alarm_outbox o "
                                 "LEFT JOIN alarms a ON a.id = o.alarm_id "
                                 "WHERE o.channel = ? AND o.seq > ? ORDER BY o.seq LIMIT ?")
                      .arg(AlarmColumns(QStringLiteral("a"))));
    query.addBindValue(channel);
    query.addBindValue(afterSeq);
    query.addBindValue(limit);
    return ReadPage<AlarmOutboxEntry>(
        query, limit, error, [&channel](const QSqlQuery& q) -> std::optional<AlarmOutboxEntry> {
            if (q.value(1).isNull()) return std::nullopt;
            std::optional<alarms::AlarmEvent> event = AlarmFromRow(q, 1);
            if (!event) return std::nullopt;
            return AlarmOutboxEntry{q.value(0).toLongLong(), channel, *event};
        });
}

bool DeleteDelivered(QSqlDatabase& db, const std::vector<qint64>& readingSeqs,
                     const std::vector<qint64>& alarmSeqs) {
    if (!db.transaction()) return false;
    const auto remove = [&db](const char* table, const std::vector<qint64>& seqs) {
        QSqlQuery query(db);
        query.prepare(QStringLiteral("DELETE FROM %1 WHERE seq = ?").arg(QLatin1String(table)));
        for (const qint64 seq : seqs) {
            query.bindValue(0, seq);
            if (!query.exec()) return false;
        }
        return true;
    };
    if (remove("mqtt_outbox", readingSeqs) && remove("alarm_outbox", alarmSeqs) && db.commit())
        return true;
    db.rollback();
    return false;
}

}  // namespace store
