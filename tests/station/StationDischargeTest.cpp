// A station through a discharge, on the engine's fake link and clock and a real history file:
// sampling at the fastest period while it lasts, its record and alarms stored, and a discharge
// that runs across a restart taken up again.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <array>

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "tests/common/PollAnswers.h"
#include "tests/engine/FakeClock.h"
#include "tests/engine/FakeLink.h"

using alarms::AlarmKind;
using testsupport::FakeClock;
using testsupport::FakeLink;

namespace {

constexpr int kOperatorPeriodMs = 10'000;

// A station whose fake devices answer at once with the voltages the test sets (in tenths).
struct DischargeRig {
    DischargeRig(FakeClock& clock, const QString& dir) {
        auto fake = std::make_unique<FakeLink>(clock);
        link = fake.get();
        link->SetResponder([this](const QByteArray& request) -> std::optional<FakeLink::Answer> {
            const auto device = static_cast<std::uint8_t>(request[0]);
            const int n = static_cast<std::uint8_t>(request[3]) - 0x80;
            const std::uint8_t dv = device == 0xA0 ? a0[n] : 135;
            return FakeLink::Answer{5, testsupport::PollAnswerBytes(device, 0x11, dv, 253)};
        });
        StationOptions options{dir, 0, 0};
        options.fastSamplingInDischarge = true;
        options.discharge[0].requiredMinutes = 1;
        station = std::make_unique<Station>(std::move(fake), clock, options);
        station->Session().SetSamplingPeriodMs(kOperatorPeriodMs);
        station->Session().OpenPort(QStringLiteral("ttyFAKE"));
        station->Session().StartMonitoring();
    }

    int Period() const { return station->Session().SamplingTimer().Interval(); }

    FakeLink* link = nullptr;
    std::unique_ptr<Station> station;
    std::array<std::uint8_t, 8> a0{135, 135, 135, 135, 135, 135, 135, 135};
};

std::vector<alarms::DischargeRecord> Stored(const QString& dir) {
    store::HistoryReader reader(store::HistoryFilePath(dir));
    return reader.Discharges();
}

}  // namespace

TEST(StationDischarge, samplesFastWhileItLastsAndKeepsOneRecordAcrossARestart) {
    QTemporaryDir dir;
    FakeClock clock;
    qint64 startMs = 0;
    {
        DischargeRig rig(clock, dir.path());
        clock.Advance(kOperatorPeriodMs);
        EXPECT_EQ(rig.Period(), kOperatorPeriodMs);
        rig.a0.fill(121);
        rig.a0[5] = 118;
        clock.Advance(2 * kOperatorPeriodMs);
        ASSERT_NE(rig.station->Discharges().Running(0xA0), nullptr);
        startMs = rig.station->Discharges().Running(0xA0)->startMs;
        EXPECT_EQ(rig.Period(), MonitorSession::kFastestSamplingMs);
        EXPECT_NE(rig.station->Alarms().Rules().Find({{0xA0, 0}, AlarmKind::Discharging}), nullptr);
        rig.a0[5] = 104;
        clock.Advance(2 * MonitorSession::kFastestSamplingMs);
        EXPECT_NE(rig.station->Alarms().Rules().Find({{0xA0, 5}, AlarmKind::EndVoltage}), nullptr);
        ASSERT_TRUE(rig.station->Writer()->Flush());
    }  // the program stops mid-discharge

    const std::vector<alarms::DischargeRecord> atExit = Stored(dir.path());
    ASSERT_EQ(atExit.size(), 1U);
    EXPECT_TRUE(atExit[0].Running());
    EXPECT_EQ(atExit[0].firstAtEnd, (battery::BatteryId{0xA0, 5}));

    DischargeRig rig(clock, dir.path());
    rig.a0.fill(120);
    rig.a0[5] = 100;
    ASSERT_NE(rig.station->Discharges().Running(0xA0), nullptr);
    EXPECT_EQ(rig.station->Discharges().Running(0xA0)->startMs, startMs);
    EXPECT_EQ(rig.Period(), MonitorSession::kFastestSamplingMs);
    clock.Advance(2 * MonitorSession::kFastestSamplingMs);
    rig.a0.fill(136);
    clock.Advance(3 * MonitorSession::kFastestSamplingMs);
    EXPECT_EQ(rig.station->Discharges().Running(0xA0), nullptr);
    EXPECT_EQ(rig.Period(), kOperatorPeriodMs);
    EXPECT_EQ(rig.station->Alarms().Rules().Find({{0xA0, 0}, AlarmKind::Discharging}), nullptr);
    ASSERT_TRUE(rig.station->Writer()->Flush());

    const std::vector<alarms::DischargeRecord> records = Stored(dir.path());
    ASSERT_EQ(records.size(), 1U);
    const alarms::DischargeRecord& record = records[0];
    EXPECT_EQ(record.startMs, startMs);
    ASSERT_TRUE(record.endMs);
    ASSERT_NE(record.Weakest(), nullptr);
    EXPECT_EQ(record.Weakest()->battery, (battery::BatteryId{0xA0, 5}));
    EXPECT_DOUBLE_EQ(record.Weakest()->minV, 10.0);
    EXPECT_DOUBLE_EQ(record.Find({0xA0, 0})->startV, 12.1);
    ASSERT_TRUE(record.Capacity(0));
    EXPECT_FALSE(record.Capacity(0)->reached);
}
