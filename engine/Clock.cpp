#include "engine/Clock.h"

#include <QDateTime>

#include "engine/TTimer.h"

qint64 SystemClock::NowMs() const { return QDateTime::currentMSecsSinceEpoch(); }

std::unique_ptr<PeriodicTimer> SystemClock::CreateTimer(int intervalMs, const QString& name) {
    auto timer = std::make_unique<TTimer>(intervalMs, Qt::PreciseTimer);
    timer->setObjectName(name);
    return timer;
}
