#pragma once

#include <QObject>
#include <vector>

#include "alarms/DischargeRules.h"
#include "battery/Reading.h"
#include "engine/Clock.h"

class AlarmMonitor;
class MonitorSession;

namespace store {
class HistoryWriter;
}

// Watches a monitoring session for discharges of its devices' strings: every accepted reading
// and, at the end of each poll cycle, each device's median of fresh readings (the alarm rules'
// string analysis measures it) go to the discharge rules. What they decide goes to the alarm
// monitor (its alarms, the low-voltage limits held back), to the store (the record, saved at
// every change, so a discharge running at exit is taken up again at the next start) and out as
// DischargeChanged. With fast sampling on, a running discharge is polled at the fastest period
// the poll allows, and the operator's period returns when it ends.
class DischargeWatch : public QObject {
    Q_OBJECT
public:
    DischargeWatch(MonitorSession& session, AlarmMonitor& alarms, Clock& clock,
                   QObject* parent = nullptr);

    void SetSettings(const alarms::DeviceDischargeSettings& settings);
    const alarms::DeviceDischargeSettings& Settings() const { return rules_.Settings(); }
    void SetWriter(store::HistoryWriter* writer) { writer_ = writer; }
    // Takes up the discharges that were running at the last exit (their stored records).
    void Resume(const std::vector<alarms::DischargeRecord>& running);

    // Whether a discharge switches the sampling period to kFastestSamplingMs while it lasts.
    void SetFastSampling(bool on);
    bool FastSampling() const { return fastSampling_; }

    // The device's running discharge, or null.
    const alarms::DischargeRecord* Running(std::uint8_t device) const {
        return rules_.Running(device);
    }

signals:
    void DischargeChanged(const alarms::DischargeChange& change);

private:
    void OnReading(const battery::Reading& reading);
    void OnCycleEnded();
    void Apply(const alarms::DischargeChanges& changes);
    void FollowRunning();
    bool AnyRunning() const;

    MonitorSession& session_;
    AlarmMonitor& alarms_;
    Clock& clock_;
    alarms::DischargeRules rules_;
    store::HistoryWriter* writer_ = nullptr;
    bool fastSampling_ = false;
};
