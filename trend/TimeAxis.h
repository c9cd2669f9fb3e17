#pragma once

#include <QString>
#include <QTimeZone>
#include <vector>

#include "trend/TrendTypes.h"

// One tick of the time axis: its time, its label, and a second line that names the date (or
// year) where it changes from the tick before, so a reader never loses track of the day.
struct TimeTick {
    qint64 tMs = 0;
    QString text;
    QString context;
};

// Ticks for `range` on round local times (seconds, minutes, hours, days, months or years),
// at most `maxTicks` of them (at least one step is always taken, so a huge range gives few).
// Labels: "HH:mm:ss" below a minute, "HH:mm" below a day (context "yyyy-MM-dd"), "MM-dd" for
// days (context "yyyy"), "yyyy-MM" for months, "yyyy" for years.
std::vector<TimeTick> TimeAxisTicks(const TimeRange& range, int maxTicks,
                                    const QTimeZone& zone = QTimeZone::systemTimeZone());
