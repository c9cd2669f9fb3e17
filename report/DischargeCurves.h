#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include "alarms/Discharge.h"

class TrendPlot;

namespace report {

// Shows `record`'s batteries over the discharge (and a little before and after) on `plot`, read
// from the history file at `historyFile`; false with `error` when it cannot be read.
bool ShowDischargeCurves(TrendPlot& plot, const alarms::DischargeRecord& record,
                         const QString& historyFile, QString* error = nullptr);

// The same curves as a picture of `size`, drawn by a trend plot of its own.
QImage DischargeCurvesImage(const alarms::DischargeRecord& record, const QString& historyFile,
                            QSize size, QString* error = nullptr);

}  // namespace report
