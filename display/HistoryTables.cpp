#include "display/HistoryTables.h"

#include <algorithm>
#include <limits>

QString HistoryHeaderText(int step) {
    if (step >= 1 && step <= 8) return QStringLiteral("A0-8%1采样时间").arg(step - 1);
    if (step >= 9 && step <= 14) return QStringLiteral("%1#采样时间").arg(step - 8);
    return {};
}

int HistoryExtraRows(int step) { return (step == 4 || step == 12) ? 4 : 1; }

namespace {

void FitRowsAndHeader(HistoryGridModel& table, int step) {
    const int extra = HistoryExtraRows(step);
    const std::uint32_t records = std::min<std::uint32_t>(
        table.RecordCount(), static_cast<std::uint32_t>(std::numeric_limits<int>::max() - extra));
    table.SetRowCount(static_cast<int>(records) + extra);
    table.SetCell(0, 0, HistoryHeaderText(step));
}

}  // namespace

void AppendHistoryRecord(HistoryGridModel& table, int step, const BatteryReading& reading,
                         qint64 epochSeconds) {
    table.AppendRecord(epochSeconds, reading);
    FitRowsAndHeader(table, step);
}

void AppendHistoryRecords(HistoryGridModel& table, int step,
                          const std::vector<TimedReading>& readings) {
    if (readings.empty()) return;
    for (const TimedReading& r : readings) table.AppendRecord(r.epochSeconds, r.reading);
    FitRowsAndHeader(table, step);
}
