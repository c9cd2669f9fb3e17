#include "display/HistoryTables.h"

#include <algorithm>
#include <limits>

QString HistoryHeaderText(int step) {
    if (step >= 1 && step <= 8) return QStringLiteral("A0-8%1采样时间").arg(step - 1);
    if (step >= 9 && step <= 14) return QStringLiteral("%1#采样时间").arg(step - 8);
    return {};
}

int HistoryExtraRows(int step) { return (step == 4 || step == 12) ? 4 : 1; }

void AppendHistoryRecord(HistoryGridModel& table, int step, const BatteryReading& reading,
                         qint64 epochSeconds) {
    table.AppendRecord(epochSeconds, reading);
    const int extra = HistoryExtraRows(step);
    const std::uint32_t records = std::min<std::uint32_t>(
        table.RecordCount(), static_cast<std::uint32_t>(std::numeric_limits<int>::max() - extra));
    table.SetRowCount(static_cast<int>(records) + extra);
    table.SetCell(0, 0, HistoryHeaderText(step));
}
