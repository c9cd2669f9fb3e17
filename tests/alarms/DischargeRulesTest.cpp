// Discharges: when a device's string starts and stops carrying the load, what the record keeps,
// and what a discharge does to the alarms.
#include <gtest/gtest.h>

#include <map>

#include "alarms/AlarmRules.h"
#include "alarms/DischargeRules.h"
#include "tests/alarms/AlarmPrinting.h"

namespace {

using namespace alarms;
using battery::BatteryId;
using battery::kDeviceA0;

constexpr std::int64_t kT0 = 1'765'000'000'000;
constexpr std::int64_t kPeriodMs = 3'000;

BatteryId A0(int n) { return {kDeviceA0, static_cast<std::uint8_t>(n)}; }

// Eight A0 batteries at `volts`, with the given ones at their own voltage.
std::map<BatteryId, double> String(double volts, std::map<int, double> own = {}) {
    std::map<BatteryId, double> string;
    for (int n = 0; n < battery::kBatteriesPerDevice; ++n)
        string[A0(n)] = own.contains(n) ? own[n] : volts;
    return string;
}

std::vector<std::string> Kinds(const AlarmEvents& events) {
    std::vector<std::string> kinds;
    for (const AlarmEvent& e : events)
        kinds.push_back((battery::BatteryLabel(e.key.battery) + u' ' + KindId(e.key.kind) + u' ' +
                         StateId(e.state) + u' ' + LevelId(e.level))
                            .toStdString());
    return kinds;
}

// The alarm rules and the discharge rules wired as the station wires them: every reading to
// both, each discharge change to the alarm rules, and at each cycle's end the device's median of
// fresh readings from the alarm rules to the discharge rules.
class DischargeRulesTest : public ::testing::Test {
protected:
    DischargeRulesTest() { Restart(); }

    void Restart(const AlarmEvents& stored = {}, const DischargeRecord* running = nullptr) {
        alarms_ = AlarmRules{};
        discharges_ = DischargeRules{};
        alarms_.SetSamplingPeriodMs(kPeriodMs);
        alarms_.SetSettings(settings_, now_);
        discharges_.SetSettings(dischargeSettings_);
        alarms_.Restore(stored);
        if (running) {
            discharges_.Resume(*running);
            alarms_.ResumeDischarge(running->device);
        }
    }

    void Apply(const DischargeChanges& changes) {
        for (const DischargeChange& change : changes) {
            changes_.push_back(change);
            const AlarmEvents events = alarms_.OnDischargeChange(change, now_);
            events_.insert(events_.end(), events.begin(), events.end());
        }
    }

    void Read(BatteryId id, double volts, double celsius = 25.0) {
        now_.wallMs += 150;
        now_.monoMs += 150;
        const AlarmEvents events = alarms_.OnReading(id, 0x11, volts, celsius, now_);
        events_.insert(events_.end(), events.begin(), events.end());
        Apply(discharges_.OnReading(id, 0x11, volts, celsius, now_.wallMs));
    }

    // One poll cycle of the given readings; returns the wall time at its end.
    std::int64_t Cycle(const std::map<BatteryId, double>& volts) {
        const std::int64_t startMs = now_.wallMs;
        for (const auto& [id, v] : volts) Read(id, v);
        now_.wallMs = now_.monoMs = startMs + kPeriodMs;
        const AlarmEvents events = alarms_.OnCycleEnded(now_);
        events_.insert(events_.end(), events.begin(), events.end());
        Apply(discharges_.OnCycleEnded(kDeviceA0, alarms_.FreshMedianVoltage(kDeviceA0, now_),
                                       now_.wallMs));
        return now_.wallMs;
    }

    AlarmEvents TakeEvents() { return std::exchange(events_, {}); }

    std::vector<DischargeChange::Kind> TakeKinds() {
        std::vector<DischargeChange::Kind> kinds;
        for (const DischargeChange& c : changes_) kinds.push_back(c.kind);
        changes_.clear();
        return kinds;
    }

    battery::Instant now_{kT0, kT0};
    AlarmSettings settings_;
    DeviceDischargeSettings dischargeSettings_{};
    AlarmRules alarms_;
    DischargeRules discharges_;
    AlarmEvents events_;
    std::vector<DischargeChange> changes_;
};

using Kind = DischargeChange::Kind;
using Lines = std::vector<std::string>;

TEST_F(DischargeRulesTest, startsAndEndsAfterTwoCyclesBeyondTheirLevels) {
    Cycle(String(13.5));
    Cycle(String(12.4));  // one cycle below the start level: no discharge yet
    Cycle(String(13.5));
    EXPECT_EQ(discharges_.Running(kDeviceA0), nullptr);
    TakeKinds();

    const std::int64_t firstBelow = Cycle(String(12.5));
    EXPECT_TRUE(TakeKinds().empty());
    TakeEvents();
    Cycle(String(12.3));
    EXPECT_EQ(TakeKinds(), std::vector{Kind::Started});
    EXPECT_EQ(Kinds(TakeEvents()), Lines{"A0-80 discharging raised warning"});
    ASSERT_NE(discharges_.Running(kDeviceA0), nullptr);
    const DischargeRecord& running = *discharges_.Running(kDeviceA0);
    EXPECT_EQ(running.startMs, firstBelow);
    ASSERT_EQ(running.batteries.size(), 8U);
    EXPECT_DOUBLE_EQ(running.batteries[0].startV, 12.5);
    EXPECT_DOUBLE_EQ(running.batteries[0].minV, 12.3);

    Cycle(String(13.2));  // one cycle above the end level, then back below it
    Cycle(String(12.9));
    const std::int64_t firstAbove = Cycle(String(13.3));
    EXPECT_EQ(TakeKinds(), (std::vector{Kind::Updated, Kind::Updated, Kind::Updated}));
    Cycle(String(13.4));
    ASSERT_EQ(changes_.size(), 1U);
    const DischargeRecord ended = changes_[0].record;
    EXPECT_EQ(changes_[0].kind, Kind::Ended);
    EXPECT_EQ(ended.endMs, firstAbove);
    EXPECT_EQ(ended.DurationMs(0), firstAbove - firstBelow);
    EXPECT_EQ(discharges_.Running(kDeviceA0), nullptr);
    EXPECT_EQ(Kinds(TakeEvents()), Lines{"A0-80 discharging cleared warning"});
}

// Batteries not heard for two cycles take no part in the median: three fresh batteries at
// 12.0 V start a discharge though five silent ones last read 13.5 V. Fewer than three fresh
// readings give no median, which neither starts nor continues a start.
TEST_F(DischargeRulesTest, staleBatteriesAreLeftOutOfTheMedian) {
    Cycle(String(13.5));
    const std::map<BatteryId, double> three = {{A0(1), 12.0}, {A0(2), 12.0}, {A0(3), 12.0}};
    Cycle(three);  // the other five are still fresh: median 13.5
    Cycle(three);
    EXPECT_EQ(discharges_.Running(kDeviceA0), nullptr);
    Cycle(three);  // now they are stale
    Cycle(three);
    ASSERT_NE(discharges_.Running(kDeviceA0), nullptr);
    EXPECT_EQ(discharges_.Running(kDeviceA0)->batteries.size(), 3U);

    Restart();
    Cycle(String(13.5));
    const std::map<BatteryId, double> two = {{A0(1), 12.0}, {A0(2), 12.0}};
    for (int i = 0; i < 5; ++i) Cycle(two);
    EXPECT_EQ(discharges_.Running(kDeviceA0), nullptr);
}

TEST_F(DischargeRulesTest, lowVoltageLimitsAreHeldBackAndTheEndVoltageIsCritical) {
    settings_.limits.lowVoltage = {12.2, 11.5};
    Restart();
    Cycle(String(13.5));
    Cycle(String(12.1));
    Cycle(String(12.1));  // a low-voltage warning on its second reading, then the start
    EXPECT_EQ(Kinds(TakeEvents()).size(), 8U + 1U + 8U);  // raised, "放电中", cleared
    EXPECT_TRUE(alarms_.LowVoltageHeld(kDeviceA0));
    EXPECT_EQ(alarms_.MarkOf(A0(0)), RowMark::Normal);

    Cycle(String(11.0));
    Cycle(String(10.8));
    EXPECT_TRUE(TakeEvents().empty());

    // The end voltage raises its alarm with the reading, before the cycle ends.
    Read(A0(4), 10.5);
    EXPECT_EQ(Kinds(TakeEvents()), Lines{"A0-84 end_voltage raised critical"});
    const ActiveAlarm* end = alarms_.Find({A0(4), AlarmKind::EndVoltage});
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->limit, 10.5);
    EXPECT_EQ(alarms_.MarkOf(A0(4)), RowMark::Alarm);

    Cycle(String(13.5));
    Cycle(String(13.5));
    EXPECT_EQ(Kinds(TakeEvents()),
              (Lines{"A0-80 discharging cleared warning", "A0-84 end_voltage cleared critical"}));
    EXPECT_FALSE(alarms_.LowVoltageHeld(kDeviceA0));
    Cycle(String(13.5, {{4, 11.0}}));
    Cycle(String(13.5, {{4, 11.0}}));  // the limits apply again
    EXPECT_NE(alarms_.Find({A0(4), AlarmKind::LowVoltage}), nullptr);
}

// Two batteries reach the end voltage in one cycle: the lower one failed the string first,
// whichever the poll read first. Without any at its end voltage, the lowest minimum is the
// weakest.
TEST_F(DischargeRulesTest, weakestBatteryIsTheLowestOfThoseReachingTheEndInOneCycle) {
    Cycle(String(12.0));
    Cycle(String(12.0, {{6, 11.2}}));
    ASSERT_NE(discharges_.Running(kDeviceA0), nullptr);
    EXPECT_EQ(discharges_.Running(kDeviceA0)->Weakest()->battery, A0(6));

    Cycle(String(11.5, {{2, 10.4}, {5, 10.1}, {6, 11.0}}));
    const DischargeRecord& record = *discharges_.Running(kDeviceA0);
    EXPECT_EQ(record.firstAtEnd, A0(5));
    EXPECT_EQ(record.Weakest()->battery, A0(5));
    EXPECT_LT(*record.Find(A0(2))->endReachedMs, *record.Find(A0(5))->endReachedMs);

    Cycle(String(11.0, {{2, 10.0}, {3, 10.3}, {5, 10.2}}));  // later ones change nothing
    EXPECT_EQ(discharges_.Running(kDeviceA0)->Weakest()->battery, A0(5));
    EXPECT_TRUE(discharges_.Running(kDeviceA0)->Find(A0(3))->endReachedMs);
}

// The program stops during a discharge and starts again with the stored record and alarm
// events: the discharge goes on from its first start, the limits stay held back, and its end
// is one record.
TEST_F(DischargeRulesTest, aDischargeSpanningARestartIsResumedNotSplit) {
    settings_.limits.lowVoltage = {12.2, 11.5};
    Restart();
    Cycle(String(13.5));
    const std::int64_t startMs = Cycle(String(12.0));
    Cycle(String(11.8, {{3, 11.0}}));
    const DischargeRecord stored = *discharges_.Running(kDeviceA0);
    const AlarmEvents storedEvents = TakeEvents();

    now_.wallMs += 60'000;
    now_.monoMs += 60'000;
    Restart(storedEvents, &stored);
    EXPECT_NE(alarms_.Find({A0(0), AlarmKind::Discharging}), nullptr);
    TakeKinds();
    Cycle(String(11.2, {{3, 10.9}}));
    Cycle(String(11.0, {{3, 10.7}}));
    EXPECT_EQ(TakeKinds(), (std::vector{Kind::Updated, Kind::Updated}));
    EXPECT_TRUE(TakeEvents().empty());  // no low-voltage alarm, no second start
    Cycle(String(13.5));
    Cycle(String(13.5));
    ASSERT_EQ(changes_.back().kind, Kind::Ended);
    const DischargeRecord& ended = changes_.back().record;
    EXPECT_EQ(ended.startMs, startMs);
    EXPECT_DOUBLE_EQ(ended.Find(A0(3))->startV, 12.0);
    EXPECT_DOUBLE_EQ(ended.Find(A0(3))->minV, 10.7);
    EXPECT_EQ(Kinds(TakeEvents()), Lines{"A0-80 discharging cleared warning"});
}

TEST_F(DischargeRulesTest, capacityTestComparesTheTimeToTheEndVoltageWithTheRequiredTime) {
    dischargeSettings_[0].requiredMinutes = 1;
    Restart();
    Cycle(String(12.0));
    for (int i = 0; i < 15; ++i) Cycle(String(11.0));  // 48 s in, nothing at its end
    const DischargeRecord& record = *discharges_.Running(kDeviceA0);
    const std::optional<CapacityResult> midway = record.Capacity(now_.wallMs);
    ASSERT_TRUE(midway);
    EXPECT_EQ(midway->actualMs, 15 * kPeriodMs);
    EXPECT_FALSE(midway->reached);
    Cycle(String(11.0, {{7, 10.5}}));
    for (int i = 0; i < 10; ++i) Cycle(String(11.0));
    const std::optional<CapacityResult> result = record.Capacity(now_.wallMs);
    EXPECT_EQ(result->actualMs, *record.Find(A0(7))->endReachedMs - record.startMs);
    EXPECT_FALSE(result->reached);
    EXPECT_NEAR(result->percent, 100.0 * static_cast<double>(result->actualMs) / 60'000, 1e-9);
    EXPECT_LT(result->percent, 100.0);

    DischargeRecord passed = record;
    passed.batteries[7].endReachedMs.reset();
    EXPECT_TRUE(passed.Capacity(now_.wallMs)->reached);
    EXPECT_EQ(DurationText(3'725'000), QStringLiteral("1 h 02 min 05 s"));
}

}  // namespace
