#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>

#include "battery/Instant.h"

// A periodic timer with the semantics the poll rules rely on: Enabled and Interval are separate
// settings; enabling an enabled timer does not restart its period; changing the interval of an
// enabled timer restarts the count from now; an interval of 0 never fires.
class PeriodicTimer {
public:
    PeriodicTimer() = default;
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;
    virtual ~PeriodicTimer() = default;

    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual int Interval() const = 0;
    virtual void SetInterval(int intervalMs) = 0;

    std::function<void()> OnTimer;
};

// Where the engine takes its time from: the time of day for arrival stamps, a monotonic clock for
// every interval (which request an answer belongs to, holds, silence), and the timers that pace
// the poll cycle. The program uses SystemClock; tests use a clock they advance by hand.
class Clock {
public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;

    // UTC milliseconds since the epoch: for time stamps only, since it may step at any time.
    virtual qint64 NowMs() const = 0;
    // Milliseconds from an arbitrary start, never stepping: for intervals.
    virtual qint64 MonotonicMs() const = 0;
    battery::Instant Now() const { return {NowMs(), MonotonicMs()}; }

    // A disabled timer of `intervalMs` that fires with millisecond precision; `name` identifies
    // it to tools and tests.
    virtual std::unique_ptr<PeriodicTimer> CreateTimer(int intervalMs, const QString& name) = 0;
};

// The time of day and precise QTimers on the calling thread's event loop.
class SystemClock final : public Clock {
public:
    qint64 NowMs() const override;
    qint64 MonotonicMs() const override;
    std::unique_ptr<PeriodicTimer> CreateTimer(int intervalMs, const QString& name) override;
};
