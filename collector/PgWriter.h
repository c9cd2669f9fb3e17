#pragma once

#include <QString>
#include <span>

#include "mqtt/BatmonMessages.h"

struct pg_conn;

// Writes readings and alarm events into PostgreSQL through libpq, one transaction per batch:
// the rows are copied into a temporary table and inserted from there, skipping rows already
// present, so a batch written twice changes nothing.
//
//   battery_readings (site, device, battery, time, voltage, temperature, status)
//       primary key (site, device, battery, time)
//   battery_alarms (site, device, battery, time, kind, state, value, acknowledged_by)
//       primary key (site, device, battery, time, kind, state)
//
// device is the bus address (160 for A0, 161 for A1); value is null for events without one;
// acknowledged_by is empty except for "acknowledged" events.
class PgWriter {
public:
    explicit PgWriter(QString conninfo);
    ~PgWriter();
    PgWriter(const PgWriter&) = delete;
    PgWriter& operator=(const PgWriter&) = delete;

    // Connects and creates the tables when missing. False with lastError() on failure.
    bool open();
    void close();
    bool isOpen() const { return m_conn != nullptr; }

    struct Result {
        qsizetype newReadings = 0;
        qsizetype newAlarms = 0;
    };
    // Writes all rows in one transaction; false (nothing written, connection closed) on failure.
    bool write(std::span<const ReadingMessage> readings, std::span<const AlarmMessage> alarms,
               Result* result = nullptr);

    const QString& lastError() const { return m_lastError; }

private:
    bool exec(const char* sql, qsizetype* affected = nullptr);
    bool copyIn(const char* sql, const QByteArray& data);
    bool fail();

    QString m_conninfo;
    pg_conn* m_conn = nullptr;
    QString m_lastError;
};

// COPY text-format rows, exposed for tests of the escaping.
QByteArray ReadingCopyRows(std::span<const ReadingMessage> readings);
QByteArray AlarmCopyRows(std::span<const AlarmMessage> alarms);
