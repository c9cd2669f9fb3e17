// The string analysis: each battery against the fresh readings of its device, and each battery's
// temperature rise over the last half hour.
#include <gtest/gtest.h>

#include <map>

#include "alarms/AlarmRules.h"
#include "tests/alarms/AlarmPrinting.h"

namespace {

using namespace alarms;
using battery::BatteryId;
using battery::kDeviceA0;
using battery::kDeviceA1;

constexpr std::int64_t kT0 = 1'765'000'000'000;
constexpr std::int64_t kPeriodMs = 10'000;

struct Reading {
    double voltage = 13.0;
    double temperature = 25.0;
    std::uint8_t status = 0x11;
};

// What one analysis changed, per battery label: "A0-83 voltage_deviation raised warning".
std::vector<std::string> Changes(const AlarmEvents& events) {
    std::vector<std::string> changes;
    for (const AlarmEvent& e : events)
        changes.push_back((battery::BatteryLabel(e.key.battery) + u' ' + KindId(e.key.kind) + u' ' +
                           StateId(e.state) + u' ' + LevelId(e.level))
                              .toStdString());
    return changes;
}

using Lines = std::vector<std::string>;

class StringAnalysisTest : public ::testing::Test {
protected:
    StringAnalysisTest() {
        rules_.SetSamplingPeriodMs(kPeriodMs);
        rules_.SetSettings(AlarmSettings{}, now_);  // the defaults: limits off, analysis on
    }

    void Pause(std::int64_t ms) {
        now_.wallMs += ms;
        now_.monoMs += ms;
    }

    // One poll cycle: the given batteries report, then the cycle ends. Returns every event.
    AlarmEvents Cycle(const std::map<BatteryId, Reading>& readings) {
        Pause(kPeriodMs);
        AlarmEvents all;
        for (const auto& [battery, r] : readings) {
            const AlarmEvents events =
                rules_.OnReading(battery, r.status, r.voltage, r.temperature, now_);
            all.insert(all.end(), events.begin(), events.end());
        }
        const AlarmEvents analysed = rules_.OnCycleEnded(now_);
        all.insert(all.end(), analysed.begin(), analysed.end());
        return all;
    }

    // Every watched battery of `device` at the same reading, with some changed.
    static std::map<BatteryId, Reading> Device(std::uint8_t device,
                                               const std::map<int, Reading>& changed = {}) {
        std::map<BatteryId, Reading> readings;
        const int count = device == kDeviceA0 ? 8 : 6;
        for (int b = 0; b < count; ++b) {
            const auto it = changed.find(b);
            readings[{device, static_cast<std::uint8_t>(b)}] =
                it == changed.end() ? Reading{} : it->second;
        }
        return readings;
    }

    AlarmRules rules_;
    Instant now_{kT0, 5'000'000};
};

// Battery 3 of A0 loses 0.1 V a cycle while its seven neighbours stay at 13.0 V.
TEST_F(StringAnalysisTest, aBatteryDriftingFromItsNeighboursRaisesEachLevelAfterItsDelay) {
    std::map<int, Lines> expected = {
        {5, {"A0-83 voltage_deviation raised warning"}},   // 0.4 and 0.5 V below: two readings
        {7, {"A0-83 voltage_deviation raised critical"}},  // 0.6 and 0.7 V below
        {8, {"A0-83 voltage_spread raised warning"}},      // 0.7 and 0.8 V from 13.0 V
        {12, {"A0-83 voltage_spread raised critical"}},    // 1.0 is on the limit: 1.1 and 1.2
    };
    for (int cycle = 1; cycle <= 12; ++cycle) {
        SCOPED_TRACE(cycle);
        const AlarmEvents events = Cycle(Device(kDeviceA0, {{3, {13.0 - 0.1 * cycle}}}));
        EXPECT_EQ(Changes(events), expected[cycle]);
        if (cycle == 5) {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_NEAR(*events[0].value, -0.5, 1e-9) << "the deviation, signed";
            EXPECT_EQ(events[0].limit, 0.3);
        }
    }
    EXPECT_EQ(rules_.MarkOf({kDeviceA0, 3}), RowMark::Alarm);
    EXPECT_EQ(rules_.MarkOf({kDeviceA0, 4}), RowMark::Normal) << "the neighbours are fine";

    // Back to 0.25 V below: inside the warning limit, but not by the 0.1 V margin.
    EXPECT_EQ(Changes(Cycle(Device(kDeviceA0, {{3, {12.75}}}))),
              Lines{"A0-83 voltage_spread cleared critical"});  // 0.25 V is inside 0.6 by far
    EXPECT_EQ(Changes(Cycle(Device(kDeviceA0, {{3, {12.8}}}))),
              Lines{"A0-83 voltage_deviation cleared critical"});
    EXPECT_TRUE(rules_.ActiveAlarms().empty());
}

// Batteries not heard for two periods and batteries that report no measurement are not part of
// the median; a device with fewer than three fresh readings gets no string alarm.
TEST_F(StringAnalysisTest, staleAndUnmeasuredBatteriesAreLeftOutOfTheMedian) {
    std::map<BatteryId, Reading> five;
    for (std::uint8_t b = 0; b < 5; ++b) five[{kDeviceA0, b}] = {12.0};
    EXPECT_TRUE(Cycle(five).empty());
    Pause(3 * kPeriodMs);
    // Batteries 0..4 have been silent since; 5, 6 and 7 report. Counted with the silent ones,
    // battery 7's 13.4 V would be 1.4 V above a median of 12.0 V.
    const std::map<BatteryId, Reading> threeLeft = {
        {{kDeviceA0, 5}, {13.0}}, {{kDeviceA0, 6}, {13.0}}, {{kDeviceA0, 7}, {13.4}}};
    Lines all;
    for (int cycle = 0; cycle < 4; ++cycle) {
        const Lines changes = Changes(Cycle(threeLeft));
        all.insert(all.end(), changes.begin(), changes.end());
    }
    EXPECT_EQ(all, Lines{"A0-87 voltage_deviation raised warning"})
        << "0.4 V from the median of the three fresh ones";

    // One of the three reports "no such device" (and no measurement): two fresh readings are
    // too few to compare, so battery 6's far-off voltage raises nothing.
    std::map<BatteryId, Reading> twoLeft = threeLeft;
    twoLeft[{kDeviceA0, 5}] = {0.0, 0.0, 0x00};
    twoLeft[{kDeviceA0, 6}] = {11.0};
    for (int cycle = 0; cycle < 4; ++cycle) {
        for (const std::string& change : Changes(Cycle(twoLeft)))
            EXPECT_EQ(change.find("A0-86"), std::string::npos) << change;
    }
    EXPECT_NE(rules_.Find({{kDeviceA0, 7}, AlarmKind::VoltageDeviation}), nullptr)
        << "an alarm stays while its device cannot be compared";
}

TEST_F(StringAnalysisTest, aBatteryWarmerThanItsNeighboursAndWarmingFastIsSeen) {
    // Battery 2 of A1 warms by 0.5 ℃ a cycle while the other five stay at 25 ℃. Its rise is
    // counted from its first reading, 25.5 ℃.
    std::map<int, Lines> expected = {
        {7, {"3# temperature_rise raised warning"}},           // 2.5 and 3.0 ℃ of rise
        {12, {"3# temperature_above_median raised warning"}},  // 5.5 and 6.0 ℃ warmer
        {13, {"3# temperature_rise raised critical"}},         // 5.5 and 6.0 ℃ of rise
    };
    std::map<int, std::int64_t> monoOf;
    for (int cycle = 1; cycle <= 13; ++cycle) {
        SCOPED_TRACE(cycle);
        EXPECT_EQ(Changes(Cycle(Device(kDeviceA1, {{2, {13.0, 25.0 + 0.5 * cycle}}}))),
                  expected[cycle]);
        monoOf[cycle] = now_.monoMs;
    }
    // It stays at 31.5 ℃. The rise is measured against the oldest reading of the last 30 minutes,
    // on the monotonic clock (a wall clock set back an hour changes nothing): within the margin
    // of 1 ℃ once the 30 ℃ of cycle 10 has left the half hour.
    now_.wallMs -= 3'600'000;
    const std::int64_t clearsAt = monoOf[10] + kRiseWindowMs + kPeriodMs;
    Lines changes;
    while (now_.monoMs < clearsAt + 5 * kPeriodMs) {
        for (const std::string& change : Changes(Cycle(Device(kDeviceA1, {{2, {13.0, 31.5}}})))) {
            changes.push_back(change);
            EXPECT_EQ(now_.monoMs, clearsAt) << change;
        }
    }
    EXPECT_EQ(changes, Lines{"3# temperature_rise cleared critical"})
        << "the battery is still 6.5 ℃ warmer than the others";
}

// The spread is the device's: it is raised on the battery farthest from the median and stays
// with it until it clears, whichever battery is farthest by then.
TEST_F(StringAnalysisTest, theSpreadStaysWithTheBatteryItWasRaisedOn) {
    AlarmSettings settings;
    settings.strings.voltageDeviation = {};
    rules_.SetSettings(settings, now_);
    const auto spreadOf = [&](std::map<int, Reading> changed) {
        return Changes(Cycle(Device(kDeviceA1, changed)));
    };
    EXPECT_TRUE(spreadOf({{4, {12.7}}, {5, {13.3}}}).empty()) << "0.6 V is on the limit";
    EXPECT_TRUE(spreadOf({{4, {12.6}}, {5, {13.3}}}).empty());
    EXPECT_EQ(spreadOf({{4, {12.6}}, {5, {13.3}}}), Lines{"5# voltage_spread raised warning"});
    EXPECT_TRUE(spreadOf({{4, {12.9}}, {5, {13.5}}}).empty()) << "6# is farthest now";
    EXPECT_EQ(spreadOf({{4, {12.9}}, {5, {13.4}}}), Lines{"5# voltage_spread cleared warning"});
}

}  // namespace
