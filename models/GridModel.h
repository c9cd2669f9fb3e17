#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QVariant>

// The cells of a string grid: (column, row) from 0, row 0 the fixed header row.
//
// Subclasses store the cells; this base presents them to a QTableView. The view sees the data
// rows only (grid rows 1..RowCount()-1 as model rows 0..), and the header row through
// headerData(Qt::Horizontal), so the header stays fixed while the rows scroll and columns can
// be resized by dragging the header. Cells are not editable in a view; setData writes through
// SetCell for code that fills a model through the table-model interface.
class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    virtual int ColCount() const = 0;
    virtual int RowCount() const = 0;  // header row included
    virtual void SetRowCount(int rows) = 0;
    virtual QString Cell(int col, int row) const = 0;                 // "" outside the grid
    virtual void SetCell(int col, int row, const QString& text) = 0;  // ignored outside the grid

    // How one data row (1..) stands out: text and fill colours (a QColor or QBrush in a
    // QVariant), shown through Qt::ForegroundRole and Qt::BackgroundRole. Null variants give the
    // view's usual look, which every row has until it is given another.
    void SetRowLook(int row, const QVariant& foreground, const QVariant& background);
    QVariant RowForeground(int row) const;
    QVariant RowBackground(int row) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

protected:
    // Subclasses call these around their own changes so that attached views follow.
    void NotifyCellChanged(int col, int row);
    void BeginRowCountChange(int oldRows, int newRows);
    void EndRowCountChange(int oldRows, int newRows);

private:
    struct RowLook {
        QVariant foreground;
        QVariant background;
    };
    QHash<int, RowLook> rowLooks_;  // only rows that differ from the usual look
};
