#pragma once

#include <QIODevice>
#include <QString>

#include "alarms/Discharge.h"

namespace report {

// One discharge as CSV (UTF-8 with a byte order mark, so spreadsheet programs read the Chinese
// header): a line of the discharge (site, device, start, end, duration, weakest battery, and a
// capacity test's result), then one line per battery. Times are local, "yyyy-MM-dd HH:mm:ss".
bool WriteDischargeCsv(const alarms::DischargeRecord& record, const QString& site, QIODevice& out);

// The report's wording, shared with the page: "A0-85（第一个到达终止电压）", "未达到 (83.3%)".
QString WeakestText(const alarms::DischargeRecord& record);
QString CapacityText(const alarms::DischargeRecord& record, std::int64_t nowMs);
QString LocalTime(std::int64_t ms);

}  // namespace report
