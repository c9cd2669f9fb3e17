#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "battery/BatteryId.h"

namespace alarms {

// When a device's string counts as discharging, and when one of its batteries is spent. The
// defaults suit 12 V blocks: a string on float charge sits near 13.5 V per block, one carrying
// the load falls below 12.6 V, and a block at 10.5 V is at its end voltage.
struct DischargeSettings {
    double startV = 12.6;       // the device's median below this for two cycles: it started
    double endLevelV = 13.0;    // the median above this for two cycles: it ended
    double endVoltageV = 10.5;  // a battery at or below this has reached its end voltage
    // A capacity test: the time the string must carry its load before a battery reaches its end
    // voltage; none for an ordinary discharge.
    std::optional<int> requiredMinutes;

    friend bool operator==(const DischargeSettings&, const DischargeSettings&) = default;
};

using DeviceDischargeSettings = std::array<DischargeSettings, 2>;  // A0, A1

// A device's settings as the operator types them: the three voltages and the capacity test's
// minutes (empty: no capacity test).
struct DischargeSettingTexts {
    QString startV;
    QString endLevelV;
    QString endVoltageV;
    QString requiredMinutes;
};
DischargeSettingTexts DischargeTexts(const DischargeSettings& settings);
// Reads and checks the texts: numbers with a decimal point whatever the locale; the end voltage
// below the start level, the start level below the end level; the minutes a whole number from
// 1 to 100000. On a problem, nothing: `problem` says what is wrong in the operator's words,
// `reason` for a log line.
std::optional<DischargeSettings> ParseDischargeSettings(const DischargeSettingTexts& texts,
                                                        QString* problem,
                                                        QString* reason = nullptr);

// What one battery did during a discharge.
struct BatteryDischarge {
    battery::BatteryId battery;
    double startV = 0;  // its first reading of the discharge
    double minV = 0;
    std::optional<std::int64_t> endReachedMs;  // when it reached the end voltage, if it did
    double maxTemperatureC = 0;
    double deviationV = 0;  // from the device's median at the discharge's last cycle

    friend bool operator==(const BatteryDischarge&, const BatteryDischarge&) = default;
};

// The result of a capacity test: how long the string carried its load (until its first battery
// reached the end voltage, or until the discharge ended) against the time required.
struct CapacityResult {
    std::int64_t requiredMs = 0;
    std::int64_t actualMs = 0;
    bool reached = false;
    double percent = 0;  // actual over required time
};

// One discharge of one device's string. Times are wall milliseconds since the epoch (UTC).
struct DischargeRecord {
    std::int64_t id = 0;  // the store's number; 0 until it is stored
    std::uint8_t device = 0;
    std::int64_t startMs = 0;
    std::optional<std::int64_t> endMs;        // none while it runs
    std::vector<BatteryDischarge> batteries;  // in battery order
    // The first battery that reached its end voltage (of several in one cycle, the lowest).
    std::optional<battery::BatteryId> firstAtEnd;
    std::optional<std::int64_t> requiredMs;  // set for a capacity test
    double endVoltageV = 10.5;               // the end voltage the batteries were held to

    bool Running() const { return !endMs; }
    // Until its end, or until `nowMs` while it runs.
    std::int64_t DurationMs(std::int64_t nowMs) const;
    // The battery that failed the string first: the first at its end voltage, else the one with
    // the lowest minimum. Null before any battery was heard.
    const BatteryDischarge* Weakest() const;
    BatteryDischarge* Find(battery::BatteryId which);
    const BatteryDischarge* Find(battery::BatteryId which) const;
    // For a capacity test only.
    std::optional<CapacityResult> Capacity(std::int64_t nowMs) const;

    friend bool operator==(const DischargeRecord&, const DischargeRecord&) = default;
};

// "1 h 05 min 30 s", "12 min 04 s", "45 s": a duration for the operator and the report.
QString DurationText(std::int64_t ms);

}  // namespace alarms
