#include "models/PlainGridModel.h"

PlainGridModel::PlainGridModel(int colCount, int rowCount, QObject* parent)
    : GridModel(parent), colCount_(qMax(0, colCount)), rowCount_(qMax(0, rowCount)) {
    cells_.resize(qsizetype(colCount_) * rowCount_);
}

void PlainGridModel::SetRowCount(int rows) {
    rows = qMax(0, rows);
    if (rows == rowCount_) return;
    const int oldRows = rowCount_;
    BeginRowCountChange(oldRows, rows);
    cells_.resize(qsizetype(colCount_) * rows);
    rowCount_ = rows;
    EndRowCountChange(oldRows, rows);
}

QString PlainGridModel::Cell(int col, int row) const {
    return Contains(col, row) ? cells_.at(IndexOf(col, row)) : QString();
}

void PlainGridModel::SetCell(int col, int row, const QString& text) {
    if (!Contains(col, row)) return;
    QString& cell = cells_[IndexOf(col, row)];
    if (cell == text) return;
    cell = text;
    NotifyCellChanged(col, row);
}

bool PlainGridModel::Contains(int col, int row) const {
    return col >= 0 && col < colCount_ && row >= 0 && row < rowCount_;
}
