#include "engine/Clock.h"

#include <QDateTime>
#include <chrono>

#include "engine/TTimer.h"

qint64 SystemClock::NowMs() const { return QDateTime::currentMSecsSinceEpoch(); }

qint64 SystemClock::MonotonicMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<PeriodicTimer> SystemClock::CreateTimer(int intervalMs, const QString& name) {
    auto timer = std::make_unique<TTimer>(intervalMs, Qt::PreciseTimer);
    timer->setObjectName(name);
    return timer;
}
