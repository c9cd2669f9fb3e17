#pragma once

#include <vector>

#include "battery/PollRoute.h"
#include "battery/Reading.h"

// Readings as monitoring produces them: every cycle the fourteen batteries in poll order, the
// cycle's answers 150 ms apart, cycles `periodMs` apart, ending at `endMs`.
inline std::vector<battery::Reading> CycleReadings(qint64 count, qint64 periodMs, qint64 endMs) {
    std::vector<battery::Reading> readings;
    readings.reserve(static_cast<std::size_t>(count));
    const qint64 cycles = (count + 13) / 14;
    const qint64 startMs = endMs - (cycles - 1) * periodMs;
    for (qint64 i = 0; i < count; ++i) {
        const int step = static_cast<int>(i % 14) + 1;
        readings.push_back(battery::MakeReading(
            battery::BatteryOfStep(step), startMs + i / 14 * periodMs + (step - 1) * 150,
            i % 50 == 0 ? 0x71 : 0x11, static_cast<std::uint8_t>(118 + i % 9),
            static_cast<std::uint16_t>(200 + i % 150)));
    }
    return readings;
}
