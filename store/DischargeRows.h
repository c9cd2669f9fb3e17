#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <optional>
#include <vector>

#include "alarms/Discharge.h"

// Discharge records as rows: one row of `discharges` per discharge, one row of
// `discharge_batteries` per battery of it. A discharge is known by its device and start time
// while it runs, so each save of a running record replaces the one before.
namespace store {

// Writes `record` inside the caller's transaction: its row and its batteries' rows, replacing
// those of an earlier save of the same discharge. Returns its number, or 0 on failure (`error`
// set).
qint64 SaveDischarge(QSqlDatabase& db, const alarms::DischargeRecord& record, QSqlError* error);

// Every discharge, newest first; with `runningOnly`, those without an end. Empty when the file
// cannot be read (`error` set).
std::vector<alarms::DischargeRecord> LoadDischarges(QSqlDatabase& db, bool runningOnly,
                                                    QString* error);
// One discharge by its number.
std::optional<alarms::DischargeRecord> LoadDischarge(QSqlDatabase& db, qint64 id, QString* error);

}  // namespace store
