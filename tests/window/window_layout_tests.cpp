#include <QSignalSpy>
#include <QTabBar>

#include "app/Controls.h"
#include "engine/TTimer.h"
#include "tests/window/FormFixture.h"
#include "widgets/BarChart.h"
#include "widgets/StringGrid.h"

TEST_F(FormFixture, windowShowsCaptionSizeAndPagesInOrder) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("无线蓄电池监控软件 Demo1  Quorvane"));
    EXPECT_EQ(form->size(), QSize(1157, 691));
    ASSERT_EQ(Control<PageControl>(*form, "RzPageControl1")->count(), 6);
    const QStringList captions{"实时数据", "历史数据", "系统设置", "页面2", "历史趋势", "报警记录"};
    const QList<QWidget*> pages{
        Control<QWidget>(*form, "TabSheet1"),  Control<QWidget>(*form, "TabSheet2"),
        Control<QWidget>(*form, "TabSheet11"), Control<QWidget>(*form, "TabSheet4"),
        Control<QWidget>(*form, "TrendSheet"), Control<QWidget>(*form, "TabSheetAlarms")};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->tabText(i), captions[i]);
        EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->widget(i), pages[i]);
    }
    EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(form->findChild<QWidget*>("Chart1"),
              static_cast<QWidget*>(Control<BarChart>(*form, "Chart1")));
    EXPECT_EQ(form->findChild<QWidget*>("sample_time"),
              static_cast<QWidget*>(Control<QLineEdit>(*form, "sample_time")));
}

TEST_F(FormFixture, tablesStartWithTheirSizesAndHeaders) {
    StringGrid* live = Control<::StringGrid>(*form, "StringGrid");
    EXPECT_EQ(live->RowCount(), 1024);
    EXPECT_EQ(live->ColCount(), 5);
    const QStringList liveHeader{"模块地址", "采样时间", "电压V", "温度℃", "鼓包"};
    for (int c = 0; c < 5; ++c) EXPECT_EQ(live->Cells(c, 0), liveHeader[c]);
    EXPECT_EQ(live->Cells(0, 1), QString());

    for (int step = 1; step <= 14; ++step) {
        StringGrid* grid = HistoryGrid(*form, step);
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
    StringGrid* spare = Control<::StringGrid>(*form, "StringGrid15");
    EXPECT_EQ(spare->RowCount(), 15);
    EXPECT_EQ(spare->ColCount(), 4);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(spare->Cells(c, r), QString());
}

TEST_F(FormFixture, chartsAndComponentsStartEmptyAndIdle) {
    EXPECT_EQ(Control<BarChart>(*form, "Chart1")->SeriesCount(), 2);
    EXPECT_EQ(Control<BarChart>(*form, "Chart2")->SeriesCount(), 1);
    EXPECT_EQ(Control<BarChart>(*form, "Chart1")->Series(0), Control<BarSeries>(*form, "Series1"));
    EXPECT_EQ(Control<BarChart>(*form, "Chart2")->Series(0),
              Control<BarSeries>(*form, "BarSeries1"));
    EXPECT_EQ(Control<BarSeries>(*form, "Series1")->Count(), 0);
    EXPECT_TRUE(Control<QPlainTextEdit>(*form, "Memo1")->toPlainText().isEmpty());
    EXPECT_TRUE(Control<StatusBar>(*form, "StatusBar1")->PanelText(0).isEmpty());
    EXPECT_TRUE(Control<StatusBar>(*form, "StatusBar1")->PanelText(1).isEmpty());
    EXPECT_EQ(Control<CircleShape>(*form, "Shape1")->BrushColor(), QColor(Qt::white));
    EXPECT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("打开串口"));
    EXPECT_EQ(Control<QComboBox>(*form, "Com_combox")->count(), 10);
    EXPECT_EQ(Control<QComboBox>(*form, "Com_combox")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(Control<QComboBox>(*form, "Com_combox")->itemText(9), QStringLiteral("COM10"));
    EXPECT_EQ(Control<QLineEdit>(*form, "sample_time")->text(), QStringLiteral("10"));
    EXPECT_EQ(Comm1(*form)->ComHandle(), 0u);
    EXPECT_FALSE(form->Session().SamplingTimer().Enabled());
    EXPECT_FALSE(form->Session().PacingTimer().Enabled());
    EXPECT_EQ(form->Session().SamplingTimer().Interval(), 10000);
    EXPECT_EQ(form->Session().PacingTimer().Interval(), 150);
    EXPECT_FALSE(form->Session().Poll().PollCycleActive);
}

TEST_F(FormFixture, navigationButtonsSelectTheirPagesAndARepeatChangesNothing) {
    QSignalSpy changes(Control<PageControl>(*form, "RzPageControl1"), &QTabWidget::currentChanged);
    Click(Control<QPushButton>(*form, "RzBitBtn13"));
    EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->currentIndex(), 2);
    Click(Control<QPushButton>(*form, "RzBitBtn12"));
    EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->currentIndex(), 1);
    Click(Control<QPushButton>(*form, "RzBitBtn4"));
    EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(changes.count(), 3);
    Click(Control<QPushButton>(*form, "RzBitBtn4"));
    EXPECT_EQ(Control<PageControl>(*form, "RzPageControl1")->currentIndex(), 0);
    EXPECT_EQ(changes.count(), 3);
}

TEST_F(FormFixture, exitButtonAndWindowCloseEachRunFormCloseOnce) {
    {
        QSignalSpy closing(form.get(), &TForm1::Closing);
        Click(Control<QPushButton>(*form, "RzBitBtn3"));
        EXPECT_EQ(closing.count(), 1);
        EXPECT_FALSE(form->isVisible());
        EXPECT_TRUE(messages.empty());
    }
    form = std::make_unique<TForm1>();
    form->show();
    QSignalSpy closing(form.get(), &TForm1::Closing);
    EXPECT_TRUE(form->close());
    EXPECT_EQ(closing.count(), 1);
}

TEST_F(FormFixture, typedGridCellsStayAndHeaderCellsAreFixed) {
    StringGrid* grid = Control<::StringGrid>(*form, "StringGrid9");
    const QModelIndex cell = grid->model()->index(2, 1);  // grid cell (1, 3)
    ASSERT_TRUE(grid->model()->setData(cell, QStringLiteral("=1+1"), Qt::EditRole));
    EXPECT_EQ(grid->Cells(1, 3), QStringLiteral("=1+1"));
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
              QStringLiteral("9#采样时间"));
}
