#include "engine/TTimer.h"

TTimer::TTimer(int intervalMs, Qt::TimerType type, QObject* parent)
    : QObject(parent), interval_(intervalMs) {
    timer_.setTimerType(type);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (OnTimer) OnTimer();
    });
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Rearm();
}

void TTimer::SetInterval(int intervalMs) {
    if (intervalMs == interval_) return;
    interval_ = intervalMs;
    Rearm();
}

void TTimer::Rearm() {
    if (enabled_ && interval_ > 0)
        timer_.start(interval_);
    else
        timer_.stop();
}
