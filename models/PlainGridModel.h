#pragma once

#include <QList>
#include <QString>

#include "models/GridModel.h"

// A grid that simply stores every cell as a string: a fixed number of columns and a settable
// number of rows (header row included). Growing keeps the existing cells and adds empty rows;
// shrinking drops the rows at the end.
class PlainGridModel : public GridModel {
    Q_OBJECT
public:
    PlainGridModel(int colCount, int rowCount, QObject* parent = nullptr);

    int ColCount() const override { return colCount_; }
    int RowCount() const override { return rowCount_; }
    void SetRowCount(int rows) override;
    QString Cell(int col, int row) const override;
    void SetCell(int col, int row, const QString& text) override;

private:
    bool Contains(int col, int row) const;
    qsizetype IndexOf(int col, int row) const { return qsizetype(row) * colCount_ + col; }

    int colCount_;
    int rowCount_;
    QList<QString> cells_;  // row-major, so a row-count change only touches the tail
};
