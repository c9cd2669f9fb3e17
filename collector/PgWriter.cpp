#include "collector/PgWriter.h"

#include <libpq-fe.h>

#include <QLocale>
#include <array>
#include <optional>

namespace {

// The alarm level came after the first version: a table made before gets it as a column that
// is NULL in the rows it already holds. Altering a table locks it, so that happens only once, not
// at every connection (a long query on the table would otherwise keep the collector out).
const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS battery_readings (
    site text NOT NULL,
    device smallint NOT NULL,
    battery smallint NOT NULL,
    time timestamptz NOT NULL,
    voltage real,
    temperature real,
    status smallint,
    PRIMARY KEY (site, device, battery, time));
CREATE TABLE IF NOT EXISTS battery_alarms (
    site text NOT NULL,
    device smallint NOT NULL,
    battery smallint NOT NULL,
    time timestamptz NOT NULL,
    kind text NOT NULL,
    state text NOT NULL,
    value real,
    acknowledged_by text NOT NULL DEFAULT '',
    PRIMARY KEY (site, device, battery, time, kind, state));
DO $$ BEGIN
    IF NOT EXISTS (SELECT 1 FROM information_schema.columns
                   WHERE table_schema = current_schema() AND table_name = 'battery_alarms'
                     AND column_name = 'level') THEN
        ALTER TABLE battery_alarms ADD COLUMN IF NOT EXISTS level text;
    END IF;
END $$;
CREATE TABLE IF NOT EXISTS battery_rejected (
    received timestamptz NOT NULL,
    topic text NOT NULL,
    payload text NOT NULL,
    reason text NOT NULL);
CREATE TABLE IF NOT EXISTS battery_discharges (
    site text NOT NULL,
    device smallint NOT NULL,
    start_time timestamptz NOT NULL,
    end_time timestamptz NOT NULL,
    duration_s double precision NOT NULL,
    weakest_battery smallint,
    weakest_label text,
    weakest_min_voltage real,
    capacity_percent real,
    capacity_reached boolean,
    summary jsonb NOT NULL,
    PRIMARY KEY (site, device, start_time));
CREATE TEMP TABLE IF NOT EXISTS readings_in (LIKE battery_readings) ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS alarms_in (LIKE battery_alarms) ON COMMIT DELETE ROWS;
)";

// Columns are named everywhere, so that a site may add its own columns (with defaults) to the
// tables without breaking the collector. Each insert empties the temporary table it reads, so
// that a batch written in parts inserts every part once.
const char* const kCopyReadings =
    "COPY readings_in (site, device, battery, time, voltage, temperature, status) FROM STDIN";
const char* const kInsertReadings =
    "WITH batch AS (DELETE FROM readings_in "
    "RETURNING site, device, battery, time, voltage, temperature, status) "
    "INSERT INTO battery_readings (site, device, battery, time, voltage, temperature, status) "
    "SELECT site, device, battery, time, voltage, temperature, status FROM batch "
    "ON CONFLICT DO NOTHING";
const char* const kCopyAlarms =
    "COPY alarms_in (site, device, battery, time, kind, state, value, acknowledged_by, level) "
    "FROM STDIN";
const char* const kInsertAlarms =
    "WITH batch AS (DELETE FROM alarms_in "
    "RETURNING site, device, battery, time, kind, state, value, acknowledged_by, level) "
    "INSERT INTO battery_alarms "
    "(site, device, battery, time, kind, state, value, acknowledged_by, level) "
    "SELECT site, device, battery, time, kind, state, value, acknowledged_by, level FROM batch "
    "ON CONFLICT DO NOTHING";
const char* const kInsertDischarge =
    "INSERT INTO battery_discharges (site, device, start_time, end_time, duration_s,"
    " weakest_battery, weakest_label, weakest_min_voltage, capacity_percent, capacity_reached,"
    " summary) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) ON CONFLICT DO NOTHING";
const char* const kInsertRejected =
    "INSERT INTO battery_rejected (received, topic, payload, reason) VALUES ($1, $2, $3, $4)";

// Text for one COPY field: backslash, tab and line ends would otherwise end the field or row.
void AppendText(QByteArray& out, const QString& text) {
    for (const char c : text.toUtf8()) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

void AppendNumber(QByteArray& out, double value) {
    out += QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

void AppendRow(QByteArray& out, const ReadingMessage& r) {
    AppendText(out, r.site);
    out += '\t' + QByteArray::number(r.device) + '\t' + QByteArray::number(r.battery) + '\t';
    out += FormatUtcTime(r.timeMs).toLatin1() + '\t';
    AppendNumber(out, r.voltage);
    out += '\t';
    AppendNumber(out, r.temperature);
    out += '\t' + QByteArray::number(r.status) + '\n';
}

void AppendRow(QByteArray& out, const AlarmMessage& a) {
    AppendText(out, a.site);
    out += '\t' + QByteArray::number(a.device) + '\t' + QByteArray::number(a.battery) + '\t';
    out += FormatUtcTime(a.timeMs).toLatin1() + '\t';
    AppendText(out, a.kind);
    out += '\t';
    AppendText(out, a.state);
    out += '\t';
    if (a.value) {
        AppendNumber(out, *a.value);
    } else {
        out += "\\N";
    }
    out += '\t';
    AppendText(out, a.user);
    out += '\t';
    // An event of a publisher without levels has none: NULL, like the rows stored before.
    if (a.level.isEmpty()) {
        out += "\\N";
    } else {
        AppendText(out, a.level);
    }
    out += '\n';
}

// The message a row came from, as it is kept among the rejected ones.
QByteArray TopicOf(const ReadingMessage& r) { return ReadingTopic(r.site, r.device, r.battery); }
QByteArray TopicOf(const AlarmMessage& a) { return AlarmTopic(a.site); }
QByteArray PayloadOf(const ReadingMessage& r) { return ReadingPayload(r); }
QByteArray PayloadOf(const AlarmMessage& a) { return AlarmPayload(a); }

template <typename Row>
QByteArray CopyRows(std::span<const Row> rows) {
    QByteArray out;
    out.reserve(qsizetype(rows.size()) * 64);
    for (const Row& row : rows) AppendRow(out, row);
    return out;
}

template <typename Row>
QByteArray ReceivedCopyRows(std::span<const Received<Row>> rows) {
    QByteArray out;
    out.reserve(qsizetype(rows.size()) * 64);
    for (const Received<Row>& row : rows) AppendRow(out, row.message);
    return out;
}

// SQLSTATE classes of errors about the rows a statement carried (22: data exception, 23:
// integrity constraint violation), as opposed to the server or the connection failing.
bool IsDataError(const QByteArray& sqlState) {
    return sqlState.startsWith("22") || sqlState.startsWith("23");
}

}  // namespace

struct PgWriter::Table {
    const char* copy;
    const char* insert;
};

const PgWriter::Table PgWriter::kReadings{kCopyReadings, kInsertReadings};
const PgWriter::Table PgWriter::kAlarms{kCopyAlarms, kInsertAlarms};

QByteArray ReadingCopyRows(std::span<const ReadingMessage> readings) { return CopyRows(readings); }

QByteArray AlarmCopyRows(std::span<const AlarmMessage> alarms) { return CopyRows(alarms); }

PgWriter::PgWriter(QString conninfo) : conninfo_(std::move(conninfo)) {}

PgWriter::~PgWriter() { Close(); }

void PgWriter::Close() {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
}

bool PgWriter::Fail() {
    if (conn_) {
        // libpq's messages span lines; the log keeps one line per event.
        lastError_ = QString::fromUtf8(PQerrorMessage(conn_)).simplified();
        // Whatever went wrong, the next attempt starts from a fresh connection and schema check.
        Close();
    }
    return false;
}

bool PgWriter::Open() {
    if (conn_) return true;
    // The operator's connection string wins over these defaults: an unreachable server must not
    // hold the collector for the system's default time-out. Texts go out as UTF-8.
    const QByteArray conninfo = conninfo_.toUtf8();
    const char* keywords[] = {"connect_timeout", "application_name", "client_encoding", "dbname",
                              nullptr};
    const char* values[] = {"5", "batmon-collector", "UTF8", conninfo.constData(), nullptr};
    conn_ = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(conn_) != CONNECTION_OK) return Fail();
    // A statement stuck behind a lock or a hung server fails after this long instead of
    // holding the collector (and everything arriving meanwhile) indefinitely; the batch is then
    // retried like any other failure.
    Exec("SET client_min_messages = warning");
    Exec("SET statement_timeout = '15s'");
    if (!conn_ || !Exec(kSchema)) return Fail();
    return true;
}

PgWriter::Outcome PgWriter::OutcomeOf(PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_COPY_IN)
        return Outcome::Done;
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    lastError_ = QString::fromUtf8(primary ? primary : PQerrorMessage(conn_)).simplified();
    const char* sqlState = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (PQstatus(conn_) != CONNECTION_OK || !sqlState || !IsDataError(sqlState))
        return Outcome::Failed;
    return Outcome::DataRefused;
}

PgWriter::Outcome PgWriter::Run(const char* sql, qsizetype* affected) {
    PGresult* result = PQexec(conn_, sql);
    const Outcome outcome = OutcomeOf(result);
    if (outcome == Outcome::Done && affected)
        *affected = QByteArray(PQcmdTuples(result)).toLongLong();
    PQclear(result);
    return outcome;
}

bool PgWriter::Exec(const char* sql, qsizetype* affected) {
    return Run(sql, affected) == Outcome::Done;
}

PgWriter::Outcome PgWriter::CopyIn(const char* sql, const QByteArray& data) {
    if (const Outcome started = Run(sql); started != Outcome::Done) return started;
    if (PQputCopyData(conn_, data.constData(), int(data.size())) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1) {
        lastError_ = QString::fromUtf8(PQerrorMessage(conn_)).simplified();
        return Outcome::Failed;
    }
    Outcome outcome = Outcome::Done;
    while (PGresult* end = PQgetResult(conn_)) {
        if (outcome == Outcome::Done) outcome = OutcomeOf(end);
        PQclear(end);
    }
    return outcome;
}

PgWriter::Outcome PgWriter::CopyAndInsert(const Table& table, const QByteArray& rows,
                                          qsizetype* inserted) {
    if (const Outcome copied = CopyIn(table.copy, rows); copied != Outcome::Done) return copied;
    qsizetype count = 0;
    const Outcome outcome = Run(table.insert, &count);
    if (outcome == Outcome::Done) *inserted += count;
    return outcome;
}

template <typename Row>
bool PgWriter::WriteRows(const Table& table, std::span<const Received<Row>> rows,
                         qsizetype* inserted, std::vector<Rejected>* rejected) {
    if (rows.empty()) return true;
    if (!Exec("SAVEPOINT batch_rows")) return false;
    switch (CopyAndInsert(table, ReceivedCopyRows(rows), inserted)) {
        case Outcome::Done:
            return Exec("RELEASE SAVEPOINT batch_rows");
        case Outcome::Failed:
            return false;
        case Outcome::DataRefused:
            break;
    }
    const QString reason = lastError_;
    if (!Exec("ROLLBACK TO SAVEPOINT batch_rows") || !Exec("RELEASE SAVEPOINT batch_rows"))
        return false;
    if (rows.size() == 1) return SetAside(rows.front(), reason, rejected);
    // Halves until each refused row stands alone: a few bad rows in a large batch cost a few
    // rounds each, not one round per row of the batch.
    const std::size_t half = rows.size() / 2;
    return WriteRows(table, rows.first(half), inserted, rejected) &&
           WriteRows(table, rows.subspan(half), inserted, rejected);
}

template <typename Row>
bool PgWriter::SetAside(const Received<Row>& row, const QString& reason,
                        std::vector<Rejected>* rejected) {
    Rejected entry{TopicOf(row.message), reason};
    const QByteArray received = FormatUtcTime(row.receivedMs).toLatin1();
    const QByteArray payload = PayloadOf(row.message);
    const QByteArray why = reason.toUtf8();
    const char* const values[] = {received.constData(), entry.topic.constData(),
                                  payload.constData(), why.constData()};
    if (!Exec("SAVEPOINT rejected_row")) return false;
    PGresult* result =
        PQexecParams(conn_, kInsertRejected, 4, nullptr, values, nullptr, nullptr, 0);
    const Outcome outcome = OutcomeOf(result);
    PQclear(result);
    if (outcome == Outcome::Failed) return false;
    if (outcome == Outcome::DataRefused) {
        // Even the message's text cannot be kept (a database in an encoding without its
        // characters): the caller can only log it.
        entry.kept = false;
        entry.reason += QStringLiteral("; not kept in battery_rejected: ") + lastError_;
        if (!Exec("ROLLBACK TO SAVEPOINT rejected_row")) return false;
    }
    if (!Exec("RELEASE SAVEPOINT rejected_row")) return false;
    rejected->push_back(std::move(entry));
    return true;
}

bool PgWriter::Write(std::span<const ReceivedReading> readings,
                     std::span<const ReceivedAlarm> alarms, Result* result) {
    if (!Open()) return false;
    Result written;
    if (!Exec("BEGIN") ||
        !WriteRows(kReadings, readings, &written.newReadings, &written.rejected) ||
        !WriteRows(kAlarms, alarms, &written.newAlarms, &written.rejected) || !Exec("COMMIT"))
        return Fail();
    if (result) *result = std::move(written);
    return true;
}

bool PgWriter::WriteDischarges(std::span<const DischargeSummary> discharges,
                               std::vector<Rejected>* rejected) {
    if (!Open()) return false;
    if (!Exec("BEGIN")) return Fail();
    for (const DischargeSummary& summary : discharges) {
        const alarms::DischargeRecord& record = summary.record;
        const std::int64_t endMs = record.endMs.value_or(record.startMs);
        const alarms::BatteryDischarge* weakest = record.Weakest();
        const std::optional<alarms::CapacityResult> capacity = record.Capacity(endMs);
        const QByteArray topic = DischargeSummaryTopic(summary.site, record.device);
        const std::array<std::optional<QByteArray>, 11> fields = {
            summary.site.toUtf8(),
            QByteArray::number(record.device),
            FormatUtcTime(record.startMs).toLatin1(),
            FormatUtcTime(endMs).toLatin1(),
            QByteArray::number(record.DurationMs(endMs) / 1000.0, 'f', 3),
            weakest ? std::optional(QByteArray::number(weakest->battery.battery)) : std::nullopt,
            weakest ? std::optional(battery::BatteryLabel(weakest->battery).toUtf8())
                    : std::nullopt,
            weakest ? std::optional(QByteArray::number(weakest->minV)) : std::nullopt,
            capacity ? std::optional(QByteArray::number(capacity->percent)) : std::nullopt,
            capacity ? std::optional(QByteArray(capacity->reached ? "true" : "false"))
                     : std::nullopt,
            DischargeSummaryPayload(record)};
        std::array<const char*, fields.size()> values{};
        for (std::size_t i = 0; i < fields.size(); ++i)
            values[i] = fields[i] ? fields[i]->constData() : nullptr;
        if (!Exec("SAVEPOINT discharge_row")) return Fail();
        PGresult* result = PQexecParams(conn_, kInsertDischarge, int(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0);
        const Outcome outcome = OutcomeOf(result);
        PQclear(result);
        if (outcome == Outcome::Failed) return Fail();
        if (outcome == Outcome::DataRefused) {
            rejected->push_back({topic, lastError_, false});
            if (!Exec("ROLLBACK TO SAVEPOINT discharge_row")) return Fail();
        }
        if (!Exec("RELEASE SAVEPOINT discharge_row")) return Fail();
    }
    if (!Exec("COMMIT")) return Fail();
    return true;
}
