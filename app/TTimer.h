#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

// A window timer with the semantics the handlers rely on: Enabled and Interval are separate
// settings; enabling an enabled timer does not restart its period; changing the interval of an
// enabled timer restarts the count from now; an interval of 0 never fires (QTimer would fire
// on every pass of the event loop instead).
class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(int intervalMs, Qt::TimerType type = Qt::CoarseTimer,
                    QObject* parent = nullptr);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    void SetInterval(int intervalMs);

    std::function<void()> OnTimer;

private:
    void Rearm();

    QTimer timer_;
    bool enabled_ = false;
    int interval_;
};
