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
        if (!closedOnPurpose_) Report(rules_.OnMonitoringStarted(clock_.Now()));
    });
    connect(&session, &MonitorSession::CycleEnded, this,
            [this] { Report(rules_.OnCycleEnded(clock_.Now())); });
    connect(&session, &MonitorSession::PortOpened, this, &AlarmMonitor::OnPortOpened);
    connect(&session, &MonitorSession::PortClosed, this, &AlarmMonitor::OnPortClosed);
    connect(&session, &MonitorSession::SamplingPeriodChanged, this,
            &AlarmMonitor::OnSamplingPeriodChanged);
    rules_.SetSamplingPeriodMs(session.SamplingTimer().Interval());
    tick_->OnTimer = [this] { OnTick(); };
    tick_->SetEnabled(true);
}

AlarmMonitor::~AlarmMonitor() { tick_->OnTimer = nullptr; }

void AlarmMonitor::SetSettings(const alarms::AlarmSettings& settings) {
    Report(rules_.SetSettings(settings, clock_.Now()));
}

void AlarmMonitor::SetLimits(const alarms::AlarmLimits& limits) {
    Report(rules_.SetLimits(limits, clock_.Now()));
}

void AlarmMonitor::Acknowledge(const std::vector<alarms::AlarmKey>& keys, const QString& user) {
    Report(rules_.Acknowledge(keys, user, clock_.Now()));
}

void AlarmMonitor::Shelve(const std::vector<alarms::AlarmKey>& keys, const QString& user, int hours,
                          const QString& reason) {
    constexpr std::int64_t kHourMs = 3'600'000;
    Report(rules_.Shelve(keys, user, hours * kHourMs, reason, clock_.Now()));
}

void AlarmMonitor::Unshelve(const std::vector<alarms::AlarmKey>& keys, const QString& user) {
    Report(rules_.Unshelve(keys, user, clock_.Now()));
}

void AlarmMonitor::ApplyDischarge(const alarms::DischargeChange& change) {
    Report(rules_.OnDischargeChange(change, clock_.Now()));
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

// The sampling timer runs on while the port is closed, so the cycles resume when it opens again:
// silence counts anew from the opening, and each battery's first reading ends its no-answer
// alarm.
void AlarmMonitor::OnPortOpened() {
    closedOnPurpose_ = false;
    if (started_ && rules_.SamplingPeriodMs() != 0)
        Report(rules_.OnMonitoringStarted(clock_.Now()));
}

// A port that hangs up while monitoring runs (an adapter unplugged, a device server gone) leaves
// every battery unheard at once. A port closed on purpose (the operator, the program's exit, a
// service that stops or moves to another port) ends monitoring without an alarm: silence does not
// count until the port opens again, and alarms already active stay until readings settle them.
void AlarmMonitor::OnPortClosed(bool hungUp) {
    const battery::Instant now = clock_.Now();
    closedOnPurpose_ = !hungUp;
    Report(hungUp ? rules_.OnPortLost(now) : rules_.OnMonitoringStopped(now));
}

// A period of 0 stops the cycles: silence is then the operator's choice, not a fault. A period
// set again after that resumes them, and the silence count starts anew (once the port is open
// again, if it was closed on purpose).
void AlarmMonitor::OnSamplingPeriodChanged(int ms) {
    rules_.SetSamplingPeriodMs(ms);
    const battery::Instant now = clock_.Now();
    if (ms == 0)
        Report(rules_.OnMonitoringStopped(now));
    else if (started_ && !closedOnPurpose_)
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
