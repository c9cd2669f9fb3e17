#pragma once

#include <QString>
#include <span>
#include <vector>

#include "mqtt/BatmonMessages.h"
#include "mqtt/DischargeMessages.h"

struct pg_conn;
struct pg_result;

// A message as the collector holds it until it is written: the row and when it arrived.
template <typename Message>
struct Received {
    Message message;
    qint64 receivedMs = 0;  // UTC milliseconds since the epoch, on the collector's clock
};
using ReceivedReading = Received<ReadingMessage>;
using ReceivedAlarm = Received<AlarmMessage>;

// Writes readings and alarm events into PostgreSQL through libpq, one transaction per batch:
// the rows are copied into a temporary table and inserted from there, skipping rows already
// present, so a batch written twice changes nothing.
//
//   battery_readings (site, device, battery, time, voltage, temperature, status)
//       primary key (site, device, battery, time)
//   battery_alarms (site, device, battery, time, kind, state, value, acknowledged_by)
//       primary key (site, device, battery, time, kind, state)
//   battery_rejected (received, topic, payload, reason)
//
// device is the bus address (160 for A0, 161 for A1); value is null for events without one;
// acknowledged_by is empty except for "acknowledged" events. A row the database refuses as data
// (a value it cannot hold, a check a site added to its table) goes into battery_rejected, as the
// message it came from and the database's reason, in the same transaction as the rest of its
// batch; only a failing connection or server fails a batch.
class PgWriter {
public:
    explicit PgWriter(QString conninfo);
    ~PgWriter();
    PgWriter(const PgWriter&) = delete;
    PgWriter& operator=(const PgWriter&) = delete;

    // Connects and creates the tables when missing. False with lastError() on failure.
    bool Open();
    void Close();
    bool IsOpen() const { return conn_ != nullptr; }

    // A row set aside into battery_rejected.
    struct Rejected {
        QByteArray topic;
        QString reason;
        bool kept = true;  // false when battery_rejected refused it too: then only logged
    };
    struct Result {
        qsizetype newReadings = 0;
        qsizetype newAlarms = 0;
        std::vector<Rejected> rejected;
    };
    // Writes all rows in one transaction, rows the database refuses set aside; false (nothing
    // written, connection closed) when the connection or the server fails.
    bool Write(std::span<const ReceivedReading> readings, std::span<const ReceivedAlarm> alarms,
               Result* result = nullptr);

    // Writes discharge summaries in one transaction, each once (a summary received again changes
    // nothing); one the database refuses is left out and reported in `rejected`.
    //   battery_discharges (site, device, start_time, end_time, duration_s, weakest_battery,
    //                       weakest_label, weakest_min_voltage, capacity_percent,
    //                       capacity_reached, summary jsonb)  primary key (site, device,
    //                       start_time)
    bool WriteDischarges(std::span<const DischargeSummary> discharges,
                         std::vector<Rejected>* rejected);

    const QString& LastError() const { return lastError_; }

private:
    // How a statement ended: done, refused for the data it carried, or failed as a server or a
    // connection fails (which ends the batch).
    enum class Outcome { Done, DataRefused, Failed };
    // The statements that copy rows of one kind in and insert them into their table.
    struct Table;
    static const Table kReadings;
    static const Table kAlarms;

    template <typename Row>
    bool WriteRows(const Table& table, std::span<const Received<Row>> rows, qsizetype* inserted,
                   std::vector<Rejected>* rejected);
    template <typename Row>
    bool SetAside(const Received<Row>& row, const QString& reason, std::vector<Rejected>* rejected);
    Outcome CopyAndInsert(const Table& table, const QByteArray& rows, qsizetype* inserted);
    Outcome OutcomeOf(pg_result* result);
    bool Exec(const char* sql, qsizetype* affected = nullptr);
    Outcome Run(const char* sql, qsizetype* affected = nullptr);
    Outcome CopyIn(const char* sql, const QByteArray& data);
    bool Fail();

    QString conninfo_;
    pg_conn* conn_ = nullptr;
    QString lastError_;
};

// COPY text-format rows, exposed for tests of the escaping.
QByteArray ReadingCopyRows(std::span<const ReadingMessage> readings);
QByteArray AlarmCopyRows(std::span<const AlarmMessage> alarms);
