#pragma once

#include <QList>
#include <QStringList>
#include <QTableView>

#include "models/GridModel.h"

// A table of text cells addressed by (column, row) from 0, row 0 being the fixed header row.
//
// The header row is shown as the horizontal header, so it stays in place while the data rows
// scroll and its sections resize the columns. Rows are of one fixed height, which keeps the view
// fast with models of millions of rows.
//
// The grid is a display: no key or click opens a cell for editing, since what it shows was
// measured and is exported as such. Cells can be selected, and Ctrl+C copies the selection.
class StringGrid : public QTableView {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 24;
    static constexpr int kDefaultColWidth = 64;

    StringGrid(int colCount, int rowCount, QWidget* parent = nullptr);  // owns a PlainGridModel
    StringGrid(GridModel* model, QWidget* parent = nullptr);            // takes ownership

    QString Cells(int col, int row) const;
    void SetCells(int col, int row, const QString& text);

    int ColCount() const;
    int RowCount() const;  // header row included
    void SetRowCount(int rows);

    void SetColWidths(const QList<int>& widths);
    void SetScrollBars(bool horizontal, bool vertical);

    // Widens column `col` until the widest of `samples` fits in one of its cells in the grid's
    // font; the grid's size and the other columns' widths stay. Done again when the font
    // changes. Never narrows the column.
    void FitColumnToText(int col, const QStringList& samples);
    // The width a cell needs to show `text` whole in the grid's font, its margins included.
    int CellWidthFor(const QString& text) const;

    GridModel* Model() const { return model_; }

    // The selected cells as tab-separated text, one line per row, over the rectangle that holds
    // the selection (cells in it that are not selected stay empty). Empty without a selection.
    QString SelectedText() const;
    // Puts SelectedText() on the clipboard.
    void CopySelection() const;

protected:
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ApplyLook();
    void ApplyColumnFit();

    GridModel* model_;
    int fitColumn_ = -1;
    QStringList fitSamples_;
};
