#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "trend/TrendTypes.h"

// What a plot needs to draw `range` into `columns` pixel columns. A reading more than `gapMs`
// after the one before it starts a new stretch of line.
// Readings that were reduced before (a plot re-reducing what it holds) already carry their line
// breaks, and their gaps in time say nothing: `keepMarkedBreaks` takes the breaks as marked.
struct ReductionPlan {
    TimeRange range;
    int columns = 1;
    qint64 gapMs = 30'000;
    bool keepMarkedBreaks = false;
};

// One battery reduced for drawing: the points of the voltage line, of the temperature line,
// and the readings whose status is not normal, to mark on both lines. Every point is a real
// reading with its own time.
struct ReducedBattery {
    TrendSeries voltage;
    TrendSeries temperature;
    TrendSeries marks;
};

// Reduces a time-ordered stream of readings, one at a time, to at most two points per pixel
// column and line (its minimum and its maximum, in time order), so every spike stays visible
// while memory stays bounded by the column count. A silence longer than the gap limit also
// closes the column's points, so a column can hold two points on each side of an outage.
// While no more readings than columns have arrived they are kept exactly as they are.
// Marks: every abnormal reading while exact, the first abnormal one of each column after that.
class MinMaxReducer {
public:
    explicit MinMaxReducer(const ReductionPlan& plan);

    // Readings must come in ascending time; one older than the last is dropped, as are readings
    // outside the range.
    void Add(const TrendSample& sample);
    ReducedBattery Finish();

private:
    struct Column {
        int index = -1;
        bool breakBefore = false;
        TrendSample minVoltage, maxVoltage, minTemperature, maxTemperature;
        std::optional<TrendSample> firstAbnormal;
    };

    int ColumnOf(qint64 tMs) const;
    void SwitchToColumns();
    void AddToColumn(const TrendSample& sample);
    void CloseColumn();

    ReductionPlan spec_;
    std::optional<qint64> lastTime_;
    bool exact_ = true;
    TrendSeries exactSamples_;
    Column column_;
    ReducedBattery out_;
};

ReducedBattery ReduceMinMax(std::span<const TrendSample> samples, const ReductionPlan& plan);

// Whether `t` follows `previous` by more than the gap limit: a reading after such a silence
// starts a new stretch of line.
inline bool IsGap(qint64 previous, qint64 t, qint64 gapMs) { return t - previous > gapMs; }
