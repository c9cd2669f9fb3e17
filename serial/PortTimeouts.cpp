#include "serial/PortTimeouts.h"

#include <algorithm>
#include <limits>

void TPortTimeouts::Store(const TCommTimeouts& timeouts) {
    readInterval_.store(timeouts.ReadIntervalTimeout);
    readMultiplier_.store(timeouts.ReadTotalTimeoutMultiplier);
    readConstant_.store(timeouts.ReadTotalTimeoutConstant);
    writeMultiplier_.store(timeouts.WriteTotalTimeoutMultiplier);
    writeConstant_.store(timeouts.WriteTotalTimeoutConstant);
}

TCommTimeouts TPortTimeouts::Load() const {
    return TCommTimeouts{readInterval_.load(), readMultiplier_.load(), readConstant_.load(),
                         writeMultiplier_.load(), writeConstant_.load()};
}

int RemainingMs(std::int64_t limitMs, std::int64_t elapsedUs) {
    if (limitMs == kWaitForever) return kWaitForever;
    const std::int64_t remainingUs = limitMs * 1000 - elapsedUs;
    if (remainingUs <= 0) return 0;
    const std::int64_t ms = (remainingUs + 999) / 1000;
    return static_cast<int>(std::min<std::int64_t>(ms, std::numeric_limits<int>::max()));
}

namespace {

std::int64_t TotalLimitMs(std::uint32_t multiplier, std::uint32_t constant, std::size_t count) {
    if (multiplier == 0 && constant == 0) return kWaitForever;
    return static_cast<std::int64_t>(multiplier) * static_cast<std::int64_t>(count) + constant;
}

}  // namespace

std::optional<int> ReadWaitMs(const TCommTimeouts& timeouts, std::size_t requested,
                              std::size_t received, std::int64_t sinceStartUs,
                              std::int64_t sinceLastByteUs) {
    if (received >= requested) return std::nullopt;
    const std::uint32_t interval = timeouts.ReadIntervalTimeout;
    const std::uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const std::uint32_t constant = timeouts.ReadTotalTimeoutConstant;

    if (interval == kMaxTimeout) {
        if (received > 0) return std::nullopt;
        if (multiplier == kMaxTimeout && constant != 0 && constant != kMaxTimeout) {
            const int wait = RemainingMs(constant, sinceStartUs);
            if (wait == 0) return std::nullopt;
            return wait;
        }
        if (multiplier == 0 && constant == 0) return kWaitForever;
    }

    const int totalWait = RemainingMs(TotalLimitMs(multiplier, constant, requested), sinceStartUs);
    int wait = totalWait;
    if (received > 0 && interval != 0 && interval != kMaxTimeout) {
        const int gapWait = RemainingMs(interval, sinceLastByteUs);
        wait = totalWait == kWaitForever ? gapWait : std::min(totalWait, gapWait);
    }
    if (wait == 0) return std::nullopt;
    return wait;
}

std::int64_t WriteLimitMs(const TCommTimeouts& timeouts, std::size_t length) {
    return TotalLimitMs(timeouts.WriteTotalTimeoutMultiplier, timeouts.WriteTotalTimeoutConstant,
                        length);
}
