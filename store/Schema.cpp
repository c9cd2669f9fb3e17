#include "store/Schema.h"

#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <iterator>
#include <span>
#include <vector>

namespace store {
namespace {

// Readings are keyed by battery and time without a separate rowid: the table is its own index
// for "one battery over a time range", and each row costs about 20 bytes of record.
constexpr const char* kCreateReadings =
    "CREATE TABLE readings ("
    " device INTEGER NOT NULL CHECK (device IN (160, 161)),"
    " battery INTEGER NOT NULL CHECK (battery BETWEEN 0 AND 7),"
    " t_ms INTEGER NOT NULL,"
    " status INTEGER NOT NULL,"
    " voltage_dv INTEGER NOT NULL,"
    " temperature_dc INTEGER NOT NULL,"
    " PRIMARY KEY (device, battery, t_ms)) WITHOUT ROWID";

// `value` is NULL for an alarm that carries none (no answer); `level` is NULL in the rows of
// files from before levels, whose alarms all count as critical.
constexpr const char* kCreateAlarms =
    "CREATE TABLE alarms ("
    " id INTEGER PRIMARY KEY,"
    " t_ms INTEGER NOT NULL,"
    " device INTEGER NOT NULL,"
    " battery INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " state TEXT NOT NULL"
    "  CHECK (state IN ('raised', 'cleared', 'acknowledged', 'shelved', 'unshelved')),"
    " value REAL,"
    " user TEXT NOT NULL DEFAULT '',"
    " level TEXT CHECK (level IN ('warning', 'critical')))";
constexpr const char* kCreateAlarmIndex = "CREATE INDEX alarms_by_time ON alarms (t_ms)";

// Readings a broker has not yet acknowledged, in the order they were recorded. Rows exist only
// while publishing lags behind, so the table costs nothing in the steady state. AUTOINCREMENT:
// a number is never handed out twice, even after the newest row was deleted, so a sender can
// name a row by its number alone.
constexpr const char* kCreateReadingOutbox =
    "CREATE TABLE mqtt_outbox ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " device INTEGER NOT NULL,"
    " battery INTEGER NOT NULL,"
    " t_ms INTEGER NOT NULL)";

// Alarm events a sender has not yet delivered, one row per event and channel ('mqtt' for the
// broker; a later channel such as mail adds rows under its own name, not a table). The numbers
// are shared by all channels and never reused, so each channel's rows stay in recording order.
constexpr const char* kCreateAlarmOutbox =
    "CREATE TABLE alarm_outbox ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " channel TEXT NOT NULL,"
    " alarm_id INTEGER NOT NULL)";
constexpr const char* kCreateAlarmOutboxIndex =
    "CREATE INDEX alarm_outbox_by_channel ON alarm_outbox (channel, seq)";

// One row per discharge of a device's string; `end_ms` is NULL while it runs. `first_at_end`
// is the battery that reached the end voltage first, `weakest` the battery the record names
// (that one, else the lowest minimum); `required_ms` is set for a capacity test.
constexpr const char* kCreateDischarges =
    "CREATE TABLE discharges ("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL CHECK (device IN (160, 161)),"
    " start_ms INTEGER NOT NULL,"
    " end_ms INTEGER,"
    " end_voltage REAL NOT NULL,"
    " required_ms INTEGER,"
    " first_at_end INTEGER,"
    " weakest INTEGER,"
    " UNIQUE (device, start_ms))";

// What each battery did during a discharge.
constexpr const char* kCreateDischargeBatteries =
    "CREATE TABLE discharge_batteries ("
    " discharge_id INTEGER NOT NULL REFERENCES discharges (id),"
    " battery INTEGER NOT NULL CHECK (battery BETWEEN 0 AND 7),"
    " start_v REAL NOT NULL,"
    " min_v REAL NOT NULL,"
    " end_reached_ms INTEGER,"
    " max_temperature REAL NOT NULL,"
    " deviation_v REAL NOT NULL,"
    " PRIMARY KEY (discharge_id, battery)) WITHOUT ROWID";

constexpr const char* kCreateStatements[] = {
    kCreateReadings,    kCreateAlarms,           kCreateAlarmIndex, kCreateReadingOutbox,
    kCreateAlarmOutbox, kCreateAlarmOutboxIndex, kCreateDischarges, kCreateDischargeBatteries,
};

constexpr const char* kCopyReadingOutboxFrom1 =
    "INSERT INTO mqtt_outbox (seq, device, battery, t_ms)"
    " SELECT seq, device, battery, t_ms FROM mqtt_outbox_v1 ORDER BY seq";
constexpr const char* kCopyAlarmsFrom2 =
    "INSERT INTO alarms (id, t_ms, device, battery, kind, state, value, user)"
    " SELECT id, t_ms, device, battery, kind, state, value, user FROM alarms_v2 ORDER BY id";

// Version 1 to 2: the reading outbox gets numbers that are never reused (its rows keep theirs),
// the alarm outbox is added, and the value 0 that version 1 wrote for no-answer alarms becomes
// NULL.
constexpr const char* kUpgradeFrom1[] = {
    "ALTER TABLE mqtt_outbox RENAME TO mqtt_outbox_v1",
    kCreateReadingOutbox,
    kCopyReadingOutboxFrom1,
    "DROP TABLE mqtt_outbox_v1",
    kCreateAlarmOutbox,
    kCreateAlarmOutboxIndex,
    "UPDATE alarms SET value = NULL WHERE kind = 'no_answer'",
};

// Version 2 to 3: alarm events carry their level, and shelving is recorded. SQLite cannot change
// a CHECK constraint in place, so the table is made anew and its rows copied with their ids (the
// alarm outbox names rows by id); the rows kept have no level.
constexpr const char* kUpgradeFrom2[] = {
    "ALTER TABLE alarms RENAME TO alarms_v2",
    "DROP INDEX alarms_by_time",
    kCreateAlarms,
    kCopyAlarmsFrom2,
    "DROP TABLE alarms_v2",
    kCreateAlarmIndex,
};

// Version 3 to 4: discharge records.
constexpr const char* kUpgradeFrom3[] = {
    kCreateDischarges,
    kCreateDischargeBatteries,
};

bool Exec(QSqlDatabase& db, const QString& sql, QSqlError* error) {
    QSqlQuery query(db);
    if (query.exec(sql)) return true;
    *error = query.lastError();
    return false;
}

// Runs `statements` and sets the current version in one transaction: a file is either upgraded
// completely or left as it was.
bool RunInTransaction(QSqlDatabase& db, std::span<const char* const> statements, QSqlError* error) {
    if (!db.transaction()) {
        *error = db.lastError();
        return false;
    }
    for (const char* sql : statements) {
        if (!Exec(db, QString::fromLatin1(sql), error)) {
            db.rollback();
            return false;
        }
    }
    if (!Exec(db, QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion), error) ||
        !db.commit()) {
        if (!error->isValid()) *error = db.lastError();
        db.rollback();
        return false;
    }
    return true;
}

}  // namespace

SqliteFault ClassifyError(const QSqlError& error) {
    if (!error.isValid()) return SqliteFault::None;
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xFF;
    if (!ok) {
        // Some driver paths drop the code; SQLite's own texts for the codes that matter.
        const QString text = error.databaseText();
        if (text.contains(QStringLiteral("disk is full"))) return SqliteFault::DiskFull;
        if (text.contains(QStringLiteral("readonly"))) return SqliteFault::ReadOnly;
        if (text.contains(QStringLiteral("malformed")) ||
            text.contains(QStringLiteral("not a database"))) {
            return SqliteFault::Corrupt;
        }
        return SqliteFault::Other;
    }
    switch (code) {
        case 13:  // SQLITE_FULL
            return SqliteFault::DiskFull;
        case 8:   // SQLITE_READONLY
        case 14:  // SQLITE_CANTOPEN
        case 3:   // SQLITE_PERM
            return SqliteFault::ReadOnly;
        case 5:  // SQLITE_BUSY
        case 6:  // SQLITE_LOCKED
            return SqliteFault::Busy;
        case 11:  // SQLITE_CORRUPT
        case 26:  // SQLITE_NOTADB
            return SqliteFault::Corrupt;
        default:
            return SqliteFault::Other;
    }
}

int ReadSchemaVersion(QSqlDatabase& db) {
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) return -1;
    return query.value(0).toInt();
}

SchemaStatus PrepareForWriting(QSqlDatabase& db, bool thoroughCheck) {
    SchemaStatus status;
    auto fail = [&](SchemaStatus::Kind kind) {
        status.kind = ClassifyError(status.error) == SqliteFault::Corrupt
                          ? SchemaStatus::Kind::Corrupt
                          : kind;
        return status;
    };

    // Reading the schema is the first access to the file: a file that is not a database at all
    // fails here.
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !query.next()) {
            status.error = query.lastError();
            return fail(SchemaStatus::Kind::Failed);
        }
    }
    status.version = ReadSchemaVersion(db);
    if (status.version > kSchemaVersion) {
        status.kind = SchemaStatus::Kind::NewerVersion;
        return status;
    }
    if (!Exec(db, QStringLiteral("PRAGMA busy_timeout = 2000"), &status.error) ||
        !Exec(db, QStringLiteral("PRAGMA journal_mode = WAL"), &status.error) ||
        !Exec(db, QStringLiteral("PRAGMA synchronous = FULL"), &status.error)) {
        return fail(SchemaStatus::Kind::Failed);
    }
    if (thoroughCheck) {
        QSqlQuery check(db);
        if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()) {
            status.error = check.lastError();
            return fail(SchemaStatus::Kind::Failed);
        }
        if (check.value(0).toString() != QStringLiteral("ok")) {
            status.kind = SchemaStatus::Kind::Corrupt;
            return status;
        }
    }
    if (status.version == 0 && !RunInTransaction(db, kCreateStatements, &status.error))
        return fail(SchemaStatus::Kind::Failed);
    if (status.version >= 1 && status.version < kSchemaVersion) {
        std::vector<const char*> upgrade;
        if (status.version == 1) upgrade.assign(std::begin(kUpgradeFrom1), std::end(kUpgradeFrom1));
        if (status.version <= 2)
            upgrade.insert(upgrade.end(), std::begin(kUpgradeFrom2), std::end(kUpgradeFrom2));
        upgrade.insert(upgrade.end(), std::begin(kUpgradeFrom3), std::end(kUpgradeFrom3));
        if (!RunInTransaction(db, upgrade, &status.error)) return fail(SchemaStatus::Kind::Failed);
    }
    status.version = kSchemaVersion;
    status.kind = SchemaStatus::Kind::Ready;
    return status;
}

bool CreateHistoryFile(const QString& path, QString* error) {
    const QString connection =
        QStringLiteral("batmon-store-create-") + QUuid::createUuid().toString();
    bool ready = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        if (!db.open()) {
            if (error) *error = db.lastError().text();
        } else {
            const SchemaStatus status = PrepareForWriting(db, false);
            ready = status.kind == SchemaStatus::Kind::Ready;
            if (!ready && error)
                *error = status.kind == SchemaStatus::Kind::NewerVersion
                             ? QStringLiteral("version %1 is newer than this program's")
                                   .arg(status.version)
                             : status.error.text();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return ready;
}

}  // namespace store
