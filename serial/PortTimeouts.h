#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "serial/CommTypes.h"

// The time-outs in force on an open port. The component stores them from the main thread; the
// reader and writer load them before every wait, so a change takes effect with the next wait.
class TPortTimeouts {
public:
    void Store(const TCommTimeouts& timeouts);
    TCommTimeouts Load() const;

private:
    std::atomic<std::uint32_t> readInterval_{0};
    std::atomic<std::uint32_t> readMultiplier_{0};
    std::atomic<std::uint32_t> readConstant_{0};
    std::atomic<std::uint32_t> writeMultiplier_{0};
    std::atomic<std::uint32_t> writeConstant_{0};
};

// A wait of no time limit.
inline constexpr int kWaitForever = -1;

// How long (ms, for poll) a read of up to `requested` bytes may still wait for more data, having
// received `received` bytes `sinceStartUs` after it began and `sinceLastByteUs` after the latest
// byte. std::nullopt: the read is complete now.
//  - interval kMaxTimeout, totals 0: complete as soon as any bytes are there (the first byte is
//    awaited without limit instead of completing empty over and over);
//  - interval and multiplier kMaxTimeout, constant between: wait up to the constant for the first
//    byte, complete at once with whatever has arrived;
//  - otherwise the total limit (multiplier * requested + constant, none when both are 0) bounds
//    the whole read and a non-zero interval bounds each gap after the first byte.
std::optional<int> ReadWaitMs(const TCommTimeouts& timeouts, std::size_t requested,
                              std::size_t received, std::int64_t sinceStartUs,
                              std::int64_t sinceLastByteUs);

// The total limit (ms) for writing `length` bytes, or kWaitForever when both write time-outs are 0.
std::int64_t WriteLimitMs(const TCommTimeouts& timeouts, std::size_t length);

// Milliseconds for poll() still left until `limitMs` when `elapsedUs` have passed, rounded up
// so that a wait never ends just before its deadline; kWaitForever stays kWaitForever.
int RemainingMs(std::int64_t limitMs, std::int64_t elapsedUs);
