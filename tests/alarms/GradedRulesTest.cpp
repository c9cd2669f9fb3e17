// Limit alarms with levels, on-delay and clear margin, and a battery's own limits.
#include <gtest/gtest.h>

#include "alarms/AlarmRules.h"
#include "tests/alarms/AlarmPrinting.h"

namespace {

using namespace alarms;
using battery::BatteryId;
using battery::kDeviceA0;
using battery::kDeviceA1;

constexpr std::int64_t kT0 = 1'765'000'000'000;
constexpr std::int64_t kPeriodMs = 10'000;
const BatteryId kA0_3{kDeviceA0, 3};

// One change of an alarm as a test expects it.
struct Change {
    AlarmKind kind;
    AlarmState state;
    AlarmLevel level;
    std::optional<double> limit;
};

std::vector<Change> ChangesOf(const AlarmEvents& events) {
    std::vector<Change> changes;
    for (const AlarmEvent& e : events) changes.push_back({e.key.kind, e.state, e.level, e.limit});
    return changes;
}

bool operator==(const Change& a, const Change& b) {
    return a.kind == b.kind && a.state == b.state && a.level == b.level && a.limit == b.limit;
}

void PrintTo(const Change& c, std::ostream* out) {
    *out << KindId(c.kind).toStdString() << ' ' << StateId(c.state).toStdString() << ' '
         << LevelId(c.level).toStdString() << " limit " << c.limit.value_or(NAN);
}

// The default settings without the string analysis, whose temperature rise would join in.
AlarmSettings LimitsOnly() {
    AlarmSettings settings;
    settings.strings = {{}, {}, {}, {}};
    return settings;
}

class GradedRulesTest : public ::testing::Test {
protected:
    AlarmEvents Read(BatteryId battery, double voltage, double temperature = 25.0,
                     std::uint8_t status = 0x11) {
        now_ += kPeriodMs;
        return rules_.OnReading(battery, status, voltage, temperature, now_);
    }

    AlarmRules rules_;
    std::int64_t now_ = kT0;
};

constexpr auto kUp = AlarmState::Raised;
constexpr auto kDown = AlarmState::Cleared;
constexpr auto kWarning = AlarmLevel::Warning;
constexpr auto kCritical = AlarmLevel::Critical;

TEST_F(GradedRulesTest, aLimitAlarmWaitsForItsDelayTakesItsLevelAndClearsOnlyByItsMargin) {
    AlarmSettings settings = LimitsOnly();
    settings.limits.lowVoltage = {12.0, 11.5};
    settings.onDelayReadings = 3;
    rules_.SetSettings(settings, now_);

    struct Step {
        double voltage;
        std::vector<Change> expected;
        RowMark mark;
    };
    using K = AlarmKind;
    const Step steps[] = {
        {11.9, {}, RowMark::Normal},
        {11.9, {}, RowMark::Normal},
        {12.1, {}, RowMark::Normal},  // one reading inside starts the count again
        {11.9, {}, RowMark::Normal},
        {11.9, {}, RowMark::Normal},
        {11.9, {{K::LowVoltage, kUp, kWarning, 12.0}}, RowMark::Warning},
        {11.4, {}, RowMark::Warning},
        {11.4, {}, RowMark::Warning},
        {11.4, {{K::LowVoltage, kUp, kCritical, 11.5}}, RowMark::Alarm},  // turned critical
        {11.8, {}, RowMark::Alarm},  // better, but an alarm keeps the worst level it reached
        {12.0, {}, RowMark::Alarm},  // on the first limit: not back inside by the margin
        {12.05, {}, RowMark::Alarm},
        {12.1, {{K::LowVoltage, kDown, kCritical, 11.5}}, RowMark::Normal},
        {11.9, {}, RowMark::Normal},  // a new condition waits for its delay again
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.voltage);
        EXPECT_EQ(ChangesOf(Read(kA0_3, step.voltage)), step.expected);
        EXPECT_EQ(rules_.MarkOf(kA0_3), step.mark);
    }

    // The device's own status alarms do not wait.
    const AlarmEvents status = Read(kA0_3, 12.5, 25.0, 0x71);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].key.kind, K::StatusVoltage);
    EXPECT_EQ(status[0].level, kCritical);
}

TEST_F(GradedRulesTest, aValueSittingOnALimitRaisesOnceAndDoesNotFlap) {
    AlarmSettings settings = LimitsOnly();
    settings.limits.highTemperature.warning = 40.0;
    rules_.SetSettings(settings, now_);
    // A temperature wandering a few tenths either side of 40 ℃ for two hundred readings.
    const double around[] = {40.0, 40.1, 39.9, 40.2, 40.3, 39.6, 40.4, 39.8, 40.1, 40.0, 39.5};
    AlarmEvents all;
    for (int i = 0; i < 200; ++i) {
        const AlarmEvents events = Read(kA0_3, 12.5, around[i % std::size(around)]);
        all.insert(all.end(), events.begin(), events.end());
    }
    ASSERT_EQ(all.size(), 1u) << "raised once, held by the 1 ℃ margin";
    EXPECT_EQ(ChangesOf(all)[0], (Change{AlarmKind::HighTemperature, kUp, kWarning, 40.0}));
    EXPECT_TRUE(Read(kA0_3, 12.5, 39.1).empty());
    EXPECT_EQ(ChangesOf(Read(kA0_3, 12.5, 39.0)),
              (std::vector<Change>{{AlarmKind::HighTemperature, kDown, kWarning, 40.0}}));
}

TEST_F(GradedRulesTest, aBatterysOwnLimitsApplyToItAlone) {
    AlarmSettings settings = LimitsOnly();
    settings.limits.highTemperature.critical = 45.0;
    const BatteryId warm{kDeviceA1, 2};
    settings.batteryLimits[warm].highTemperature.warning = 35.0;
    rules_.SetSettings(settings, now_);

    const BatteryId other{kDeviceA1, 3};
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Read(other, 12.5, 38.0).empty());
    EXPECT_TRUE(Read(warm, 12.5, 38.0).empty());
    EXPECT_EQ(ChangesOf(Read(warm, 12.5, 38.0)),
              (std::vector<Change>{{AlarmKind::HighTemperature, kUp, kWarning, 35.0}}));
    // The common critical limit is still the battery's.
    Read(warm, 12.5, 46.0);
    EXPECT_EQ(ChangesOf(Read(warm, 12.5, 46.0)),
              (std::vector<Change>{{AlarmKind::HighTemperature, kUp, kCritical, 45.0}}));
    Read(other, 12.5, 46.0);
    EXPECT_EQ(ChangesOf(Read(other, 12.5, 46.0)),
              (std::vector<Change>{{AlarmKind::HighTemperature, kUp, kCritical, 45.0}}));
}

// New settings count the last reading as the first of the delay; an alarm whose limit is
// switched off, or that the new limits leave inside by the margin, ends at once.
TEST_F(GradedRulesTest, changedSettingsApplyToTheLastReadingsAtOnce) {
    rules_.SetSettings(LimitsOnly(), now_);
    Read(kA0_3, 11.0);
    Read({kDeviceA1, 0}, 13.0);
    AlarmSettings settings = LimitsOnly();
    settings.limits.lowVoltage.warning = 11.5;
    settings.limits.highVoltage.warning = 12.8;
    EXPECT_TRUE(rules_.SetSettings(settings, now_).empty()) << "one reading of the two";
    EXPECT_EQ(ChangesOf(Read(kA0_3, 11.0)),
              (std::vector<Change>{{AlarmKind::LowVoltage, kUp, kWarning, 11.5}}));

    settings.limits.lowVoltage.warning = 10.8;  // 11.0 is now inside by more than 0.1 V
    EXPECT_EQ(ChangesOf(rules_.SetSettings(settings, now_)),
              (std::vector<Change>{{AlarmKind::LowVoltage, kDown, kWarning, 11.5}}));

    settings.onDelayReadings = 1;
    const AlarmEvents raised = rules_.SetSettings(settings, now_);
    EXPECT_EQ(ChangesOf(raised),
              (std::vector<Change>{{AlarmKind::HighVoltage, kUp, kWarning, 12.8}}));
    EXPECT_EQ(raised[0].key.battery, (BatteryId{kDeviceA1, 0}));
    EXPECT_EQ(ChangesOf(rules_.SetLimits({}, now_)),
              (std::vector<Change>{{AlarmKind::HighVoltage, kDown, kWarning, 12.8}}));
}

// A warning that turns critical is raised again and needs a new acknowledgement; its events carry
// the value that passed each limit.
TEST_F(GradedRulesTest, aWarningTurningCriticalIsRaisedAgainUnacknowledged) {
    AlarmSettings settings = LimitsOnly();
    settings.limits.highVoltage = {14.0, 14.5};
    settings.onDelayReadings = 1;
    rules_.SetSettings(settings, now_);
    ASSERT_EQ(Read(kA0_3, 14.2).size(), 1u);
    const AlarmKey key{kA0_3, AlarmKind::HighVoltage};
    rules_.Acknowledge({key}, QStringLiteral("op"), now_);
    EXPECT_EQ(rules_.UnacknowledgedCount(), 0);

    const AlarmEvents worse = Read(kA0_3, 14.7);
    ASSERT_EQ(worse.size(), 1u);
    EXPECT_EQ(worse[0].value, 14.7);
    EXPECT_EQ(worse[0].limit, 14.5);
    EXPECT_EQ(rules_.UnacknowledgedCount(), 1);
    EXPECT_EQ(rules_.Find(key)->level, kCritical);
    EXPECT_EQ(rules_.Find(key)->sinceMs, kT0 + kPeriodMs) << "the alarm began with its warning";

    // A restart rebuilds it critical and unacknowledged from the stored events.
    AlarmEvents stored = {AlarmEvent{kT0, key, kUp, 14.2, {}, kWarning, 14.0},
                          AlarmEvent{kT0 + 1, key, AlarmState::Acknowledged, 14.2, "op"}, worse[0]};
    AlarmRules restarted;
    restarted.Restore(stored);
    ASSERT_NE(restarted.Find(key), nullptr);
    EXPECT_EQ(restarted.Find(key)->level, kCritical);
    EXPECT_FALSE(restarted.Find(key)->acknowledged);
    EXPECT_EQ(restarted.Find(key)->sinceMs, kT0);
}

}  // namespace
