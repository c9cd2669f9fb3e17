#pragma once

#include <cstdint>

namespace battery {

// When something happened, on both clocks the program keeps: the wall clock (UTC milliseconds
// since the epoch) for time stamps, and the monotonic clock (milliseconds from an arbitrary
// start that never steps) for intervals. The wall clock may be set back or forward at any time
// (NTP, an operator, a resumed virtual machine); only the monotonic clock measures how long ago.
struct Instant {
    std::int64_t wallMs = 0;
    std::int64_t monoMs = 0;

    constexpr Instant() = default;
    constexpr Instant(std::int64_t wall, std::int64_t mono) : wallMs(wall), monoMs(mono) {}
    // A caller that has one clock only (a test, a replay) uses it for both.
    constexpr Instant(std::int64_t ms)
        : wallMs(ms), monoMs(ms) {}  // NOLINT(google-explicit-constructor)

    friend constexpr bool operator==(const Instant&, const Instant&) = default;
};

}  // namespace battery
