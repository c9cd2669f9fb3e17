#include "station/AlarmMonitor.h"

#include "engine/MonitorSession.h"

AlarmMonitor::AlarmMonitor(MonitorSession& session, Clock& clock, QObject* parent)
    : QObject(parent),
      clock_(clock),
      tick_(clock.CreateTimer(kTickMs, QStringLiteral("alarmTick"))) {
    connect(&session, &MonitorSession::ReadingAccepted, this, &AlarmMonitor::OnReading);
    connect(&session, &MonitorSession::DeviceAnsweredLate, this,
            [this](std::uint8_t device) { Report(rules_.OnDeviceLate(device, clock_.Now())); });
    connect(&session, &MonitorSession::MonitoringStarted, this, [this] {
        started_ = true;
        Report(rules_.OnMonitoringStarted(clock_.Now()));
    });
    connect(&session, &MonitorSession::PortClosed, this, &AlarmMonitor::OnPortClosed);
    connect(&session, &MonitorSession::SamplingPeriodChanged, this,
            &AlarmMonitor::OnSamplingPeriodChanged);
    rules_.SetSamplingPeriodMs(session.SamplingTimer().Interval());
    tick_->OnTimer = [this] { OnTick(); };
    tick_->SetEnabled(true);
}

AlarmMonitor::~AlarmMonitor() { tick_->OnTimer = nullptr; }

void AlarmMonitor::SetLimits(const alarms::AlarmLimits& limits) {
    Report(rules_.SetLimits(limits, clock_.Now()));
}

void AlarmMonitor::Acknowledge(const std::vector<alarms::AlarmKey>& keys, const QString& user) {
    Report(rules_.Acknowledge(keys, user, clock_.Now()));
}

void AlarmMonitor::Restore(const alarms::AlarmEvents& stored,
                           const std::vector<LastReadingTime>& last) {
    rules_.Restore(stored);
    const battery::Instant now = clock_.Now();
    for (const LastReadingTime& reading : last)
        rules_.RestoreLastReading(reading.battery, reading.tMs, now);
}

// A reading's events carry the wall time its answer arrived; the battery counts as heard on the
// monotonic clock now, when the reading was accepted.
void AlarmMonitor::OnReading(const battery::Reading& reading) {
    const battery::Instant heard{reading.tMs, clock_.MonotonicMs()};
    Report(
        rules_.OnReading(reading.Id(), reading.status, reading.Volts(), reading.Celsius(), heard));
}

// A port that closes while monitoring runs leaves every battery unheard. The sampling timer runs
// on, so the cycles resume when the port opens again and each battery's first reading ends its
// alarm.
void AlarmMonitor::OnPortClosed() { Report(rules_.OnPortLost(clock_.Now())); }

// A period of 0 stops the cycles: silence is then the operator's choice, not a fault. A period
// set again after that resumes them, and the silence count starts anew.
void AlarmMonitor::OnSamplingPeriodChanged(int ms) {
    rules_.SetSamplingPeriodMs(ms);
    const battery::Instant now = clock_.Now();
    if (ms == 0)
        Report(rules_.OnMonitoringStopped(now));
    else if (started_)
        Report(rules_.OnMonitoringStarted(now));
}

void AlarmMonitor::OnTick() {
    const battery::Instant now = clock_.Now();
    Report(rules_.Tick(now));
    emit Ticked(now.wallMs);
}

void AlarmMonitor::Report(const alarms::AlarmEvents& events) {
    if (!events.empty()) emit EventsOccurred(events);
}
