// Faults of the disk and the file: each gives one operator message, nothing handed over is lost,
// and writing resumes once the fault is gone.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "store/DataDir.h"
#include "store/HistoryWriter.h"
#include "tests/common/WaitFor.h"
#include "tests/store/StoreTestSupport.h"

using namespace std::chrono_literals;
using storetest::FileProbe;
using storetest::Sequence;
using storetest::SequenceReading;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

QString LastMessage(const QSignalSpy& spy) {
    return spy.isEmpty() ? QString() : spy.last().at(1).toString();
}
bool LastWriting(const QSignalSpy& spy) { return spy.isEmpty() || spy.last().at(0).toBool(); }

void ExpectAllInFile(const QString& file, qint64 first, qint64 count) {
    FileProbe probe(file);
    EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    for (qint64 i = first; i < first + count; ++i) {
        if (!probe.Contains(SequenceReading(i))) {
            ADD_FAILURE() << "reading " << i << " is missing from " << file.toStdString();
            return;
        }
    }
}

}  // namespace

TEST(StoreFaults, fullDiskKeepsReadingsAndWritesThemWhenSpaceReturns) {
    storetest::SmallTmpfs disk(192);
    if (!disk.Mounted()) GTEST_SKIP() << disk.SkipReason().toStdString();
    store::HistoryWriter writer(disk.Path());
    QSignalSpy health(&writer, &store::HistoryWriter::HealthChanged);
    writer.Start();
    writer.Append(Sequence(0, 14));
    ASSERT_TRUE(writer.Flush());

    writer.Append(Sequence(14, 20000));  // about 400 kB: more than the disk holds
    EXPECT_FALSE(writer.Flush());
    ASSERT_EQ(health.count(), 1);
    EXPECT_FALSE(LastWriting(health));
    EXPECT_EQ(LastMessage(health), QStringLiteral("历史记录无法写入: 磁盘已满, 每个采样周期重试"));
    EXPECT_EQ(writer.UnwrittenCount(), 20000);

    // More answers while the disk is full: still the one message.
    writer.Append(Sequence(20014, 14));
    writer.Retry();
    EXPECT_FALSE(writer.Flush());
    EXPECT_EQ(health.count(), 1);

    // Space comes back; the writer's own retry timer picks it up.
    writer.SetRetryPeriod(100ms);
    writer.Retry();
    ASSERT_TRUE(disk.Remount(QStringLiteral("size=16m")));
    ASSERT_TRUE(WaitUntil([&] { return LastWriting(health); }, 10s * kSlowdown));
    EXPECT_TRUE(LastMessage(health).startsWith(QStringLiteral("历史记录恢复写入")));
    EXPECT_EQ(writer.UnwrittenCount(), 0);
    writer.Shutdown();
    ExpectAllInFile(store::HistoryFilePath(disk.Path()), 0, 20028);
}

TEST(StoreFaults, readOnlyFolderKeepsReadingsUntilItIsWritable) {
    storetest::SmallTmpfs disk(4096);
    QTemporaryDir plain;
    QString folder;
    std::function<bool(bool)> setWritable;
    if (disk.Mounted()) {
        folder = disk.Path();
        setWritable = [&](bool w) {
            return disk.Remount(w ? QStringLiteral("rw") : QStringLiteral("ro"));
        };
    } else if (geteuid() != 0) {
        folder = plain.path();
        setWritable = [&](bool w) {
            return ::chmod(QFile::encodeName(folder).constData(), w ? 0755 : 0555) == 0;
        };
    } else {
        GTEST_SKIP() << "root ignores folder permissions and " << disk.SkipReason().toStdString();
    }
    ASSERT_TRUE(setWritable(false));
    store::HistoryWriter writer(folder);
    QSignalSpy health(&writer, &store::HistoryWriter::HealthChanged);
    writer.Start();
    writer.Append(Sequence(0, 28));
    EXPECT_FALSE(writer.Flush());
    ASSERT_EQ(health.count(), 1);
    EXPECT_EQ(LastMessage(health),
              QStringLiteral("历史记录无法写入: 数据文件夹 %1 只读, 每个采样周期重试").arg(folder));
    EXPECT_EQ(writer.UnwrittenCount(), 28);

    ASSERT_TRUE(setWritable(true));
    writer.Retry();
    EXPECT_TRUE(writer.Flush());
    EXPECT_TRUE(LastWriting(health));
    writer.Shutdown();
    ExpectAllInFile(store::HistoryFilePath(folder), 0, 28);
}

TEST(StoreFaults, aSecondWriterOfOneFolderWaitsForTheFirst) {
    QTemporaryDir dir;
    auto first = std::make_unique<store::HistoryWriter>(dir.path());
    first->Start();
    first->Append(Sequence(0, 14));
    ASSERT_TRUE(first->Flush());

    store::HistoryWriter second(dir.path());
    QSignalSpy health(&second, &store::HistoryWriter::HealthChanged);
    second.Start();
    second.Append(Sequence(14, 14));
    EXPECT_FALSE(second.Flush());
    ASSERT_EQ(health.count(), 1);
    EXPECT_EQ(LastMessage(health),
              QStringLiteral(
                  "历史记录无法写入: 数据文件正被另一个运行中的 batmon 使用, 每个采样周期重试"));
    first->Append(Sequence(28, 14));  // the first one keeps writing meanwhile
    EXPECT_TRUE(first->Flush());

    first.reset();  // the first program ends
    second.Retry();
    EXPECT_TRUE(second.Flush());
    EXPECT_TRUE(LastWriting(health));
    second.Shutdown();
    ExpectAllInFile(store::HistoryFilePath(dir.path()), 0, 42);
}

TEST(StoreFaults, aCorruptFileIsMovedAsideUntouchedAndANewOneStarted) {
    const QByteArray garbage = QByteArray("this is not a history file\n").repeated(500);
    for (const bool damagedPages : {false, true}) {
        SCOPED_TRACE(damagedPages ? "database with damaged pages" : "not a database at all");
        QTemporaryDir dir;
        const QString path = store::HistoryFilePath(dir.path());
        if (damagedPages) {
            storetest::BulkLoad(dir.path(), 0, 20000);
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            file.seek(4096 * 4);
            file.write(garbage.left(4096 * 3));
        } else {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        QFile original(path);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        const QByteArray before = original.readAll();
        original.close();

        store::HistoryWriter writer(dir.path());
        QSignalSpy health(&writer, &store::HistoryWriter::HealthChanged);
        writer.Start();
        writer.Append(Sequence(100000, 14));
        EXPECT_TRUE(writer.Flush());
        ASSERT_EQ(health.count(), 1);
        EXPECT_TRUE(LastWriting(health));
        const QStringList aside =
            QDir(dir.path()).entryList({QStringLiteral("history.sqlite.corrupt-*")}, QDir::Files);
        ASSERT_EQ(aside.size(), 1) << "the corrupt file is kept under a new name";
        EXPECT_TRUE(aside.first().contains(QRegularExpression("\\d{8}-\\d{6}")));
        EXPECT_EQ(LastMessage(health),
                  QStringLiteral("历史记录文件已损坏, 已改名保存为 %1, 已新建历史记录文件")
                      .arg(aside.first()));
        QFile kept(dir.filePath(aside.first()));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_TRUE(kept.readAll() == before);
        writer.Shutdown();
        ExpectAllInFile(path, 100000, 14);
    }
}

TEST(StoreFaults, aFileOfANewerVersionIsLeftAloneAndReadingsAreKept) {
    QTemporaryDir dir;
    const QString path = store::HistoryFilePath(dir.path());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "newer");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("CREATE TABLE readings (anything)"));
        ASSERT_TRUE(q.exec("PRAGMA user_version = 7"));
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");

    store::HistoryWriter writer(dir.path());
    QSignalSpy health(&writer, &store::HistoryWriter::HealthChanged);
    writer.Start();
    writer.Append(Sequence(0, 14));
    EXPECT_FALSE(writer.Flush());
    writer.Retry();
    EXPECT_FALSE(writer.Flush());
    ASSERT_EQ(health.count(), 1);
    EXPECT_EQ(LastMessage(health),
              QStringLiteral("历史记录无法写入: 数据文件由更新版本的 batmon 写入 (版本 7), "
                             "本程序不改动它, 每个采样周期重试"));
    EXPECT_EQ(writer.UnwrittenCount(), 14);
    writer.Shutdown();

    FileProbe probe(path);
    QSqlQuery q(probe.Db());
    ASSERT_TRUE(q.exec("PRAGMA user_version") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 7);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*corrupt*"}).isEmpty());
}
