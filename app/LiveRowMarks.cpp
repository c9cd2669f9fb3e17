#include "app/LiveRowMarks.h"

#include "alarms/AgeText.h"
#include "models/GridModel.h"

namespace liverows {

battery::BatteryId BatteryOfRow(int row) {
    return {battery::kDeviceA1, static_cast<std::uint8_t>(row - kFirstRow)};
}

void Show(GridModel& table, const alarms::AlarmRules& rules, std::int64_t nowMs) {
    for (int row = kFirstRow; row <= kLastRow; ++row) {
        const battery::BatteryId battery = BatteryOfRow(row);
        switch (rules.MarkOf(battery)) {
            case alarms::RowMark::Normal:
                table.SetRowLook(row, {}, {});
                break;
            case alarms::RowMark::Warning:
                table.SetRowLook(row, kWarningText, kWarningFill);
                break;
            case alarms::RowMark::Alarm:
                table.SetRowLook(row, kAlarmText, kAlarmFill);
                break;
            case alarms::RowMark::NoAnswer:
                table.SetRowLook(row, kSilentText, {});
                // A battery never heard from has no age to show; its row stays as it was.
                if (const auto last = rules.LastReadingMs(battery)) {
                    const QString age = alarms::AgeText(nowMs - *last);
                    if (table.Cell(kTimeColumn, row) != age) table.SetCell(kTimeColumn, row, age);
                }
                break;
        }
    }
}

}  // namespace liverows
