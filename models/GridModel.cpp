#include "models/GridModel.h"

int GridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : qMax(0, RowCount() - 1);
}

int GridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColCount();
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return Cell(index.column(), index.row() + 1);
    return {};
}

bool GridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole) return false;
    SetCell(index.column(), index.row() + 1, value.toString());
    return true;
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return Cell(section, 0);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

void GridModel::NotifyCellChanged(int col, int row) {
    if (row == 0) {
        emit headerDataChanged(Qt::Horizontal, col, col);
    } else {
        const QModelIndex i = index(row - 1, col);
        emit dataChanged(i, i, {Qt::DisplayRole, Qt::EditRole});
    }
}

void GridModel::BeginRowCountChange(int oldRows, int newRows) {
    const int oldData = qMax(0, oldRows - 1);
    const int newData = qMax(0, newRows - 1);
    if (newData > oldData)
        beginInsertRows({}, oldData, newData - 1);
    else if (newData < oldData)
        beginRemoveRows({}, newData, oldData - 1);
}

void GridModel::EndRowCountChange(int oldRows, int newRows) {
    const int oldData = qMax(0, oldRows - 1);
    const int newData = qMax(0, newRows - 1);
    if (newData > oldData)
        endInsertRows();
    else if (newData < oldData)
        endRemoveRows();
}
