#pragma once

#include <QSqlDatabase>
#include <QString>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "battery/Reading.h"

// The outboxes: what a sender has yet to deliver, named by numbers that are never reused.
// Readings wait in `mqtt_outbox`; alarm events wait in `alarm_outbox`, one row per event and
// channel.
namespace store {

// The broker's channel of the alarm outbox.
inline const QString kMqttChannel = QStringLiteral("mqtt");

// Which outbox rows the writer adds for what it records.
struct OutboxChannels {
    bool readings = false;               // every reading into mqtt_outbox
    std::vector<QString> alarmChannels;  // every alarm event once per channel
};

struct OutboxEntry {
    qint64 seq = 0;
    battery::Reading reading;
};

struct AlarmOutboxEntry {
    qint64 seq = 0;
    QString channel;
    alarms::AlarmEvent event;
};

// The outbox rows one commit added, in the order they were recorded.
struct OutboxBatch {
    std::vector<OutboxEntry> readings;
    std::vector<AlarmOutboxEntry> alarms;
    bool Empty() const { return readings.empty() && alarms.empty(); }
};

// Rows of an outbox after a given number, oldest first. Rows whose event is gone or unknown to
// this program are passed over but counted, so `lastSeq` and `complete` describe the outbox.
template <class Entry>
struct OutboxPage {
    std::vector<Entry> entries;
    qint64 lastSeq = 0;     // the highest number looked at; 0 when none
    bool complete = false;  // nothing after lastSeq when the page was read
};

// Up to `limit` readings of mqtt_outbox numbered after `afterSeq`; nothing when the file cannot
// be read (`error` says why).
std::optional<OutboxPage<OutboxEntry>> ReadReadingOutbox(QSqlDatabase& db, qint64 afterSeq,
                                                         int limit, QString* error);
// The same for the alarm events of one channel.
std::optional<OutboxPage<AlarmOutboxEntry>> ReadAlarmOutbox(QSqlDatabase& db,
                                                            const QString& channel, qint64 afterSeq,
                                                            int limit, QString* error);

// Deletes delivered rows by their numbers, in one transaction.
bool DeleteDelivered(QSqlDatabase& db, const std::vector<qint64>& readingSeqs,
                     const std::vector<qint64>& alarmSeqs);

}  // namespace store
