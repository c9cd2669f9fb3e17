#include "engine/AlarmMonitor.h"

#include "engine/MonitorSession.h"
#include "engine/StepRoute.h"

AlarmMonitor::AlarmMonitor(MonitorSession& session, Clock& clock, QObject* parent)
    : QObject(parent),
      clock_(clock),
      tick_(clock.CreateTimer(kTickMs, QStringLiteral("alarmTick"))) {
    connect(&session, &MonitorSession::ReadingAccepted, this, &AlarmMonitor::OnReading);
    connect(&session, &MonitorSession::DeviceAnsweredLate, this,
            [this](std::uint8_t device) { Report(rules_.OnDeviceLate(device, clock_.NowMs())); });
    connect(&session, &MonitorSession::MonitoringStarted, this, [this] {
        started_ = true;
        Report(rules_.OnMonitoringStarted(clock_.NowMs()));
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
    Report(rules_.SetLimits(limits, clock_.NowMs()));
}

void AlarmMonitor::Acknowledge(const std::vector<alarms::AlarmKey>& keys, const QString& user) {
    Report(rules_.Acknowledge(keys, user, clock_.NowMs()));
}

void AlarmMonitor::Restore(const alarms::AlarmEvents& stored,
                           const std::vector<LastReadingTime>& last) {
    rules_.Restore(stored);
    for (const LastReadingTime& reading : last)
        rules_.RestoreLastReading(reading.battery, reading.tMs);
}

// Readings are stamped with their arrival; the rules count silence from there.
void AlarmMonitor::OnReading(int step, const BatteryReading& reading, qint64 arrivalMs) {
    if (step < 1 || step > kLastReadingStep) return;
    const StepRoute route = RouteOfStep(step);
    const alarms::BatteryId battery{route.device, static_cast<std::uint8_t>(route.battery)};
    Report(rules_.OnReading(battery, reading.StatusCode, reading.Voltage, reading.Temperature,
                            arrivalMs));
}

// A port that closes while monitoring runs leaves every battery unheard. The sampling timer runs
// on, so the cycles resume when the port opens again and each battery's first reading ends its
// alarm.
void AlarmMonitor::OnPortClosed() { Report(rules_.OnPortLost(clock_.NowMs())); }

// A period of 0 stops the cycles: silence is then the operator's choice, not a fault. A period
// set again after that resumes them, and the silence count starts anew.
void AlarmMonitor::OnSamplingPeriodChanged(int ms) {
    rules_.SetSamplingPeriodMs(ms);
    const qint64 now = clock_.NowMs();
    if (ms == 0)
        Report(rules_.OnMonitoringStopped(now));
    else if (started_)
        Report(rules_.OnMonitoringStarted(now));
}

void AlarmMonitor::OnTick() {
    const qint64 now = clock_.NowMs();
    Report(rules_.Tick(now));
    emit Ticked(now);
}

void AlarmMonitor::Report(const alarms::AlarmEvents& events) {
    if (!events.empty()) emit EventsOccurred(events);
}
