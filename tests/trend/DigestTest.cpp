#include <gtest/gtest.h>

#include <QSqlQuery>

#include "tests/trend/TestStore.h"
#include "trend/TrendQuery.h"

namespace {

constexpr qint64 kBucket = BucketSummary::kBucketMs;
constexpr qint64 kStart = 1'800'000'000'000 / kBucket * kBucket;  // on a digest boundary
constexpr qint64 kPeriod = 10'000;
constexpr qint64 kGap = 3 * kPeriod;
constexpr int kDays = 3;
constexpr int kReadingsPerDay = 8640;
const battery::BatteryId kBattery{0xA1, 2};

// Three days of one battery with a one-reading voltage spike, a one-reading temperature dip,
// abnormal readings, an outage inside one digest and one across a digest boundary.
TrendSeries ThreeDays() {
    TrendSeries samples;
    for (int i = 0; i < kDays * kReadingsPerDay; ++i) {
        const qint64 t = kStart + i * kPeriod;
        if (i > 1000 && i <= 1012) continue;  // 130 s silence inside a digest
        if (i > 7195 && i <= 7205) continue;  // across the boundary at reading 7200
        samples.push_back({t, std::int16_t(120 + (i * 7) % 13), std::int16_t(250 + (i * 5) % 9),
                           std::uint8_t(i % 3001 == 0 ? 0x73 : kStatusNormal), false});
    }
    samples[20'000].voltageDv = 199;
    samples[12'345].temperatureDc = -99;
    return samples;
}

class DigestTest : public ::testing::Test {
protected:
    void SetUp() override {
        raw_ = ThreeDays();
        store_.Insert(kBattery, raw_);
        reader_ = std::make_unique<store::RangeReader>(store_.Path());
        ASSERT_TRUE(reader_->IsOpen()) << reader_->ErrorText().toStdString();
    }

    TrendResult Read(const TrendRequest& request, TrendSummaries* summaries) {
        TrendResult result = ReadTrend(*reader_, request, {}, summaries);
        EXPECT_TRUE(result.error.isEmpty()) << result.error.toStdString();
        return result;
    }

    TestStore store_;
    TrendSeries raw_;
    std::unique_ptr<store::RangeReader> reader_;
};

}  // namespace

TEST_F(DigestTest, digestsGiveTheSameLinesAsEveryRowWhenColumnsHoldWholeDigests) {
    const TimeRange range{kStart, kStart + kDays * 24 * 3600'000LL - 1};
    const int columns = int(range.Span() / (2 * kBucket)) + 1;  // two digests per column
    const TrendRequest request{{kBattery}, range, columns, kGap};

    TrendSummaries summaries;
    const TrendResult cold = Read(request, &summaries);  // builds the digests
    const TrendResult warm = Read(request, &summaries);
    const TrendResult rows = Read(request, nullptr);
    EXPECT_GE(cold.rowsRead, qint64(raw_.size())) << "the first read digests every row";
    EXPECT_LT(warm.rowsRead, 500) << "only outage digests are read row by row";

    ASSERT_EQ(warm.batteries.size(), 1u);
    const ReducedBattery& digested = warm.batteries[0].reduced;
    const ReducedBattery& exact = rows.batteries[0].reduced;
    EXPECT_EQ(digested.voltage, exact.voltage);
    EXPECT_EQ(digested.temperature, exact.temperature);
    EXPECT_EQ(digested.marks, exact.marks);
    EXPECT_EQ(cold.batteries[0].reduced.voltage, exact.voltage);
    const auto has = [](const TrendSeries& line, const TrendSample& s) {
        return std::find(line.begin(), line.end(), s) != line.end();
    };
    EXPECT_TRUE(has(digested.voltage, raw_[20'000]));
    EXPECT_TRUE(has(digested.temperature, raw_[12'345]));
    EXPECT_EQ(std::count_if(digested.voltage.begin(), digested.voltage.end(),
                            [](const TrendSample& s) { return s.breakBefore; }),
              2);
}

// Built ahead a few thousand rows at a time (a step may end inside a digest), the digests serve
// the first read as if one read had built them.
TEST_F(DigestTest, digestsBuiltAheadInStepsServeTheFirstReadWithTheSameLines) {
    TrendSummaries summaries;
    int steps = 0;
    std::optional<bool> built;
    while ((built = BuildDigest(*reader_, kBattery, 1000, summaries)) == false) ++steps;
    ASSERT_TRUE(built.has_value()) << reader_->ErrorText().toStdString();
    EXPECT_GT(steps, 1) << "the reader stops between blocks of rows once enough were read";
    const battery::BatteryId silent{0xA0, 4};  // nothing stored
    EXPECT_EQ(BuildDigest(*reader_, silent, 1000, summaries), true);

    const TimeRange range{kStart, kStart + kDays * 24 * 3600'000LL - 1};
    const TrendRequest request{{kBattery}, range, int(range.Span() / (2 * kBucket)) + 1, kGap};
    const TrendResult first = Read(request, &summaries);
    const TrendResult rows = Read(request, nullptr);
    EXPECT_LT(first.rowsRead, 500) << "only outage digests are read row by row";
    EXPECT_EQ(first.batteries[0].reduced.voltage, rows.batteries[0].reduced.voltage);
    EXPECT_EQ(first.batteries[0].reduced.temperature, rows.batteries[0].reduced.temperature);
    EXPECT_EQ(first.batteries[0].reduced.marks, rows.batteries[0].reduced.marks);
}

TEST_F(DigestTest, digestsFollowNewRowsAndRebuildAfterOldRowsAreDeleted) {
    TrendSummaries summaries;
    const qint64 end = kStart + 4LL * 24 * 3600'000;
    const TrendRequest request{{kBattery}, {kStart, end}, 200, kGap};
    Read(request, &summaries);

    const TrendSample late{kStart + 3LL * 24 * 3600'000 + 3600'000, 140, 300, 0x71, false};
    store_.Insert(kBattery, std::span(&late, 1));
    TrendResult result = Read(request, &summaries);
    const TrendSeries& voltage = result.batteries[0].reduced.voltage;
    ASSERT_FALSE(voltage.empty());
    EXPECT_EQ(voltage.back().tMs, late.tMs);
    EXPECT_TRUE(voltage.back().breakBefore) << "an hour of silence before it";
    EXPECT_EQ(result.batteries[0].reduced.marks.back().tMs, late.tMs);

    QSqlQuery prune(store_.Writer());
    ASSERT_TRUE(prune.exec(
        QStringLiteral("DELETE FROM readings WHERE t_ms < %1").arg(kStart + 24 * 3600'000LL)));
    result = Read(request, &summaries);
    EXPECT_GE(result.batteries[0].reduced.voltage.front().tMs, kStart + 24 * 3600'000LL);
}
