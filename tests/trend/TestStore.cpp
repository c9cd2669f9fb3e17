#include "tests/trend/TestStore.h"

#include <gtest/gtest.h>

#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include "store/Schema.h"

TestStore::TestStore() : connection_(QUuid::createUuid().toString()) {
    QString error;
    EXPECT_TRUE(store::CreateHistoryFile(Path(), &error)) << error.toStdString();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(Path());
    EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
}

TestStore::~TestStore() {
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
}

QSqlDatabase TestStore::Writer() const { return QSqlDatabase::database(connection_, false); }

void TestStore::Insert(battery::BatteryId battery, std::span<const TrendSample> samples) {
    QSqlDatabase db = Writer();
    ASSERT_TRUE(db.transaction());
    QSqlQuery query(db);
    ASSERT_TRUE(query.prepare(QStringLiteral(
        "INSERT INTO readings (t_ms, device, battery, status, voltage_dv, temperature_dc) "
        "VALUES (?, ?, ?, ?, ?, ?)")));
    for (const TrendSample& s : samples) {
        query.addBindValue(s.tMs);
        query.addBindValue(battery.device);
        query.addBindValue(battery.battery);
        query.addBindValue(int(s.status));
        query.addBindValue(int(s.voltageDv));
        query.addBindValue(int(s.temperatureDc));
        ASSERT_TRUE(query.exec()) << query.lastError().text().toStdString();
    }
    ASSERT_TRUE(db.commit());
}
