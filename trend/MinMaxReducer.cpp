#include "trend/MinMaxReducer.h"

#include <algorithm>

namespace {

// Appends the extremes of one column to a line: one point when both are the same reading, two
// in time order otherwise. Only the first carries the column's line break.
void AppendExtremes(TrendSeries& line, TrendSample low, TrendSample high, bool breakBefore) {
    if (low.tMs == high.tMs) {
        low.breakBefore = breakBefore;
        line.push_back(low);
        return;
    }
    if (high.tMs < low.tMs) std::swap(low, high);
    low.breakBefore = breakBefore;
    high.breakBefore = false;
    line.push_back(low);
    line.push_back(high);
}

}  // namespace

MinMaxReducer::MinMaxReducer(const ReductionPlan& plan) : spec_(plan) {
    spec_.columns = std::max(1, spec_.columns);
    spec_.range.toMs = std::max(spec_.range.toMs, spec_.range.fromMs);
    exactSamples_.reserve(std::size_t(spec_.columns));
}

int MinMaxReducer::ColumnOf(qint64 tMs) const {
    const qint64 span = spec_.range.Span();
    if (span <= 0) return 0;
    // 128-bit product: a year in milliseconds times a wide screen still fits, but nothing that
    // a caller passes should be able to overflow here.
    const __int128 offset = tMs - spec_.range.fromMs;
    const auto column = static_cast<qint64>(offset * spec_.columns / span);
    return int(std::clamp<qint64>(column, 0, spec_.columns - 1));
}

void MinMaxReducer::Add(const TrendSample& input) {
    if (!spec_.range.Contains(input.tMs)) return;
    if (lastTime_ && input.tMs < *lastTime_) return;
    TrendSample sample = input;
    if (!lastTime_) {
        sample.breakBefore = false;
    } else if (!spec_.keepMarkedBreaks) {
        sample.breakBefore = IsGap(*lastTime_, sample.tMs, spec_.gapMs);
    }
    lastTime_ = sample.tMs;

    if (exact_) {
        if (int(exactSamples_.size()) < spec_.columns) {
            exactSamples_.push_back(sample);
            return;
        }
        SwitchToColumns();
    }
    AddToColumn(sample);
}

void MinMaxReducer::SwitchToColumns() {
    exact_ = false;
    TrendSeries kept;
    kept.swap(exactSamples_);
    for (const TrendSample& sample : kept) AddToColumn(sample);
}

void MinMaxReducer::AddToColumn(const TrendSample& sample) {
    const int index = ColumnOf(sample.tMs);
    if (column_.index >= 0 && (index != column_.index || sample.breakBefore)) CloseColumn();
    if (column_.index < 0) {
        column_.index = index;
        column_.breakBefore = sample.breakBefore;
        column_.minVoltage = column_.maxVoltage = sample;
        column_.minTemperature = column_.maxTemperature = sample;
        column_.firstAbnormal.reset();
    } else {
        // Strict comparisons keep the earliest of equal extremes.
        if (sample.voltageDv < column_.minVoltage.voltageDv) column_.minVoltage = sample;
        if (sample.voltageDv > column_.maxVoltage.voltageDv) column_.maxVoltage = sample;
        if (sample.temperatureDc < column_.minTemperature.temperatureDc)
            column_.minTemperature = sample;
        if (sample.temperatureDc > column_.maxTemperature.temperatureDc)
            column_.maxTemperature = sample;
    }
    if (sample.status != kStatusNormal && !column_.firstAbnormal) column_.firstAbnormal = sample;
}

void MinMaxReducer::CloseColumn() {
    if (column_.index < 0) return;
    AppendExtremes(out_.voltage, column_.minVoltage, column_.maxVoltage, column_.breakBefore);
    AppendExtremes(out_.temperature, column_.minTemperature, column_.maxTemperature,
                   column_.breakBefore);
    if (column_.firstAbnormal) {
        TrendSample mark = *column_.firstAbnormal;
        mark.breakBefore = false;
        out_.marks.push_back(mark);
    }
    column_.index = -1;
}

ReducedBattery MinMaxReducer::Finish() {
    if (exact_) {
        out_.voltage = exactSamples_;
        out_.temperature = exactSamples_;
        for (TrendSample sample : exactSamples_) {
            if (sample.status == kStatusNormal) continue;
            sample.breakBefore = false;
            out_.marks.push_back(sample);
        }
        exactSamples_.clear();
    } else {
        CloseColumn();
    }
    ReducedBattery result = std::move(out_);
    out_ = {};
    return result;
}

ReducedBattery ReduceMinMax(std::span<const TrendSample> samples, const ReductionPlan& plan) {
    MinMaxReducer reducer(plan);
    for (const TrendSample& sample : samples) reducer.Add(sample);
    return reducer.Finish();
}
