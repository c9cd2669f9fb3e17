// The store's outboxes and its file layout across versions: numbers are never handed out twice,
// files of versions 1 and 2 are upgraded in place with every row kept, the rows each commit adds
// come with its notice, and a no-answer alarm carries no value.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "store/Schema.h"
#include "tests/store/SchemaVersion1.h"
#include "tests/store/StoreTestSupport.h"

using namespace std::chrono_literals;
using storetest::FileProbe;
using storetest::Sequence;
using storetest::SequenceReading;

namespace {

using alarms::AlarmKind;
using alarms::AlarmState;

alarms::AlarmEvent Event(qint64 tMs, battery::BatteryId battery, AlarmKind kind, AlarmState state,
                         std::optional<double> value, const QString& user = {}) {
    return {tMs, {battery, kind}, state, value, user};
}

QVariant Scalar(FileProbe& probe, const QString& sql) {
    QSqlQuery q(probe.Db());
    if (!q.exec(sql) || !q.next()) return {};
    return q.value(0);
}

std::vector<store::OutboxBatch> Batches(const QSignalSpy& spy) {
    std::vector<store::OutboxBatch> batches;
    for (const QList<QVariant>& signal : spy)
        batches.push_back(signal.at(0).value<store::OutboxBatch>());
    return batches;
}

store::OutboxBatch Joined(const std::vector<store::OutboxBatch>& batches) {
    store::OutboxBatch all;
    for (const store::OutboxBatch& batch : batches) {
        all.readings.insert(all.readings.end(), batch.readings.begin(), batch.readings.end());
        all.alarms.insert(all.alarms.end(), batch.alarms.begin(), batch.alarms.end());
    }
    return all;
}

}  // namespace

TEST(HistoryFileUpgrade, aVersion1FileIsUpgradedInPlaceKeepingEveryRowAndNumber) {
    QTemporaryDir dir;
    ASSERT_EQ(storetest::MakeVersion1File(dir.path()), QString());
    const auto readings = Sequence(0, 28);

    store::HistoryWriter writer(dir.path());
    QSignalSpy added(&writer, &store::HistoryWriter::OutboxCommitted);
    writer.SetOutboxEnabled(true);
    writer.Start();
    ASSERT_TRUE(writer.Flush());
    EXPECT_TRUE(writer.IsHealthy());

    FileProbe probe(writer.FilePath());
    EXPECT_EQ(Scalar(probe, QStringLiteral("PRAGMA user_version")).toInt(), store::kSchemaVersion);
    EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    EXPECT_EQ(probe.CountReadings(), 28);
    for (const auto& r : readings) EXPECT_TRUE(probe.Contains(r));

    // The outbox keeps its rows and their numbers, in order.
    store::HistoryReader reader(writer.FilePath());
    const auto waiting = reader.ReadOutbox(0, 100);
    ASSERT_TRUE(waiting) << reader.ErrorText().toStdString();
    ASSERT_EQ(waiting->entries.size(), readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i) {
        EXPECT_EQ(waiting->entries[i].seq, qint64(i) + 1);
        EXPECT_EQ(waiting->entries[i].reading, readings[i]);
    }
    EXPECT_TRUE(waiting->complete);

    // The alarm events are all there; the 0 written for no answer is now no value at all.
    alarms::AlarmEvents events;
    reader.ForEachAlarm(0, 10'000, [&](const alarms::AlarmEvent& e) {
        events.push_back(e);
        return true;
    });
    const alarms::AlarmEvents expected = {
        Event(1000, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Raised, std::nullopt),
        Event(1001, {0xA0, 2}, AlarmKind::LowVoltage, AlarmState::Raised, 11.8),
        Event(1002, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Acknowledged, std::nullopt,
              QStringLiteral("wang")),
        Event(1003, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Cleared, std::nullopt),
    };
    EXPECT_EQ(events, expected);
    EXPECT_EQ(Scalar(probe, QStringLiteral("SELECT count(*) FROM alarms WHERE kind = "
                                           "'no_answer' AND value IS NOT NULL"))
                  .toInt(),
              0);

    // The newest row goes (the broker has it); the next reading does not get its number again.
    writer.MarkPublished({28});
    writer.Append(SequenceReading(28));
    ASSERT_TRUE(writer.Flush());
    ASSERT_EQ(added.count(), 1);
    const store::OutboxBatch batch = Batches(added).front();
    ASSERT_EQ(batch.readings.size(), 1u);
    EXPECT_EQ(batch.readings[0].seq, 29);
    EXPECT_EQ(batch.readings[0].reading, SequenceReading(28));
    const auto after = reader.ReadOutbox(27, 100);
    ASSERT_TRUE(after);
    ASSERT_EQ(after->entries.size(), 1u);
    EXPECT_EQ(after->entries[0].seq, 29);
}

// Version 3 records each event's level and shelving. A version-2 file keeps its alarm events
// and their ids, so the events waiting for the broker are still the same ones, at the level
// every alarm had before levels: critical.
TEST(HistoryFileUpgrade, aVersion2FileKeepsItsAlarmsAndTheirOutboxAndRecordsLevelsAndShelving) {
    QTemporaryDir dir;
    ASSERT_EQ(storetest::MakeVersion2File(dir.path()), QString());
    store::HistoryWriter writer(dir.path());
    writer.SetOutboxEnabled(true);
    writer.Start();
    ASSERT_TRUE(writer.Flush());
    EXPECT_TRUE(writer.IsHealthy());
    FileProbe probe(writer.FilePath());
    EXPECT_EQ(Scalar(probe, QStringLiteral("PRAGMA user_version")).toInt(), store::kSchemaVersion);
    EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    EXPECT_EQ(probe.CountReadings(), 28);

    const alarms::AlarmEvents before = {
        Event(1000, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Raised, std::nullopt),
        Event(1001, {0xA0, 2}, AlarmKind::LowVoltage, AlarmState::Raised, 11.8),
        Event(1002, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Acknowledged, std::nullopt,
              QStringLiteral("wang")),
        Event(1003, {0xA1, 0}, AlarmKind::NoAnswer, AlarmState::Cleared, std::nullopt),
    };
    store::HistoryReader reader(writer.FilePath());
    const auto waiting = reader.ReadAlarmOutbox(QStringLiteral("mqtt"), 0, 100);
    ASSERT_TRUE(waiting) << reader.ErrorText().toStdString();
    ASSERT_EQ(waiting->entries.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(waiting->entries[i].seq, qint64(i) + 1);
        EXPECT_EQ(waiting->entries[i].event, before[i]);
        EXPECT_EQ(waiting->entries[i].event.level, alarms::AlarmLevel::Critical);
    }

    // A warning and its shelving, written and read back as they were.
    alarms::AlarmEvent warning =
        Event(2000, {0xA0, 3}, AlarmKind::VoltageDeviation, AlarmState::Raised, -0.35);
    warning.level = alarms::AlarmLevel::Warning;
    alarms::AlarmEvent shelved = warning;
    shelved.tMs = 2001;
    shelved.state = AlarmState::Shelved;
    shelved.user = QStringLiteral("li");
    alarms::AlarmEvent unshelved = shelved;
    unshelved.tMs = 2002;
    unshelved.state = AlarmState::Unshelved;
    for (const auto& e : {warning, shelved, unshelved}) writer.AppendAlarm(e);
    ASSERT_TRUE(writer.Flush());
    EXPECT_TRUE(writer.IsHealthy());
    alarms::AlarmEvents after;
    reader.ForEachAlarm(2000, 3000, [&](const alarms::AlarmEvent& e) {
        after.push_back(e);
        return true;
    });
    const alarms::AlarmEvents expected = {warning, shelved, unshelved};
    EXPECT_EQ(after, expected);
    EXPECT_EQ(
        Scalar(probe, QStringLiteral("SELECT count(*) FROM alarms WHERE level IS NULL")).toInt(),
        4);
}

TEST(HistoryWriter, numbersOfBothOutboxesAreNeverHandedOutTwice) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    QSignalSpy added(&writer, &store::HistoryWriter::OutboxCommitted);
    writer.SetOutboxEnabled(true);
    writer.Start();
    const auto event = [](qint64 t) {
        return Event(t, {0xA0, 1}, AlarmKind::StatusVoltage, AlarmState::Raised, 0x71);
    };
    writer.Append(Sequence(0, 3));
    writer.AppendAlarm(event(1));
    ASSERT_TRUE(writer.Flush());
    // Everything delivered: both outboxes are empty.
    writer.MarkPublished({1, 2, 3});
    writer.MarkAlarmsPublished({1});
    writer.Append(SequenceReading(3));
    writer.AppendAlarm(event(2));
    ASSERT_TRUE(writer.Flush());
    writer.Shutdown();

    // However the writer grouped the rows into commits, each number comes once, in order.
    const store::OutboxBatch all = Joined(Batches(added));
    ASSERT_EQ(all.readings.size(), 4u);
    for (std::size_t i = 0; i < all.readings.size(); ++i)
        EXPECT_EQ(all.readings[i].seq, qint64(i) + 1);
    ASSERT_EQ(all.alarms.size(), 2u);
    EXPECT_EQ(all.alarms[0].seq, 1);
    EXPECT_EQ(all.alarms[1].seq, 2);
    EXPECT_EQ(all.alarms[1].channel, store::kMqttChannel);
    EXPECT_EQ(all.alarms[1].event, event(2));

    // The next program on the file continues the numbers too.
    store::HistoryWriter next(dir.path());
    QSignalSpy nextAdded(&next, &store::HistoryWriter::OutboxCommitted);
    next.SetOutboxEnabled(true);
    next.Start();
    next.MarkPublished({4});
    next.MarkAlarmsPublished({2});
    next.Append(SequenceReading(4));
    next.AppendAlarm(event(3));
    ASSERT_TRUE(next.Flush());
    const store::OutboxBatch last = Joined(Batches(nextAdded));
    ASSERT_EQ(last.readings.size(), 1u);
    ASSERT_EQ(last.alarms.size(), 1u);
    EXPECT_EQ(last.readings[0].seq, 5);
    EXPECT_EQ(last.alarms[0].seq, 3);
}

TEST(HistoryWriter, alarmEventsWaitInTheOutboxInOrderUntilDelivered) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.SetOutboxEnabled(true);
    writer.Start();
    alarms::AlarmEvents events;
    for (int i = 0; i < 6; ++i)
        events.push_back(Event(5000 + i, {0xA1, std::uint8_t(i)}, AlarmKind::NoAnswer,
                               AlarmState::Raised, std::nullopt));
    events.push_back(Event(5010, {0xA0, 3}, AlarmKind::HighTemperature, AlarmState::Cleared, 48.5));
    for (const auto& e : events) writer.AppendAlarm(e);
    ASSERT_TRUE(writer.Flush());

    store::HistoryReader reader(writer.FilePath());
    auto page = reader.ReadAlarmOutbox(store::kMqttChannel, 0, 4);
    ASSERT_TRUE(page);
    EXPECT_FALSE(page->complete);
    ASSERT_EQ(page->entries.size(), 4u);
    page = reader.ReadAlarmOutbox(store::kMqttChannel, page->lastSeq, 4);
    ASSERT_TRUE(page);
    EXPECT_TRUE(page->complete);
    ASSERT_EQ(page->entries.size(), 3u);
    EXPECT_EQ(page->entries.back().event, events.back());
    EXPECT_TRUE(reader.ReadAlarmOutbox(QStringLiteral("mail"), 0, 10)->entries.empty());

    writer.MarkAlarmsPublished({1, 2, 3});
    ASSERT_TRUE(writer.Flush());
    page = reader.ReadAlarmOutbox(store::kMqttChannel, 0, 10);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->entries.size(), 4u);
    EXPECT_EQ(page->entries.front().seq, 4);
    EXPECT_EQ(page->entries.front().event, events[3]);

    // Without publishing, no outbox rows and no notices.
    QTemporaryDir plain;
    store::HistoryWriter quiet(plain.path());
    QSignalSpy added(&quiet, &store::HistoryWriter::OutboxCommitted);
    quiet.Start();
    quiet.Append(Sequence(0, 14));
    quiet.AppendAlarm(events.front());
    ASSERT_TRUE(quiet.Flush());
    EXPECT_EQ(added.count(), 0);
    store::HistoryReader quietReader(quiet.FilePath());
    EXPECT_TRUE(quietReader.ReadOutbox(0, 10)->entries.empty());
    EXPECT_TRUE(quietReader.ReadAlarmOutbox(store::kMqttChannel, 0, 10)->entries.empty());
}

// Each notification channel has its own rows; a shelved alarm's events reach the broker's outbox
// only, since a shelved alarm notifies nobody.
TEST(HistoryWriter, notificationChannelsGetTheirOwnRowsExceptForShelvedAlarms) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.SetOutboxEnabled(true);
    writer.SetNotifyChannels({QStringLiteral("mail"), QStringLiteral("command")});
    writer.Start();
    const auto raised = Event(7000, {0xA0, 1}, AlarmKind::StatusSwelling, AlarmState::Raised, 0x73);
    auto shelved = Event(7001, {0xA0, 2}, AlarmKind::StatusSwelling, AlarmState::Raised, 0x73);
    shelved.shelved = true;
    writer.AppendAlarm(raised);
    writer.AppendAlarm(shelved);
    ASSERT_TRUE(writer.Flush());
    store::HistoryReader reader(writer.FilePath());
    EXPECT_EQ(reader.ReadAlarmOutbox(store::kMqttChannel, 0, 10)->entries.size(), 2u);
    for (const QString& channel : {QStringLiteral("mail"), QStringLiteral("command")}) {
        const auto page = reader.ReadAlarmOutbox(channel, 0, 10);
        ASSERT_TRUE(page);
        ASSERT_EQ(page->entries.size(), 1u) << channel.toStdString();
        EXPECT_EQ(page->entries[0].event, raised);
    }
    // Delivered on one channel, still waiting on the other.
    writer.MarkAlarmsPublished(
        {reader.ReadAlarmOutbox(QStringLiteral("mail"), 0, 10)->entries[0].seq});
    ASSERT_TRUE(writer.Flush());
    EXPECT_TRUE(reader.ReadAlarmOutbox(QStringLiteral("mail"), 0, 10)->entries.empty());
    EXPECT_EQ(reader.ReadAlarmOutbox(QStringLiteral("command"), 0, 10)->entries.size(), 1u);
}

TEST(HistoryWriter, aNoAnswerAlarmIsStoredWithoutAValue) {
    QTemporaryDir dir;
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        writer.AppendAlarm(
            Event(7000, {0xA1, 4}, AlarmKind::NoAnswer, AlarmState::Raised, std::nullopt));
        writer.AppendAlarm(Event(7001, {0xA1, 4}, AlarmKind::LowVoltage, AlarmState::Raised, 0.0));
        ASSERT_TRUE(writer.Flush());
    }
    FileProbe probe(store::HistoryFilePath(dir.path()));
    EXPECT_TRUE(Scalar(probe, QStringLiteral("SELECT value IS NULL FROM alarms WHERE t_ms = 7000"))
                    .toBool());
    // A real 0 stays 0.
    EXPECT_TRUE(
        Scalar(probe, QStringLiteral("SELECT value = 0 FROM alarms WHERE t_ms = 7001")).toBool());
}

TEST(HistoryWriter, atStopWhatIsHeldIsTriedForABoundedTimeAndWhatIsLostIsCounted) {
    QTemporaryDir dir;
    // Another program holds the folder's lock.
    const QByteArray lockPath = QFile::encodeName(store::LockFilePath(dir.path()));
    const int held = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        writer.Append(Sequence(0, 42));
        writer.AppendAlarm(Event(1, {0xA0, 0}, AlarmKind::StatusVoltage, AlarmState::Raised, 0x71));
        EXPECT_FALSE(writer.Flush());
        const store::Unwritten lost = writer.Shutdown(std::chrono::milliseconds(300));
        EXPECT_EQ(lost.readings, 42);
        EXPECT_EQ(lost.alarms, 1);
        EXPECT_EQ(writer.Shutdown().readings, 42) << "a second Shutdown reports the same";
    }
    // The other program lets go while the writer is still trying: everything is written.
    store::HistoryWriter writer(dir.path());
    writer.Start();
    writer.Append(Sequence(100, 42));
    EXPECT_FALSE(writer.Flush());
    std::thread release([held] {
        std::this_thread::sleep_for(300ms);  // part of the scenario: the lock goes mid-stop
        ::close(held);
    });
    const store::Unwritten lost = writer.Shutdown(std::chrono::seconds(10));
    release.join();
    EXPECT_TRUE(lost.None()) << lost.readings;
    FileProbe probe(store::HistoryFilePath(dir.path()));
    EXPECT_EQ(probe.CountReadings(), 42);
}
