#pragma once

#include <QString>

#include "alarms/Discharge.h"

namespace report {

// Writes the report of one discharge to `pdfPath` as an A4 PDF: the site, the device, start,
// end and duration, the weakest battery, a capacity test's result, the batteries' table and
// their voltage curves (from the history file at `historyFile`). Needs a QApplication (the
// curves are drawn by the trend plot). False with `error` when the file cannot be written.
bool WriteDischargePdf(const alarms::DischargeRecord& record, const QString& site,
                       const QString& historyFile, const QString& pdfPath, QString* error);

}  // namespace report
