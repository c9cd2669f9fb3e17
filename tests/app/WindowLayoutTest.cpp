#include <QFontMetrics>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QTabBar>

#include "app/Controls.h"
#include "display/TextFormats.h"
#include "engine/TTimer.h"
#include "tests/app/FormFixture.h"
#include "widgets/BarChart.h"
#include "widgets/StringGrid.h"

TEST_F(FormFixture, windowShowsCaptionSizeAndPagesInOrder) {
    EXPECT_EQ(Form().windowTitle(), QStringLiteral("无线蓄电池监控软件 Demo1  Quorvane"));
    EXPECT_EQ(Form().size(), QSize(1157, 691));
    ASSERT_EQ(Control<PageControl>(Form(), "RzPageControl1")->count(), 7);
    const QStringList captions{"实时数据", "历史数据", "系统设置", "页面2",
                               "历史趋势", "报警记录", "放电记录"};
    const QList<QWidget*> pages{
        Control<QWidget>(Form(), "TabSheet1"),     Control<QWidget>(Form(), "TabSheet2"),
        Control<QWidget>(Form(), "TabSheet11"),    Control<QWidget>(Form(), "TabSheet4"),
        Control<QWidget>(Form(), "TrendSheet"),    Control<QWidget>(Form(), "TabSheetAlarms"),
        Control<QWidget>(Form(), "DischargeSheet")};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->tabText(i), captions[i]);
        EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->widget(i), pages[i]);
    }
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(Form().findChild<QWidget*>("Chart1"),
              static_cast<QWidget*>(Control<BarChart>(Form(), "Chart1")));
    EXPECT_EQ(Form().findChild<QWidget*>("sample_time"),
              static_cast<QWidget*>(Control<QLineEdit>(Form(), "sample_time")));
}

TEST_F(FormFixture, tablesStartWithTheirSizesAndHeaders) {
    StringGrid* live = Control<::StringGrid>(Form(), "StringGrid");
    EXPECT_EQ(live->RowCount(), 1024);
    EXPECT_EQ(live->ColCount(), 5);
    const QStringList liveHeader{"模块地址", "采样时间", "电压V", "温度℃", "鼓包"};
    for (int c = 0; c < 5; ++c) EXPECT_EQ(live->Cells(c, 0), liveHeader[c]);
    EXPECT_EQ(live->Cells(0, 1), QString());

    for (int step = 1; step <= 14; ++step) {
        StringGrid* grid = HistoryGrid(Form(), step);
        SCOPED_TRACE(step);
        EXPECT_EQ(grid->objectName(), QStringLiteral("StringGrid%1").arg(step));
        EXPECT_EQ(grid->RowCount(), 15);
        EXPECT_EQ(grid->ColCount(), 4);
        EXPECT_EQ(grid->Cells(0, 0), QStringLiteral("%1#采样时间").arg(step));
        EXPECT_EQ(grid->Cells(1, 0), QStringLiteral("电压"));
        EXPECT_EQ(grid->Cells(2, 0), QStringLiteral("温度"));
        EXPECT_EQ(grid->Cells(3, 0), QStringLiteral("鼓包"));
        EXPECT_EQ(grid->Cells(0, 1), QString());
    }
    StringGrid* spare = Control<::StringGrid>(Form(), "StringGrid15");
    EXPECT_EQ(spare->RowCount(), 15);
    EXPECT_EQ(spare->ColCount(), 4);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(spare->Cells(c, r), QString());
}

TEST_F(FormFixture, chartsAndComponentsStartEmptyAndIdle) {
    EXPECT_EQ(Control<BarChart>(Form(), "Chart1")->SeriesCount(), 2);
    EXPECT_EQ(Control<BarChart>(Form(), "Chart2")->SeriesCount(), 1);
    EXPECT_EQ(Control<BarChart>(Form(), "Chart1")->Series(0),
              Control<BarSeries>(Form(), "Series1"));
    EXPECT_EQ(Control<BarChart>(Form(), "Chart2")->Series(0),
              Control<BarSeries>(Form(), "BarSeries1"));
    EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Count(), 0);
    EXPECT_TRUE(Control<QPlainTextEdit>(Form(), "Memo1")->toPlainText().isEmpty());
    EXPECT_TRUE(Control<StatusBar>(Form(), "StatusBar1")->PanelText(0).isEmpty());
    EXPECT_TRUE(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1).isEmpty());
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(Qt::white));
    EXPECT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("打开串口"));
    EXPECT_EQ(Control<QComboBox>(Form(), "Com_combox")->count(), 10);
    EXPECT_EQ(Control<QComboBox>(Form(), "Com_combox")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(Control<QComboBox>(Form(), "Com_combox")->itemText(9), QStringLiteral("COM10"));
    EXPECT_EQ(Control<QLineEdit>(Form(), "sample_time")->text(), QStringLiteral("10"));
    EXPECT_EQ(Comm1(Form())->ComHandle(), 0u);
    EXPECT_FALSE(Form().Session().SamplingTimer().Enabled());
    EXPECT_FALSE(Form().Session().PacingTimer().Enabled());
    EXPECT_EQ(Form().Session().SamplingTimer().Interval(), 10000);
    EXPECT_EQ(Form().Session().PacingTimer().Interval(), 150);
    EXPECT_FALSE(Form().Session().Poll().PollCycleActive);
}

TEST_F(FormFixture, navigationButtonsSelectTheirPagesAndARepeatChangesNothing) {
    QSignalSpy changes(Control<PageControl>(Form(), "RzPageControl1"), &QTabWidget::currentChanged);
    Click(Control<QPushButton>(Form(), "RzBitBtn13"));
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 2);
    Click(Control<QPushButton>(Form(), "RzBitBtn12"));
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 1);
    Click(Control<QPushButton>(Form(), "RzBitBtn4"));
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(changes.count(), 3);
    Click(Control<QPushButton>(Form(), "RzBitBtn4"));
    EXPECT_EQ(Control<PageControl>(Form(), "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(changes.count(), 3);
}

TEST_F(FormFixture, exitButtonAndWindowCloseEachRunFormCloseOnce) {
    {
        QSignalSpy closing(&Form(), &TForm1::Closing);
        Click(Control<QPushButton>(Form(), "RzBitBtn3"));
        EXPECT_EQ(closing.count(), 1);
        EXPECT_FALSE(Form().isVisible());
        EXPECT_TRUE(Messages().empty());
    }
    window_->Reopen();
    QSignalSpy closing(&Form(), &TForm1::Closing);
    EXPECT_TRUE(Form().close());
    EXPECT_EQ(closing.count(), 1);
}

TEST_F(FormFixture, typedGridCellsStayAndHeaderCellsAreFixed) {
    StringGrid* grid = Control<::StringGrid>(Form(), "StringGrid9");
    const QModelIndex cell = grid->model()->index(2, 1);  // grid cell (1, 3)
    ASSERT_TRUE(grid->model()->setData(cell, QStringLiteral("=1+1"), Qt::EditRole));
    EXPECT_EQ(grid->Cells(1, 3), QStringLiteral("=1+1"));
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
              QStringLiteral("9#采样时间"));
}

// The width the view needs to draw `text` in a cell of `grid` without cutting it: the item
// delegate's text margin on both sides of the text.
int NeededCellWidth(const StringGrid& grid, const QString& text) {
    const int margin = grid.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid) + 1;
    return QFontMetrics(grid.font()).horizontalAdvance(text) + 2 * margin;
}

TEST_F(FormFixture, timeColumnsShowAWholeTimeStampAndTheRestOfTheLayoutStays) {
    const QString stamp = TimeStampText(QDateTime(QDate(2026, 12, 8), QTime(17, 58, 48)));
    struct Table {
        StringGrid* grid;
        int timeColumn;
        QRect geometry;
        QList<int> otherWidths;
    };
    std::vector<Table> tables{
        {Control<::StringGrid>(Form(), "StringGrid"), 1, {0, 32, 497, 553}, {67, 80, 88, 90}}};
    const int lastWidths[15] = {0, 34, 34, 34, 34, 34, 34, 34, 34, 56, 58, 62, 59, 59, 60};
    const QRect places[15] = {{},
                              {0, 24, 281, 177},
                              {312, 0, 289, 201},
                              {664, 0, 297, 201},
                              {664, 208, 305, 185},
                              {0, 216, 281, 193},
                              {312, 208, 289, 193},
                              {0, 416, 289, 161},
                              {312, 408, 305, 185},
                              {16, 24, 297, 257},
                              {344, 24, 305, 257},
                              {688, 24, 297, 249},
                              {16, 320, 297, 249},
                              {344, 320, 305, 249},
                              {688, 320, 297, 249}};
    for (int step = 1; step <= 14; ++step)
        tables.push_back({HistoryGrid(Form(), step), 0, places[step], {37, 36, lastWidths[step]}});
    tables[0].grid->SetCells(1, 1, stamp);
    for (const Table& t : tables) {
        SCOPED_TRACE(t.grid->objectName().toStdString());
        // Shown on its page so that the view lays itself out as the operator sees it.
        auto* pages = Control<PageControl>(Form(), "RzPageControl1");
        for (QWidget* w = t.grid->parentWidget(); w; w = w->parentWidget()) {
            if (pages->indexOf(w) >= 0) pages->setCurrentWidget(w);
        }
        t.grid->SetCells(t.timeColumn, 1, stamp);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(t.grid));
        EXPECT_GE(t.grid->columnWidth(t.timeColumn), NeededCellWidth(*t.grid, stamp));
        EXPECT_EQ(t.grid->geometry(), t.geometry);
        QList<int> others;
        for (int col = 0; col < t.grid->ColCount(); ++col) {
            if (col != t.timeColumn) others << t.grid->columnWidth(col);
        }
        EXPECT_EQ(others, t.otherWidths);
    }
    // The live table does not scroll sideways: its status column still shows its longest text.
    StringGrid* live = tables[0].grid;
    int leftOfStatus = 0;
    for (int col = 0; col < 4; ++col) leftOfStatus += live->columnWidth(col);
    EXPECT_GE(live->viewport()->width() - leftOfStatus,
              NeededCellWidth(*live, QStringLiteral("电压异常")));
}

TEST_F(FormFixture, keysAndDoubleClicksInAHistoryTableChangeNothing) {
    StringGrid* grid = Control<::StringGrid>(Form(), "StringGrid9");
    Control<PageControl>(Form(), "RzPageControl1")->setCurrentIndex(1);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(grid));
    grid->SetCells(1, 1, QStringLiteral("12.6"));
    const QModelIndex cell = grid->model()->index(0, 1);
    grid->setCurrentIndex(cell);
    grid->setFocus();
    QTest::keyClicks(grid, QStringLiteral("99"));
    QTest::keyClick(grid, Qt::Key_F2);
    QTest::keyClick(grid, Qt::Key_Backspace);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell).center());
    QTest::keyClicks(grid, QStringLiteral("0"));
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_EQ(grid->Cells(1, 1), QStringLiteral("12.6"));
    EXPECT_EQ(grid->findChild<QLineEdit*>(), nullptr);
}
