#pragma once

#include <QMetaType>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <vector>

// One stored reading as the plot keeps it: 16 bytes. Values stay in the store's raw units
// (voltage in 0.1 V, temperature in 0.1 degC) so nothing is rounded on the way.
struct TrendSample {
    qint64 tMs = 0;  // UTC milliseconds since the epoch
    std::int16_t voltageDv = 0;
    std::int16_t temperatureDc = 0;
    std::uint8_t status = 0;
    // The line does not join this point to the one before it: the battery was silent for longer
    // than the gap limit in between.
    bool breakBefore = false;

    double Volts() const { return voltageDv / 10.0; }
    double Celsius() const { return temperatureDc / 10.0; }
    bool operator==(const TrendSample&) const = default;
};

using TrendSeries = std::vector<TrendSample>;

inline constexpr std::uint8_t kStatusNormal = 0x11;

// A closed time range in UTC milliseconds.
struct TimeRange {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 Span() const { return toMs - fromMs; }
    bool Contains(qint64 t) const { return t >= fromMs && t <= toMs; }
    bool operator==(const TimeRange&) const = default;
};
Q_DECLARE_METATYPE(TimeRange)
