#include "tests/store/SchemaVersion1.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <functional>

#include "store/DataDir.h"
#include "tests/store/StoreTestSupport.h"

namespace storetest {
namespace {

// Version 1's layout, as its program created it.
constexpr const char* kVersion1Statements[] = {
    "CREATE TABLE readings ("
    " device INTEGER NOT NULL CHECK (device IN (160, 161)),"
    " battery INTEGER NOT NULL CHECK (battery BETWEEN 0 AND 7),"
    " t_ms INTEGER NOT NULL,"
    " status INTEGER NOT NULL,"
    " voltage_dv INTEGER NOT NULL,"
    " temperature_dc INTEGER NOT NULL,"
    " PRIMARY KEY (device, battery, t_ms)) WITHOUT ROWID",
    "CREATE TABLE alarms ("
    " id INTEGER PRIMARY KEY,"
    " t_ms INTEGER NOT NULL,"
    " device INTEGER NOT NULL,"
    " battery INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('raised', 'cleared', 'acknowledged')),"
    " value REAL,"
    " user TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX alarms_by_time ON alarms (t_ms)",
    "CREATE TABLE mqtt_outbox ("
    " seq INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " battery INTEGER NOT NULL,"
    " t_ms INTEGER NOT NULL)",
    "PRAGMA user_version = 1",
    "PRAGMA journal_mode = WAL",
};

QString Fill(QSqlDatabase& db) {
    QSqlQuery q(db);
    for (const char* sql : kVersion1Statements)
        if (!q.exec(QString::fromLatin1(sql))) return q.lastError().text();
    QSqlQuery reading(db);
    reading.prepare(QStringLiteral(
        "INSERT INTO readings (device, battery, t_ms, status, voltage_dv, temperature_dc) "
        "VALUES (?, ?, ?, ?, ?, ?)"));
    QSqlQuery outbox(db);
    outbox.prepare(
        QStringLiteral("INSERT INTO mqtt_outbox (device, battery, t_ms) VALUES (?, ?, ?)"));
    for (const battery::Reading& r : Sequence(0, 28)) {
        for (const QVariant& v :
             {QVariant(r.device), QVariant(r.battery), QVariant(r.tMs), QVariant(r.status),
              QVariant(r.voltageDv), QVariant(r.temperatureDc)})
            reading.addBindValue(v);
        outbox.addBindValue(r.device);
        outbox.addBindValue(r.battery);
        outbox.addBindValue(r.tMs);
        if (!reading.exec()) return reading.lastError().text();
        if (!outbox.exec()) return outbox.lastError().text();
    }
    if (!q.exec(QStringLiteral(
            "INSERT INTO alarms (t_ms, device, battery, kind, state, value, user) VALUES "
            "(1000, 161, 0, 'no_answer', 'raised', 0, ''), "
            "(1001, 160, 2, 'limit_low_voltage', 'raised', 11.8, ''), "
            "(1002, 161, 0, 'no_answer', 'acknowledged', 0, 'wang'), "
            "(1003, 161, 0, 'no_answer', 'cleared', 0, '')")))
        return q.lastError().text();
    return {};
}

// What version 2's program did to a version-1 file (its outbox renumbered, the alarm outbox
// added, no-answer values dropped), and the alarm events it left waiting for the broker.
constexpr const char* kToVersion2Statements[] = {
    "ALTER TABLE mqtt_outbox RENAME TO mqtt_outbox_v1",
    "CREATE TABLE mqtt_outbox ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " device INTEGER NOT NULL,"
    " battery INTEGER NOT NULL,"
    " t_ms INTEGER NOT NULL)",
    "INSERT INTO mqtt_outbox (seq, device, battery, t_ms)"
    " SELECT seq, device, battery, t_ms FROM mqtt_outbox_v1 ORDER BY seq",
    "DROP TABLE mqtt_outbox_v1",
    "CREATE TABLE alarm_outbox ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " channel TEXT NOT NULL,"
    " alarm_id INTEGER NOT NULL)",
    "CREATE INDEX alarm_outbox_by_channel ON alarm_outbox (channel, seq)",
    "UPDATE alarms SET value = NULL WHERE kind = 'no_answer'",
    "INSERT INTO alarm_outbox (channel, alarm_id) SELECT 'mqtt', id FROM alarms ORDER BY id",
    "PRAGMA user_version = 2",
};

QString WithDatabase(const QString& dataDir, const std::function<QString(QSqlDatabase&)>& work) {
    const QString connection = QUuid::createUuid().toString();
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(store::HistoryFilePath(dataDir));
        error = db.open() ? work(db) : db.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return error;
}

}  // namespace

QString MakeVersion2File(const QString& dataDir) {
    const QString error = MakeVersion1File(dataDir);
    if (!error.isEmpty()) return error;
    return WithDatabase(dataDir, [](QSqlDatabase& db) -> QString {
        QSqlQuery q(db);
        for (const char* sql : kToVersion2Statements)
            if (!q.exec(QString::fromLatin1(sql))) return q.lastError().text();
        return {};
    });
}

QString MakeVersion1File(const QString& dataDir) {
    const QString connection = QUuid::createUuid().toString();
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(store::HistoryFilePath(dataDir));
        error = db.open() ? Fill(db) : db.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return error;
}

}  // namespace storetest
