#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include "export/ClassRegistry.h"
#include "export/ExportJob.h"
#include "export/GridSnapshot.h"
#include "tests/common/WaitFor.h"
#include "tests/export/RecordingExcel.h"
#include "tests/export/TestGrid.h"
#include "widgets/MessageBox.h"

namespace {

using gridexport::JobResult;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

const QString kSheetName = QStringLiteral("历史数据");
const QString kCannotOpen = QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！");

class ExportJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        recording::Install(recorder_);
        messagebox::SetHook([this](const QString& text, const QString&) {
            messages_ << text;
            messagesOnWindowThread_ &= QThread::currentThread() == qApp->thread();
            cursorAtMessage_ |= QApplication::overrideCursor() != nullptr;
        });
    }
    void TearDown() override {
        WaitUntil([] { return gridexport::PendingGridExports() == 0; }, std::chrono::seconds(60));
        messagebox::SetHook({});
        recording::Uninstall();
    }

    // Starts an export and collects its result in `results`.
    void Start(const QList<const GridModel*>& grids, QWidget* parent = nullptr) {
        gridexport::StartGridExport(
            grids, parent, [this](const JobResult& result) { results_.push_back(result); });
    }
    bool WaitForResults(size_t count, std::chrono::seconds limit = std::chrono::seconds(30)) {
        return WaitUntil([&] { return results_.size() >= count; }, limit * kSlowdown);
    }

    std::shared_ptr<recording::Recorder> recorder_ = std::make_shared<recording::Recorder>();
    std::vector<JobResult> results_;
    QStringList messages_;
    bool messagesOnWindowThread_ = true;
    bool cursorAtMessage_ = false;
};

TEST_F(ExportJobTest, largeExportRunsOffTheWindowThreadWhileAPreciseTimerKeepsItsSchedule) {
    GeneratedGrid grid(100000);
    QThread* creatingThread = nullptr;
    const automation::Factory previous = automation::RegisterClass(
        "Excel.Application", [&]() -> std::shared_ptr<automation::Dispatch> {
            creatingThread = QThread::currentThread();
            return recorder_->CreateApplication();
        });

    // The poll timer of the window: 150 ms, precise.
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(150);
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    QObject::connect(&poll, &QTimer::timeout, [&] { ticks.push_back(clock.nsecsElapsed()); });
    clock.start();
    poll.start();
    ASSERT_TRUE(WaitUntil([&] { return ticks.size() >= 2; }));

    QElapsedTimer call;
    call.start();
    Start({&grid});
    // Bounds are generous for a shared, loaded machine, yet far below what blocking costs:
    // copying this table in one go takes about 300 ms, exporting it about 1.5 s.
    EXPECT_LT(call.elapsed(), 100 * kSlowdown) << "StartGridExport must return at once";
    EXPECT_NE(QApplication::overrideCursor(), nullptr);
    const size_t ticksBefore = ticks.size();
    ASSERT_TRUE(WaitForResults(1, std::chrono::seconds(100)));
    poll.stop();
    automation::RegisterClass("Excel.Application", previous);

    EXPECT_NE(creatingThread, nullptr);
    EXPECT_NE(creatingThread, qApp->thread());
    EXPECT_GE(ticks.size() - ticksBefore, 3u) << "the export ended too soon to say anything";
    double worst = 0;
    for (size_t i = ticksBefore; i < ticks.size(); ++i) {
        worst = std::max(worst, std::abs((ticks[i] - ticks[i - 1]) / 1e6 - 150.0));
    }
    EXPECT_LT(worst, 100.0 * kSlowdown) << "the window's timer lost its pace during the export";

    ASSERT_EQ(results_[0].outcome, JobResult::Outcome::Exported);
    const recording::Sheet& sheet = recorder_->Applications().at(0)->workbooks[0].sheets[0];
    EXPECT_EQ(sheet.name, kSheetName);
    EXPECT_EQ(sheet.cells.size(), 100001u * 4);
    for (int row : {1, 2, 50000, 100001}) {
        for (int col = 1; col <= 4; ++col) {
            ASSERT_EQ(sheet.Cell(row, col), grid.Cell(col - 1, row - 1)) << row << "," << col;
        }
    }
    EXPECT_TRUE(messages_.isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(recorder_->LiveObjects(), 0);
}

TEST_F(ExportJobTest, exportsPressedInARowGoOutInOrderAsSeparateWorkbooks) {
    std::vector<std::unique_ptr<TestGrid>> grids;
    for (int table = 0; table < 6; ++table) {
        grids.push_back(
            std::make_unique<TestGrid>(QStringList{"采样时间", "电压V", "温度℃", "状态"}, 15));
        grids.back()->SetCell(1, 1, QString::number(table + 9));
    }
    for (const auto& grid : grids) Start({grid.get()});
    EXPECT_EQ(gridexport::PendingGridExports(), 6);
    // What a grid holds when its export is pressed is what goes out.
    grids[5]->SetCell(1, 1, QStringLiteral("later"));
    ASSERT_TRUE(WaitForResults(6));

    ASSERT_EQ(recorder_->Applications().size(), 6);
    for (int table = 0; table < 6; ++table) {
        SCOPED_TRACE(table);
        EXPECT_EQ(results_[table].outcome, JobResult::Outcome::Exported);
        const recording::Application& app = *recorder_->Applications().at(table);
        EXPECT_TRUE(app.visible);
        EXPECT_EQ(app.workbooks[0].sheets[0].Cell(2, 2), QString::number(table + 9));
        EXPECT_EQ(app.calls.size(), 4 + 5 + 60 + 1) << "the call sequence is the synchronous one";
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(ExportJobTest, failuresAreReportedOnTheWindowThreadWithoutTheWaitCursor) {
    TestGrid grid({"a", "b", "c", "d"}, 15);
    recorder_->FailCreation(true);
    for (int table = 0; table < 3; ++table) Start({&grid});
    ASSERT_TRUE(WaitForResults(3));
    EXPECT_EQ(messages_, QStringList(3, kCannotOpen));
    for (const JobResult& result : results_)
        EXPECT_EQ(result.outcome, JobResult::Outcome::CannotOpen);

    recorder_->FailCreation(false);
    recorder_->FailOnCall("cells", 7, QStringLiteral("单元格写入失败"));
    Start({&grid});
    ASSERT_TRUE(WaitForResults(4));
    EXPECT_EQ(results_[3].outcome, JobResult::Outcome::Failed);
    EXPECT_EQ(messages_.last(), QStringLiteral("单元格写入失败"));
    EXPECT_FALSE(recorder_->Applications().at(0)->visible);

    EXPECT_TRUE(messagesOnWindowThread_);
    EXPECT_FALSE(cursorAtMessage_) << "the wait cursor must be gone before a message box";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(recorder_->LiveObjects(), 0);
}

TEST_F(ExportJobTest, gridOrWindowGoneBeforeTheCopyEndsLeavesNothingBehind) {
    auto doomed = std::make_unique<GeneratedGrid>(200000);
    TestGrid next({"a"}, 3);
    Start({doomed.get()});
    Start({&next});
    doomed.reset();  // the window closed while its table was still being copied
    ASSERT_TRUE(WaitForResults(2));
    EXPECT_EQ(results_[0].outcome, JobResult::Outcome::Abandoned);
    EXPECT_EQ(results_[1].outcome, JobResult::Outcome::Exported);
    EXPECT_EQ(recorder_->Applications().size(), 1) << "the later export still goes out";

    // A message for a window that is gone is not shown.
    auto window = std::make_unique<QWidget>();
    recorder_->FailCreation(true);
    Start({&next}, window.get());
    window.reset();
    ASSERT_TRUE(WaitForResults(3));
    EXPECT_EQ(results_[2].outcome, JobResult::Outcome::CannotOpen);
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(ExportJobTest, tableOverTheSheetLimitContinuesOnNumberedSheetsWithTheHeader) {
    TestGrid grid({"采样时间", "电压V"}, 8);  // header and 7 records
    for (int row = 1; row < 8; ++row) grid.SetCell(0, row, QStringLiteral("r%1").arg(row));
    const auto snapshot = GridSnapshot::Take(grid);

    // Four rows a sheet: a header and three records.
    const gridexport::Report report = gridexport::Run({snapshot}, 4);
    ASSERT_EQ(report.tables.size(), 1u);
    EXPECT_EQ(report.tables[0].dataRows, 7);
    const QStringList names{kSheetName, kSheetName + " (2)", kSheetName + " (3)"};
    EXPECT_EQ(report.tables[0].sheets, names);
    const recording::Application& app = *recorder_->Applications().at(0);
    EXPECT_TRUE(app.visible);
    const QList<recording::Sheet>& sheets = app.workbooks[0].sheets;
    ASSERT_EQ(sheets.size(), 3 + 2);  // the workbook's own three, two added
    const std::vector<std::tuple<int, QString, QStringList>> expected{
        {0, names[0], {"r1", "r2", "r3"}},
        {3, names[1], {"r4", "r5", "r6"}},
        {4, names[2], {"r7"}}};
    for (const auto& [index, name, rows] : expected) {
        SCOPED_TRACE(index);
        const recording::Sheet& sheet = sheets[index];
        EXPECT_EQ(sheet.name, name);
        EXPECT_EQ(sheet.Cell(1, 1), QStringLiteral("采样时间"));
        EXPECT_EQ(sheet.Cell(1, 2), QStringLiteral("电压V"));
        for (int i = 0; i < rows.size(); ++i) EXPECT_EQ(sheet.Cell(i + 2, 1), rows[i]);
        EXPECT_EQ(sheet.cells.size(), size_t(rows.size() + 1) * 2) << "nothing beyond its rows";
    }
    const QString notice = gridexport::SplitNotice(report, 4);
    EXPECT_TRUE(notice.contains(u"7 条记录")) << notice.toStdString();
    EXPECT_TRUE(notice.contains(names.join(QStringLiteral("、")))) << notice.toStdString();

    // A table that just fits makes the plain sequence and no notice.
    TestGrid fits({"a", "b"}, 4);
    const gridexport::Report plain = gridexport::Run({GridSnapshot::Take(fits)}, 4);
    EXPECT_EQ(plain.tables[0].sheets, QStringList{kSheetName});
    EXPECT_TRUE(gridexport::SplitNotice(plain, 4).isEmpty());
    for (const recording::Call& call : recorder_->Applications().at(1)->calls) {
        EXPECT_NE(call.object, QStringLiteral("Worksheets"));
    }
}

TEST(GridSnapshot, keepsTheRowsOfWhenCopyingBeganAndEveryText) {
    TestGrid grid({"温度℃", "", "状态"}, 400);
    for (int row = 1; row < 400; ++row) {
        grid.SetCell(0, row, QString::number(row));
        grid.SetCell(2, row, row % 2 ? QStringLiteral("正常") : QString());
    }
    GridSnapshotter copy(grid);
    int slices = 1;
    while (!copy.Step(0)) {
        ++slices;
        grid.SetRowCount(grid.RowCount() + 1);  // the table grows between slices
    }
    EXPECT_GT(slices, 1) << "a zero budget still copies in slices";
    const auto snapshot = copy.Result();
    ASSERT_EQ(snapshot->RowCount(), 400);
    ASSERT_EQ(snapshot->ColCount(), 3);
    for (int row = 0; row < 400; ++row) {
        for (int col = 0; col < 3; ++col) ASSERT_EQ(snapshot->Cell(col, row), grid.Cell(col, row));
    }
    EXPECT_EQ(snapshot->Cell(3, 0), QString());
    EXPECT_EQ(snapshot->Cell(0, 400), QString());
    EXPECT_EQ(snapshot->Cell(-1, 1), QString());
}

}  // namespace
