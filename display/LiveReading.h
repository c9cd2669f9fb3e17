#pragma once

#include <QString>

#include "protocol/ResponseDecoder.h"

// Row k (1..6) of the real-time table shows battery k - 1 of device A1 ("1#" … "6#").

// The log line of one reading of row k's battery: "1#(A1-80)--电压：12.5  温度：25".
QString LiveSummaryLine(int row, const BatteryReading& reading);
