#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>

#include "alarms/AlarmRules.h"

namespace alarms {

// Readable failures: "A0-83 status_voltage raised 113 @1765000000000".
void PrintTo(const AlarmEvent& event, std::ostream* out) {
    *out << BatteryLabel(event.key.battery).toStdString() << ' '
         << KindId(event.key.kind).toStdString() << ' ' << StateId(event.state).toStdString() << ' '
         << (event.value ? std::to_string(*event.value) : std::string("-")) << " @" << event.tMs
         << ' ' << event.user.toStdString();
}

}  // namespace alarms

namespace {

using namespace alarms;

constexpr std::int64_t kT0 = 1'765'000'000'000;  // some December 2025 afternoon
constexpr std::int64_t kPeriodMs = 1'000;

const BatteryId kA0_3{kDeviceA0, 3};
const BatteryId kA1_0{kDeviceA1, 0};

// Readings as the receive path decodes them: tenths of a volt and of a degree.
double Tenths(int raw) { return raw / 10.0; }

class AlarmRulesTest : public ::testing::Test {
protected:
    AlarmEvents Read(BatteryId battery, std::uint8_t status, double voltage = 12.5,
                     double temperature = 25.0) {
        return rules.OnReading(battery, status, voltage, temperature, now);
    }
    AlarmEvents ReadAll(std::int64_t at) {
        now = at;
        AlarmEvents all;
        for (BatteryId battery : MonitoredBatteries()) {
            const AlarmEvents events = Read(battery, 0x11);
            all.insert(all.end(), events.begin(), events.end());
        }
        return all;
    }

    AlarmRules rules;
    std::int64_t now = kT0;
};

AlarmEvent Raised(BatteryId battery, AlarmKind kind, std::optional<double> value, std::int64_t t) {
    return {t, {battery, kind}, AlarmState::Raised, value, {}};
}
AlarmEvent Cleared(BatteryId battery, AlarmKind kind, std::optional<double> value, std::int64_t t) {
    return {t, {battery, kind}, AlarmState::Cleared, value, {}};
}

// Every event must name one of the fourteen batteries and one kind, and the set of batteries
// carrying a kind is what the test asserts.
std::vector<BatteryId> BatteriesOf(const AlarmEvents& events, AlarmKind kind, AlarmState state) {
    std::vector<BatteryId> batteries;
    for (const auto& event : events) {
        if (event.key.kind == kind && event.state == state) batteries.push_back(event.key.battery);
    }
    return batteries;
}

std::vector<BatteryId> DeviceBatteries(std::uint8_t device) {
    std::vector<BatteryId> batteries;
    for (BatteryId battery : MonitoredBatteries()) {
        if (battery.device == device) batteries.push_back(battery);
    }
    return batteries;
}

TEST_F(AlarmRulesTest, eachAbnormalStatusRaisesOnceAndClearsOnceWhenNormalAgain) {
    const std::pair<std::uint8_t, AlarmKind> cases[] = {
        {0x71, AlarmKind::StatusVoltage},  {0x72, AlarmKind::StatusTemperature},
        {0x73, AlarmKind::StatusSwelling}, {0x00, AlarmKind::StatusNoDevice},
        {0x12, AlarmKind::StatusUnknown},  {0xFF, AlarmKind::StatusUnknown},
    };
    for (const auto& [code, kind] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Read(kA0_3, code), AlarmEvents{Raised(kA0_3, kind, code, now)});
        now += kPeriodMs;
        EXPECT_TRUE(Read(kA0_3, code).empty()) << "the same status again is no new alarm";
        EXPECT_EQ(rules.MarkOf(kA0_3), RowMark::Alarm);
        now += kPeriodMs;
        EXPECT_EQ(Read(kA0_3, 0x11), AlarmEvents{Cleared(kA0_3, kind, code, now)});
        EXPECT_TRUE(Read(kA0_3, 0x11).empty());
        EXPECT_EQ(rules.MarkOf(kA0_3), RowMark::Normal);
        EXPECT_TRUE(rules.ActiveAlarms().empty());
    }
}

TEST_F(AlarmRulesTest, aChangedStatusEndsTheOldAlarmAndStartsTheNewOne) {
    Read(kA1_0, 0x71);
    now += kPeriodMs;
    EXPECT_EQ(Read(kA1_0, 0x72),
              (AlarmEvents{Cleared(kA1_0, AlarmKind::StatusVoltage, 0x71, now),
                           Raised(kA1_0, AlarmKind::StatusTemperature, 0x72, now)}));
    // Two different undefined codes are two different conditions.
    now += kPeriodMs;
    Read(kA1_0, 0x12);
    now += kPeriodMs;
    EXPECT_EQ(Read(kA1_0, 0x13), (AlarmEvents{Cleared(kA1_0, AlarmKind::StatusUnknown, 0x12, now),
                                              Raised(kA1_0, AlarmKind::StatusUnknown, 0x13, now)}));
    ASSERT_EQ(rules.ActiveAlarms().size(), 1u);
    EXPECT_EQ(rules.ActiveAlarms()[0].value, 0x13);
}

TEST_F(AlarmRulesTest, batteriesThatAreNotWatchedRaiseNothing) {
    EXPECT_TRUE(Read({kDeviceA1, 6}, 0x71).empty());
    EXPECT_TRUE(Read({kDeviceA1, 7}, 0x71).empty());
    EXPECT_TRUE(Read({0xA2, 0}, 0x71).empty());
    EXPECT_TRUE(Read({kDeviceA0, 8}, 0x71).empty());
    EXPECT_EQ(rules.UnacknowledgedCount(), 0);
}

TEST_F(AlarmRulesTest, limitsAreOffUntilSetAndThenRaiseAndClearWithHysteresis) {
    EXPECT_TRUE(Read(kA0_3, 0x11, Tenths(0), Tenths(65535)).empty());
    EXPECT_TRUE(Read(kA0_3, 0x11, Tenths(125), Tenths(250)).empty());

    EXPECT_TRUE(rules.SetLimits({Tenths(120), Tenths(140), Tenths(450)}, now).empty());
    struct Step {
        double voltage;
        double temperature;
        AlarmEvents expected;
    };
    const auto at = [](std::int64_t step) { return kT0 + step * kPeriodMs; };
    const Step steps[] = {
        // Sitting exactly on a limit is inside it.
        {Tenths(120), Tenths(450), {}},
        {Tenths(140), Tenths(450), {}},
        {Tenths(119),
         Tenths(451),
         {Raised(kA0_3, AlarmKind::LowVoltage, Tenths(119), at(3)),
          Raised(kA0_3, AlarmKind::HighTemperature, Tenths(451), at(3))}},
        // Back on the limit or inside by less than the margin: still in alarm.
        {Tenths(120), Tenths(450), {}},
        {Tenths(119), Tenths(446), {}},
        {Tenths(120), Tenths(446), {}},
        // Inside by the margin: cleared.
        {Tenths(121),
         Tenths(445),
         {Cleared(kA0_3, AlarmKind::LowVoltage, Tenths(119), at(7)),
          Cleared(kA0_3, AlarmKind::HighTemperature, Tenths(451), at(7))}},
        {Tenths(141), Tenths(300), {Raised(kA0_3, AlarmKind::HighVoltage, Tenths(141), at(8))}},
        {Tenths(140), Tenths(300), {}},
        {Tenths(139), Tenths(300), {Cleared(kA0_3, AlarmKind::HighVoltage, Tenths(141), at(10))}},
        // From far below the low limit straight to far above the high one.
        {Tenths(50), Tenths(300), {Raised(kA0_3, AlarmKind::LowVoltage, Tenths(50), at(11))}},
        {Tenths(200),
         Tenths(300),
         {Cleared(kA0_3, AlarmKind::LowVoltage, Tenths(50), at(12)),
          Raised(kA0_3, AlarmKind::HighVoltage, Tenths(200), at(12))}},
    };
    std::int64_t step = 1;
    for (const Step& s : steps) {
        SCOPED_TRACE(step);
        now = at(step++);
        EXPECT_EQ(Read(kA0_3, 0x11, s.voltage, s.temperature), s.expected);
    }
}

TEST_F(AlarmRulesTest, changedLimitsApplyToTheLastReadingAtOnce) {
    Read(kA0_3, 0x11, Tenths(115));
    Read(kA1_0, 0x11, Tenths(125));
    now += kPeriodMs;
    EXPECT_EQ(rules.SetLimits({Tenths(120), std::nullopt, std::nullopt}, now),
              AlarmEvents{Raised(kA0_3, AlarmKind::LowVoltage, Tenths(115), now)});
    now += kPeriodMs;
    EXPECT_EQ(rules.SetLimits({}, now),
              AlarmEvents{Cleared(kA0_3, AlarmKind::LowVoltage, Tenths(115), now)});
}

TEST_F(AlarmRulesTest, noSuchDeviceIsNotCheckedAgainstLimits) {
    rules.SetLimits({Tenths(120), std::nullopt, std::nullopt}, now);
    Read(kA0_3, 0x11, Tenths(110));
    now += kPeriodMs;
    // Status 0x00 carries no measurement: its zero volts end the low-voltage alarm instead of
    // standing beside "无此设备" as a second one.
    EXPECT_EQ(Read(kA0_3, 0x00, 0.0, 0.0),
              (AlarmEvents{Raised(kA0_3, AlarmKind::StatusNoDevice, 0x00, now),
                           Cleared(kA0_3, AlarmKind::LowVoltage, Tenths(110), now)}));
}

TEST_F(AlarmRulesTest, aValueFlappingOnALimitRaisesOnceInsteadOfFlooding) {
    rules.SetLimits({Tenths(120), std::nullopt, Tenths(450)}, now);
    AlarmEvents all;
    for (int i = 0; i < 200; ++i) {
        now += kPeriodMs;
        const bool odd = i % 2 != 0;
        const AlarmEvents events =
            Read(kA0_3, 0x11, Tenths(odd ? 120 : 119), Tenths(odd ? 449 : 451));
        all.insert(all.end(), events.begin(), events.end());
    }
    EXPECT_EQ(all.size(), 2u);  // one low voltage, one high temperature
    EXPECT_EQ(BatteriesOf(all, AlarmKind::LowVoltage, AlarmState::Raised).size(), 1u);
    EXPECT_EQ(BatteriesOf(all, AlarmKind::HighTemperature, AlarmState::Raised).size(), 1u);
}

TEST_F(AlarmRulesTest, threeSilentPeriodsRaiseNoAnswerAndAReadingClearsIt) {
    rules.SetSamplingPeriodMs(kPeriodMs);
    EXPECT_TRUE(rules.Tick(kT0 + 100 * kPeriodMs).empty())
        << "silence counts only while monitoring";

    rules.OnMonitoringStarted(kT0);
    // A1 answers every period, A0 never does.
    for (std::int64_t t = kT0; t <= kT0 + 5 * kPeriodMs; t += kPeriodMs / 2) {
        now = t;
        for (BatteryId battery : DeviceBatteries(kDeviceA1)) Read(battery, 0x11);
        const AlarmEvents events = rules.Tick(t);
        if (t < kT0 + 3 * kPeriodMs) {
            EXPECT_TRUE(events.empty()) << t - kT0;
        } else if (t == kT0 + 3 * kPeriodMs) {
            EXPECT_EQ(BatteriesOf(events, AlarmKind::NoAnswer, AlarmState::Raised),
                      DeviceBatteries(kDeviceA0));
            EXPECT_EQ(events.size(), 8u);
            EXPECT_EQ(events[0], Raised({kDeviceA0, 0}, AlarmKind::NoAnswer, std::nullopt, t));
        } else {
            EXPECT_TRUE(events.empty()) << "raised once, not on every tick";
        }
    }
    EXPECT_EQ(rules.MarkOf(kA0_3), RowMark::NoAnswer);
    EXPECT_EQ(rules.MarkOf(kA1_0), RowMark::Normal);

    now += kPeriodMs;
    EXPECT_EQ(Read(kA0_3, 0x11),
              AlarmEvents{Cleared(kA0_3, AlarmKind::NoAnswer, std::nullopt, now)});
    EXPECT_EQ(rules.ActiveAlarms().size(), 7u);
}

TEST_F(AlarmRulesTest, silenceFollowsTheSamplingPeriodAndStopsWithMonitoring) {
    rules.SetSamplingPeriodMs(kPeriodMs);
    rules.OnMonitoringStarted(kT0);
    ReadAll(kT0 + kPeriodMs);
    // The operator lengthens the period: three of the new periods are needed.
    rules.SetSamplingPeriodMs(10 * kPeriodMs);
    EXPECT_TRUE(rules.Tick(kT0 + 30 * kPeriodMs).empty());
    EXPECT_EQ(rules.Tick(kT0 + 31 * kPeriodMs).size(), 14u);
    rules.SetSamplingPeriodMs(0);  // ignored
    EXPECT_EQ(rules.SamplingPeriodMs(), 10 * kPeriodMs);

    // Stopped monitoring: no new silence alarm, the standing ones stay until readings return.
    ReadAll(kT0 + 32 * kPeriodMs);
    rules.OnMonitoringStopped(kT0 + 32 * kPeriodMs);
    EXPECT_TRUE(rules.Tick(kT0 + 1000 * kPeriodMs).empty());
    // Restarted: silence counts from the restart, not from the old last readings.
    rules.OnMonitoringStarted(kT0 + 1000 * kPeriodMs);
    EXPECT_TRUE(rules.Tick(kT0 + 1029 * kPeriodMs).empty());
    EXPECT_EQ(rules.Tick(kT0 + 1030 * kPeriodMs).size(), 14u);
}

TEST_F(AlarmRulesTest, aLostPortSilencesEveryBatteryAtOnceWhileMonitoring) {
    EXPECT_TRUE(rules.OnPortLost(now).empty()) << "closing the port while idle is no alarm";

    rules.OnMonitoringStarted(now);
    ReadAll(now + kPeriodMs);
    now += 2 * kPeriodMs;
    const AlarmEvents lost = rules.OnPortLost(now);
    EXPECT_EQ(lost.size(), 14u);
    EXPECT_EQ(BatteriesOf(lost, AlarmKind::NoAnswer, AlarmState::Raised).size(), 14u);
    EXPECT_FALSE(rules.Monitoring());
    EXPECT_TRUE(rules.OnPortLost(now).empty());
    EXPECT_TRUE(rules.Tick(now + 100 * kPeriodMs).empty());

    // Port reopened and monitoring restarted: each battery's first reading clears its alarm.
    rules.OnMonitoringStarted(now + kPeriodMs);
    const AlarmEvents back = ReadAll(now + 2 * kPeriodMs);
    EXPECT_EQ(BatteriesOf(back, AlarmKind::NoAnswer, AlarmState::Cleared).size(), 14u);
    EXPECT_EQ(back.size(), 14u);
    EXPECT_TRUE(rules.ActiveAlarms().empty());
}

TEST_F(AlarmRulesTest, aDeviceThatKeepsAnsweringLateIsSilentButASingleSpikeIsNot) {
    // A spike: one late block, then a good cycle. Repeated, it never raises.
    for (int cycle = 0; cycle < 10; ++cycle) {
        now += kPeriodMs;
        EXPECT_TRUE(rules.OnDeviceLate(kDeviceA0, now).empty());
        now += kPeriodMs;
        Read({kDeviceA0, 0}, 0x11);
    }
    // Late cycle after late cycle: the device's batteries go silent, the other device's do not.
    now += kPeriodMs;
    EXPECT_TRUE(rules.OnDeviceLate(kDeviceA1, now).empty());
    now += kPeriodMs;
    const AlarmEvents late = rules.OnDeviceLate(kDeviceA1, now);
    EXPECT_EQ(BatteriesOf(late, AlarmKind::NoAnswer, AlarmState::Raised),
              DeviceBatteries(kDeviceA1));
    EXPECT_EQ(late.size(), 6u);
    now += kPeriodMs;
    EXPECT_TRUE(rules.OnDeviceLate(kDeviceA1, now).empty());
    EXPECT_TRUE(rules.OnDeviceLate(0x55, now).empty());

    // The device answers in time again: each battery clears as its reading arrives.
    now += kPeriodMs;
    EXPECT_EQ(Read(kA1_0, 0x11),
              AlarmEvents{Cleared(kA1_0, AlarmKind::NoAnswer, std::nullopt, now)});
    EXPECT_EQ(rules.ActiveAlarms().size(), 5u);
}

TEST_F(AlarmRulesTest, acknowledgingMarksSelectedAlarmsOnceAndCountsTheRest) {
    Read(kA0_3, 0x71);
    Read(kA1_0, 0x73);
    EXPECT_EQ(rules.UnacknowledgedCount(), 2);

    now += kPeriodMs;
    const AlarmKey voltage{kA0_3, AlarmKind::StatusVoltage};
    const AlarmKey notActive{kA1_0, AlarmKind::LowVoltage};
    const AlarmEvents acked = rules.Acknowledge({voltage, voltage, notActive}, "alice", now);
    EXPECT_EQ(acked, (AlarmEvents{{now, voltage, AlarmState::Acknowledged, 0x71, "alice"}}));
    EXPECT_EQ(rules.UnacknowledgedCount(), 1);
    ASSERT_NE(rules.Find(voltage), nullptr);
    EXPECT_TRUE(rules.Find(voltage)->acknowledged);
    EXPECT_EQ(rules.Find(voltage)->acknowledgedBy, "alice");
    EXPECT_TRUE(rules.Acknowledge({voltage}, "bob", now).empty()) << "already acknowledged";
    EXPECT_EQ(rules.MarkOf(kA0_3), RowMark::Alarm) << "acknowledged is still in alarm";

    // When the condition returns after clearing, it needs a new acknowledgement.
    Read(kA0_3, 0x11);
    EXPECT_EQ(rules.UnacknowledgedCount(), 1);
    Read(kA0_3, 0x71);
    EXPECT_EQ(rules.UnacknowledgedCount(), 2);
    EXPECT_FALSE(rules.Find(voltage)->acknowledged);
}

TEST_F(AlarmRulesTest, restoredEventsRebuildTheActiveSetAsItWasAtExit) {
    // A first run records its events as the store would.
    AlarmEvents stored;
    const auto keep = [&](const AlarmEvents& events) {
        stored.insert(stored.end(), events.begin(), events.end());
    };
    keep(rules.SetLimits({Tenths(120), std::nullopt, std::nullopt}, now));
    keep(Read(kA0_3, 0x71));
    now += kPeriodMs;
    keep(Read(kA1_0, 0x11, Tenths(110)));
    keep(Read({kDeviceA0, 5}, 0x72));
    now += kPeriodMs;
    keep(Read({kDeviceA0, 5}, 0x11));
    keep(rules.Acknowledge({{kA1_0, AlarmKind::LowVoltage}}, "bob", now));
    rules.OnMonitoringStarted(now);
    keep(rules.OnPortLost(now + kPeriodMs));
    // Events of a battery that is not watched (an older program, a hand-edited file) are skipped.
    stored.push_back(Raised({kDeviceA1, 7}, AlarmKind::StatusVoltage, 0x71, now));

    AlarmRules restarted;
    restarted.Restore(stored);
    const auto before = rules.ActiveAlarms();
    const auto after = restarted.ActiveAlarms();
    ASSERT_EQ(after.size(), before.size());
    ASSERT_EQ(after.size(), 16u);  // 0x71 on A0-3, low voltage on 1#, 14 silent batteries
    for (std::size_t i = 0; i < after.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(after[i].key, before[i].key);
        EXPECT_EQ(after[i].sinceMs, before[i].sinceMs);
        EXPECT_EQ(after[i].value, before[i].value);
        EXPECT_EQ(after[i].acknowledged, before[i].acknowledged);
        EXPECT_EQ(after[i].acknowledgedBy, before[i].acknowledgedBy);
    }
    EXPECT_EQ(restarted.UnacknowledgedCount(), 15);
    EXPECT_EQ(restarted.MarkOf(kA0_3), RowMark::NoAnswer);

    // The restored alarms go on as if the program had not stopped: a repeated condition is no
    // new alarm, a value still inside the hysteresis keeps its limit alarm, a cure clears.
    restarted.SetLimits({Tenths(120), std::nullopt, std::nullopt}, now);
    now += kPeriodMs;
    const AlarmEvents first = restarted.OnReading(kA0_3, 0x71, 12.5, 25.0, now);
    EXPECT_EQ(first, AlarmEvents{Cleared(kA0_3, AlarmKind::NoAnswer, std::nullopt, now)});
    EXPECT_EQ(restarted.OnReading(kA1_0, 0x11, Tenths(120), 25.0, now),
              AlarmEvents{Cleared(kA1_0, AlarmKind::NoAnswer, std::nullopt, now)});
    EXPECT_EQ(restarted.OnReading(kA1_0, 0x11, Tenths(121), 25.0, now),
              AlarmEvents{Cleared(kA1_0, AlarmKind::LowVoltage, Tenths(110), now)});
}

TEST_F(AlarmRulesTest, restoreKeepsTheFirstRaiseAndIgnoresStrayClearsAndAcknowledgements) {
    const AlarmKey key{kA0_3, AlarmKind::StatusSwelling};
    rules.Restore({
        {kT0, {kA1_0, AlarmKind::StatusVoltage}, AlarmState::Cleared, 0x71, {}},
        {kT0, key, AlarmState::Acknowledged, 0x73, "carol"},
        {kT0 + 1, key, AlarmState::Raised, 0x73, {}},
        {kT0 + 2, key, AlarmState::Raised, 0x73, {}},
    });
    ASSERT_EQ(rules.ActiveAlarms().size(), 1u);
    EXPECT_EQ(rules.ActiveAlarms()[0].sinceMs, kT0 + 1);
    EXPECT_FALSE(rules.ActiveAlarms()[0].acknowledged);
}

TEST_F(AlarmRulesTest, lastReadingTimesFeedTheAgeOfSilentRows) {
    EXPECT_EQ(rules.LastReadingMs(kA0_3), std::nullopt);
    rules.RestoreLastReading(kA0_3, kT0 - 5000);
    rules.RestoreLastReading(kA0_3, kT0 - 9000);  // an older one does not win
    EXPECT_EQ(rules.LastReadingMs(kA0_3), kT0 - 5000);
    Read(kA0_3, 0x11);
    EXPECT_EQ(rules.LastReadingMs(kA0_3), kT0);
    EXPECT_EQ(rules.LastReadingMs({kDeviceA1, 7}), std::nullopt);
}

TEST(AlarmTypes, storedIdentifiersAreStableAndReadBack) {
    // These strings are in users' history files and on the MQTT topics: renaming one loses data.
    const std::pair<AlarmKind, const char*> ids[] = {
        {AlarmKind::StatusVoltage, "status_voltage"},
        {AlarmKind::StatusTemperature, "status_temperature"},
        {AlarmKind::StatusSwelling, "status_swelling"},
        {AlarmKind::StatusNoDevice, "status_no_device"},
        {AlarmKind::StatusUnknown, "status_unknown"},
        {AlarmKind::LowVoltage, "limit_low_voltage"},
        {AlarmKind::HighVoltage, "limit_high_voltage"},
        {AlarmKind::HighTemperature, "limit_high_temperature"},
        {AlarmKind::NoAnswer, "no_answer"},
    };
    ASSERT_EQ(std::size(ids), kAllKinds.size());
    for (const auto& [kind, id] : ids) {
        EXPECT_EQ(KindId(kind), QLatin1String(id));
        EXPECT_EQ(KindFromId(QString::fromLatin1(id)), kind);
    }
    EXPECT_EQ(KindFromId(u"status"), std::nullopt);
    for (AlarmState state : {AlarmState::Raised, AlarmState::Cleared, AlarmState::Acknowledged}) {
        EXPECT_EQ(StateFromId(StateId(state)), state);
    }
    EXPECT_EQ(StateId(AlarmState::Acknowledged), "acknowledged");
    EXPECT_EQ(StateFromId(u"gone"), std::nullopt);
}

TEST(AlarmTypes, labelsAndValuesReadAsTheWindowShowsThem) {
    EXPECT_EQ(BatteryLabel({kDeviceA0, 0}), "A0-80");
    EXPECT_EQ(BatteryLabel({kDeviceA0, 7}), "A0-87");
    EXPECT_EQ(BatteryLabel({kDeviceA1, 0}), "1#");
    EXPECT_EQ(BatteryLabel({kDeviceA1, 5}), "6#");
    EXPECT_EQ(BatteryLabel({kDeviceA1, 7}), "A1-87");
    EXPECT_EQ(KindText(AlarmKind::StatusVoltage), "电压异常");
    EXPECT_EQ(KindText(AlarmKind::NoAnswer), "通信中断");

    EXPECT_EQ(ValueText(AlarmKind::StatusUnknown, 0x1F), "0x1F");
    EXPECT_EQ(ValueText(AlarmKind::StatusNoDevice, 0), "0x00");
    EXPECT_EQ(ValueText(AlarmKind::LowVoltage, Tenths(119)), "11.9 V");
    EXPECT_EQ(ValueText(AlarmKind::HighTemperature, Tenths(451)), "45.1 ℃");
    EXPECT_EQ(ValueText(AlarmKind::NoAnswer, std::nullopt), "");
    // A stored value that is no status byte is shown, not converted out of range.
    EXPECT_EQ(ValueText(AlarmKind::StatusVoltage, -1.0), "-1");
    EXPECT_FALSE(ValueText(AlarmKind::StatusVoltage, std::nan("")).isEmpty());
    EXPECT_EQ(ValueText(AlarmKind::StatusVoltage, 1e300), "1e+300");
}

}  // namespace
