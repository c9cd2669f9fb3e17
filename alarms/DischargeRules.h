#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "alarms/Discharge.h"
#include "battery/BatteryId.h"

namespace alarms {

// What a reading or a cycle did to a device's discharge. Every change carries the record as it
// stands after it.
struct DischargeChange {
    enum class Kind : std::uint8_t {
        Started,            // the median (in `voltage`) stayed below the start level for two cycles
        Updated,            // a cycle of a running discharge ended
        EndVoltageReached,  // `battery` reached the end voltage with `voltage`
        Ended,              // the median stayed above the end level for two cycles
    };
    Kind kind = Kind::Updated;
    DischargeRecord record;
    std::optional<battery::BatteryId> battery{};
    double voltage = 0;
};

using DischargeChanges = std::vector<DischargeChange>;

// Decides when a device's string discharges and keeps its record: fed with every accepted
// reading and, at the end of each poll cycle, with the median voltage of the device's fresh
// readings (none when too few were fresh). A discharge starts when the median is below the
// start level at two cycle ends in a row, from the first of them; it ends when the median is
// above the end level at two cycle ends in a row, at the first of them. A cycle without a median
// (a silent device) interrupts either run. Keeps no timer and reads no clock. Not thread-safe.
class DischargeRules {
public:
    void SetSettings(const DeviceDischargeSettings& settings) { settings_ = settings; }
    const DeviceDischargeSettings& Settings() const { return settings_; }

    // A battery's accepted reading, arrived at `tMs`. A battery of a running discharge that
    // reaches the end voltage is reported at once.
    DischargeChanges OnReading(battery::BatteryId battery, std::uint8_t statusCode, double voltage,
                               double temperature, std::int64_t tMs);
    DischargeChanges OnCycleEnded(std::uint8_t device, std::optional<double> medianV,
                                  std::int64_t nowMs);

    // Takes up a discharge that was running when the program stopped (its stored record, with
    // no end): it goes on as the same discharge.
    void Resume(const DischargeRecord& record);

    // The device's running discharge, or null.
    const DischargeRecord* Running(std::uint8_t device) const;

private:
    struct Heard {
        double voltage = 0;
        double temperature = 0;
        std::int64_t tMs = 0;
    };
    using CycleReadings = std::array<std::optional<Heard>, battery::kBatteriesPerDevice>;
    struct DeviceState {
        std::optional<DischargeRecord> record;
        CycleReadings heard{};       // since the last cycle end
        CycleReadings firstBelow{};  // the first cycle below the start level
        std::int64_t firstBelowMs = 0;
        int belowRuns = 0;
        std::int64_t firstAboveMs = 0;
        int aboveRuns = 0;
        std::vector<battery::BatteryId> reachedThisCycle;
    };

    void Take(DeviceState& state, std::uint8_t device, int battery, const Heard& heard,
              DischargeChanges& out);
    DischargeChanges Start(DeviceState& state, std::uint8_t device, double medianV);
    void ChooseFirstAtEnd(DeviceState& state);

    DeviceDischargeSettings settings_{};
    std::array<DeviceState, 2> devices_{};  // A0, A1
};

}  // namespace alarms
