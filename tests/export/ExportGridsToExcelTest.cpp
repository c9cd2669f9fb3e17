#include <gtest/gtest.h>

#include <QApplication>

#include "export/ClassRegistry.h"
#include "export/ExportGridsToExcel.h"
#include "tests/export/RecordingExcel.h"
#include "tests/export/TestGrid.h"
#include "widgets/MessageBox.h"

namespace {

const QString kCaption = QStringLiteral("蓄电池监测历史数据记录");
const QString kSheetName = QStringLiteral("历史数据");
const QString kCannotOpen = QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！");

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        recording::Install(recorder_);
        messagebox::SetHook([this](const QString& text, const QString&) {
            messages_ << text;
            cursorAtMessage_ = QApplication::overrideCursor() != nullptr;
        });
    }
    void TearDown() override {
        messagebox::SetHook({});
        recording::Uninstall();
    }

    QStringList Calls(int app = 0) const {
        QStringList texts;
        for (const auto& call : recorder_->Applications().at(app)->calls) texts << call.ToString();
        return texts;
    }

    std::shared_ptr<recording::Recorder> recorder_ = std::make_shared<recording::Recorder>();
    QStringList messages_;
    bool cursorAtMessage_ = false;
};

// The calls that put one sheet's cells, in row-then-column order.
QStringList CellCalls(const GridModel& grid) {
    QStringList calls;
    for (int row = 0; row < grid.RowCount(); ++row) {
        for (int col = 0; col < grid.ColCount(); ++col) {
            calls << QStringLiteral("Worksheet.Cells put (%1, %2, \"%3\")")
                         .arg(row + 1)
                         .arg(col + 1)
                         .arg(grid.Cell(col, row));
        }
    }
    return calls;
}

QStringList PreambleFor(int gridCount) {
    return {
        QStringLiteral("Application.Caption put (\"%1\")").arg(kCaption),
        QStringLiteral("Application.WorkBooks method|get ()"),
        QStringLiteral("Workbooks.Add method ()"),
        QStringLiteral("Application.SheetsInNewWorkbook put (%1)").arg(gridCount),
    };
}

QStringList SheetLookupFor(int position) {
    return {
        QStringLiteral("Application.WorkBooks get (1)"),
        QStringLiteral("Workbook.WorkSheets get (%1)").arg(position),
        QStringLiteral("Worksheet.Name put (\"%1\")").arg(kSheetName),
        QStringLiteral("Application.Workbooks get (1)"),
        QStringLiteral("Workbook.WorkSheets get (\"%1\")").arg(kSheetName),
    };
}

TEST_F(ExportTest, realTimeTableIsCopiedCellByCellInTheFixedOrder) {
    TestGrid grid({"模块地址", "采样时间", "电压V", "温度℃", "鼓包"}, 1024);
    grid.SetCell(0, 1, "1#");
    grid.SetCell(2, 1, "12.5");
    grid.SetCell(3, 1, "25");
    grid.SetCell(4, 1023, "正常");

    ExportGridsToExcel({&grid});

    ASSERT_EQ(recorder_->Applications().size(), 1);
    QStringList expected = PreambleFor(1) + SheetLookupFor(1) + CellCalls(grid);
    expected << QStringLiteral("Application.Visible put (true)");
    const QStringList calls = Calls();
    EXPECT_EQ(calls.filter(QStringLiteral("Worksheet.Cells put")).size(), 5120);
    EXPECT_EQ(calls, expected);

    const recording::Application& app = *recorder_->Applications().at(0);
    EXPECT_EQ(app.caption, kCaption);
    EXPECT_TRUE(app.visible);
    EXPECT_EQ(app.sheetsInNewWorkbook, 1);
    ASSERT_EQ(app.workbooks.size(), 1);
    // The workbook made before SheetsInNewWorkbook keeps the application's default sheets.
    ASSERT_EQ(app.workbooks[0].sheets.size(), 3);
    const recording::Sheet& sheet = app.workbooks[0].sheets[0];
    EXPECT_EQ(sheet.name, kSheetName);
    EXPECT_EQ(sheet.cells.size(), 5120);
    EXPECT_EQ(sheet.Cell(1, 1), "模块地址");
    EXPECT_EQ(sheet.Cell(1, 5), "鼓包");
    EXPECT_EQ(sheet.Cell(2, 1), "1#");
    EXPECT_EQ(sheet.Cell(2, 3), "12.5");
    EXPECT_EQ(sheet.Cell(1024, 5), "正常");
    EXPECT_TRUE(sheet.cells.contains({1024, 4}));  // empty cells are written too

    EXPECT_EQ(recorder_->LiveObjects(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(ExportTest, historyTableIsExportedWithItsCurrentRowsAndTypedCells) {
    TestGrid grid({"采样时间", "电压V", "温度℃", "状态"}, 15);
    grid.SetRowCount(7);  // the table grew and shrank at run time
    grid.SetCell(0, 6, "2024/05/01 10:00:00");
    // The operator typed into cells through the view.
    grid.setData(grid.index(0, 1), "=1+1", Qt::EditRole);
    grid.setData(grid.index(5, 3), "手工备注", Qt::EditRole);
    grid.SetCell(0, 0, "时间");  // the header holds what it holds at export time

    ExportGridsToExcel({&grid});

    QStringList expected = PreambleFor(1) + SheetLookupFor(1) + CellCalls(grid);
    expected << QStringLiteral("Application.Visible put (true)");
    EXPECT_EQ(Calls(), expected);
    const recording::Sheet& sheet = recorder_->Applications().at(0)->workbooks[0].sheets[0];
    EXPECT_EQ(sheet.cells.size(), 7 * 4);
    EXPECT_EQ(sheet.Cell(1, 1), "时间");
    EXPECT_EQ(sheet.Cell(2, 2), "=1+1");
    EXPECT_EQ(sheet.Cell(7, 4), "手工备注");
    EXPECT_EQ(sheet.Cell(7, 1), "2024/05/01 10:00:00");
    EXPECT_FALSE(sheet.cells.contains({8, 1}));
}

TEST_F(ExportTest, sixHistoryExportsMakeSixApplicationsInOrder) {
    std::vector<std::unique_ptr<TestGrid>> grids;
    for (int table = 0; table < 6; ++table) {
        grids.push_back(
            std::make_unique<TestGrid>(QStringList{"采样时间", "电压V", "温度℃", "状态"}, 15));
        grids.back()->SetCell(1, 1, QString::number(table + 9));
    }

    for (const auto& grid : grids) ExportGridsToExcel({grid.get()});

    ASSERT_EQ(recorder_->Applications().size(), 6);
    for (int table = 0; table < 6; ++table) {
        SCOPED_TRACE(table);
        const recording::Application& app = *recorder_->Applications().at(table);
        EXPECT_EQ(app.caption, kCaption);
        EXPECT_TRUE(app.visible);
        ASSERT_EQ(app.workbooks.size(), 1);
        EXPECT_EQ(app.workbooks[0].sheets[0].name, kSheetName);
        EXPECT_EQ(app.workbooks[0].sheets[0].Cell(2, 2), QString::number(table + 9));
        EXPECT_EQ(app.calls.size(), 4 + 5 + 60 + 1);
    }
    EXPECT_EQ(recorder_->LiveObjects(), 0);
}

TEST_F(ExportTest, creationFailureShowsTheMessageOncePerExport) {
    recorder_->FailCreation(true);
    TestGrid grid({"a", "b", "c", "d"}, 15);

    ExportGridsToExcel({&grid});
    EXPECT_EQ(messages_, QStringList{kCannotOpen});
    EXPECT_FALSE(cursorAtMessage_) << "the wait cursor must be gone before the message box";

    for (int table = 1; table < 6; ++table) ExportGridsToExcel({&grid});
    EXPECT_EQ(messages_, QStringList(6, kCannotOpen));
    EXPECT_EQ(recorder_->CreationAttempts(), 6);
    EXPECT_TRUE(recorder_->Applications().isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Nothing registered at all is a creation failure too.
    recording::Uninstall();
    const automation::Factory calc = automation::RegisterClass("Excel.Application", {});
    ExportGridsToExcel({&grid});
    automation::RegisterClass("Excel.Application", calc);
    EXPECT_EQ(messages_.size(), 7);
}

TEST_F(ExportTest, errorOnCellsPropagatesAndStopsTheExport) {
    TestGrid grid({"a", "b", "c", "d"}, 15);
    recorder_->FailOnCall("cells", 7, QStringLiteral("单元格写入失败"));

    try {
        ExportGridsToExcel({&grid});
        FAIL() << "the call error was swallowed";
    } catch (const automation::CallError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), QStringLiteral("单元格写入失败"));
    }

    const QStringList calls = Calls();
    EXPECT_EQ(calls.filter(QStringLiteral("Cells")).size(), 7);
    EXPECT_EQ(calls.last(), QStringLiteral("Worksheet.Cells put (2, 3, \"\")"));
    EXPECT_FALSE(recorder_->Applications().at(0)->visible);
    EXPECT_TRUE(calls.filter(QStringLiteral("Visible")).isEmpty());
    EXPECT_EQ(recorder_->LiveObjects(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(ExportTest, waitCursorIsShownWhileTheApplicationWorks) {
    bool cursorDuringCreation = false;
    const automation::Factory previous = automation::RegisterClass(
        "Excel.Application", [&]() -> std::shared_ptr<automation::Dispatch> {
            const QCursor* cursor = QApplication::overrideCursor();
            cursorDuringCreation = cursor && cursor->shape() == Qt::WaitCursor;
            return recorder_->CreateApplication();
        });
    TestGrid grid({"a"}, 2);
    ExportGridsToExcel({&grid});
    automation::RegisterClass("Excel.Application", previous);

    EXPECT_TRUE(cursorDuringCreation);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
