#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "alarms/AlarmLimits.h"
#include "alarms/AlarmTypes.h"
#include "battery/Instant.h"

namespace alarms {

// How far back inside a limit a value must come before its limit alarm clears, so that a value
// sitting on the limit raises once instead of flapping with every reading.
inline constexpr double kVoltageHysteresisV = 0.1;
inline constexpr double kTemperatureHysteresisC = 0.5;

// A battery is silent ("通信中断") once no reading was accepted for this many sampling periods
// while monitoring runs. A period shorter than one poll cycle (sixteen requests 150 ms apart)
// counts as a cycle: each battery is asked once per cycle however short the period is set.
inline constexpr int kSilentPeriods = 3;
inline constexpr std::int64_t kPollStepMs = 150;
inline constexpr std::int64_t kPollStepsPerCycle = 16;

// A device whose readings were discarded as late in this many cycles in a row counts as
// answering too late. One late spike costs the device a cycle of readings but raises nothing;
// a device that keeps answering late is in alarm from its second cycle on.
inline constexpr int kLateBlocksToRaise = 2;

inline constexpr std::int64_t kDefaultSamplingPeriodMs = 10'000;

// How a battery's row is marked: normal rows look as without alarms.
enum class RowMark { Normal, Alarm, NoAnswer };

using battery::Instant;

// The alarm rules: fed with what the poll engine sees and with the time, they decide which
// alarms start and end. They keep no timer and read no clock: every input carries `now` on both
// clocks. Its wall time is the time of the events it returns; silence is measured on its
// monotonic time, so a wall clock set back or forward neither hides a silent battery nor raises
// a false alarm. Every input returns the events it caused, once per change: a repeated reading
// of the same condition returns nothing. Not thread-safe; use from one thread.
class AlarmRules {
public:
    AlarmRules() = default;

    // New limits are checked at once against each battery's last reading (alarms of limits
    // switched off clear) and then against every reading.
    AlarmEvents SetLimits(const AlarmLimits& limits, Instant now);
    const AlarmLimits& Limits() const { return limits_; }

    // The sampling period in force; the silence rule follows changes at once. Negative values
    // are ignored.
    void SetSamplingPeriodMs(std::int64_t periodMs);
    std::int64_t SamplingPeriodMs() const { return periodMs_; }

    // A reading the receive path accepted for a battery. Readings of batteries that are not
    // watched are ignored.
    AlarmEvents OnReading(battery::BatteryId battery, std::uint8_t statusCode, double voltage,
                          double temperature, Instant now);

    // Silence counts only while monitoring runs, from its start or a battery's last reading,
    // whichever is later. Stopping raises nothing and clears nothing: an alarm ends when its
    // battery reports again.
    AlarmEvents OnMonitoringStarted(Instant now);
    AlarmEvents OnMonitoringStopped(Instant now);
    bool Monitoring() const { return monitoring_; }

    // The port closed or hung up: with monitoring on, every watched battery goes silent at once.
    // Whether monitoring goes on is the caller's to report.
    AlarmEvents OnPortLost(Instant now);

    // The receive path discarded a device's block of a cycle because its answers came too late.
    AlarmEvents OnDeviceLate(std::uint8_t device, Instant now);

    // Called regularly (every second or so) for the silence rule.
    AlarmEvents Tick(Instant now);

    // Acknowledges the given alarms that are active and not yet acknowledged, by `user`.
    AlarmEvents Acknowledge(const std::vector<AlarmKey>& keys, const QString& user, Instant now);

    // Rebuilds the active set from stored events, oldest first, at start-up: an alarm raised and
    // neither cleared later stays active, with its acknowledgement. Replaces the current set.
    // Events of batteries that are not watched are skipped.
    void Restore(const AlarmEvents& stored);
    // The time of a battery's last stored reading, for the age text after a restart. A time
    // later than `now` (stored under a wall clock that was ahead) counts as `now`.
    void RestoreLastReading(battery::BatteryId battery, std::int64_t tMs, Instant now);

    std::vector<ActiveAlarm> ActiveAlarms() const;  // oldest first
    const ActiveAlarm* Find(const AlarmKey& key) const;
    int UnacknowledgedCount() const;
    RowMark MarkOf(battery::BatteryId battery) const;
    std::optional<std::int64_t> LastReadingMs(battery::BatteryId battery) const;

private:
    struct LastValues {
        std::uint8_t statusCode = 0;
        double voltage = 0;
        double temperature = 0;
    };
    struct BatteryState {
        std::array<std::optional<ActiveAlarm>, kAllKinds.size()> alarms;
        std::optional<std::int64_t> lastReadingMs;  // wall clock, for the age text
        std::optional<std::int64_t> heardMonoMs;    // monotonic, for the silence rule
        std::optional<LastValues> lastValues;
    };

    std::optional<ActiveAlarm>& Slot(int index, AlarmKind kind);
    void Raise(int index, AlarmKind kind, std::optional<double> value, Instant now,
               AlarmEvents& out);
    void Clear(int index, AlarmKind kind, Instant now, AlarmEvents& out);
    void Set(int index, AlarmKind kind, bool on, std::optional<double> value, Instant now,
             AlarmEvents& out);
    void CheckStatus(int index, std::uint8_t statusCode, Instant now, AlarmEvents& out);
    void CheckLimits(int index, const LastValues& values, Instant now, AlarmEvents& out);
    void RaiseNoAnswer(int firstIndex, int endIndex, Instant now, AlarmEvents& out);

    std::array<BatteryState, battery::kWatchedCount> batteries_{};
    AlarmLimits limits_;
    std::int64_t periodMs_ = kDefaultSamplingPeriodMs;
    bool monitoring_ = false;
    std::int64_t monitoringSinceMonoMs_ = 0;
    std::array<int, 2> lateBlocksInARow_{};  // A0, A1
};

}  // namespace alarms
