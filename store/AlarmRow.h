#pragma once

#include <QSqlQuery>
#include <optional>

#include "alarms/AlarmTypes.h"

// An alarm event as a row of the `alarms` table: one layout for writing and reading it back.
namespace store {

// The event's columns in the order BindAlarm and AlarmFromRow take them, each prefixed with
// `tableAlias` and a dot when one is given ("a.t_ms, a.device, ...").
QString AlarmColumns(const QString& tableAlias = {});

// Binds the event to positions first..first+7 of `insert`, in AlarmColumns' order. An event
// without a value (no answer) gets SQL NULL.
void BindAlarm(QSqlQuery& insert, int first, const alarms::AlarmEvent& event);

// The event in columns first..first+7 of the current row; nothing for a row of a kind, state or
// battery this program does not know. A no-answer alarm carries no value, whatever an earlier
// version wrote for it; a row without a level (an earlier version's) is critical.
std::optional<alarms::AlarmEvent> AlarmFromRow(const QSqlQuery& row, int first);

}  // namespace store
