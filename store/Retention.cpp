#include "store/Retention.h"

#include <QDateTime>
#include <limits>

#include "store/HistoryWriter.h"

namespace store {

qint64 RetentionCutoff(qint64 nowMs, int keepDays) {
    if (keepDays <= 0) return std::numeric_limits<qint64>::min();
    return nowMs - qint64{keepDays} * 24 * 3600 * 1000;
}

RetentionTrigger::RetentionTrigger(HistoryWriter& writer, int keepDays, QObject* parent)
    : QObject(parent), writer_(writer), keepDays_(keepDays) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        RunNow();
        timer_.start(interval_);
    });
}

void RetentionTrigger::Start(std::chrono::milliseconds firstRun,
                             std::chrono::milliseconds interval) {
    if (keepDays_ <= 0) return;
    interval_ = interval;
    timer_.start(firstRun);
}

void RetentionTrigger::RunNow() {
    if (keepDays_ <= 0) return;
    writer_.DeleteReadingsBefore(RetentionCutoff(QDateTime::currentMSecsSinceEpoch(), keepDays_));
}

}  // namespace store
