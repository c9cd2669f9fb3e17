#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <span>

#include "alarms/AlarmTypes.h"
#include "alarms/Discharge.h"
#include "battery/Reading.h"
#include "store/Outbox.h"

namespace store {

// Writes readings, alarm events (with their outbox rows) and discharge records to an open history
// file: one batch in one transaction, so a batch is in the file completely or not at all. The
// statements are prepared once per connection.
class BatchWriter {
public:
    explicit BatchWriter(const QSqlDatabase& db);

    // Writes the batch; `added` receives the outbox rows it made. On failure (`error` set)
    // nothing of the batch stays in the file.
    bool Write(std::span<const battery::Reading> readings,
               std::span<const alarms::AlarmEvent> events,
               std::span<const alarms::DischargeRecord> discharges, const OutboxChannels& outbox,
               OutboxBatch* added, QSqlError* error);

private:
    bool WriteReading(const battery::Reading& reading, bool outbox, OutboxBatch* added,
                      QSqlError* error);
    bool WriteAlarm(const alarms::AlarmEvent& event, const OutboxChannels& outbox,
                    OutboxBatch* added, QSqlError* error);

    QSqlDatabase db_;
    QSqlQuery control_;
    QSqlQuery insertReading_;
    QSqlQuery insertReadingOutbox_;
    QSqlQuery insertAlarm_;
    QSqlQuery insertAlarmOutbox_;
};

}  // namespace store
