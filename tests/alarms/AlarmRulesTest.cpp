#include <gtest/gtest.h>

#include <cmath>

#include "alarms/AlarmRules.h"
#include "tests/alarms/AlarmPrinting.h"

namespace {

using namespace alarms;
using battery::BatteryId;
using battery::kDeviceA0;
using battery::kDeviceA1;

constexpr std::int64_t kT0 = 1'765'000'000'000;
constexpr std::int64_t kPeriodMs = 10'000;  // the program's default sampling period
const BatteryId kA0_3{kDeviceA0, 3};
const BatteryId kA1_0{kDeviceA1, 0};

double Tenths(int raw) {  // as the receive path decodes readings
    return raw / 10.0;
}

// Events as the rules report them; a limit alarm's carries the limit it passed.
AlarmEvent Raised(BatteryId battery, AlarmKind kind, std::optional<double> value, std::int64_t t,
                  std::optional<double> limit = std::nullopt) {
    AlarmEvent event{t, {battery, kind}, AlarmState::Raised, value, {}};
    event.limit = limit;
    return event;
}
AlarmEvent Cleared(BatteryId battery, AlarmKind kind, std::optional<double> value, std::int64_t t,
                   std::optional<double> limit = std::nullopt) {
    AlarmEvent event = Raised(battery, kind, value, t, limit);
    event.state = AlarmState::Cleared;
    return event;
}

// Critical limits only, the way the three limits of earlier versions were.
AlarmLimits Critical(std::optional<double> low, std::optional<double> high,
                     std::optional<double> temperature) {
    return {{std::nullopt, low}, {std::nullopt, high}, {std::nullopt, temperature}};
}

// The rules these tests are about, alone: a limit alarm raised by one reading, a 0.5 ℃
// temperature margin, and no string analysis, whose temperature rise would join in.
AlarmSettings StatusAndLimitSettings() {
    AlarmSettings settings;
    settings.onDelayReadings = 1;
    settings.temperatureClearMarginC = 0.5;
    settings.strings = {{}, {}, {}, {}};
    return settings;
}

std::vector<BatteryId> BatteriesOf(const AlarmEvents& events, AlarmKind kind, AlarmState state) {
    std::vector<BatteryId> batteries;
    for (const auto& e : events) {
        if (e.key.kind == kind && e.state == state) batteries.push_back(e.key.battery);
    }
    return batteries;
}

std::vector<BatteryId> DeviceBatteries(std::uint8_t device) {
    std::vector<BatteryId> batteries;
    for (BatteryId battery : battery::WatchedBatteries()) {
        if (battery.device == device) batteries.push_back(battery);
    }
    return batteries;
}

class AlarmRulesTest : public ::testing::Test {
protected:
    AlarmRulesTest() { rules_.SetSettings(StatusAndLimitSettings(), now_); }

    AlarmEvents Read(BatteryId battery, std::uint8_t status, double voltage = 12.5,
                     double temperature = 25.0) {
        return rules_.OnReading(battery, status, voltage, temperature, now_);
    }
    AlarmEvents ReadAll(std::int64_t at) {
        now_ = at;
        AlarmEvents all;
        for (BatteryId battery : battery::WatchedBatteries()) {
            const AlarmEvents events = Read(battery, 0x11);
            all.insert(all.end(), events.begin(), events.end());
        }
        return all;
    }

    AlarmRules rules_;
    std::int64_t now_ = kT0;
};

TEST_F(AlarmRulesTest, eachAbnormalStatusRaisesOnceAndClearsOnce) {
    const std::pair<std::uint8_t, AlarmKind> cases[] = {
        {0x71, AlarmKind::StatusVoltage},  {0x72, AlarmKind::StatusTemperature},
        {0x73, AlarmKind::StatusSwelling}, {0x00, AlarmKind::StatusNoDevice},
        {0x12, AlarmKind::StatusUnknown},  {0xFF, AlarmKind::StatusUnknown},
    };
    for (const auto& [code, kind] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Read(kA0_3, code), AlarmEvents{Raised(kA0_3, kind, code, now_)});
        now_ += kPeriodMs;
        EXPECT_TRUE(Read(kA0_3, code).empty()) << "the same status again is no new alarm";
        EXPECT_EQ(rules_.MarkOf(kA0_3), RowMark::Alarm);
        now_ += kPeriodMs;
        EXPECT_EQ(Read(kA0_3, 0x11), AlarmEvents{Cleared(kA0_3, kind, code, now_)});
        EXPECT_TRUE(Read(kA0_3, 0x11).empty());
        EXPECT_EQ(rules_.MarkOf(kA0_3), RowMark::Normal);
    }
    // A changed status ends the old alarm and starts the new one; two undefined codes are two
    // conditions.
    Read(kA1_0, 0x71);
    EXPECT_EQ(Read(kA1_0, 0x72),
              (AlarmEvents{Cleared(kA1_0, AlarmKind::StatusVoltage, 0x71, now_),
                           Raised(kA1_0, AlarmKind::StatusTemperature, 0x72, now_)}));
    Read(kA1_0, 0x12);
    EXPECT_EQ(Read(kA1_0, 0x13),
              (AlarmEvents{Cleared(kA1_0, AlarmKind::StatusUnknown, 0x12, now_),
                           Raised(kA1_0, AlarmKind::StatusUnknown, 0x13, now_)}));
    // Batteries nobody watches raise nothing.
    for (BatteryId other : {BatteryId{kDeviceA1, 6}, BatteryId{kDeviceA0, 8}, BatteryId{0xA2, 0}}) {
        EXPECT_TRUE(Read(other, 0x71).empty());
    }
    EXPECT_EQ(rules_.ActiveAlarms().size(), 1u);
}

TEST_F(AlarmRulesTest, limitsAreOffUntilSetAndThenRaiseAndClearWithHysteresis) {
    EXPECT_TRUE(Read(kA0_3, 0x11, Tenths(0), Tenths(65535)).empty());
    EXPECT_TRUE(Read(kA0_3, 0x11, Tenths(125), Tenths(250)).empty());
    EXPECT_TRUE(rules_.SetLimits(Critical(Tenths(120), Tenths(140), Tenths(450)), now_).empty());

    struct Step {
        int voltage, temperature;  // tenths
        std::vector<std::pair<AlarmKind, AlarmState>> expected;
    };
    using K = AlarmKind;
    constexpr auto up = AlarmState::Raised;
    constexpr auto down = AlarmState::Cleared;
    const Step steps[] = {
        {120, 450, {}},  // sitting exactly on a limit is inside it
        {140, 450, {}},
        {119, 451, {{K::LowVoltage, up}, {K::HighTemperature, up}}},
        {120, 450, {}},  // back inside by less than the margin: still in alarm
        {119, 446, {}},
        {120, 446, {}},
        {121, 445, {{K::LowVoltage, down}, {K::HighTemperature, down}}},
        {141, 300, {{K::HighVoltage, up}}},
        {140, 300, {}},
        {139, 300, {{K::HighVoltage, down}}},
        {50, 300, {{K::LowVoltage, up}}},
        {200, 300, {{K::LowVoltage, down}, {K::HighVoltage, up}}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.voltage);
        now_ += kPeriodMs;
        const AlarmEvents events =
            Read(kA0_3, 0x11, Tenths(step.voltage), Tenths(step.temperature));
        ASSERT_EQ(events.size(), step.expected.size());
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].key.kind, step.expected[i].first);
            EXPECT_EQ(events[i].state, step.expected[i].second);
            EXPECT_EQ(events[i].tMs, now_);
        }
    }
}

TEST_F(AlarmRulesTest, changedLimitsApplyToTheLastReadingsAndNoSuchDeviceIsNotMeasured) {
    Read(kA0_3, 0x11, Tenths(115));
    Read(kA1_0, 0x11, Tenths(125));
    EXPECT_EQ(rules_.SetLimits(Critical(Tenths(120), std::nullopt, std::nullopt), now_),
              AlarmEvents{Raised(kA0_3, AlarmKind::LowVoltage, Tenths(115), now_, 12.0)});
    now_ += kPeriodMs;
    // Status 0x00 carries no measurement: its zero volts end the low-voltage alarm instead of
    // standing beside "无此设备" as a second one.
    EXPECT_EQ(Read(kA0_3, 0x00, 0.0, 0.0),
              (AlarmEvents{Raised(kA0_3, AlarmKind::StatusNoDevice, 0x00, now_),
                           Cleared(kA0_3, AlarmKind::LowVoltage, Tenths(115), now_, 12.0)}));
    Read(kA1_0, 0x11, Tenths(110));
    EXPECT_EQ(rules_.SetLimits({}, now_),
              AlarmEvents{Cleared(kA1_0, AlarmKind::LowVoltage, Tenths(110), now_, 12.0)});
}

TEST_F(AlarmRulesTest, aValueFlappingOnALimitRaisesOnceInsteadOfFlooding) {
    rules_.SetLimits(Critical(Tenths(120), std::nullopt, Tenths(450)), now_);
    AlarmEvents all;
    for (int i = 0; i < 200; ++i) {
        now_ += kPeriodMs;
        const bool odd = i % 2 != 0;
        const AlarmEvents events =
            Read(kA0_3, 0x11, Tenths(odd ? 120 : 119), Tenths(odd ? 449 : 451));
        all.insert(all.end(), events.begin(), events.end());
    }
    EXPECT_EQ(all.size(), 2u);  // one low voltage, one high temperature
}

TEST_F(AlarmRulesTest, threeSilentPeriodsRaiseNoAnswerAndAReadingClearsIt) {
    rules_.SetSamplingPeriodMs(kPeriodMs);
    EXPECT_TRUE(rules_.Tick(kT0 + 100 * kPeriodMs).empty())
        << "silence counts only while monitoring";
    rules_.OnMonitoringStarted(kT0);
    for (std::int64_t t = kT0; t <= kT0 + 5 * kPeriodMs; t += kPeriodMs / 2) {  // A0 never answers
        now_ = t;
        for (BatteryId battery : DeviceBatteries(kDeviceA1)) Read(battery, 0x11);
        const AlarmEvents events = rules_.Tick(t);
        if (t == kT0 + 3 * kPeriodMs) {
            EXPECT_EQ(BatteriesOf(events, AlarmKind::NoAnswer, AlarmState::Raised),
                      DeviceBatteries(kDeviceA0));
            EXPECT_EQ(events.size(), 8u);
        } else {
            EXPECT_TRUE(events.empty()) << t - kT0;
        }
    }
    EXPECT_EQ(rules_.MarkOf(kA0_3), RowMark::NoAnswer);
    EXPECT_EQ(rules_.MarkOf(kA1_0), RowMark::Normal);
    EXPECT_EQ(Read(kA0_3, 0x11),
              AlarmEvents{Cleared(kA0_3, AlarmKind::NoAnswer, std::nullopt, now_)});

    // The operator lengthens the period: three of the new periods are needed.
    ReadAll(kT0 + 10 * kPeriodMs);
    rules_.SetSamplingPeriodMs(10 * kPeriodMs);
    EXPECT_TRUE(rules_.Tick(kT0 + 39 * kPeriodMs).empty());
    EXPECT_EQ(rules_.Tick(kT0 + 40 * kPeriodMs).size(), 14u);

    // A period shorter than a poll cycle: a battery is asked once per cycle, not more often.
    ReadAll(kT0 + 40 * kPeriodMs);
    rules_.SetSamplingPeriodMs(0);
    const std::int64_t cycleMs = kPollStepMs * kPollStepsPerCycle;
    EXPECT_TRUE(rules_.Tick(now_ + 3 * cycleMs - 1).empty());
    EXPECT_EQ(rules_.Tick(now_ + 3 * cycleMs).size(), 14u);
    rules_.SetSamplingPeriodMs(10 * kPeriodMs);

    // Stopped: no new silence alarm. Restarted: silence counts from the restart.
    ReadAll(kT0 + 41 * kPeriodMs);
    rules_.OnMonitoringStopped(now_);
    EXPECT_TRUE(rules_.Tick(kT0 + 1000 * kPeriodMs).empty());
    rules_.OnMonitoringStarted(kT0 + 1000 * kPeriodMs);
    EXPECT_TRUE(rules_.Tick(kT0 + 1029 * kPeriodMs).empty());
    EXPECT_EQ(rules_.Tick(kT0 + 1030 * kPeriodMs).size(), 14u);
}

TEST_F(AlarmRulesTest, aLostPortSilencesEveryBatteryAtOnceWhileMonitoring) {
    EXPECT_TRUE(rules_.OnPortLost(now_).empty()) << "closing the port while idle is no alarm";
    rules_.OnMonitoringStarted(now_);
    ReadAll(now_ + kPeriodMs);
    const AlarmEvents lost = rules_.OnPortLost(now_ + kPeriodMs);
    EXPECT_EQ(BatteriesOf(lost, AlarmKind::NoAnswer, AlarmState::Raised).size(), 14u);
    EXPECT_EQ(lost.size(), 14u);
    EXPECT_TRUE(rules_.OnPortLost(now_).empty());
    EXPECT_TRUE(rules_.Tick(now_ + 100 * kPeriodMs).empty());

    rules_.OnMonitoringStarted(now_ + kPeriodMs);  // reopened: each first reading clears
    const AlarmEvents back = ReadAll(now_ + 2 * kPeriodMs);
    EXPECT_EQ(BatteriesOf(back, AlarmKind::NoAnswer, AlarmState::Cleared).size(), 14u);
    EXPECT_EQ(back.size(), 14u);
}

TEST_F(AlarmRulesTest, aDeviceThatKeepsAnsweringLateIsSilentButASingleSpikeIsNot) {
    for (int cycle = 0; cycle < 10; ++cycle) {  // a late block, then a good one
        EXPECT_TRUE(rules_.OnDeviceLate(kDeviceA0, now_).empty());
        Read({kDeviceA0, 0}, 0x11);
    }
    EXPECT_TRUE(rules_.OnDeviceLate(kDeviceA1, now_).empty());
    const AlarmEvents late = rules_.OnDeviceLate(kDeviceA1, now_);
    EXPECT_EQ(BatteriesOf(late, AlarmKind::NoAnswer, AlarmState::Raised),
              DeviceBatteries(kDeviceA1));
    EXPECT_EQ(late.size(), 6u);
    EXPECT_TRUE(rules_.OnDeviceLate(kDeviceA1, now_).empty());
    EXPECT_TRUE(rules_.OnDeviceLate(0x55, now_).empty());
    EXPECT_EQ(Read(kA1_0, 0x11),
              AlarmEvents{Cleared(kA1_0, AlarmKind::NoAnswer, std::nullopt, now_)});
}

TEST_F(AlarmRulesTest, acknowledgingMarksSelectedAlarmsOnceAndCountsTheRest) {
    Read(kA0_3, 0x71);
    Read(kA1_0, 0x73);
    EXPECT_EQ(rules_.UnacknowledgedCount(), 2);
    const AlarmKey voltage{kA0_3, AlarmKind::StatusVoltage};
    const AlarmKey notActive{kA1_0, AlarmKind::LowVoltage};
    EXPECT_EQ(rules_.Acknowledge({voltage, voltage, notActive}, "alice", now_),
              (AlarmEvents{{now_, voltage, AlarmState::Acknowledged, 0x71, "alice"}}));
    EXPECT_EQ(rules_.UnacknowledgedCount(), 1);
    EXPECT_EQ(rules_.Find(voltage)->acknowledgedBy, "alice");
    EXPECT_TRUE(rules_.Acknowledge({voltage}, "bob", now_).empty()) << "already acknowledged";
    EXPECT_EQ(rules_.MarkOf(kA0_3), RowMark::Alarm) << "acknowledged is still in alarm";

    // The condition returning after it cleared needs a new acknowledgement.
    Read(kA0_3, 0x11);
    EXPECT_EQ(rules_.UnacknowledgedCount(), 1);
    Read(kA0_3, 0x71);
    EXPECT_EQ(rules_.UnacknowledgedCount(), 2);
}

TEST_F(AlarmRulesTest, restoredEventsRebuildTheActiveSetAsItWasAtExit) {
    AlarmEvents stored;  // what a first run hands the store
    const auto keep = [&](const AlarmEvents& e) {
        stored.insert(stored.end(), e.begin(), e.end());
    };
    keep(rules_.SetLimits(Critical(Tenths(120), std::nullopt, std::nullopt), now_));
    keep(Read(kA0_3, 0x71));
    now_ += kPeriodMs;
    keep(Read(kA1_0, 0x11, Tenths(110)));
    keep(Read({kDeviceA0, 5}, 0x72));
    keep(Read({kDeviceA0, 5}, 0x11));
    keep(rules_.Acknowledge({{kA1_0, AlarmKind::LowVoltage}}, "bob", now_));
    rules_.OnMonitoringStarted(now_);
    keep(rules_.OnPortLost(now_ + kPeriodMs));
    // A battery nobody watches (a hand-edited file), a stray acknowledgement, a second raise
    // without a clear (a crash lost it): skipped, ignored, the first raise kept.
    stored.push_back(Raised({kDeviceA1, 7}, AlarmKind::StatusVoltage, 0x71, now_));
    stored.push_back(
        {now_, {kA1_0, AlarmKind::StatusSwelling}, AlarmState::Acknowledged, 0x73, "x"});
    stored.push_back(Raised(kA0_3, AlarmKind::StatusVoltage, 0x71, now_ + 5));

    AlarmRules restarted;
    restarted.SetSettings(StatusAndLimitSettings(), now_);
    restarted.Restore(stored);
    const auto before = rules_.ActiveAlarms();
    const auto after = restarted.ActiveAlarms();
    ASSERT_EQ(after.size(), 16u);  // 0x71 on A0-83, low voltage on 1#, 14 silent batteries
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(after[i].key, before[i].key);
        EXPECT_EQ(after[i].sinceMs, before[i].sinceMs);
        EXPECT_EQ(after[i].value, before[i].value);
        EXPECT_EQ(after[i].acknowledgedBy, before[i].acknowledgedBy);
    }
    EXPECT_EQ(restarted.UnacknowledgedCount(), 15);

    // They go on as if the program had not stopped: a repeated condition is no new alarm, a
    // value inside the hysteresis keeps its limit alarm, a cure clears.
    restarted.SetLimits(Critical(Tenths(120), std::nullopt, std::nullopt), now_);
    EXPECT_EQ(restarted.OnReading(kA0_3, 0x71, 12.5, 25.0, now_),
              AlarmEvents{Cleared(kA0_3, AlarmKind::NoAnswer, std::nullopt, now_)});
    EXPECT_EQ(restarted.OnReading(kA1_0, 0x11, Tenths(120), 25.0, now_),
              AlarmEvents{Cleared(kA1_0, AlarmKind::NoAnswer, std::nullopt, now_)});
    EXPECT_EQ(restarted.OnReading(kA1_0, 0x11, Tenths(121), 25.0, now_),
              AlarmEvents{Cleared(kA1_0, AlarmKind::LowVoltage, Tenths(110), now_, 12.0)});

    // The age of a silent row after a restart comes from the last stored reading.
    restarted.RestoreLastReading(kA0_3, kT0 - 9000, kT0);  // older than the reading above: ignored
    EXPECT_EQ(restarted.LastReadingMs(kA0_3), now_);
    restarted.RestoreLastReading({kDeviceA0, 0}, kT0 - 9000, kT0);
    EXPECT_EQ(restarted.LastReadingMs({kDeviceA0, 0}), kT0 - 9000);
}

TEST(AlarmTypes, storedIdentifiersStayStableAndValuesReadSafely) {
    // These strings are in users' history files and on MQTT topics: renaming one loses data.
    const char* ids[] = {
        "status_voltage",   "status_temperature", "status_swelling",    "status_no_device",
        "status_unknown",   "limit_low_voltage",  "limit_high_voltage", "limit_high_temperature",
        "no_answer",        "voltage_deviation",  "voltage_spread",     "temperature_above_median",
        "temperature_rise", "discharging",        "end_voltage"};
    ASSERT_EQ(std::size(ids), kAllKinds.size());
    for (std::size_t i = 0; i < kAllKinds.size(); ++i) {
        EXPECT_EQ(KindId(kAllKinds[i]), QLatin1String(ids[i]));
        EXPECT_EQ(KindFromId(QString::fromLatin1(ids[i])), kAllKinds[i]);
    }
    EXPECT_EQ(KindFromId(u"status"), std::nullopt);
    const char* states[] = {"raised", "cleared", "acknowledged", "shelved", "unshelved"};
    ASSERT_EQ(std::size(states), kAllStates.size());
    for (std::size_t i = 0; i < kAllStates.size(); ++i) {
        EXPECT_EQ(StateId(kAllStates[i]), QLatin1String(states[i]));
        EXPECT_EQ(StateFromId(QString::fromLatin1(states[i])), kAllStates[i]);
    }
    EXPECT_EQ(LevelId(AlarmLevel::Warning), "warning");
    EXPECT_EQ(LevelId(AlarmLevel::Critical), "critical");
    EXPECT_EQ(LevelFromId(u"critical"), AlarmLevel::Critical);
    EXPECT_EQ(LevelFromId(u"severe"), std::nullopt);
    EXPECT_EQ(KindText(AlarmKind::VoltageDeviation), "电压偏离");
    EXPECT_EQ(KindText(AlarmKind::TemperatureRise), "温升过快");
    EXPECT_EQ(ValueText(AlarmKind::VoltageDeviation, -0.35), "-0.35 V");
    EXPECT_EQ(ValueText(AlarmKind::StatusUnknown, 0x1F), "0x1F");
    EXPECT_EQ(ValueText(AlarmKind::HighTemperature, Tenths(451)), "45.1 ℃");
    // A stored value that is no status byte is shown, not converted out of range.
    EXPECT_EQ(ValueText(AlarmKind::StatusVoltage, -1.0), "-1");
    EXPECT_EQ(ValueText(AlarmKind::StatusVoltage, 1e300), "1e+300");
    EXPECT_EQ(ValueText(AlarmKind::StatusVoltage, std::nan("")), "nan");
}

}  // namespace
