#pragma once

#include <QList>
#include <QStringList>

#include "models/GridModel.h"

// A plain string grid for export tests: fixed columns, settable rows, row 0 the header.
class TestGrid : public GridModel {
public:
    TestGrid(const QStringList& header, int rows) : cols_(int(header.size())) {
        rows_.append(header);
        SetRowCount(rows);
    }

    int ColCount() const override { return cols_; }
    int RowCount() const override { return int(rows_.size()); }
    void SetRowCount(int rows) override {
        BeginRowCountChange(RowCount(), rows);
        const int old = RowCount();
        rows_.resize(rows);
        for (int row = old; row < rows; ++row) rows_[row] = QStringList(cols_, QString());
        EndRowCountChange(old, rows);
    }
    QString Cell(int col, int row) const override {
        return row >= 0 && row < RowCount() && col >= 0 && col < cols_ ? rows_[row][col]
                                                                       : QString();
    }
    void SetCell(int col, int row, const QString& text) override {
        if (row < 0 || row >= RowCount() || col < 0 || col >= cols_) return;
        rows_[row][col] = text;
        NotifyCellChanged(col, row);
    }

private:
    int cols_;
    QList<QStringList> rows_;
};
