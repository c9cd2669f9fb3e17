#pragma once

#include <QString>
#include <vector>

#include "battery/BatteryId.h"
#include "trend/TrendTypes.h"

class QWidget;

// "导出CSV" of the trend page: asks where to save, writes the chosen batteries and range with
// the store's CSV exporter on a thread of its own (the window goes on), then says how many rows
// went out, or why none did.
void ExportTrendCsv(QWidget* parent, const QString& storeFile,
                    const std::vector<battery::BatteryId>& batteries, const TimeRange& range);
