#pragma once

#include <QString>
#include <vector>

#include "battery/BatteryId.h"
#include "trend/TrendTypes.h"

class QWidget;

// "导出CSV" of the trend page: asks where to save, writes the chosen batteries and range with
// the store's CSV exporter on a worker thread (the window goes on), then says on the window's
// thread how many rows went out, or why none did. Closing the window waits for the file.
void ExportTrendCsv(QWidget* parent, const QString& storeFile,
                    const std::vector<battery::BatteryId>& batteries, const TimeRange& range);
