#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "alarms/AlarmLimits.h"
#include "alarms/AlarmTypes.h"
#include "alarms/DischargeRules.h"
#include "battery/Instant.h"

namespace alarms {

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

// The string analysis compares a battery with the fresh readings of its device: those heard
// within this many sampling periods (this cycle's or the one before). Fewer than
// kMinFreshReadings of them make no median worth comparing with.
inline constexpr int kFreshPeriods = 2;
inline constexpr int kMinFreshReadings = 3;

// The temperature rise is measured against the reading this long ago (or the oldest one heard
// since, while a battery has been heard for a shorter time).
inline constexpr std::int64_t kRiseWindowMs = std::int64_t{30} * 60 * 1000;

// The shelving times the window offers.
inline constexpr std::array<int, 3> kShelveHours = {1, 8, 24};

// How a battery's row is marked: normal rows look as without alarms; a battery with warnings
// only is marked as such, one with a critical alarm as in alarm.
enum class RowMark { Normal, Warning, Alarm, NoAnswer };

using battery::Instant;

// The event that reports `alarm` in `state` at `now`.
AlarmEvent EventOf(const ActiveAlarm& alarm, AlarmState state, Instant now, QString user = {},
                   QString note = {});

// The alarm rules: fed with what the poll engine sees and with the time, they decide which
// alarms start and end. They keep no timer and read no clock: every input carries `now` on both
// clocks. Its wall time is the time of the events it returns; silence, the temperature rise and
// shelving are measured on its monotonic time, so a wall clock set back or forward neither hides
// a silent battery nor raises a false alarm. Every input returns the events it caused, once per
// change: a repeated reading of the same condition returns nothing. Not thread-safe; use from one
// thread.
//
// Status alarms (from the device itself) and no-answer alarms are critical and immediate. Limit
// and string alarms are raised at the level whose limit the value passed, once the condition has
// held for the on-delay's readings in a row; an alarm that then passes its critical limit for as
// many readings is raised again as critical, and keeps the highest level it reached until it
// clears. It clears once the value is back inside its first limit by the clear margin.
class AlarmRules {
public:
    AlarmRules() = default;

    // New settings are checked at once against each battery's last reading (alarms of limits
    // switched off or now cleared by their margin end; the last reading counts as the first of
    // the on-delay) and then against every reading.
    AlarmEvents SetSettings(const AlarmSettings& settings, Instant now);
    const AlarmSettings& Settings() const { return settings_; }
    // Sets the common limits only, keeping the other settings.
    AlarmEvents SetLimits(const AlarmLimits& limits, Instant now);
    const AlarmLimits& Limits() const { return settings_.limits; }

    // The sampling period in force; the silence rule follows changes at once. Negative values
    // are ignored.
    void SetSamplingPeriodMs(std::int64_t periodMs);
    std::int64_t SamplingPeriodMs() const { return periodMs_; }

    // A reading the receive path accepted for a battery: its status, its limits and its
    // temperature rise. Readings of batteries that are not watched are ignored.
    AlarmEvents OnReading(battery::BatteryId battery, std::uint8_t statusCode, double voltage,
                          double temperature, Instant now);

    // A poll cycle's readings are all in: the string analysis compares each battery read since
    // the last analysis with the fresh readings of its device.
    AlarmEvents OnCycleEnded(Instant now);

    // Silence counts only while monitoring runs, from its start or a battery's last reading,
    // whichever is later. Stopping raises nothing and clears nothing: an alarm ends when its
    // battery reports again.
    AlarmEvents OnMonitoringStarted(Instant now);
    AlarmEvents OnMonitoringStopped(Instant now);
    bool Monitoring() const { return monitoring_; }

    // The port was lost (it hung up): with monitoring on, every watched battery goes silent at
    // once. A port closed on purpose is a stop, not a loss. Whether monitoring goes on is the
    // caller's to report.
    AlarmEvents OnPortLost(Instant now);

    // The receive path discarded a device's block of a cycle because its answers came too late.
    AlarmEvents OnDeviceLate(std::uint8_t device, Instant now);

    // The median voltage of the device's fresh, measured readings (those the string analysis
    // compares with); none when fewer than kMinFreshReadings are fresh.
    std::optional<double> FreshMedianVoltage(std::uint8_t device, Instant now) const;

    // A change of a device's discharge: when it starts, it is reported as its own alarm ("放电中",
    // on the device's first battery, with the median voltage) and the low-voltage limit alarms
    // of the device are held back until it ends (a discharge is not a fault), those already
    // active clearing; a battery that reaches its end voltage raises a critical alarm at once;
    // when it ends, its alarms clear and the low-voltage limits apply again.
    AlarmEvents OnDischargeChange(const DischargeChange& change, Instant now);
    // A discharge that was running when the program stopped goes on: its alarm is restored
    // from the stored events, and the low-voltage limits stay held back.
    void ResumeDischarge(std::uint8_t device);
    bool LowVoltageHeld(std::uint8_t device) const;

    // Called regularly (every second or so) for the silence rule and the end of shelving.
    AlarmEvents Tick(Instant now);

    // Acknowledges the given alarms that are active and not yet acknowledged, by `user`.
    AlarmEvents Acknowledge(const std::vector<AlarmKey>& keys, const QString& user, Instant now);

    // Shelves the given active alarms for `durationMs` (again, for one already shelved): their
    // events notify nobody until the time runs out, they clear, or a warning turns critical. Only
    // a signed-in operator shelves, and says why: nothing happens without `user` or `reason`.
    AlarmEvents Shelve(const std::vector<AlarmKey>& keys, const QString& user,
                       std::int64_t durationMs, const QString& reason, Instant now);
    AlarmEvents Unshelve(const std::vector<AlarmKey>& keys, const QString& user, Instant now);

    // Rebuilds the active set from stored events, oldest first, at start-up: an alarm raised and
    // neither cleared later stays active, with its level and acknowledgement. Shelving ends with
    // the program (its time runs on a clock that does not survive a restart), so restored alarms
    // notify again. Replaces the current set. Events of batteries that are not watched are
    // skipped.
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
    // How many readings in a row passed each level's limit, up to the on-delay.
    struct Run {
        int warning = 0;
        int critical = 0;
    };
    // A graded condition: its limits, which way is bad (+1: above, -1: below) and the margin that
    // clears it.
    struct Grading {
        LevelLimits limits;
        int direction = 1;
        double margin = 0;
    };
    struct TemperatureAt {
        std::int64_t monoMs;
        double celsius;
    };
    struct BatteryState {
        std::array<std::optional<ActiveAlarm>, kAllKinds.size()> alarms;
        std::array<Run, kAllKinds.size()> runs;
        std::optional<std::int64_t> lastReadingMs;  // wall clock, for the age text
        std::optional<std::int64_t> heardMonoMs;    // monotonic, for the silence rule
        std::optional<LastValues> lastValues;
        bool unanalysed = false;                 // read since the last string analysis
        std::deque<TemperatureAt> temperatures;  // the last kRiseWindowMs of measured readings
    };

    // The slot of `key`, or none for a battery nobody watches.

    std::optional<ActiveAlarm>* SlotOf(const AlarmKey& key);

    std::optional<ActiveAlarm>& Slot(int index, AlarmKind kind);
    Run& RunOf(int index, AlarmKind kind);
    void Raise(int index, AlarmKind kind, std::optional<double> value, Instant now,
               AlarmEvents& out, AlarmLevel level = AlarmLevel::Critical,
               std::optional<double> limit = std::nullopt);
    void Escalate(int index, AlarmKind kind, double value, double limit, Instant now,
                  AlarmEvents& out);
    void Clear(int index, AlarmKind kind, Instant now, AlarmEvents& out);
    void Grade(int index, AlarmKind kind, Run& run, std::optional<double> measure, double value,
               const Grading& grading, Instant now, AlarmEvents& out);
    void CheckStatus(int index, std::uint8_t statusCode, Instant now, AlarmEvents& out);
    void CheckLimits(int index, const LastValues& values, Instant now, AlarmEvents& out);
    void CheckRise(int index, const LastValues& values, Instant now, AlarmEvents& out);
    AlarmEvents OnDischargeStarted(std::uint8_t device, double medianV, Instant now);
    AlarmEvents OnEndVoltageReached(battery::BatteryId battery, double voltage, double endVoltage,
                                    Instant now);
    AlarmEvents OnDischargeEnded(std::uint8_t device, Instant now);
    bool IsFresh(const BatteryState& state, std::int64_t freshSinceMs) const;
    void AnalyseDevice(int firstIndex, int endIndex, Run& spreadRun, Instant now, AlarmEvents& out);
    void RaiseNoAnswer(int firstIndex, int endIndex, Instant now, AlarmEvents& out);
    void EndShelves(Instant now, AlarmEvents& out);
    std::int64_t CycleMs() const;
    Grading GradingOf(const LevelLimits& limits, int direction, bool voltage) const;

    std::array<BatteryState, battery::kWatchedCount> batteries_{};
    std::array<AlarmLimits, battery::kWatchedCount> limitsOf_{};  // each battery's, in force
    std::array<Run, 2> spreadRuns_{};                             // A0, A1
    AlarmSettings settings_;
    std::int64_t periodMs_ = kDefaultSamplingPeriodMs;
    bool monitoring_ = false;
    std::int64_t monitoringSinceMonoMs_ = 0;
    std::array<int, 2> lateBlocksInARow_{};  // A0, A1
    std::array<bool, 2> dischargeHold_{};    // A0, A1: low-voltage limits held back
};

}  // namespace alarms
