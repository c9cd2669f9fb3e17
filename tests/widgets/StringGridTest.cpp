#include <gtest/gtest.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "models/PlainGridModel.h"
#include "tests/common/WaitFor.h"
#include "widgets/StringGrid.h"

namespace {

// A grid whose cells are computed from their place, like the program's large tables.
class ComputedGridModel : public GridModel {
public:
    explicit ComputedGridModel(int rows) : rows_(rows) {}
    int ColCount() const override { return 5; }
    int RowCount() const override { return rows_; }
    void SetRowCount(int) override {}
    QString Cell(int col, int row) const override {
        return QStringLiteral("%1:%2").arg(col).arg(row);
    }
    void SetCell(int, int, const QString&) override {}

private:
    int rows_;
};

}  // namespace

TEST(StringGrid, rowCountChangesKeepCellsAndTheViewFollows) {
    StringGrid grid(4, 15);
    grid.SetCells(0, 0, "1#采样时间");
    grid.SetCells(1, 3, "12.5");
    grid.SetCells(3, 14, "last");
    EXPECT_EQ(grid.ColCount(), 4);
    EXPECT_EQ(grid.model()->rowCount(), 14);

    grid.SetRowCount(20);
    EXPECT_EQ(grid.RowCount(), 20);
    EXPECT_EQ(grid.model()->rowCount(), 19);
    EXPECT_EQ(grid.verticalHeader()->count(), 19);
    EXPECT_EQ(grid.Cells(0, 0), "1#采样时间");
    EXPECT_EQ(grid.Cells(1, 3), "12.5");
    EXPECT_EQ(grid.Cells(3, 14), "last");
    EXPECT_EQ(grid.Cells(3, 19), "");

    grid.SetRowCount(4);
    EXPECT_EQ(grid.verticalHeader()->count(), 3);
    EXPECT_EQ(grid.Cells(1, 3), "12.5");
    EXPECT_EQ(grid.Cells(3, 14), "");  // outside the grid now
    grid.SetRowCount(15);
    EXPECT_EQ(grid.Cells(3, 14), "") << "rows dropped earlier come back empty";

    // Writes and reads outside the grid are ignored.
    grid.SetCells(4, 1, "no");
    grid.SetCells(0, 15, "no");
    EXPECT_EQ(grid.Cells(4, 1), "");
    EXPECT_EQ(grid.Cells(0, 15), "");

    grid.SetRowCount(-3);
    EXPECT_EQ(grid.RowCount(), 0);
    EXPECT_EQ(grid.model()->rowCount(), 0);
    EXPECT_EQ(grid.Cells(0, 0), "");
}

TEST(StringGrid, headerRowIsTheFixedHorizontalHeader) {
    StringGrid grid(5, 1024);
    QSignalSpy headerChanges(grid.model(), &QAbstractItemModel::headerDataChanged);
    QSignalSpy cellChanges(grid.model(), &QAbstractItemModel::dataChanged);
    grid.SetCells(3, 0, "温度℃");
    grid.SetCells(2, 1, "12.6");
    grid.SetCells(2, 1, "12.6");  // unchanged: no notification

    EXPECT_EQ(grid.model()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "温度℃");
    EXPECT_EQ(grid.model()->data(grid.model()->index(0, 2), Qt::DisplayRole).toString(), "12.6");
    EXPECT_EQ(headerChanges.count(), 1);
    EXPECT_EQ(cellChanges.count(), 1);

    grid.SetColWidths({67, 123, 80, 88, 90});
    grid.SetScrollBars(false, true);
    grid.resize(497, 553);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    EXPECT_EQ(grid.columnWidth(1), 123);
    EXPECT_EQ(grid.rowHeight(0), StringGrid::kRowHeight);
    EXPECT_EQ(grid.horizontalHeader()->height(), StringGrid::kRowHeight);
    EXPECT_FALSE(grid.verticalHeader()->isVisible());
    EXPECT_EQ(grid.horizontalHeader()->font().pixelSize(), 15) << "header row looks like a row";
    EXPECT_EQ(grid.horizontalHeader()->font().family(), grid.font().family());
    EXPECT_EQ(grid.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // Scrolling moves the data rows only; the header keeps showing row 0.
    grid.scrollToBottom();
    EXPECT_GT(grid.rowAt(grid.viewport()->height() - 1), 1000);
    EXPECT_EQ(grid.horizontalHeader()->y(), grid.frameWidth());
}

TEST(StringGrid, keysAndClicksNeverEditACell) {
    StringGrid grid(4, 15);
    grid.SetCells(3, 3, "12.6");
    grid.resize(300, 250);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));

    const QModelIndex cell = grid.model()->index(2, 3);  // grid cell (3, 3)
    grid.setCurrentIndex(cell);
    QTest::keyClick(&grid, Qt::Key_4);
    QTest::keyClick(&grid, Qt::Key_F2);
    QTest::keyClick(&grid, Qt::Key_Delete);
    QTest::keyClick(&grid, Qt::Key_Return);
    const QRect place = grid.visualRect(cell);
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, place.center());
    grid.edit(cell);
    QTest::keyClicks(&grid, "99");
    QCoreApplication::processEvents();

    EXPECT_EQ(grid.viewport()->findChild<QLineEdit*>(), nullptr) << "an editor opened";
    EXPECT_EQ(grid.Cells(3, 3), "12.6");
    EXPECT_FALSE(grid.model()->flags(cell) & Qt::ItemIsEditable);
    // The program still fills cells itself.
    grid.SetCells(3, 3, "12.7");
    EXPECT_EQ(grid.Cells(3, 3), "12.7");
}

TEST(StringGrid, ctrlCCopiesTheSelectedCellsAsTabSeparatedText) {
    StringGrid grid(4, 6);
    for (int row = 1; row < 6; ++row)
        for (int col = 0; col < 4; ++col)
            grid.SetCells(col, row, QStringLiteral("%1,%2").arg(col).arg(row));
    grid.SetCells(2, 3, "");  // an empty cell keeps its place
    grid.resize(300, 250);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    QGuiApplication::clipboard()->setText("before");

    // Nothing selected: the clipboard stays as it was.
    grid.clearSelection();
    QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");

    // Grid cells (1, 2) to (3, 4), selected as the operator would with the mouse.
    grid.selectionModel()->select(
        QItemSelection(grid.model()->index(1, 1), grid.model()->index(3, 3)),
        QItemSelectionModel::ClearAndSelect);
    QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "1,2\t2,2\t3,2\n1,3\t\t3,3\n1,4\t2,4\t3,4");

    // One cell: its text alone, without separators.
    grid.selectionModel()->select(grid.model()->index(4, 0), QItemSelectionModel::ClearAndSelect);
    QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "0,5");
}

TEST(StringGrid, millionRowModelIsQuickToShowAndScroll) {
    QElapsedTimer clock;
    clock.start();
    StringGrid grid(new ComputedGridModel(1'000'001));
    grid.resize(497, 553);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    QCoreApplication::processEvents();
    const qint64 shownAfter = clock.elapsed();

    clock.restart();
    for (int step = 0; step < 50; ++step) {
        grid.verticalScrollBar()->setValue(step * 20'000);
        grid.viewport()->repaint();
    }
    grid.scrollToBottom();
    grid.viewport()->repaint();
    const qint64 scrolledAfter = clock.elapsed();

    EXPECT_EQ(grid.model()->rowCount(), 1'000'000);
    EXPECT_EQ(grid.rowAt(grid.viewport()->height() - 1), 999'999);
    EXPECT_EQ(grid.Cells(4, 1'000'000), "4:1000000");
    EXPECT_LT(shownAfter, 2000 * testsupport::kSlowdown);
    EXPECT_LT(scrolledAfter, 3000 * testsupport::kSlowdown);

    std::printf("million rows: shown in %lld ms, 51 scroll+repaints in %lld ms\n",
                static_cast<long long>(shownAfter), static_cast<long long>(scrolledAfter));
}
