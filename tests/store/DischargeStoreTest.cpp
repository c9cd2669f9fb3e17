// Discharge records in the history file: a running discharge saved at every cycle stays one
// record, its end replaces it, and a file of the version before discharges keeps its rows.
#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QTemporaryDir>

#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "store/Schema.h"
#include "tests/store/StoreTestSupport.h"

namespace {

using alarms::BatteryDischarge;
using alarms::DischargeRecord;

constexpr qint64 kStartMs = 1'772'352'000'000;  // 2026-03-01T08:00:00Z

DischargeRecord Running() {
    DischargeRecord record;
    record.device = 0xA0;
    record.startMs = kStartMs;
    record.requiredMs = 3'600'000;
    record.batteries = {{{0xA0, 0}, 12.4, 11.9, {}, 25.5, 0.05},
                        {{0xA0, 5}, 12.3, 11.2, {}, 27.0, -0.6}};
    return record;
}

qint64 Count(storetest::FileProbe& probe, const char* table) {
    QSqlQuery q(probe.Db());
    if (!q.exec(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

TEST(DischargeStore, aRunningDischargeSavedAgainAndAgainIsOneRecordUntilItsEnd) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.Start();
    DischargeRecord record = Running();
    writer.SaveDischarge(record);
    ASSERT_TRUE(writer.Flush());

    // Two more cycles, the second before the writer got to the first.
    record.batteries[1].minV = 10.9;
    writer.SaveDischarge(record);
    record.batteries[1].minV = 10.4;
    record.batteries[1].endReachedMs = kStartMs + 1'800'000;
    record.firstAtEnd = record.batteries[1].battery;
    record.batteries.push_back({{0xA0, 7}, 12.5, 12.0, {}, 24.0, 0.2});
    writer.SaveDischarge(record);
    ASSERT_TRUE(writer.Flush());

    store::HistoryReader reader(writer.FilePath());
    std::vector<DischargeRecord> running = reader.Discharges(true);
    ASSERT_EQ(running.size(), 1U) << reader.ErrorText().toStdString();
    EXPECT_GT(running[0].id, 0);
    record.id = running[0].id;
    EXPECT_EQ(running[0], record);

    record.endMs = kStartMs + 2'000'000;
    writer.SaveDischarge(record);
    DischargeRecord later = Running();
    later.device = 0xA1;
    later.startMs = kStartMs + 5'000'000;
    later.requiredMs.reset();
    for (BatteryDischarge& b : later.batteries) b.battery.device = 0xA1;
    writer.SaveDischarge(later);
    ASSERT_TRUE(writer.Flush());

    EXPECT_TRUE(reader.Discharges(true).size() == 1U && reader.Discharges(true)[0].device == 0xA1);
    const std::vector<DischargeRecord> all = reader.Discharges();
    ASSERT_EQ(all.size(), 2U);
    EXPECT_EQ(all[0].startMs, later.startMs);  // newest first
    EXPECT_EQ(all[1], record);
    EXPECT_EQ(reader.Discharge(record.id), record);
    EXPECT_EQ(reader.Discharge(record.id + 100), std::nullopt);
    storetest::FileProbe probe(writer.FilePath());
    EXPECT_EQ(Count(probe, "discharge_batteries"), 5);
}

// A version-3 file (the same layout without the discharge tables) is upgraded in place: its
// readings stay and discharges can be written.
TEST(DischargeStore, aVersion3FileIsUpgradedKeepingItsRows) {
    QTemporaryDir dir;
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        writer.Append(storetest::Sequence(0, 20));
        ASSERT_TRUE(writer.Flush());
        writer.Shutdown();
        storetest::FileProbe probe(writer.FilePath());
        QSqlQuery q(probe.Db());
        for (const char* sql :
             {"DROP TABLE discharge_batteries", "DROP TABLE discharges", "PRAGMA user_version = 3"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
    }
    store::HistoryWriter writer(dir.path());
    writer.Start();
    writer.SaveDischarge(Running());
    ASSERT_TRUE(writer.Flush());
    EXPECT_TRUE(writer.IsHealthy());
    storetest::FileProbe probe(writer.FilePath());
    EXPECT_EQ(probe.CountReadings(), 20);
    EXPECT_EQ(Count(probe, "discharges"), 1);
    QSqlQuery q(probe.Db());
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA user_version")) && q.next());
    EXPECT_EQ(q.value(0).toInt(), store::kSchemaVersion);
}

}  // namespace
