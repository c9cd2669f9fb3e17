#pragma once

#include <QObject>
#include <QTimer>

#include "engine/Clock.h"

// A PeriodicTimer on a QTimer. An interval of 0 never fires (QTimer would fire on every pass of
// the event loop instead).
class TTimer : public QObject, public PeriodicTimer {
    Q_OBJECT
public:
    explicit TTimer(int intervalMs, Qt::TimerType type = Qt::CoarseTimer,
                    QObject* parent = nullptr);

    bool Enabled() const override { return enabled_; }
    void SetEnabled(bool enabled) override;
    int Interval() const override { return interval_; }
    void SetInterval(int intervalMs) override;

private:
    void Rearm();

    QTimer timer_;
    bool enabled_ = false;
    int interval_;
};
