#include "station/DischargeWatch.h"

#include "engine/MonitorSession.h"
#include "station/AlarmMonitor.h"
#include "store/HistoryWriter.h"

DischargeWatch::DischargeWatch(MonitorSession& session, AlarmMonitor& alarms, Clock& clock,
                               QObject* parent)
    : QObject(parent), session_(session), alarms_(alarms), clock_(clock) {
    connect(&session, &MonitorSession::ReadingAccepted, this, &DischargeWatch::OnReading);
    connect(&session, &MonitorSession::CycleEnded, this, &DischargeWatch::OnCycleEnded);
}

void DischargeWatch::SetSettings(const alarms::DeviceDischargeSettings& settings) {
    rules_.SetSettings(settings);
}

void DischargeWatch::Resume(const std::vector<alarms::DischargeRecord>& running) {
    for (const alarms::DischargeRecord& record : running) {
        if (!record.Running() || rules_.Running(record.device)) continue;
        rules_.Resume(record);
        alarms_.ResumeDischarge(record.device);
    }
    FollowRunning();
}

void DischargeWatch::SetFastSampling(bool on) {
    fastSampling_ = on;
    FollowRunning();
}

void DischargeWatch::OnReading(const battery::Reading& reading) {
    Apply(rules_.OnReading(reading.Id(), reading.status, reading.Volts(), reading.Celsius(),
                           reading.tMs));
}

void DischargeWatch::OnCycleEnded() {
    const battery::Instant now = clock_.Now();
    for (const std::uint8_t device : battery::kDevices)
        Apply(rules_.OnCycleEnded(device, alarms_.Rules().FreshMedianVoltage(device, now),
                                  now.wallMs));
}

void DischargeWatch::Apply(const alarms::DischargeChanges& changes) {
    if (changes.empty()) return;
    for (const alarms::DischargeChange& change : changes) {
        alarms_.ApplyDischarge(change);
        if (writer_) writer_->SaveDischarge(change.record);
        emit DischargeChanged(change);
    }
    FollowRunning();
}

bool DischargeWatch::AnyRunning() const {
    for (const std::uint8_t device : battery::kDevices) {
        if (rules_.Running(device)) return true;
    }
    return false;
}

// The session keeps the operator's period and returns to it when the shortening ends; the
// operator's stop (period 0) stays a stop.
void DischargeWatch::FollowRunning() {
    session_.SetShortenedPeriodMs(fastSampling_ && AnyRunning()
                                      ? std::optional(MonitorSession::kFastestSamplingMs)
                                      : std::nullopt);
}
