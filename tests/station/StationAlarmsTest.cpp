#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

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
                5, testsupport::PollAnswerBytes(device, watched ? status : 0x11, 135, 253)};
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

alarms::AlarmEvents StoredAlarms(const QString& dir) {
    store::HistoryReader reader(store::HistoryFilePath(dir));
    alarms::AlarmEvents rows;
    reader.ForEachAlarm(0, std::numeric_limits<qint64>::max(), [&](const alarms::AlarmEvent& e) {
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
    const alarms::AlarmKey key{{0xA1, 2}, AlarmKind::StatusVoltage};
    rig.station->Alarms().Acknowledge({key}, QStringLiteral("op"));
    rig.station->Alarms().Shelve({key}, QStringLiteral("op"), 8, QStringLiteral("换电池"));
    rig.station->Alarms().Unshelve({key}, QStringLiteral("chief"));
    rig.status = 0x11;
    qint64 lastReadingMs = 0;
    QObject::connect(rig.station.get(), &Station::ReadingRecorded, [&](const battery::Reading& r) {
        if (r.Id() == battery::BatteryId{0xA1, 2}) lastReadingMs = r.tMs;
    });
    clock.Advance(kPeriodMs);
    // Closing the port on purpose and leaving it closed stores nothing.
    rig.station->Session().ClosePort();
    clock.Advance(10 * kPeriodMs);
    rig.station->Shutdown();

    // Shelving and unshelving are stored with who did it, between the raise and the clear.
    const auto rows = StoredAlarms(dir.path());
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].key.kind, AlarmKind::StatusVoltage);
    EXPECT_EQ(rows[0].key.battery, (battery::BatteryId{0xA1, 2}));
    EXPECT_EQ(rows[0].value, 0x71);
    EXPECT_EQ(rows[0].state, alarms::AlarmState::Raised);
    EXPECT_EQ(rows[0].level, alarms::AlarmLevel::Critical);
    EXPECT_EQ(rows[1].state, alarms::AlarmState::Acknowledged);
    EXPECT_EQ(rows[1].user, QStringLiteral("op"));
    EXPECT_EQ(rows[2].state, alarms::AlarmState::Shelved);
    EXPECT_EQ(rows[2].user, QStringLiteral("op"));
    EXPECT_EQ(rows[3].state, alarms::AlarmState::Unshelved);
    EXPECT_EQ(rows[3].user, QStringLiteral("chief"));
    EXPECT_EQ(rows[4].state, alarms::AlarmState::Cleared);
    EXPECT_LT(rows[0].tMs, rows[4].tMs);
    store::HistoryReader reader(store::HistoryFilePath(dir.path()));
    EXPECT_EQ(reader.LastReadingMs(0xA1, 2), lastReadingMs);
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

TEST(StationAlarms, everyKindComesBackFromTheStoreAndForeignRowsAreSkippedOnRestore) {
    QTemporaryDir dir;
    alarms::AlarmEvents written;
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        for (const AlarmKind kind : alarms::kAllKinds) {
            written.push_back(
                {5000 + static_cast<std::int64_t>(written.size()),
                 {{0xA0, 3}, kind},
                 alarms::AlarmState::Raised,
                 alarms::IsNoAnswer(kind) ? std::nullopt : std::optional<double>(12.5),
                 {}});
            writer.AppendAlarm(written.back());
        }
        writer.Shutdown();
    }
    {
        // Rows this program does not know: a battery it does not watch and a kind of a newer
        // version.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "foreign");
        db.setDatabaseName(store::HistoryFilePath(dir.path()));
        ASSERT_TRUE(db.open());
        QSqlQuery insert(db);
        ASSERT_TRUE(insert.exec(
            "INSERT INTO alarms (t_ms, device, battery, kind, state, value, user) VALUES "
            "(6000, 161, 7, 'no_answer', 'raised', NULL, ''), "
            "(6001, 161, 1, 'no_such_kind', 'raised', 1, '')"));
        db.close();
    }
    QSqlDatabase::removeDatabase("foreign");

    EXPECT_EQ(StoredAlarms(dir.path()).size(), written.size() + 1)
        << "the store reads back every kind it knows, of any bus battery";
    FakeClock clock;
    StationRig restarted(clock, dir.path());
    EXPECT_EQ(restarted.station->StoredAlarmEvents(), written);
}
