#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/PollAnswers.h"
#include "tests/engine/FakeClock.h"
#include "tests/engine/FakeLink.h"

using alarms::AlarmKind;
using testsupport::FakeClock;
using testsupport::FakeLink;

namespace {

constexpr int kPeriodMs = 3000;

// A station on a temporary history folder whose fake devices answer at once, battery 2 of A1
// with the status the test chooses.
struct StationRig {
    explicit StationRig(FakeClock& clock, const QString& dir) {
        auto fake = std::make_unique<FakeLink>(clock);
        link = fake.get();
        link->SetResponder([this](const QByteArray& request) -> std::optional<FakeLink::Answer> {
            const auto device = static_cast<std::uint8_t>(request[0]);
            if (silent) return std::nullopt;
            const bool watched = device == 0xA1 && static_cast<std::uint8_t>(request[3]) == 0x82;
            return FakeLink::Answer{
                5, testsupport::PollAnswerBytes(device, watched ? status : 0x11, 125, 253)};
        });
        station = std::make_unique<Station>(std::move(fake), clock, StationOptions{dir, 0, 0});
        station->Session().SetSamplingPeriodMs(kPeriodMs);
    }

    void Start() {
        station->Session().OpenPort(QStringLiteral("ttyFAKE"));
        station->Session().StartMonitoring();
    }

    FakeLink* link = nullptr;
    std::unique_ptr<Station> station;
    std::uint8_t status = 0x11;
    bool silent = false;
};

std::vector<store::AlarmEvent> StoredAlarms(const QString& dir) {
    store::HistoryReader reader(store::HistoryFilePath(dir));
    std::vector<store::AlarmEvent> rows;
    reader.ForEachAlarm(0, std::numeric_limits<qint64>::max(), [&](const store::AlarmEvent& e) {
        rows.push_back(e);
        return true;
    });
    return rows;
}

}  // namespace

TEST(StationAlarms, everyAlarmEventIsStoredWithItsStableKindAndState) {
    QTemporaryDir dir;
    FakeClock clock;
    StationRig rig(clock, dir.path());
    rig.status = 0x71;
    rig.Start();
    clock.Advance(kPeriodMs);
    rig.station->Alarms().Acknowledge({{{0xA1, 2}, AlarmKind::StatusVoltage}},
                                      QStringLiteral("op"));
    rig.status = 0x11;
    clock.Advance(kPeriodMs);
    rig.station->Shutdown();

    const auto rows = StoredAlarms(dir.path());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].kind, alarms::KindId(AlarmKind::StatusVoltage));
    EXPECT_EQ(rows[0].device, 0xA1);
    EXPECT_EQ(rows[0].battery, 2);
    EXPECT_EQ(rows[0].value, 0x71);
    EXPECT_EQ(rows[0].state, store::AlarmState::Raised);
    EXPECT_EQ(rows[1].state, store::AlarmState::Acknowledged);
    EXPECT_EQ(rows[1].user, QStringLiteral("op"));
    EXPECT_EQ(rows[2].state, store::AlarmState::Cleared);
    EXPECT_LT(rows[0].t_ms, rows[2].t_ms);
}

TEST(StationAlarms, anAlarmActiveAtExitIsActiveAfterTheRestartWithItsAcknowledgement) {
    QTemporaryDir dir;
    FakeClock clock;
    qint64 lastHeard = 0;
    {
        StationRig rig(clock, dir.path());
        rig.status = 0x71;
        rig.Start();
        clock.Advance(kPeriodMs);
        rig.station->Alarms().Acknowledge({{{0xA1, 2}, AlarmKind::StatusVoltage}},
                                          QStringLiteral("op"));
        lastHeard = *rig.station->Alarms().Rules().LastReadingMs({0xA1, 2});
        rig.silent = true;
        clock.Advance(4 * kPeriodMs);
        EXPECT_EQ(rig.station->Alarms().Rules().MarkOf({0xA1, 2}), alarms::RowMark::NoAnswer);
        rig.station->Shutdown();
    }
    clock.Advance(60'000);

    StationRig restarted(clock, dir.path());
    const alarms::AlarmRules& rules = restarted.station->Alarms().Rules();
    const alarms::ActiveAlarm* status = rules.Find({{0xA1, 2}, AlarmKind::StatusVoltage});
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->acknowledged);
    EXPECT_EQ(status->acknowledgedBy, QStringLiteral("op"));
    EXPECT_EQ(status->value, 0x71);
    const alarms::ActiveAlarm* silent = rules.Find({{0xA0, 0}, AlarmKind::NoAnswer});
    ASSERT_NE(silent, nullptr);
    EXPECT_FALSE(silent->value.has_value());
    EXPECT_EQ(rules.UnacknowledgedCount(), 14);
    EXPECT_EQ(rules.LastReadingMs({0xA1, 2}), lastHeard);
    EXPECT_EQ(restarted.station->StoredAlarmEvents().size(), 16u);

    // Back to normal answers: each alarm clears once, and the clear is stored too.
    restarted.Start();
    clock.Advance(kPeriodMs);
    EXPECT_EQ(rules.ActiveAlarms().size(), 0u);
    restarted.station->Shutdown();
    EXPECT_EQ(StoredAlarms(dir.path()).size(), 16u + 15u);
}

TEST(StationAlarms, storedRowsOfUnknownKindsOrBatteriesAreSkippedOnRestore) {
    store::AlarmEvent row{
        1000, 0xA1, 7, alarms::KindId(AlarmKind::NoAnswer), store::AlarmState::Raised, 0, {}};
    EXPECT_FALSE(AlarmFromStore(row)) << "A1's battery 7 is not watched";
    row.battery = 1;
    row.kind = QStringLiteral("no_such_kind");
    EXPECT_FALSE(AlarmFromStore(row));
    for (const AlarmKind kind : alarms::kAllKinds) {
        const alarms::AlarmEvent event{
            5000,
            {{0xA0, 3}, kind},
            alarms::AlarmState::Cleared,
            alarms::IsNoAnswer(kind) ? std::nullopt : std::optional<double>(12.5),
            {}};
        EXPECT_EQ(AlarmFromStore(StoredAlarm(event)), event) << alarms::KindId(kind).toStdString();
    }
}
