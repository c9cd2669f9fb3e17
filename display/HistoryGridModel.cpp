#include "display/HistoryGridModel.h"

#include <QDateTime>
#include <algorithm>
#include <limits>

#include "battery/Status.h"
#include "display/TextFormats.h"

namespace {

constexpr std::size_t kInitialCapacity = 64;
constexpr std::uint8_t kNormalStatus = 0x11;  // "正常"

}  // namespace

HistoryGridModel::HistoryGridModel(int rowCount, QObject* parent)
    : GridModel(parent), rowCount_(std::max(1, rowCount)) {}

void HistoryGridModel::AppendRecord(qint64 epochSeconds, const BatteryReading& reading) {
    // Growth by half keeps the unused reserve at most a third of the store.
    if (records_.size() == records_.capacity()) {
        records_.reserve(std::max(kInitialCapacity, records_.capacity() + records_.capacity() / 2));
    }
    records_.push_back(
        Record{epochSeconds, reading.RawTemperature, reading.RawVoltage, reading.StatusCode});
    if (records_.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return;

    const int row = static_cast<int>(records_.size());
    DropOverridesOfRow(row);
    if (row < rowCount_) {
        for (int col = 0; col < kColumns; ++col) NotifyCellChanged(col, row);
    }
}

std::uint32_t HistoryGridModel::RecordCount() const {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(records_.size(), std::numeric_limits<std::uint32_t>::max()));
}

std::size_t HistoryGridModel::RecordStorageBytes() const {
    return records_.capacity() * sizeof(Record);
}

int HistoryGridModel::ColCount() const { return kColumns; }

int HistoryGridModel::RowCount() const { return rowCount_; }

void HistoryGridModel::SetRowCount(int rows) {
    rows = std::max(1, rows);
    if (rows == rowCount_) return;
    const int oldRows = rowCount_;
    BeginRowCountChange(oldRows, rows);
    rowCount_ = rows;
    if (rows < oldRows && !overrides_.isEmpty()) {
        overrides_.removeIf([rows](QHash<quint64, QString>::iterator entry) {
            return static_cast<int>(entry.key() & 0xFFFFFFFFu) >= rows;
        });
    }
    EndRowCountChange(oldRows, rows);
}

void HistoryGridModel::SetAbnormalForeground(const QVariant& colour) {
    abnormalForeground_ = colour;
    if (!records_.empty() && rowCount_ > 1)
        emit dataChanged(index(0, 0), index(rowCount_ - 2, kColumns - 1), {Qt::ForegroundRole});
}

// A record's row is drawn in the abnormal colour whatever texts were typed over it: the colour
// tells what the device reported.
QVariant HistoryGridModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::ForegroundRole && abnormalForeground_.isValid() && index.isValid()) {
        const auto record = static_cast<std::size_t>(index.row());
        if (record < records_.size() && records_[record].statusCode != kNormalStatus)
            return abnormalForeground_;
    }
    return GridModel::data(index, role);
}

QString HistoryGridModel::Cell(int col, int row) const {
    if (col < 0 || col >= kColumns || row < 0 || row >= rowCount_) return {};
    if (row == 0) return header_[col];
    if (!overrides_.isEmpty()) {
        const auto found = overrides_.constFind(CellKey(col, row));
        if (found != overrides_.cend()) return found.value();
    }
    const auto index = static_cast<std::size_t>(row) - 1;
    if (index >= records_.size()) return {};
    return RecordText(records_[index], col);
}

void HistoryGridModel::SetCell(int col, int row, const QString& text) {
    if (col < 0 || col >= kColumns || row < 0 || row >= rowCount_) return;
    if (row == 0) {
        header_[col] = text;
    } else if (static_cast<std::size_t>(row) > records_.size() && text.isEmpty()) {
        overrides_.remove(CellKey(col, row));  // an empty row beyond the records reads "" anyway
    } else {
        overrides_.insert(CellKey(col, row), text);
    }
    NotifyCellChanged(col, row);
}

quint64 HistoryGridModel::CellKey(int col, int row) {
    return (static_cast<quint64>(col) << 32) | static_cast<quint32>(row);
}

QString HistoryGridModel::RecordText(const Record& record, int col) const {
    switch (col) {
        case 0:
            return TimeStampText(QDateTime::fromSecsSinceEpoch(record.epochSeconds));
        case 1:
            return NumberText(record.rawVoltage / 10.0);
        case 2:
            return NumberText(record.rawTemperature / 10.0);
        default:
            return battery::StatusText(record.statusCode);
    }
}

void HistoryGridModel::DropOverridesOfRow(int row) {
    if (overrides_.isEmpty()) return;
    for (int col = 0; col < kColumns; ++col) overrides_.remove(CellKey(col, row));
}
