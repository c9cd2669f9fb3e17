// Shelving: an operator takes an active alarm out of notifications for a while.
#include <gtest/gtest.h>

#include "alarms/AlarmRules.h"
#include "tests/alarms/AlarmPrinting.h"

namespace {

using namespace alarms;
using battery::BatteryId;

constexpr std::int64_t kT0 = 1'765'000'000'000;
constexpr std::int64_t kHourMs = 3'600'000;
const BatteryId kBattery{battery::kDeviceA1, 2};
const AlarmKey kVoltageFault{kBattery, AlarmKind::StatusVoltage};
const QString kAlice = QStringLiteral("alice");
const QString kReason = QStringLiteral("更换电池中");

class ShelvingTest : public ::testing::Test {
protected:
    ShelvingTest() {
        AlarmSettings settings;
        settings.onDelayReadings = 1;
        settings.limits.highVoltage = {13.5, 14.0};
        rules_.SetSettings(settings, now_);
    }

    AlarmEvents Read(std::uint8_t status, double voltage = 12.5) {
        return rules_.OnReading(kBattery, status, voltage, 25.0, now_);
    }

    AlarmRules rules_;
    Instant now_{kT0, 40'000'000};
};

TEST_F(ShelvingTest, aShelvedAlarmNotifiesNobodyUntilItsTimeRunsOutOnTheMonotonicClock) {
    Read(0x71);
    const AlarmEvents shelved = rules_.Shelve({kVoltageFault}, kAlice, kHourMs, kReason, now_);
    ASSERT_EQ(shelved.size(), 1u);
    EXPECT_EQ(shelved[0].state, AlarmState::Shelved);
    EXPECT_EQ(shelved[0].user, kAlice);
    EXPECT_EQ(shelved[0].note, kReason);
    EXPECT_EQ(shelved[0].value, 0x71);
    EXPECT_TRUE(shelved[0].shelved);
    EXPECT_EQ(rules_.Find(kVoltageFault)->shelf->untilMs, kT0 + kHourMs);
    EXPECT_EQ(rules_.MarkOf(kBattery), RowMark::Alarm) << "shelved, but still in alarm";

    // What happens to it meanwhile is marked, so that no channel sends it.
    const AlarmEvents acknowledged =
        rules_.Acknowledge({kVoltageFault}, QStringLiteral("bob"), now_);
    ASSERT_EQ(acknowledged.size(), 1u);
    EXPECT_TRUE(acknowledged[0].shelved);
    EXPECT_TRUE(Read(0x71).empty());

    // The wall clock jumps a day ahead and back: the hour is measured on the monotonic clock.
    EXPECT_TRUE(rules_.Tick({kT0 + 24 * kHourMs, now_.monoMs + kHourMs - 1}).empty());
    const AlarmEvents over = rules_.Tick({kT0 - kHourMs, now_.monoMs + kHourMs});
    ASSERT_EQ(over.size(), 1u);
    EXPECT_EQ(over[0].state, AlarmState::Unshelved);
    EXPECT_TRUE(over[0].user.isEmpty()) << "nobody unshelved it: its time ran out";
    EXPECT_FALSE(over[0].shelved);
    EXPECT_EQ(over[0].tMs, kT0 - kHourMs);
    EXPECT_FALSE(rules_.Find(kVoltageFault)->shelf);
    EXPECT_TRUE(rules_.Tick({kT0, now_.monoMs + 2 * kHourMs}).empty());
}

TEST_F(ShelvingTest, shelvingEndsWhenTheAlarmClearsOrTurnsCriticalOrAnOperatorEndsIt) {
    // A clear while shelved is marked, and nothing is left to unshelve later.
    Read(0x71);
    rules_.Shelve({kVoltageFault}, kAlice, 8 * kHourMs, kReason, now_);
    const AlarmEvents cleared = Read(0x11);
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_EQ(cleared[0].state, AlarmState::Cleared);
    EXPECT_TRUE(cleared[0].shelved);
    EXPECT_TRUE(rules_.Tick({kT0, now_.monoMs + 9 * kHourMs}).empty());

    // A shelved warning that turns critical reaches somebody again.
    Read(0x11, 13.6);
    const AlarmKey high{kBattery, AlarmKind::HighVoltage};
    ASSERT_EQ(rules_.Find(high)->level, AlarmLevel::Warning);
    rules_.Shelve({high}, kAlice, kHourMs, kReason, now_);
    const AlarmEvents worse = Read(0x11, 14.2);
    ASSERT_EQ(worse.size(), 2u);
    EXPECT_EQ(worse[0].state, AlarmState::Unshelved);
    EXPECT_EQ(worse[1].state, AlarmState::Raised);
    EXPECT_EQ(worse[1].level, AlarmLevel::Critical);
    EXPECT_FALSE(worse[1].shelved);

    // Shelved for 24 h, then unshelved by an operator, whose name the event carries.
    rules_.Shelve({high}, kAlice, 24 * kHourMs, kReason, now_);
    const AlarmEvents unshelved =
        rules_.Unshelve({high, kVoltageFault}, QStringLiteral("bob"), now_);
    ASSERT_EQ(unshelved.size(), 1u) << "only a shelved alarm is unshelved";
    EXPECT_EQ(unshelved[0].user, QStringLiteral("bob"));
    EXPECT_TRUE(rules_.Unshelve({high}, QStringLiteral("bob"), now_).empty());
}

TEST_F(ShelvingTest, onlyASignedInOperatorWithAReasonShelvesAndARestartEndsIt) {
    Read(0x71);
    EXPECT_TRUE(rules_.Shelve({kVoltageFault}, {}, kHourMs, kReason, now_).empty()) << "no user";
    EXPECT_TRUE(
        rules_.Shelve({kVoltageFault}, kAlice, kHourMs, QStringLiteral("  "), now_).empty());
    EXPECT_TRUE(rules_.Shelve({kVoltageFault}, kAlice, 0, kReason, now_).empty());
    EXPECT_TRUE(
        rules_.Shelve({{kBattery, AlarmKind::NoAnswer}}, kAlice, kHourMs, kReason, now_).empty())
        << "not active";
    EXPECT_FALSE(rules_.Find(kVoltageFault)->shelf);

    AlarmEvents stored = Read(0x72);  // the voltage fault clears, a temperature fault starts
    const AlarmKey temperature{kBattery, AlarmKind::StatusTemperature};
    const AlarmEvents shelved = rules_.Shelve({temperature}, kAlice, kHourMs, kReason, now_);
    stored.insert(stored.end(), shelved.begin(), shelved.end());
    AlarmRules restarted;
    restarted.Restore(stored);
    ASSERT_NE(restarted.Find(temperature), nullptr);
    EXPECT_FALSE(restarted.Find(temperature)->shelf) << "its time cannot be told after a restart";
}

}  // namespace
