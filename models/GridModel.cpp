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
    if (role == Qt::ForegroundRole) return RowForeground(index.row() + 1);
    if (role == Qt::BackgroundRole) return RowBackground(index.row() + 1);
    return {};
}

void GridModel::SetRowLook(int row, const QVariant& foreground, const QVariant& background) {
    if (row < 1) return;
    const auto found = rowLooks_.constFind(row);
    const bool usual = !foreground.isValid() && !background.isValid();
    if (found == rowLooks_.cend()
            ? usual
            : found->foreground == foreground && found->background == background)
        return;
    if (usual)
        rowLooks_.remove(row);
    else
        rowLooks_.insert(row, RowLook{foreground, background});
    if (row < RowCount() && ColCount() > 0)
        emit dataChanged(index(row - 1, 0), index(row - 1, ColCount() - 1),
                         {Qt::ForegroundRole, Qt::BackgroundRole});
}

QVariant GridModel::RowForeground(int row) const {
    const auto found = rowLooks_.constFind(row);
    return found == rowLooks_.cend() ? QVariant() : found->foreground;
}

QVariant GridModel::RowBackground(int row) const {
    const auto found = rowLooks_.constFind(row);
    return found == rowLooks_.cend() ? QVariant() : found->background;
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
