// The two "保存到Excel" buttons against the recording "Excel.Application".
#include "app/Controls.h"
#include "export/ExportJob.h"
#include "tests/app/FormFixture.h"
#include "tests/export/RecordingExcel.h"
#include "widgets/StringGrid.h"

namespace {

const QString kCannotOpen = QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！");

class ExportFixture : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        recorder = std::make_shared<recording::Recorder>();
        recording::Install(recorder);
    }
    void TearDown() override {
        recording::Uninstall();
        FormFixture::TearDown();
    }
    // Exports run on the export thread; the window's event loop carries them through.
    static void WaitForExports() {
        ASSERT_TRUE(testsupport::WaitUntil([] { return gridexport::PendingGridExports() == 0; },
                                           std::chrono::seconds(20)));
    }

    std::shared_ptr<recording::Recorder> recorder;
};

}  // namespace

TEST_F(ExportFixture, historyButtonExportsTheSixHistoryTablesInOrderAndTheLiveButtonItsTable) {
    Control<::StringGrid>(Form(), "StringGrid11")->SetCells(1, 2, QStringLiteral("typed"));
    Click(Control<QPushButton>(Form(), "RzBitBtn5"));
    WaitForExports();
    ASSERT_EQ(recorder->applications().size(), 6);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const recording::Application& app = *recorder->applications()[i];
        EXPECT_TRUE(app.visible);
        EXPECT_EQ(app.caption, QStringLiteral("蓄电池监测历史数据记录"));
        const recording::Sheet& sheet = app.workbooks.at(0).sheets.at(0);
        EXPECT_EQ(sheet.name, QStringLiteral("历史数据"));
        EXPECT_EQ(sheet.Cell(1, 1), QStringLiteral("%1#采样时间").arg(9 + i));
        EXPECT_EQ(sheet.cells.size(), 15 * 4);
    }
    EXPECT_EQ(recorder->applications()[2]->workbooks[0].sheets[0].Cell(3, 2),
              QStringLiteral("typed"));

    Click(Control<QPushButton>(Form(), "RzBitBtn6"));

    WaitForExports();
    ASSERT_EQ(recorder->applications().size(), 7);
    const recording::Sheet& live = recorder->applications()[6]->workbooks[0].sheets[0];
    EXPECT_EQ(live.cells.size(), 5 * 1024);
    EXPECT_EQ(live.Cell(1, 5), QStringLiteral("鼓包"));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ExportFixture, withoutTheApplicationTheHistoryButtonSaysSoSixTimesAndTheProgramRunsOn) {
    recorder->FailCreation(true);
    Click(Control<QPushButton>(Form(), "RzBitBtn5"));
    WaitForExports();
    ASSERT_EQ(Messages().size(), 6u);
    for (const ShownMessage& m : Messages()) EXPECT_EQ(m.text, kCannotOpen);
    Click(Control<QPushButton>(Form(), "RzBitBtn6"));
    WaitForExports();
    EXPECT_EQ(Messages().size(), 7u);
    Click(Control<QPushButton>(Form(), "RzBitBtn13"));
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 2);
}

TEST_F(ExportFixture, anErrorWhileCopyingStopsTheRemainingExportsAndIsShown) {
    recorder->FailOnCall(QStringLiteral("Cells"), 60 + 7, QStringLiteral("sheet is protected"));
    Click(Control<QPushButton>(Form(), "RzBitBtn5"));
    WaitForExports();
    // The first table (60 cells) is done, the second fails on its 7th cell, the rest never start.
    EXPECT_EQ(recorder->applications().size(), 2);
    EXPECT_TRUE(recorder->applications()[0]->visible);
    EXPECT_FALSE(recorder->applications()[1]->visible);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_TRUE(Messages()[0].text.contains(QStringLiteral("sheet is protected")));
}
