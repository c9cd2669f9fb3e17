// The writer: what is handed over reaches the file, promptly, once, in order, and survives the
// program being killed.

#include <gtest/gtest.h>
#include <signal.h>

#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "store/Retention.h"
#include "tests/common/WaitFor.h"
#include "tests/store/StoreTestSupport.h"

using namespace std::chrono_literals;
using storetest::FileProbe;
using storetest::Sequence;
using storetest::SequenceReading;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

bool FileExists(const QString& path) { return QFileInfo::exists(path); }

}  // namespace

TEST(HistoryWriter, handedOverReadingsReachTheFileBeforeTheNextPeriod) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    QSignalSpy health(&writer, &store::HistoryWriter::HealthChanged);
    writer.Start();

    const battery::Reading one = SequenceReading(0);
    writer.Append(one);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(writer.FilePath()); }, 5s * kSlowdown));
    FileProbe probe(writer.FilePath());
    // A sampling period is 10 s by default; the reading must be there long before that.
    EXPECT_TRUE(WaitUntil([&] { return probe.Contains(one); }, 2s * kSlowdown));

    // A device block handed over at once, and an alarm event beside it.
    const auto block = Sequence(1, 8);
    writer.Append(block);
    writer.AppendAlarm({one.t_ms,
                        {one.Id(), alarms::AlarmKind::StatusVoltage},
                        alarms::AlarmState::Raised,
                        0x71,
                        {}});
    EXPECT_TRUE(WaitUntil([&] { return probe.CountReadings() == 9 && probe.CountAlarms() == 1; },
                          2s * kSlowdown));
    for (const auto& r : block) EXPECT_TRUE(probe.Contains(r));
    // The count follows the writer's commit notices, which come right after the commit.
    EXPECT_TRUE(WaitUntil([&] { return writer.UnwrittenCount() == 0; }, 2s * kSlowdown));

    // A reading of no polled battery cannot go into the file; it must not hold up the others.
    const battery::Reading stray{one.t_ms, 0x05, 9, 0x11, 1, 1};
    const battery::Reading after = SequenceReading(20);
    writer.Append(std::vector{stray, after});
    EXPECT_TRUE(writer.Flush());
    EXPECT_TRUE(probe.Contains(after));
    EXPECT_TRUE(writer.IsHealthy());
    EXPECT_EQ(health.count(), 0) << "a healthy writer has nothing to tell the operator";
}

TEST(HistoryWriter, flushAndShutdownLeaveEverythingInTheFileAndReleaseIt) {
    QTemporaryDir dir;
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        for (const auto& r : Sequence(0, 5000)) writer.Append(r);
        EXPECT_TRUE(writer.Flush());
        EXPECT_EQ(writer.UnwrittenCount(), 0);
        writer.Append(SequenceReading(5000));
    }  // the destructor shuts down: the last reading is written too
    {
        FileProbe probe(store::HistoryFilePath(dir.path()));
        EXPECT_EQ(probe.CountReadings(), 5001);
        EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    }
    // The lock went with the first writer: a second one writes at once.
    store::HistoryWriter second(dir.path());
    second.Start();
    second.Append(SequenceReading(5001));
    EXPECT_TRUE(second.Flush());
    EXPECT_TRUE(second.IsHealthy());
}

TEST(HistoryWriter, aReadingOnATakenMillisecondIsKeptNotReplaced) {
    // The wall clock set back can give one battery the same millisecond twice.
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.Start();
    battery::Reading first = SequenceReading(0);
    battery::Reading second = first;
    second.voltage_dv = 99;
    writer.Append(first);
    ASSERT_TRUE(writer.Flush());
    writer.Append(second);
    ASSERT_TRUE(writer.Flush());

    FileProbe probe(writer.FilePath());
    EXPECT_EQ(probe.CountReadings(), 2);
    EXPECT_TRUE(probe.Contains(first));
    second.t_ms += 1;
    EXPECT_TRUE(probe.Contains(second));
}

TEST(HistoryWriter, everyReadingReportedCommittedSurvivesSigkill) {
    QTemporaryDir dir;
    QProcess child;
    child.start(QStringLiteral(STORE_WRITER_CHILD), {dir.path()});
    ASSERT_TRUE(child.waitForStarted());
    qint64 committed = 0;
    QByteArray output;
    const bool enough = WaitUntil(
        [&] {
            output += child.readAllStandardOutput();
            for (qsizetype end = output.indexOf('\n'); end >= 0; end = output.indexOf('\n')) {
                const QByteArray line = output.left(end);
                output.remove(0, end + 1);
                if (line.startsWith("committed ")) committed = line.mid(10).toLongLong();
            }
            return committed >= 3000;
        },
        30s * kSlowdown);
    // Killed while it keeps appending, with a transaction most likely open.
    // A child that already ended has no process id: kill(0) would hit the whole process group.
    if (const qint64 pid = child.processId(); pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    child.waitForFinished();
    ASSERT_TRUE(enough) << "the child reported only " << committed << " readings";

    FileProbe probe(store::HistoryFilePath(dir.path()));
    EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    const qint64 inFile = probe.CountReadings();
    EXPECT_GE(inFile, committed);
    for (qint64 i = 0; i < committed; ++i) {
        if (!probe.Contains(SequenceReading(i))) {
            ADD_FAILURE() << "reading " << i << " of " << committed << " committed is missing";
            break;
        }
    }
    // Nothing beyond what was appended, and nothing twice: the file holds a prefix.
    for (qint64 i = committed; i < inFile; ++i) EXPECT_TRUE(probe.Contains(SequenceReading(i)));
}

TEST(HistoryWriter, outboxKeepsUnpublishedReadingsInOrderUntilMarked) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.SetOutboxEnabled(true);
    writer.Start();
    const auto readings = Sequence(0, 30);
    writer.Append(readings);
    ASSERT_TRUE(writer.Flush());

    store::HistoryReader reader(writer.FilePath());
    auto waiting = reader.ReadOutbox(0, 100)->entries;
    ASSERT_EQ(waiting.size(), readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i) EXPECT_EQ(waiting[i].reading, readings[i]);

    std::vector<qint64> acknowledged;
    for (std::size_t i = 0; i < 10; ++i) acknowledged.push_back(waiting[i].seq);
    writer.MarkPublished(acknowledged);
    ASSERT_TRUE(writer.Flush());
    waiting = reader.ReadOutbox(0, 100)->entries;
    ASSERT_EQ(waiting.size(), 20u);
    EXPECT_EQ(waiting.front().reading, readings[10]);
}

TEST(HistoryWriter, retentionDeletesOnlyReadingsOlderThanTheCutoff) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    QSignalSpy deleted(&writer, &store::HistoryWriter::ReadingsDeleted);
    writer.Start();
    writer.Append(Sequence(0, 140));  // ten cycles, 100 ms apart
    ASSERT_TRUE(writer.Flush());
    writer.DeleteReadingsBefore(storetest::kBaseMs + 500);  // the first five cycles
    ASSERT_TRUE(WaitUntil([&] { return deleted.count() == 1; }, 5s * kSlowdown));
    EXPECT_EQ(deleted.at(0).at(0).toLongLong(), 70);

    FileProbe probe(writer.FilePath());
    EXPECT_EQ(probe.CountReadings(), 70);
    EXPECT_TRUE(probe.Contains(SequenceReading(70)));
    EXPECT_FALSE(probe.Contains(SequenceReading(69)));

    EXPECT_EQ(store::RetentionCutoff(10 * 86'400'000LL, 3), 7 * 86'400'000LL);
    EXPECT_EQ(store::RetentionCutoff(10 * 86'400'000LL, 0), std::numeric_limits<qint64>::min());
}
