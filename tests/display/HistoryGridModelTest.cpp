#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QSignalSpy>
#include <chrono>
#include <random>

#include "display/HistoryGridModel.h"
#include "display/HistoryTables.h"
#include "display/TextFormats.h"
#include "tests/common/WaitFor.h"

namespace {

BatteryReading Reading(std::uint8_t status, std::uint8_t rawVoltage, std::uint16_t rawTemperature) {
    return BatteryReading{rawVoltage / 10.0, rawTemperature / 10.0, status, rawVoltage,
                          rawTemperature};
}

QString Decimal(const char* whole, const char* fraction) {
    return QString::fromLatin1(whole) + QLocale::system().decimalPoint() +
           QString::fromLatin1(fraction);
}

const QDateTime kMorning(QDate(2026, 12, 7), QTime(8, 5, 9));

TEST(HistoryTables, headerTextsAndExtraRowsPerStep) {
    EXPECT_EQ(HistoryHeaderText(1), QStringLiteral("A0-80采样时间"));
    EXPECT_EQ(HistoryHeaderText(8), QStringLiteral("A0-87采样时间"));
    EXPECT_EQ(HistoryHeaderText(9), QStringLiteral("1#采样时间"));
    EXPECT_EQ(HistoryHeaderText(14), QStringLiteral("6#采样时间"));
    EXPECT_EQ(HistoryExtraRows(4), 4);
    EXPECT_EQ(HistoryExtraRows(12), 4);
    for (int step : {1, 3, 5, 8, 9, 11, 13, 14}) EXPECT_EQ(HistoryExtraRows(step), 1) << step;
}

TEST(HistoryTables, firstRecordShrinksTheTableAndFillsRowOne) {
    HistoryGridModel table;
    QAbstractItemModelTester tester(&table,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    table.SetCell(0, 0, QStringLiteral("采样时间"));
    table.SetCell(1, 0, QStringLiteral("电压"));
    EXPECT_EQ(table.RowCount(), 15);

    AppendHistoryRecord(table, 1, Reading(0x11, 0x7D, 0x00FA), kMorning.toSecsSinceEpoch());
    EXPECT_EQ(table.RecordCount(), 1u);
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_EQ(table.rowCount(), 1);  // what a view sees: data rows only
    EXPECT_EQ(table.Cell(0, 0), QStringLiteral("A0-80采样时间"));
    EXPECT_EQ(table.Cell(1, 0), QStringLiteral("电压"));
    EXPECT_EQ(table.Cell(0, 1), TimeStampText(kMorning));
    EXPECT_EQ(table.Cell(1, 1), Decimal("12", "5"));
    EXPECT_EQ(table.Cell(2, 1), QStringLiteral("25"));
    EXPECT_EQ(table.Cell(3, 1), QStringLiteral("正常"));
    EXPECT_EQ(table.data(table.index(0, 2), Qt::DisplayRole).toString(), QStringLiteral("25"));
    EXPECT_EQ(table.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
              QStringLiteral("A0-80采样时间"));

    AppendHistoryRecord(table, 1, Reading(0x74, 0x82, 0xFFF6), kMorning.toSecsSinceEpoch() + 10);
    EXPECT_EQ(table.RowCount(), 3);
    EXPECT_EQ(table.Cell(0, 2), TimeStampText(kMorning.addSecs(10)));
    EXPECT_EQ(table.Cell(1, 2), QStringLiteral("13"));
    EXPECT_EQ(table.Cell(2, 2), Decimal("6552", "6"));
    EXPECT_EQ(table.Cell(3, 2), QStringLiteral("0x74"));
    EXPECT_EQ(table.Cell(1, 1), Decimal("12", "5"));
}

TEST(HistoryTables, stepFourKeepsThreeEmptyRowsBelowTheNewestRecord) {
    HistoryGridModel table;
    QAbstractItemModelTester tester(&table,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    AppendHistoryRecord(table, 4, Reading(0x11, 120, 200), 1000);
    EXPECT_EQ(table.RowCount(), 5);
    for (int row = 2; row <= 4; ++row) {
        for (int col = 0; col < 4; ++col) EXPECT_EQ(table.Cell(col, row), QString()) << row;
    }

    AppendHistoryRecord(table, 4, Reading(0x11, 121, 201), 1010);
    EXPECT_EQ(table.RowCount(), 6);
    EXPECT_EQ(table.Cell(1, 1), QStringLiteral("12"));
    EXPECT_EQ(table.Cell(1, 2), Decimal("12", "1"));
    EXPECT_EQ(table.Cell(1, 3), QString());
    EXPECT_EQ(table.Cell(1, 5), QString());
    EXPECT_EQ(table.Cell(0, 0), QStringLiteral("A0-83采样时间"));
}

TEST(HistoryGridModel, rowCountIsIndependentOfTheRecords) {
    HistoryGridModel table(3);
    QAbstractItemModelTester tester(&table,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    EXPECT_EQ(table.Cell(0, 2), QString());

    for (int i = 0; i < 5; ++i) table.AppendRecord(100 + i, Reading(0x11, 100 + i, 0));
    EXPECT_EQ(table.RecordCount(), 5u);
    EXPECT_EQ(table.RowCount(), 3);
    EXPECT_EQ(table.Cell(1, 2), QStringLiteral("10") + QLocale::system().decimalPoint() + u'1');
    EXPECT_EQ(table.Cell(1, 3), QString());  // a record beyond the rows is not shown

    table.SetRowCount(9);
    EXPECT_EQ(table.Cell(1, 5), QStringLiteral("10") + QLocale::system().decimalPoint() + u'4');
    EXPECT_EQ(table.Cell(1, 6), QString());
    EXPECT_EQ(table.Cell(1, 8), QString());
    EXPECT_EQ(table.Cell(4, 1), QString());
    EXPECT_EQ(table.Cell(-1, 1), QString());

    table.SetRowCount(0);
    EXPECT_EQ(table.RowCount(), 1);
    EXPECT_EQ(table.rowCount(), 0);
}

TEST(HistoryGridModel, overridesWinUntilTheProgramWritesTheirRow) {
    HistoryGridModel table(15);
    QAbstractItemModelTester tester(&table,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    AppendHistoryRecord(table, 4, Reading(0x11, 125, 250), 1000);  // rows 0..4

    // The operator edits a record cell, clears another and types into an empty row.
    EXPECT_TRUE(table.setData(table.index(0, 1), QStringLiteral("checked"), Qt::EditRole));
    table.SetCell(3, 1, QString());
    table.SetCell(0, 2, QStringLiteral("note"));
    table.SetCell(0, 3, QStringLiteral("kept"));
    table.SetCell(0, 99, QStringLiteral("outside"));
    EXPECT_EQ(table.Cell(1, 1), QStringLiteral("checked"));
    EXPECT_EQ(table.Cell(3, 1), QString());
    EXPECT_EQ(table.Cell(0, 2), QStringLiteral("note"));
    EXPECT_EQ(table.Cell(0, 99), QString());

    // The next record lands in row 2: its note goes, row 1's edits and row 3's text stay.
    AppendHistoryRecord(table, 4, Reading(0x72, 130, 300), 2000);
    EXPECT_EQ(table.Cell(0, 2), TimeStampText(QDateTime::fromSecsSinceEpoch(2000)));
    EXPECT_EQ(table.Cell(3, 2), QStringLiteral("温度异常"));
    EXPECT_EQ(table.Cell(1, 1), QStringLiteral("checked"));
    EXPECT_EQ(table.Cell(3, 1), QString());
    EXPECT_EQ(table.Cell(0, 3), QStringLiteral("kept"));

    // Shrinking removes row 3 with its text; growing back shows the row empty.
    table.SetRowCount(3);
    table.SetRowCount(6);
    EXPECT_EQ(table.Cell(0, 3), QString());
    EXPECT_EQ(table.Cell(1, 1), QStringLiteral("checked"));
}

TEST(HistoryGridModel, viewsAreToldAboutEveryChange) {
    HistoryGridModel table(2);
    QSignalSpy changed(&table, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&table, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&table, &QAbstractItemModel::rowsRemoved);
    QSignalSpy header(&table, &QAbstractItemModel::headerDataChanged);

    table.AppendRecord(1, Reading(0x11, 1, 1));  // row 1 is visible
    EXPECT_GE(changed.count(), 1);
    const int visibleChanges = changed.count();
    table.AppendRecord(2, Reading(0x11, 1, 1));  // row 2 is beyond the grid
    EXPECT_EQ(changed.count(), visibleChanges);

    table.SetRowCount(5);
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted.at(0).at(1).toInt(), 1);
    EXPECT_EQ(inserted.at(0).at(2).toInt(), 3);
    table.SetRowCount(5);
    EXPECT_EQ(inserted.count(), 1);
    table.SetRowCount(2);
    EXPECT_EQ(removed.count(), 1);

    table.SetCell(2, 0, QStringLiteral("温度"));
    EXPECT_EQ(header.count(), 1);
}

TEST(HistoryGridModel, millionRecordsStayCompactAndFast) {
    using Clock = std::chrono::steady_clock;
    constexpr int kRecords = 1'000'000;
    HistoryGridModel table;

    const auto appendStart = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
        AppendHistoryRecord(table, 9, Reading(0x11, i % 256, i % 65536), 1'700'000'000 + i);
    }
    const auto appendTime = Clock::now() - appendStart;
    EXPECT_EQ(table.RecordCount(), static_cast<std::uint32_t>(kRecords));
    EXPECT_EQ(table.RowCount(), kRecords + 1);
    EXPECT_LT(static_cast<double>(table.RecordStorageBytes()) / kRecords, 48.0);
    EXPECT_LT(appendTime, std::chrono::seconds(5) * testsupport::kSlowdown);

    std::mt19937 random(7);
    std::uniform_int_distribution<int> anyRow(1, kRecords);
    const auto readStart = Clock::now();
    qsizetype characters = 0;
    for (int i = 0; i < 20'000; ++i) characters += table.Cell(i % 4, anyRow(random)).size();
    EXPECT_GT(characters, 0);
    EXPECT_LT(Clock::now() - readStart, std::chrono::seconds(2) * testsupport::kSlowdown);

    EXPECT_EQ(table.Cell(1, kRecords), Decimal("6", "3"));  // (999999 % 256) / 10
    EXPECT_EQ(table.Cell(0, kRecords),
              TimeStampText(QDateTime::fromSecsSinceEpoch(1'700'000'000 + kRecords - 1)));
}

}  // namespace
