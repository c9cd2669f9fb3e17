#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "alarms/AlarmRules.h"
#include "battery/Reading.h"
#include "engine/Clock.h"

class MonitorSession;

// The time of a battery's last stored reading, for the age text after a restart.
struct LastReadingTime {
    battery::BatteryId battery;
    std::int64_t tMs = 0;
};

// Watches a monitoring session for alarms: every accepted reading, the end of every poll cycle
// (for the string analysis), every device that answers too late, the start of monitoring, the
// opening, closing and loss of the port and changes of the sampling period go to the alarm rules,
// and a one-second tick on the session's clock drives the silence rule and the end of shelving.
// What the rules decide is reported as EventsOccurred, once per change.
class AlarmMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickMs = 1000;

    AlarmMonitor(MonitorSession& session, Clock& clock, QObject* parent = nullptr);
    ~AlarmMonitor() override;

    void SetSettings(const alarms::AlarmSettings& settings);
    const alarms::AlarmSettings& Settings() const { return rules_.Settings(); }
    // The common limits only, keeping the other settings.
    void SetLimits(const alarms::AlarmLimits& limits);
    const alarms::AlarmLimits& Limits() const { return rules_.Limits(); }

    // Acknowledges the active alarms among `keys` that nobody acknowledged yet.
    void Acknowledge(const std::vector<alarms::AlarmKey>& keys, const QString& user);
    // Shelves the active alarms among `keys` for `hours` by a signed-in operator who says why,
    // or ends their shelving.
    void Shelve(const std::vector<alarms::AlarmKey>& keys, const QString& user, int hours,
                const QString& reason);
    void Unshelve(const std::vector<alarms::AlarmKey>& keys, const QString& user);

    // Brings back the alarms of the stored events (oldest first) and the batteries' last
    // reading times at start-up. Emits nothing: the events are already known to whoever stored
    // them. Listeners read the restored state through Rules().
    void Restore(const alarms::AlarmEvents& stored, const std::vector<LastReadingTime>& last);

    // A change of a device's discharge: its alarms and the low-voltage limits held back.
    void ApplyDischarge(const alarms::DischargeChange& change);
    // A discharge running at the last exit goes on (its alarm is restored with the others).
    void ResumeDischarge(std::uint8_t device) { rules_.ResumeDischarge(device); }

    const alarms::AlarmRules& Rules() const { return rules_; }
    std::int64_t NowMs() const { return clock_.NowMs(); }

signals:
    // Alarms raised, cleared or acknowledged by one input, in the order they happened.
    void EventsOccurred(const alarms::AlarmEvents& events);
    // Once a second: time for whoever shows the age of silent batteries to refresh it.
    void Ticked(qint64 nowMs);

private:
    void OnReading(const battery::Reading& reading);
    void OnPortOpened();
    void OnPortClosed(bool hungUp);
    void OnSamplingPeriodChanged(int ms);
    void OnTick();
    void Report(const alarms::AlarmEvents& events);

    Clock& clock_;
    alarms::AlarmRules rules_;
    std::unique_ptr<PeriodicTimer> tick_;
    bool started_ = false;          // the session's monitoring was started at least once
    bool closedOnPurpose_ = false;  // the port was closed, not lost, and not opened since
};
