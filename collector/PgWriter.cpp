#include "collector/PgWriter.h"

#include <libpq-fe.h>

#include <QLocale>

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
CREATE TEMP TABLE IF NOT EXISTS readings_in (LIKE battery_readings) ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS alarms_in (LIKE battery_alarms) ON COMMIT DELETE ROWS;
)";

// Columns are named everywhere, so that a site may add its own columns (with defaults) to the
// tables without breaking the collector.
const char* const kCopyReadings =
    "COPY readings_in (site, device, battery, time, voltage, temperature, status) FROM STDIN";
const char* const kInsertReadings =
    "INSERT INTO battery_readings (site, device, battery, time, voltage, temperature, status) "
    "SELECT site, device, battery, time, voltage, temperature, status FROM readings_in "
    "ON CONFLICT DO NOTHING";
const char* const kCopyAlarms =
    "COPY alarms_in (site, device, battery, time, kind, state, value, acknowledged_by, level) "
    "FROM STDIN";
const char* const kInsertAlarms =
    "INSERT INTO battery_alarms "
    "(site, device, battery, time, kind, state, value, acknowledged_by, level) "
    "SELECT site, device, battery, time, kind, state, value, acknowledged_by, level "
    "FROM alarms_in ON CONFLICT DO NOTHING";

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

}  // namespace

QByteArray ReadingCopyRows(std::span<const ReadingMessage> readings) {
    QByteArray out;
    out.reserve(readings.size() * 64);
    for (const ReadingMessage& r : readings) {
        AppendText(out, r.site);
        out += '\t' + QByteArray::number(r.device) + '\t' + QByteArray::number(r.battery) + '\t';
        out += FormatUtcTime(r.timeMs).toLatin1() + '\t';
        AppendNumber(out, r.voltage);
        out += '\t';
        AppendNumber(out, r.temperature);
        out += '\t' + QByteArray::number(r.status) + '\n';
    }
    return out;
}

QByteArray AlarmCopyRows(std::span<const AlarmMessage> alarms) {
    QByteArray out;
    for (const AlarmMessage& a : alarms) {
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
    return out;
}

PgWriter::PgWriter(QString conninfo) : m_conninfo(std::move(conninfo)) {}

PgWriter::~PgWriter() { close(); }

void PgWriter::close() {
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgWriter::fail() {
    if (m_conn) {
        // libpq's messages span lines; the log keeps one line per event.
        m_lastError = QString::fromUtf8(PQerrorMessage(m_conn)).simplified();
        // Whatever went wrong, the next attempt starts from a fresh connection and schema check.
        close();
    }
    return false;
}

bool PgWriter::open() {
    if (m_conn) return true;
    // The operator's connection string wins over these defaults: an unreachable server must not
    // hold the collector for the system's default time-out.
    const QByteArray conninfo = m_conninfo.toUtf8();
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "batmon-collector", conninfo.constData(), nullptr};
    m_conn = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(m_conn) != CONNECTION_OK) return fail();
    // A statement stuck behind a lock or a hung server fails after this long instead of
    // holding the collector (and everything arriving meanwhile) indefinitely; the batch is then
    // retried like any other failure.
    exec("SET client_min_messages = warning");
    exec("SET statement_timeout = '15s'");
    if (!m_conn || !exec(kSchema)) return fail();
    return true;
}

bool PgWriter::exec(const char* sql, qsizetype* affected) {
    PGresult* result = PQexec(m_conn, sql);
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (ok && affected) *affected = QByteArray(PQcmdTuples(result)).toLongLong();
    PQclear(result);
    return ok;
}

bool PgWriter::copyIn(const char* sql, const QByteArray& data) {
    PGresult* result = PQexec(m_conn, sql);
    const bool started = PQresultStatus(result) == PGRES_COPY_IN;
    PQclear(result);
    if (!started) return false;
    if (PQputCopyData(m_conn, data.constData(), int(data.size())) != 1) return false;
    if (PQputCopyEnd(m_conn, nullptr) != 1) return false;
    bool ok = true;
    while (PGresult* end = PQgetResult(m_conn)) {
        ok = ok && PQresultStatus(end) == PGRES_COMMAND_OK;
        PQclear(end);
    }
    return ok;
}

bool PgWriter::write(std::span<const ReadingMessage> readings, std::span<const AlarmMessage> alarms,
                     Result* result) {
    if (!open()) return false;
    Result counts;
    if (!exec("BEGIN")) return fail();
    if (!readings.empty() && (!copyIn(kCopyReadings, ReadingCopyRows(readings)) ||
                              !exec(kInsertReadings, &counts.newReadings))) {
        return fail();
    }
    if (!alarms.empty() &&
        (!copyIn(kCopyAlarms, AlarmCopyRows(alarms)) || !exec(kInsertAlarms, &counts.newAlarms))) {
        return fail();
    }
    if (!exec("COMMIT")) return fail();
    if (result) *result = counts;
    return true;
}
