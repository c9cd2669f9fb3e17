#include "tests/engine/FakeClock.h"

#include <algorithm>
#include <limits>

namespace testsupport {

class FakeClock::Timer final : public PeriodicTimer {
public:
    explicit Timer(FakeClock& clock, int intervalMs) : clock_(clock), interval_(intervalMs) {
        clock_.timers_.push_back(this);
    }
    ~Timer() override { std::erase(clock_.timers_, this); }

    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        Rearm();
    }
    int Interval() const override { return interval_; }
    void SetInterval(int intervalMs) override {
        if (intervalMs == interval_) return;
        interval_ = intervalMs;
        Rearm();
    }

    // The time it fires next, or the largest time when it never does.
    qint64 DueAt() const {
        return enabled_ && interval_ > 0 ? due_ : std::numeric_limits<qint64>::max();
    }
    void Fire() {
        due_ = clock_.now_ + interval_;
        if (OnTimer) OnTimer();
    }

private:
    void Rearm() { due_ = clock_.now_ + interval_; }

    FakeClock& clock_;
    bool enabled_ = false;
    int interval_;
    qint64 due_ = 0;
};

std::unique_ptr<PeriodicTimer> FakeClock::CreateTimer(int intervalMs, const QString&) {
    return std::make_unique<Timer>(*this, intervalMs);
}

void FakeClock::At(qint64 atMs, std::function<void()> action) {
    actions_.emplace(std::max(atMs, now_), std::move(action));
}

void FakeClock::Advance(qint64 ms) {
    const qint64 target = now_ + ms;
    while (FireNextDueBy(target)) {
    }
    now_ = target;
}

// Scheduled actions go before timers due at the same millisecond: an answer that arrived just
// before a tick is handled before it.
bool FakeClock::FireNextDueBy(qint64 limit) {
    Timer* nextTimer = nullptr;
    for (Timer* timer : timers_)
        if (!nextTimer || timer->DueAt() < nextTimer->DueAt()) nextTimer = timer;
    const qint64 timerDue = nextTimer ? nextTimer->DueAt() : std::numeric_limits<qint64>::max();
    const qint64 actionDue =
        actions_.empty() ? std::numeric_limits<qint64>::max() : actions_.begin()->first;
    if (std::min(timerDue, actionDue) > limit) return false;
    if (actionDue <= timerDue) {
        auto action = std::move(actions_.begin()->second);
        now_ = actionDue;
        actions_.erase(actions_.begin());
        action();
    } else {
        now_ = timerDue;
        nextTimer->Fire();
    }
    return true;
}

}  // namespace testsupport
