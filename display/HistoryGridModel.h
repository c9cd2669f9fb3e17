#pragma once

#include <QHash>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

#include "models/GridModel.h"
#include "protocol/ResponseDecoder.h"

// A four-column history table (time, voltage, temperature, status) that can hold millions of
// readings: record n lives in grid row n as 16 bytes of raw values, and its texts are made
// when a cell is read. Texts written into cells (by the operator or the program) are kept as
// overrides on top of the records. The row count is set independently of the record count,
// so the grid can show empty rows below the newest record, or hide records beyond its rows.
class HistoryGridModel : public GridModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 4;

    explicit HistoryGridModel(int rowCount = 15, QObject* parent = nullptr);

    // Stores a reading taken at `epochSeconds` as the next record. Texts previously written
    // into that record's row are dropped: the row now shows the new record.
    void AppendRecord(qint64 epochSeconds, const BatteryReading& reading);
    std::uint32_t RecordCount() const;

    // Bytes held by the record store, unused reserve included.
    std::size_t RecordStorageBytes() const;

    // The text colour of records whose status is not normal (a QColor in a QVariant); null, the
    // default, draws them like every other record.
    void SetAbnormalForeground(const QVariant& colour);

    // GridModel
    QVariant data(const QModelIndex& index, int role) const override;
    int ColCount() const override;
    int RowCount() const override;
    void SetRowCount(int rows) override;  // at least the header row; shrinking drops overrides
    QString Cell(int col, int row) const override;
    void SetCell(int col, int row, const QString& text) override;

private:
    struct Record {
        qint64 epochSeconds;
        std::uint16_t rawTemperature;
        std::uint8_t rawVoltage;
        std::uint8_t statusCode;
    };
    static_assert(sizeof(Record) <= 16);

    static quint64 CellKey(int col, int row);
    QString RecordText(const Record& record, int col) const;
    void DropOverridesOfRow(int row);

    std::vector<Record> records_;  // records_[n - 1] is grid row n
    std::array<QString, kColumns> header_;
    QHash<quint64, QString> overrides_;
    int rowCount_;
    QVariant abnormalForeground_;
};
