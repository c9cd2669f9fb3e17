#pragma once

#include <QString>

#include "protocol/ResponseDecoder.h"

// Battery k (1..6) is register 0x0080 + k - 1 of device 0xA1, poll step k + 8.

// "1#".."6#": the battery's label in the real-time table.
QString BatteryLabel(int battery);

// The log line of one reading: "1#(A1-80)--电压：12.5  温度：25".
QString LiveSummaryLine(int battery, const BatteryReading& reading);
