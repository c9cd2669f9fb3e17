#include <algorithm>
#include <map>
#include <set>

#include "station/AlarmMonitor.h"
#include "tests/engine/SessionFixture.h"

using alarms::AlarmEvent;
using alarms::AlarmKind;
using alarms::AlarmState;
using testsupport::FakeLink;
using testsupport::PollAnswerBytes;

namespace {

constexpr int kPeriodMs = 3000;

// A session on the fake bus whose two devices answer every request at once, with a status per
// battery the test chooses, and an alarm monitor watching it.
class AlarmMonitorTest : public ::testing::Test, public testsupport::SessionRig {
protected:
    AlarmMonitorTest() : monitor_(*session, clock) {
        QObject::connect(session.get(), &MonitorSession::ReadingAccepted,
                         [this](const battery::Reading& r) {
                             arrivals_.emplace_back(clock.MonotonicMs(), r.tMs);
                         });
        QObject::connect(&monitor_, &AlarmMonitor::EventsOccurred,
                         [this](const alarms::AlarmEvents& e) {
                             events_.insert(events_.end(), e.begin(), e.end());
                         });
        link->SetResponder([this](const QByteArray& request) -> std::optional<FakeLink::Answer> {
            const auto device = static_cast<std::uint8_t>(request[0]);
            const int battery = static_cast<std::uint8_t>(request[3]) - 0x80;
            if (silent_.count(device)) return std::nullopt;
            const std::uint8_t code =
                status_.count({device, battery}) ? status_[{device, battery}] : 0x11;
            // The voltage byte names the register asked for, so a reading on another battery
            // shows; a test may set a battery's voltage instead.
            const std::uint8_t voltage = voltageDv_.count({device, battery})
                                             ? voltageDv_[{device, battery}]
                                             : static_cast<std::uint8_t>(120 + battery);
            return FakeLink::Answer{lateMs_.count(device) ? lateMs_[device] : 5,
                                    PollAnswerBytes(device, code, voltage, 253)};
        });
        session->SetSamplingPeriodMs(kPeriodMs);
        // The registers' voltages differ by up to 0.7 V, which the string analysis would see:
        // it is off but where a test is about it.
        alarms::AlarmSettings settings;
        settings.strings = {{}, {}, {}, {}};
        monitor_.SetSettings(settings);
    }

    void RunMs(qint64 ms) { clock.Advance(ms); }

    // Steps the wall clock by `stepMs` in the middle of the second cycle (between two requests
    // of A0's block) and returns the monotonic time it stepped at.
    qint64 StepWallInSecondCycle(qint64 stepMs) {
        const qint64 at = clock.MonotonicMs() + kPeriodMs + 7 * MonitorSession::kPacingMs + 40;
        clock.At(at, [this, stepMs] { clock.StepWall(stepMs); });
        return at;
    }

    // Every reading came from its own battery's register, and its time stamp is the wall clock
    // of its arrival: a reading released before the step carries the old clock, one released a
    // cycle after it the new one, and none is released more than a cycle after it arrived.
    void ExpectReadingsOnTheirBatteriesWithTheirWallTime(qint64 steppedAtMono, qint64 stepMs) {
        ASSERT_FALSE(accepted.empty());
        for (const Accepted& a : accepted) {
            const battery::BatteryId id = battery::BatteryOfStep(a.step);
            EXPECT_EQ(a.reading.RawVoltage, 120 + id.battery) << "step " << a.step;
        }
        constexpr qint64 kCycleMs = 16 * MonitorSession::kPacingMs + 2 * MonitorSession::kPacingMs;
        for (const auto& [releasedMono, wallMs] : arrivals_) {
            const qint64 lag = releasedMono - wallMs;  // release after arrival, on the old clock
            if (releasedMono < steppedAtMono) {
                EXPECT_TRUE(lag >= 0 && lag <= kCycleMs) << lag;
            } else if (releasedMono > steppedAtMono + kCycleMs) {
                EXPECT_TRUE(lag + stepMs >= 0 && lag + stepMs <= kCycleMs) << lag;
            } else {
                EXPECT_TRUE((lag >= 0 && lag <= kCycleMs) ||
                            (lag + stepMs >= 0 && lag + stepMs <= kCycleMs))
                    << lag;
            }
        }
    }

    // The wall clock stepped by `stepMs` in mid-cycle: an answering bus raises nothing and every
    // reading lands on its own battery; a device that then falls silent still raises "通信中断"
    // after three periods, and not before.
    void RunThroughWallStep(qint64 stepMs) {
        OpenAndStart();
        const qint64 steppedAt = StepWallInSecondCycle(stepMs);
        RunMs(10 * kPeriodMs);
        EXPECT_TRUE(events_.empty());
        ExpectReadingsOnTheirBatteriesWithTheirWallTime(steppedAt, stepMs);

        silent_.insert(0xA1);
        RunMs(2 * kPeriodMs);
        EXPECT_TRUE(events_.empty()) << "two silent periods are not yet an alarm";
        RunMs(2 * kPeriodMs);
        const auto raised = EventsOf(AlarmKind::NoAnswer, AlarmState::Raised);
        EXPECT_EQ(DevicesOf(raised), std::vector<std::uint8_t>(6, 0xA1));
        for (const AlarmEvent& e : raised)
            EXPECT_NEAR(double(e.tMs), double(clock.NowMs()), 4000.0);
    }

    std::vector<AlarmEvent> EventsOf(AlarmKind kind, AlarmState state) const {
        std::vector<AlarmEvent> found;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(found),
                     [&](const AlarmEvent& e) { return e.key.kind == kind && e.state == state; });
        return found;
    }

    static std::vector<std::uint8_t> DevicesOf(const std::vector<AlarmEvent>& found) {
        std::vector<std::uint8_t> devices;
        for (const AlarmEvent& e : found) devices.push_back(e.key.battery.device);
        return devices;
    }

    AlarmMonitor monitor_;
    alarms::AlarmEvents events_;
    std::set<std::uint8_t> silent_;
    std::map<std::pair<std::uint8_t, int>, std::uint8_t> status_;
    std::map<std::pair<std::uint8_t, int>, std::uint8_t> voltageDv_;
    std::map<std::uint8_t, qint64> lateMs_;
    // Per reading accepted: the monotonic time it was released and its wall time stamp.
    std::vector<std::pair<qint64, qint64>> arrivals_;
};

}  // namespace

TEST_F(AlarmMonitorTest, answeringDevicesRaiseNothingWhileMonitoringRuns) {
    OpenAndStart();
    RunMs(10 * kPeriodMs);
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(monitor_.Rules().UnacknowledgedCount(), 0);
}

TEST_F(AlarmMonitorTest, aSilentDeviceRaisesNoAnswerForItsBatteriesOnceAndClearsWhenBack) {
    OpenAndStart();
    RunMs(kPeriodMs);
    silent_.insert(0xA0);
    const qint64 silentFrom = clock.NowMs();
    RunMs(2 * kPeriodMs);
    EXPECT_TRUE(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).empty())
        << "two silent periods are not yet an alarm";
    RunMs(2 * kPeriodMs);
    const auto raised = EventsOf(AlarmKind::NoAnswer, AlarmState::Raised);
    ASSERT_EQ(raised.size(), 8u);
    EXPECT_EQ(DevicesOf(raised), std::vector<std::uint8_t>(8, 0xA0));
    EXPECT_LE(raised.front().tMs - silentFrom, 3 * kPeriodMs + AlarmMonitor::kTickMs);

    RunMs(5 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).size(), 8u) << "raised once";

    silent_.clear();
    RunMs(2 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Cleared).size(), 8u);
    EXPECT_EQ(monitor_.Rules().ActiveAlarms().size(), 0u);
}

TEST_F(AlarmMonitorTest, wallClockSetBackAnHourInMidCycleMovesNoReadingAndHidesNoSilence) {
    RunThroughWallStep(-3'600'000);
}

TEST_F(AlarmMonitorTest, wallClockSetForwardAnHourInMidCycleMovesNoReadingAndRaisesNothingFalse) {
    RunThroughWallStep(3'600'000);
}

TEST_F(AlarmMonitorTest, aRestoredLastReadingFromTheFutureStillLetsSilenceRaise) {
    monitor_.Restore({}, {LastReadingTime{{0xA1, 0}, clock.NowMs() + 3'600'000}});
    silent_.insert(0xA1);
    OpenAndStart();
    RunMs(4 * kPeriodMs);
    EXPECT_EQ(DevicesOf(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised)),
              std::vector<std::uint8_t>(6, 0xA1));
}

TEST_F(AlarmMonitorTest, aDeviceThatKeepsAnsweringLateRaisesNoAnswer) {
    lateMs_[0xA1] = 400;  // late, but done before the next cycle begins: 0xA0 stays clean
    OpenAndStart();
    RunMs(3 * kPeriodMs);
    EXPECT_FALSE(lateDevices.empty());
    const auto raised = EventsOf(AlarmKind::NoAnswer, AlarmState::Raised);
    ASSERT_EQ(raised.size(), 6u);
    EXPECT_EQ(DevicesOf(raised), std::vector<std::uint8_t>(6, 0xA1));

    lateMs_.clear();
    RunMs(2 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Cleared).size(), 6u);
}

TEST_F(AlarmMonitorTest, statusCodesRaiseTheirConditionAndClearWhenNormalAgain) {
    status_[{0xA1, 2}] = 0x71;
    status_[{0xA0, 5}] = 0x73;
    OpenAndStart();
    RunMs(2 * kPeriodMs);
    const auto voltage = EventsOf(AlarmKind::StatusVoltage, AlarmState::Raised);
    ASSERT_EQ(voltage.size(), 1u);
    EXPECT_EQ(voltage[0].key.battery, (battery::BatteryId{0xA1, 2}));
    EXPECT_EQ(voltage[0].value, 0x71);
    EXPECT_EQ(EventsOf(AlarmKind::StatusSwelling, AlarmState::Raised).size(), 1u);
    EXPECT_EQ(monitor_.Rules().MarkOf({0xA1, 2}), alarms::RowMark::Alarm);

    status_.erase({0xA1, 2});
    RunMs(kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::StatusVoltage, AlarmState::Cleared).size(), 1u);
    EXPECT_EQ(monitor_.Rules().MarkOf({0xA1, 2}), alarms::RowMark::Normal);
    EXPECT_EQ(EventsOf(AlarmKind::StatusSwelling, AlarmState::Cleared).size(), 0u);
}

TEST_F(AlarmMonitorTest, losingThePortWhileMonitoringSilencesEveryBatteryUntilItAnswersAgain) {
    OpenAndStart();
    RunMs(kPeriodMs);
    link->HangUp();
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).size(), 14u);
    RunMs(10 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).size(), 14u) << "raised once";

    session->OpenPort(QStringLiteral("ttyFAKE"));
    RunMs(2 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Cleared).size(), 14u);
}

// Closing the port on purpose (the operator's 关闭串口, the window's exit, a service that stops
// or moves to another port) is no communication fault: nothing is raised however long it stays
// closed, alarms already active stay until readings settle them, and silence counts again from
// the next opening.
TEST_F(AlarmMonitorTest, closingThePortOnPurposeWhileMonitoringRaisesNothing) {
    status_[{0xA1, 2}] = 0x71;
    OpenAndStart();
    RunMs(kPeriodMs);
    ASSERT_EQ(events_.size(), 1u);
    session->ClosePort();
    RunMs(20 * kPeriodMs);
    session->SetSamplingPeriodMs(kPeriodMs);  // a new period while closed starts nothing either
    RunMs(20 * kPeriodMs);
    EXPECT_EQ(events_.size(), 1u) << "nothing but the status alarm before the close";
    EXPECT_NE(monitor_.Rules().Find({{0xA1, 2}, AlarmKind::StatusVoltage}), nullptr)
        << "an active alarm stays";

    // Opened again with A0 silent: its silence counts from the opening, and the status alarm
    // ends with the battery's first normal reading.
    silent_.insert(0xA0);
    status_.clear();
    session->OpenPort(QStringLiteral("ttyFAKE"));
    RunMs(kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::StatusVoltage, AlarmState::Cleared).size(), 1u);
    EXPECT_TRUE(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).empty());
    RunMs(3 * kPeriodMs);
    EXPECT_EQ(DevicesOf(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised)),
              std::vector<std::uint8_t>(8, 0xA0));

    // Pressing start again while the port is closed on purpose does not count silence either.
    session->ClosePort();
    session->StartMonitoring();
    RunMs(20 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Raised).size(), 8u);
}

// Each cycle's readings go to the string analysis: a battery drifting from its neighbours is
// seen through the monitor, at the level its deviation reached.
TEST_F(AlarmMonitorTest, aBatteryDriftingFromItsNeighboursRaisesADeviationAlarm) {
    monitor_.SetSettings(alarms::AlarmSettings{});
    for (int b = 0; b < 8; ++b) voltageDv_[{0xA0, b}] = 130;
    for (int b = 0; b < 8; ++b) voltageDv_[{0xA1, b}] = 130;
    OpenAndStart();
    RunMs(3 * kPeriodMs);
    EXPECT_TRUE(events_.empty());
    voltageDv_[{0xA0, 3}] = 124;  // 0.6 V below the others
    RunMs(3 * kPeriodMs);
    const auto raised = EventsOf(AlarmKind::VoltageDeviation, AlarmState::Raised);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].key.battery, (battery::BatteryId{0xA0, 3}));
    EXPECT_EQ(raised[0].level, alarms::AlarmLevel::Critical);
    EXPECT_NEAR(*raised[0].value, -0.6, 1e-9);
}

TEST_F(AlarmMonitorTest, closingThePortOrStoppingTheCyclesBeforeMonitoringRaisesNothing) {
    session->OpenPort(QStringLiteral("ttyFAKE"));
    session->ClosePort();
    RunMs(10 * kPeriodMs);
    EXPECT_TRUE(events_.empty());

    OpenAndStart();
    RunMs(kPeriodMs);
    session->SetSamplingPeriodMs(0);
    RunMs(20 * kPeriodMs);
    EXPECT_TRUE(events_.empty()) << "a period of 0 stops the cycles on purpose";
    session->SetSamplingPeriodMs(kPeriodMs);
    RunMs(2 * kPeriodMs);
    EXPECT_TRUE(events_.empty()) << "silence counts anew from the restart";
}

TEST_F(AlarmMonitorTest, limitsAndAcknowledgementAreReportedAsEvents) {
    OpenAndStart();
    RunMs(kPeriodMs);
    monitor_.SetLimits({{}, {}, {std::nullopt, 25.0}});
    EXPECT_TRUE(events_.empty()) << "the last reading is the first of the two of the on-delay";
    RunMs(kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::HighTemperature, AlarmState::Raised).size(), 14u)
        << "every battery reads 25.3 ℃";
    EXPECT_EQ(monitor_.Rules().UnacknowledgedCount(), 14);

    monitor_.Acknowledge({{{0xA0, 0}, AlarmKind::HighTemperature}}, QStringLiteral("op"));
    const auto acked = EventsOf(AlarmKind::HighTemperature, AlarmState::Acknowledged);
    ASSERT_EQ(acked.size(), 1u);
    EXPECT_EQ(acked[0].user, QStringLiteral("op"));
    EXPECT_EQ(monitor_.Rules().UnacknowledgedCount(), 13);

    RunMs(5 * kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::HighTemperature, AlarmState::Raised).size(), 14u)
        << "a value that stays beyond the limit raises once";
    monitor_.SetLimits({});
    EXPECT_EQ(EventsOf(AlarmKind::HighTemperature, AlarmState::Cleared).size(), 14u);
}

TEST_F(AlarmMonitorTest, restoredAlarmsAreActiveWithoutBeingReportedAgain) {
    const qint64 t0 = clock.NowMs() - 60'000;
    monitor_.Restore(
        {AlarmEvent{t0, {{0xA1, 3}, AlarmKind::NoAnswer}, AlarmState::Raised, {}, {}},
         AlarmEvent{t0, {{0xA1, 4}, AlarmKind::StatusVoltage}, AlarmState::Raised, 0x71, {}},
         AlarmEvent{t0 + 1, {{0xA1, 4}, AlarmKind::StatusVoltage}, AlarmState::Cleared, 0x71, {}}},
        {LastReadingTime{{0xA1, 3}, t0 - 5000}});
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(monitor_.Rules().MarkOf({0xA1, 3}), alarms::RowMark::NoAnswer);
    EXPECT_EQ(monitor_.Rules().MarkOf({0xA1, 4}), alarms::RowMark::Normal);
    EXPECT_EQ(monitor_.Rules().LastReadingMs({0xA1, 3}), t0 - 5000);

    OpenAndStart();
    RunMs(kPeriodMs);
    EXPECT_EQ(EventsOf(AlarmKind::NoAnswer, AlarmState::Cleared).size(), 1u);
}

TEST_F(AlarmMonitorTest, ticksOncePerSecondOnTheSessionClock) {
    int secondTicks = 0;
    QObject::connect(&monitor_, &AlarmMonitor::Ticked, [&](qint64) { ++secondTicks; });
    RunMs(5 * AlarmMonitor::kTickMs);
    EXPECT_EQ(secondTicks, 5);
}
