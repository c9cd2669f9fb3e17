#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QSqlQuery>
#include <QThread>

#include "tests/common/WaitFor.h"
#include "tests/trend/TestStore.h"
#include "trend/TrendQuery.h"

namespace {

constexpr qint64 kStart = 1'800'000'000'000;
constexpr qint64 kPeriod = 10'000;
const battery::BatteryId kA0Third{0xA0, 2};
const battery::BatteryId kOneHash{0xA1, 0};

TrendSeries Readings(int count, int base, int statusEvery = 0) {
    TrendSeries samples;
    for (int i = 0; i < count; ++i) {
        const int status = statusEvery > 0 && i % statusEvery == 0 ? 0x72 : kStatusNormal;
        samples.push_back({kStart + i * kPeriod, std::int16_t(base + i % 17),
                           std::int16_t(200 + (i * 7) % 31), std::uint8_t(status), false});
    }
    return samples;
}

class TrendStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        a0_ = Readings(5000, 120, 97);
        a1_ = Readings(3000, 130);
        a1_.erase(a1_.begin() + 1000, a1_.begin() + 1010);  // a 110 s outage
        store_.Insert(kA0Third, a0_);
        store_.Insert(kOneHash, a1_);
        store_.Insert({0xA0, 3}, Readings(5000, 10));  // a neighbour that must not leak in
    }

    TestStore store_;
    TrendSeries a0_;
    TrendSeries a1_;
};

}  // namespace

TEST_F(TrendStoreTest, readsEachBatteryOverTheRangeReducedLikeTheRawReadings) {
    store::RangeReader reader(store_.Path());
    ASSERT_TRUE(reader.IsOpen()) << reader.ErrorText().toStdString();
    {
        const TimeRange range{kStart + 100 * kPeriod, kStart + 2500 * kPeriod};
        for (const int columns : {300, 5000}) {  // reduced, and exact
            SCOPED_TRACE(columns);
            const TrendRequest request{
                {kA0Third, kOneHash, {0xA1, 5}}, range, columns, 3 * kPeriod};
            const TrendResult result = ReadTrend(reader, request);
            ASSERT_TRUE(result.error.isEmpty()) << result.error.toStdString();
            ASSERT_EQ(result.batteries.size(), 3u);
            EXPECT_EQ(result.batteries[0].battery, kA0Third);
            const ReductionPlan plan{range, columns, 3 * kPeriod};
            const ReducedBattery a0 = ReduceMinMax(a0_, plan);
            const ReducedBattery a1 = ReduceMinMax(a1_, plan);
            EXPECT_EQ(result.batteries[0].reduced.voltage, a0.voltage);
            EXPECT_EQ(result.batteries[0].reduced.temperature, a0.temperature);
            EXPECT_EQ(result.batteries[0].reduced.marks, a0.marks);
            EXPECT_FALSE(a0.marks.empty());
            EXPECT_EQ(result.batteries[1].reduced.voltage, a1.voltage);
            EXPECT_TRUE(std::any_of(a1.voltage.begin(), a1.voltage.end(),
                                    [](const TrendSample& s) { return s.breakBefore; }));
            EXPECT_TRUE(result.batteries[2].reduced.voltage.empty());  // nothing stored
            EXPECT_EQ(result.rowsRead, 2401 + 2391);
        }
    }
    // The connection cannot write: the trend page must never change the history.
    EXPECT_TRUE(reader.IsReadOnly());
}

TEST_F(TrendStoreTest, resultArrivesOnTheCallersThreadAndOnlyForTheNewestRequest) {
    TrendQuery query(store_.Path());
    std::vector<TrendResult> results;
    std::vector<QThread*> threads;
    QObject::connect(&query, &TrendQuery::resultReady, [&](const TrendResult& r) {
        results.push_back(r);
        threads.push_back(QThread::currentThread());
    });
    QSignalSpy busy(&query, &TrendQuery::busyChanged);

    const TimeRange all{kStart, kStart + 5000 * kPeriod};
    const TimeRange late{kStart + 4000 * kPeriod, kStart + 5000 * kPeriod};
    query.Request({{kA0Third, kOneHash}, all, 500, 3 * kPeriod});
    const std::uint64_t newest = query.Request({{kA0Third}, late, 500, 3 * kPeriod});
    EXPECT_TRUE(query.Busy());

    ASSERT_TRUE(testsupport::WaitUntil([&] { return !results.empty(); }));
    // Give a stale answer every chance to arrive: it must not.
    EXPECT_TRUE(
        testsupport::HoldsFor([&] { return results.size() == 1; }, std::chrono::milliseconds(100)));
    EXPECT_EQ(results[0].requestId, newest);
    EXPECT_EQ(results[0].request.range, late);
    ASSERT_EQ(results[0].batteries.size(), 1u);
    EXPECT_EQ(threads[0], QThread::currentThread());
    EXPECT_FALSE(query.Busy());
    ASSERT_GE(busy.size(), 2);
    EXPECT_EQ(busy.first().at(0).toBool(), true);
    EXPECT_EQ(busy.last().at(0).toBool(), false);
}

TEST_F(TrendStoreTest, readsWhileTheWriterHoldsAnOpenTransaction) {
    QSqlDatabase writer = store_.Writer();
    ASSERT_TRUE(writer.transaction());
    QSqlQuery insert(writer);
    ASSERT_TRUE(insert.exec(QStringLiteral("INSERT INTO readings (t_ms, device, battery, status, "
                                           "voltage_dv, temperature_dc) "
                                           "VALUES (%1, 161, 0, 17, 125, 250)")
                                .arg(kStart + 9000 * kPeriod)));

    TrendQuery query(store_.Path());
    std::optional<TrendResult> result;
    QObject::connect(&query, &TrendQuery::resultReady, [&](const TrendResult& r) { result = r; });
    query.Request({{kOneHash}, {kStart, kStart + 10000 * kPeriod}, 10000, 3 * kPeriod});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(result->error.isEmpty()) << result->error.toStdString();
    EXPECT_EQ(result->rowsRead, qint64(a1_.size()));  // the uncommitted row is not seen
    ASSERT_TRUE(writer.commit());
}

TEST(TrendQueryFailure, aMissingStoreGivesAnErrorResultNotACrash) {
    QTemporaryDir dir;
    TrendQuery query(dir.filePath(QStringLiteral("absent.sqlite")));
    std::optional<TrendResult> result;
    QObject::connect(&query, &TrendQuery::resultReady, [&](const TrendResult& r) { result = r; });
    query.Request({{kOneHash}, {kStart, kStart + 1000}, 100, 3 * kPeriod});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(result->error.isEmpty());
    EXPECT_TRUE(result->batteries.empty());
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("absent.sqlite"))))
        << "a read-only view must not create a store";
}
