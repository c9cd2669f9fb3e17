#pragma once

#include <QString>
#include <vector>

#include "display/HistoryGridModel.h"
#include "protocol/ResponseDecoder.h"

// Poll steps 1..14 each keep a history table. These are the per-step facts of those tables.

// The text the table shows in its top-left header cell once it holds records:
// "A0-80采样时间".."A0-87采样时间" for steps 1..8, "1#采样时间".."6#采样时间" for 9..14.
QString HistoryHeaderText(int step);

// Rows kept below the newest record, header row included: 4 for steps 4 and 12, else 1.
int HistoryExtraRows(int step);

// Adds a reading to the step's table: appends the record, sets the row count to the record
// count plus the step's extra rows and writes the step's header text.
void AppendHistoryRecord(HistoryGridModel& table, int step, const BatteryReading& reading,
                         qint64 epochSeconds);

// The same for many readings at once, oldest first (a start-up restore): the views hear of one
// row-count change in the end instead of one per record.
struct TimedReading {
    qint64 epochSeconds;
    BatteryReading reading;
};
void AppendHistoryRecords(HistoryGridModel& table, int step,
                          const std::vector<TimedReading>& readings);
