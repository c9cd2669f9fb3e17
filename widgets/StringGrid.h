#pragma once

#include <QList>
#include <QTableView>

#include "models/GridModel.h"

// A table of text cells addressed by (column, row) from 0, row 0 being the fixed header row.
//
// The header row is shown as the horizontal header, so it stays in place while the data rows
// scroll and its sections resize the columns. Rows are of one fixed height, which keeps the view
// fast with models of millions of rows.
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

    GridModel* Model() const { return model_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void ApplyLook();

    GridModel* model_;
};
