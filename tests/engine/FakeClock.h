#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "engine/Clock.h"

namespace testsupport {

// A clock that stands still until the test advances it. Timers and scheduled actions fire in
// time order while it advances, each with the clock set to its own due time. The wall clock runs
// with the monotonic one unless the test steps it, as NTP or an operator would.
class FakeClock final : public Clock {
public:
    static constexpr qint64 kStartMs = 1'765'000'000'000;

    qint64 NowMs() const override { return now_ + wallStep_; }
    qint64 MonotonicMs() const override { return now_; }
    std::unique_ptr<PeriodicTimer> CreateTimer(int intervalMs, const QString& name) override;

    // Runs `action` when the clock reaches `atMs` (at once when advancing past it).
    void At(qint64 atMs, std::function<void()> action);
    // Milliseconds since the clock was made.
    qint64 Elapsed() const { return now_ - kStartMs; }
    void Advance(qint64 ms);
    // Sets the wall clock forward (or back, for a negative step) without time passing.
    void StepWall(qint64 ms) { wallStep_ += ms; }

private:
    class Timer;
    bool FireNextDueBy(qint64 limit);

    qint64 now_ = kStartMs;  // monotonic; timers and actions run on it
    qint64 wallStep_ = 0;
    std::vector<Timer*> timers_;
    std::multimap<qint64, std::function<void()>> actions_;
};

}  // namespace testsupport
