// The CSV exporter and batmon-export: exact columns and texts, ranges and filters, the BOM,
// option errors, and memory that stays flat however many rows go out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "store/CsvExport.h"
#include "store/DataDir.h"
#include "tests/common/ProgramRun.h"
#include "tests/common/WaitFor.h"
#include "tests/store/StoreTestSupport.h"

using storetest::SequenceReading;

extern char** environ;

namespace {

struct ExportRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ExportRun RunExport(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(BATMON_EXPORT), arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// Runs batmon-export with its output thrown away; returns its peak resident memory in kB.
long ExportPeakRssKb(const QStringList& arguments) {
    std::vector<QByteArray> args = {QByteArray(BATMON_EXPORT)};
    for (const QString& a : arguments) args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

QByteArray ExpectedCsv(qint64 first, qint64 count, auto keep) {
    QByteArray csv = store::CsvHeader();
    for (qint64 i = first; i < first + count; ++i) {
        const auto r = SequenceReading(i);
        if (keep(r)) store::AppendCsvLine(csv, r);
    }
    return csv;
}

}  // namespace

TEST(CsvFormat, linesCarryTheExactColumnsAndTexts) {
    EXPECT_EQ(store::CsvHeader(),
              "time,device,battery,voltage_v,temperature_c,status,status_text\n");
    QByteArray out;
    store::AppendCsvLine(out, {1'700'000'000'123, 0xA0, 3, 0x11, 121, 205});
    store::AppendCsvLine(out, {0, 0xA1, 5, 0x71, 0, 65535});
    store::AppendCsvLine(out, {1'709'164'800'000, 0xA1, 0, 0x72, 5, 9});
    store::AppendCsvLine(out, {1'709'164'800'001, 0xA0, 7, 0x73, 255, 1000});
    store::AppendCsvLine(out, {1'709'164'800'002, 0xA0, 1, 0x00, 1, 10});
    store::AppendCsvLine(out, {1'709'164'800'003, 0xA0, 2, 0x5a, 1, 10});
    EXPECT_EQ(QString::fromUtf8(out),
              QStringLiteral("2023-11-14T22:13:20.123Z,A0,3,12.1,20.5,17,正常\n"
                             "1970-01-01T00:00:00.000Z,A1,5,0.0,6553.5,113,电压异常\n"
                             "2024-02-29T00:00:00.000Z,A1,0,0.5,0.9,114,温度异常\n"
                             "2024-02-29T00:00:00.001Z,A0,7,25.5,100.0,115,鼓包异常\n"
                             "2024-02-29T00:00:00.002Z,A0,1,0.1,1.0,0,无此设备\n"
                             "2024-02-29T00:00:00.003Z,A0,2,0.1,1.0,90,0x5A\n"));

    QByteArray alarms = store::AlarmCsvHeader();
    store::AppendAlarmCsvLine(alarms, {0,
                                       {{0xA1, 2}, alarms::AlarmKind::LowVoltage},
                                       alarms::AlarmState::Acknowledged,
                                       11.5,
                                       "ops, \"night\""});
    store::AppendAlarmCsvLine(
        alarms, {1, {{0xA1, 3}, alarms::AlarmKind::NoAnswer}, alarms::AlarmState::Raised, {}, {}});
    EXPECT_EQ(alarms,
              "time,device,battery,kind,state,value,user\n"
              "1970-01-01T00:00:00.000Z,A1,2,limit_low_voltage,acknowledged,11.5,"
              "\"ops, \"\"night\"\"\"\n"
              "1970-01-01T00:00:00.001Z,A1,3,no_answer,raised,,\n");
}

TEST(CsvFormat, timeArgumentsTakeRfc3339AndBareDates) {
    EXPECT_EQ(store::ParseTimeArgument("2023-11-14T22:13:20Z"), 1'700'000'000'000);
    EXPECT_EQ(store::ParseTimeArgument("2023-11-14T22:13:20.123Z"), 1'700'000'000'123);
    EXPECT_EQ(store::ParseTimeArgument("2023-11-15T06:13:20.5+08:00"), 1'700'000'000'500);
    EXPECT_EQ(store::ParseTimeArgument("2023-11-14t22:13:20.123456z"), 1'700'000'000'123);
    EXPECT_EQ(store::ParseTimeArgument("2023-11-14"),
              QDateTime(QDate(2023, 11, 14), QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch());
    for (const char* bad : {"2023-11-14T22:13:20", "2023-13-01", "2023-02-30", "yesterday", "",
                            "2023-11-14T25:00:00Z", "1700000000"}) {
        EXPECT_FALSE(store::ParseTimeArgument(bad)) << bad;
    }
}

TEST(BatmonExport, writesTheSelectedRangeAndBatteriesWithABomToAFile) {
    QTemporaryDir dir;
    storetest::BulkLoad(dir.path(), 0, 14 * 50);
    const QString file = dir.filePath("out.csv");
    const qint64 from = storetest::kBaseMs + 1000, to = storetest::kBaseMs + 2500;

    ExportRun run = RunExport({"--data-dir", dir.path(), "--from",
                               QString::fromLatin1(store::FormatUtcMillis(from)), "--to",
                               QString::fromLatin1(store::FormatUtcMillis(to)), "-o", file});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray content = written.readAll();
    ASSERT_TRUE(content.startsWith("\xEF\xBB\xBF"));
    EXPECT_EQ(content.mid(3),
              ExpectedCsv(0, 14 * 50, [&](const auto& r) { return r.tMs >= from && r.tMs <= to; }));

    // To standard output: no BOM. Device and battery filters.
    run = RunExport({"--data-dir", dir.path(), "--device", "A1", "--battery", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, ExpectedCsv(0, 14 * 50, [](const auto& r) {
                  return r.device == battery::kDeviceA1 && r.battery == 2;
              }));
    run = RunExport({"--data-dir", dir.path(), "--device", "a0"});
    EXPECT_EQ(run.out, ExpectedCsv(0, 14 * 50,
                                   [](const auto& r) { return r.device == battery::kDeviceA0; }));

    // A bare --to date reaches to the end of that day.
    const QString day =
        QDateTime::fromMSecsSinceEpoch(storetest::kBaseMs).date().toString(Qt::ISODate);
    run = RunExport({"--data-dir", dir.path(), "--from", day, "--to", day});
    EXPECT_EQ(run.out, ExpectedCsv(0, 14 * 50, [](const auto&) { return true; }));
}

TEST(BatmonExport, refusesBadOptionsWithAMessageAndNoFile) {
    QTemporaryDir dir;
    storetest::BulkLoad(dir.path(), 0, 14);
    const QString file = dir.filePath("never.csv");
    const QList<QStringList> bad = {
        {"--device", "A2"},
        {"--battery", "8"},
        {"--battery", "x"},
        {"--from", "2026-12-08T10:00:00"},
        {"--to"},
        {"--colour", "red"},
        {"--from", "2026-12-09", "--to", "2026-12-08"},
    };
    for (const QStringList& args : bad) {
        const ExportRun run = RunExport(QStringList{"--data-dir", dir.path(), "-o", file} + args);
        EXPECT_EQ(run.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(run.err.startsWith("batmon-export: ")) << args.join(' ').toStdString();
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        EXPECT_FALSE(QFile::exists(file));
    }
    testsupport::ExpectStandardCommandLine(QStringLiteral(BATMON_EXPORT),
                                           QStringLiteral("batmon-export"));
    const ExportRun missing = RunExport({"--data-dir", dir.filePath("nothing-here")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(QString::fromUtf8(missing.err).contains(QStringLiteral("no history file")));
}

TEST(BatmonExport, memoryStaysFlatFromThousandsToAMillionRows) {
    QTemporaryDir dir;
    // Sanitizer builds run the loads several times slower: a fifth of the rows still shows it.
    const qint64 rows = testsupport::kSlowdown > 1 ? 200'000 : 1'000'000;
    storetest::BulkLoad(dir.path(), 0, rows);
    const qint64 cutoff = SequenceReading(10'000).tMs;
    const long small = ExportPeakRssKb({"--data-dir", dir.path(), "--to",
                                        QString::fromLatin1(store::FormatUtcMillis(cutoff)), "-o",
                                        dir.filePath("small.csv")});
    const long large = ExportPeakRssKb({"--data-dir", dir.path(), "-o", dir.filePath("large.csv")});
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    // The whole export is about 60 MB of text; flat means a few MB of SQLite cache and buffers.
    EXPECT_LT(large - small, 8 * 1024) << "small " << small << " kB, large " << large << " kB";
    QFile out(dir.filePath("large.csv"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    qint64 lines = 0;
    while (!out.atEnd()) {
        out.readLine();
        ++lines;
    }
    EXPECT_EQ(lines, rows + 1);
}
