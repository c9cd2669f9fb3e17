#pragma once

#include <QColor>
#include <cstdint>

#include "alarms/AlarmRules.h"

class GridModel;

// How the real-time table shows its batteries' alarms: a critical alarm (every status alarm, a
// limit or string alarm at its critical level) in red text on a light red background, warnings
// alone in amber on light amber, a battery not heard from in grey with the age of its last
// reading in the time column. Rows of batteries without an alarm keep the table's usual look.
namespace liverows {

inline const QColor kAlarmText{0xFF, 0x00, 0x00};
inline const QColor kAlarmFill{0xFF, 0xDC, 0xDC};
inline const QColor kWarningText{0xC0, 0x60, 0x00};
inline const QColor kWarningFill{0xFF, 0xEE, 0xC8};
inline const QColor kSilentText{0x80, 0x80, 0x80};

inline constexpr int kTimeColumn = 1;

// Row 1..6 of the real-time table shows battery 0..5 of device A1.
battery::BatteryId BatteryOfRow(int row);
inline constexpr int kFirstRow = 1;
inline constexpr int kLastRow = 6;

// Brings every row's look (and a silent battery's age text) up to date with the rules at
// `nowMs`.
void Show(GridModel& table, const alarms::AlarmRules& rules, std::int64_t nowMs);

}  // namespace liverows
