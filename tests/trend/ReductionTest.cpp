#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "trend/MinMaxReducer.h"

namespace {

constexpr qint64 kStart = 1'700'000'000'000;
constexpr qint64 kPeriod = 10'000;
constexpr qint64 kGap = 3 * kPeriod;

TrendSample Reading(qint64 t, int voltageDv, int temperatureDc, int status = kStatusNormal) {
    return {t, std::int16_t(voltageDv), std::int16_t(temperatureDc), std::uint8_t(status), false};
}

TrendSeries Regular(int count, qint64 period = kPeriod) {
    TrendSeries samples;
    samples.reserve(std::size_t(count));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-5, 5);
    for (int i = 0; i < count; ++i)
        samples.push_back(Reading(kStart + i * period, 125 + noise(random), 250 + noise(random)));
    return samples;
}

ReductionPlan Spanning(const TrendSeries& samples, int columns) {
    return {{samples.front().tMs, samples.back().tMs}, columns, kGap};
}

int ColumnOf(const ReductionPlan& plan, qint64 t) {
    const auto c = (__int128(t - plan.range.fromMs) * plan.columns) / plan.range.Span();
    return std::min(int(c), plan.columns - 1);
}

bool InTimeOrder(const TrendSeries& line) {
    return std::is_sorted(line.begin(), line.end(),
                          [](const TrendSample& a, const TrendSample& b) { return a.tMs < b.tMs; });
}

// Every column of the reduced line reaches exactly as low and as high as the raw readings in it.
template <typename Value>
void ExpectColumnExtremesKept(const TrendSeries& raw, const TrendSeries& line,
                              const ReductionPlan& plan, Value value) {
    std::vector<int> rawMin(std::size_t(plan.columns), INT_MAX), rawMax(rawMin.size(), INT_MIN);
    std::vector<int> lineMin(rawMin), lineMax(rawMax);
    for (const TrendSample& s : raw) {
        const auto c = std::size_t(ColumnOf(plan, s.tMs));
        rawMin[c] = std::min(rawMin[c], int(value(s)));
        rawMax[c] = std::max(rawMax[c], int(value(s)));
    }
    for (const TrendSample& s : line) {
        const auto c = std::size_t(ColumnOf(plan, s.tMs));
        lineMin[c] = std::min(lineMin[c], int(value(s)));
        lineMax[c] = std::max(lineMax[c], int(value(s)));
    }
    EXPECT_EQ(rawMin, lineMin);
    EXPECT_EQ(rawMax, lineMax);
}

}  // namespace

TEST(Reduction, keepsMinAndMaxOfEveryColumnAndASingleSpikeInAMillionReadings) {
    TrendSeries raw = Regular(1'000'000);
    raw[612'345].voltageDv = 190;      // one reading jumps up
    raw[33'333].temperatureDc = -150;  // and one drops
    const ReductionPlan plan = Spanning(raw, 1157);

    const ReducedBattery reduced = ReduceMinMax(raw, plan);

    for (const TrendSeries* line : {&reduced.voltage, &reduced.temperature}) {
        EXPECT_LE(line->size(), 2u * 1157u);
        EXPECT_TRUE(InTimeOrder(*line));
        EXPECT_TRUE(std::all_of(line->begin(), line->end(), [&](const TrendSample& s) {
            return std::binary_search(
                raw.begin(), raw.end(), s,
                [](const TrendSample& a, const TrendSample& b) { return a.tMs < b.tMs; });
        })) << "every kept point is a real reading at its own time";
    }
    ExpectColumnExtremesKept(raw, reduced.voltage, plan, [](auto& s) { return s.voltageDv; });
    ExpectColumnExtremesKept(raw, reduced.temperature, plan,
                             [](auto& s) { return s.temperatureDc; });
    EXPECT_NE(std::find(reduced.voltage.begin(), reduced.voltage.end(), raw[612'345]),
              reduced.voltage.end());
    EXPECT_NE(std::find(reduced.temperature.begin(), reduced.temperature.end(), raw[33'333]),
              reduced.temperature.end());
}

TEST(Reduction, keepsTheExactReadingsWhenThereAreNoMoreThanColumns) {
    const TrendSeries raw = Regular(800);
    ReductionPlan plan = Spanning(raw, 800);
    ReducedBattery reduced = ReduceMinMax(raw, plan);
    EXPECT_EQ(reduced.voltage, raw);
    EXPECT_EQ(reduced.temperature, raw);

    // One more reading than columns: reduced, and never more than two points per column.
    plan.columns = 799;
    reduced = ReduceMinMax(raw, plan);
    EXPECT_LT(reduced.voltage.size(), raw.size() + 1);
    EXPECT_LE(reduced.voltage.size(), 2u * 799u);
}

TEST(Reduction, dropsReadingsOutsideTheRangeOrOutOfOrder) {
    TrendSeries raw = Regular(100);
    const ReductionPlan plan{{raw[10].tMs, raw[89].tMs}, 1000, kGap};
    TrendSeries input = raw;
    input.insert(input.begin() + 50, Reading(raw[20].tMs, 300, 300));  // late duplicate of old time
    const ReducedBattery reduced = ReduceMinMax(input, plan);
    EXPECT_EQ(reduced.voltage, TrendSeries(raw.begin() + 10, raw.begin() + 90));
}

TEST(Reduction, breaksTheLineOnlyAfterSilencesLongerThanThreePeriods) {
    TrendSeries raw = Regular(40);
    for (std::size_t i = 10; i < raw.size(); ++i) raw[i].tMs += 2 * kPeriod;  // 30 s: no break
    for (std::size_t i = 25; i < raw.size(); ++i) raw[i].tMs += 3 * kPeriod;  // 40 s: break

    const auto breaks = [](const TrendSeries& line) {
        std::vector<qint64> at;
        for (const TrendSample& s : line)
            if (s.breakBefore) at.push_back(s.tMs);
        return at;
    };
    const std::vector<qint64> expected{raw[25].tMs};

    // Exact: the break sits on the first reading after the silence.
    ReducedBattery reduced = ReduceMinMax(raw, Spanning(raw, 1000));
    EXPECT_EQ(breaks(reduced.voltage), expected);
    EXPECT_EQ(breaks(reduced.temperature), expected);

    // Reduced to fewer columns than readings, with the silence inside one column: the column is
    // split at the silence, so the line still does not join across it.
    const ReductionPlan narrow = Spanning(raw, 3);
    reduced = ReduceMinMax(raw, narrow);
    ASSERT_EQ(breaks(reduced.voltage).size(), 1u);
    const qint64 breakAt = breaks(reduced.voltage).front();
    EXPECT_GE(breakAt, raw[25].tMs);
    for (const TrendSample& s : reduced.voltage) {
        if (s.tMs < breakAt) {
            EXPECT_LT(s.tMs, raw[25].tMs) << "no point from after the silence";
        }
    }
    EXPECT_EQ(breaks(reduced.temperature).size(), 1u);
}

TEST(Reduction, marksAbnormalReadingsOncePerColumnWhenReduced) {
    TrendSeries raw = Regular(100);
    raw[5].status = 0x71;
    raw[6].status = 0x72;
    raw[70].status = 0x00;

    ReducedBattery reduced = ReduceMinMax(raw, Spanning(raw, 1000));
    ASSERT_EQ(reduced.marks.size(), 3u);
    EXPECT_EQ(reduced.marks[0], raw[5]);
    EXPECT_EQ(reduced.marks[2], raw[70]);

    const ReductionPlan plan = Spanning(raw, 10);
    reduced = ReduceMinMax(raw, plan);
    ASSERT_EQ(reduced.marks.size(), 2u);  // 5 and 6 share a column
    EXPECT_EQ(reduced.marks[0], raw[5]);
    EXPECT_EQ(reduced.marks[1], raw[70]);
}
