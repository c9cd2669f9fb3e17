#pragma once

#include <QDateTime>
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

// A read-only history-like table whose texts are made when read, like the window's history
// tables: a time stamp, a voltage, a temperature and a status per row.
class GeneratedGrid : public GridModel {
public:
    explicit GeneratedGrid(int dataRows) : rows_(dataRows + 1) {}

    int ColCount() const override { return 4; }
    int RowCount() const override { return rows_; }
    void SetRowCount(int) override {}
    QString Cell(int col, int row) const override {
        static const QStringList header{"采样时间", "电压V", "温度℃", "状态"};
        if (col < 0 || col >= 4 || row < 0 || row >= rows_) return {};
        if (row == 0) return header[col];
        switch (col) {
            case 0:
                return QDateTime::fromSecsSinceEpoch(1765000000 + row)
                    .toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
            case 1:
                return QString::number(12 + (row % 10) / 10.0);
            case 2:
                return QString::number(20 + (row % 100) / 10.0);
            default:
                return row % 7 ? QStringLiteral("正常") : QStringLiteral("鼓包");
        }
    }
    void SetCell(int, int, const QString&) override {}

private:
    int rows_;
};
