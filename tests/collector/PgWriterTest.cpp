// PgWriter against a real PostgreSQL cluster: a row the database refuses is set aside with its
// reason and the rest of its batch is written; only a server that is gone fails a batch.

#include <gtest/gtest.h>

#include <QDateTime>

#include "collector/PgWriter.h"
#include "tests/collector/CollectorHarness.h"
#include "tests/servers/PostgresCluster.h"

using namespace collectortest;
using testservers::PostgresCluster;

namespace {

constexpr qint64 kStart = 1772352000000;     // 2026-03-01T08:00:00Z
constexpr qint64 kReceived = 1772352000500;  // when the collector took them
// 0001-01-01T00:00:00Z: an hour before it lies in a year the database has no text for.
constexpr qint64 kFirstDayOfYearOne = -62135596800000;

template <typename Message>
std::vector<Received<Message>> ReceivedAt(const std::vector<Message>& messages, qint64 atMs) {
    std::vector<Received<Message>> rows;
    for (const Message& m : messages) rows.push_back({m, atMs});
    return rows;
}

TEST(PgWriterTest, setsAsideEveryRowTheDatabaseRefusesAndWritesTheRestOfItsBatch) {
    PostgresCluster database;
    QString error;
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    PgWriter writer(database.Conninfo());
    ASSERT_TRUE(writer.Open()) << writer.LastError().toStdString();
    // A check of the site's own on top of the collector's table.
    ASSERT_TRUE(Execute(database.Conninfo(),
                        "ALTER TABLE battery_readings ADD CONSTRAINT plausible_voltage "
                        "CHECK (voltage < 16)",
                        &error))
        << error.toStdString();

    // Rows that reach the writer although the collector's parser would refuse most of them:
    // the writer must not depend on it.
    std::vector<ReadingMessage> readings = MakeReadings(QStringLiteral("room-1"), 300, kStart);
    std::vector<ReadingMessage> good;
    std::vector<QByteArray> refusedTopics;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        ReadingMessage& r = readings[i];
        if (i == 0) {
            r.voltage = 1e-50;  // below the smallest single-precision number
        } else if (i == 1) {
            r.timeMs = kFirstDayOfYearOne - 3600 * 1000;
        } else if (i == 150) {
            r.timeMs = 253402300800000;  // 10000-01-01T00:00:00Z
        } else if (i % 7 == 3 || i == 299) {
            r.voltage = 20;  // refused by the site's check
        } else {
            good.push_back(r);
            continue;
        }
        refusedTopics.push_back(ReadingTopic(r.site, r.device, r.battery));
    }
    const AlarmMessage raised{
        QStringLiteral("room-1"), 0xA0, 2, kStart, QStringLiteral("status_voltage"),
        QStringLiteral("raised"), 11.5, {}};
    AlarmMessage nulUser = raised;
    nulUser.state = QStringLiteral("acknowledged");
    nulUser.user = QStringLiteral("op") + QChar(0) + QStringLiteral("erator");
    nulUser.value.reset();
    const auto alarms = ReceivedAt(std::vector<AlarmMessage>{nulUser, raised}, kReceived);

    PgWriter::Result result;
    ASSERT_TRUE(writer.Write(ReceivedAt(readings, kReceived), alarms, &result))
        << writer.LastError().toStdString();
    EXPECT_EQ(result.newReadings, qsizetype(good.size()));
    EXPECT_EQ(result.newAlarms, 1);
    EXPECT_EQ(StoredReadings(database.Conninfo()), Sorted(good));
    EXPECT_EQ(StoredAlarms(database.Conninfo()), std::vector<AlarmMessage>{raised});

    // Each refused row once, with its topic, in the order of the batch, and its reason.
    ASSERT_EQ(result.rejected.size(), refusedTopics.size() + 1);
    for (std::size_t i = 0; i < refusedTopics.size(); ++i) {
        EXPECT_EQ(result.rejected[i].topic, refusedTopics[i]) << i;
        EXPECT_TRUE(result.rejected[i].kept) << i;
    }
    EXPECT_EQ(result.rejected.back().topic, "batmon/room-1/alarm");
    EXPECT_TRUE(result.rejected[0].reason.contains(QStringLiteral("out of range")))
        << result.rejected[0].reason.toStdString();
    EXPECT_TRUE(result.rejected[3].reason.contains(QStringLiteral("plausible_voltage")))
        << result.rejected[3].reason.toStdString();
    const auto kept = QueryLines(
        database.Conninfo(),
        "SELECT (extract(epoch FROM received) * 1000)::bigint, topic, payload::json->>'voltage', "
        "reason FROM battery_rejected WHERE topic = 'batmon/room-1/A0/3' ORDER BY payload");
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(kept.front().startsWith(QStringLiteral("%1 batmon/room-1/A0/3 20 new row for "
                                                       "relation \"battery_readings\" violates")
                                            .arg(kReceived)))
        << kept.front().toStdString();
    EXPECT_EQ(QueryLines(database.Conninfo(), "SELECT count(*) FROM battery_rejected"),
              std::vector<QString>{QString::number(result.rejected.size())});

    // A database that is gone is an outage, not a refusal: nothing is set aside.
    database.Stop();
    const auto later = MakeReadings(QStringLiteral("room-1"), 16, kStart + 60000);
    EXPECT_FALSE(writer.Write(ReceivedAt(later, kReceived), {}, &result));
    EXPECT_FALSE(writer.LastError().isEmpty());
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    ASSERT_TRUE(writer.Write(ReceivedAt(later, kReceived), {}, &result))
        << writer.LastError().toStdString();
    EXPECT_TRUE(result.rejected.empty());
    EXPECT_EQ(StoredReadingCount(database.Conninfo()), qint64(good.size() + later.size()));
}

}  // namespace

namespace {

// Discharge summaries: each kept once with its key columns and the whole message, whether it
// arrives once or again (QoS 1 redelivers); one the database refuses is reported, the others kept.
TEST(PgWriterTest, keepsEachDischargeSummaryOnce) {
    PostgresCluster database;
    QString error;
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    PgWriter writer(database.Conninfo());
    ASSERT_TRUE(writer.Open()) << writer.LastError().toStdString();
    ASSERT_TRUE(Execute(database.Conninfo(),
                        "ALTER TABLE battery_discharges ADD CONSTRAINT sane_duration "
                        "CHECK (duration_s < 86400)",
                        &error))
        << error.toStdString();

    DischargeSummary summary{QStringLiteral("room-1"), {}};
    alarms::DischargeRecord& record = summary.record;
    record.device = 0xA0;
    record.startMs = kStart;
    record.endMs = kStart + 5'400'000;
    record.requiredMs = 3'600'000;
    record.batteries = {{{0xA0, 0}, 12.3, 11.1, {}, 25.5, 0.05},
                        {{0xA0, 5}, 12.2, 10.4, kStart + 3'000'000, 27.0, -0.7}};
    record.firstAtEnd = battery::BatteryId{0xA0, 5};
    DischargeSummary tooLong = summary;
    tooLong.record.startMs = kStart - 2 * 86'400'000;

    std::vector<PgWriter::Rejected> refused;
    ASSERT_TRUE(writer.WriteDischarges(std::vector{summary, tooLong}, &refused))
        << writer.LastError().toStdString();
    ASSERT_TRUE(writer.WriteDischarges(std::vector{summary}, &refused));
    ASSERT_EQ(refused.size(), 1U);
    EXPECT_EQ(refused[0].topic, "batmon/room-1/A0/discharge/summary");
    EXPECT_EQ(QueryLines(database.Conninfo(),
                         "SELECT site, device, duration_s, weakest_label, weakest_min_voltage,"
                         " round(capacity_percent), capacity_reached,"
                         " summary->'batteries'->1->>'label' FROM battery_discharges"),
              (std::vector<QString>{QStringLiteral("room-1 160 5400 A0-85 10.4 83 f A0-85")}));
}

}  // namespace
