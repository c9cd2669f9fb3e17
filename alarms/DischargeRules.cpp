#include "alarms/DischargeRules.h"

#include <algorithm>

#include "battery/Status.h"

namespace alarms {
namespace {

// Readings are tenths converted to double and levels are typed decimals: 10.5 typed and 105/10
// read count as equal.
constexpr double kEpsilon = 1e-6;

}  // namespace

DischargeChanges DischargeRules::OnReading(battery::BatteryId battery, std::uint8_t statusCode,
                                           double voltage, double temperature, std::int64_t tMs) {
    DischargeChanges out;
    if (!battery::IsBusBattery(battery) || statusCode == battery::kStatusNoDevice) return out;
    DeviceState& state = devices_[battery::DeviceIndex(battery.device)];
    const Heard heard{voltage, temperature, tMs};
    state.heard[battery.battery] = heard;
    if (state.record) Take(state, battery.device, battery.battery, heard, out);
    return out;
}

// Adds a reading to the running record; the first reading of a battery is its start voltage.
void DischargeRules::Take(DeviceState& state, std::uint8_t device, int battery, const Heard& heard,
                          DischargeChanges& out) {
    DischargeRecord& record = *state.record;
    const battery::BatteryId id{device, static_cast<std::uint8_t>(battery)};
    BatteryDischarge* entry = record.Find(id);
    if (!entry) {
        BatteryDischarge added{id, heard.voltage, heard.voltage, {}, heard.temperature, 0};
        const auto at = std::find_if(record.batteries.begin(), record.batteries.end(),
                                     [&](const BatteryDischarge& b) { return id < b.battery; });
        entry = &*record.batteries.insert(at, added);
    }
    entry->minV = std::min(entry->minV, heard.voltage);
    entry->maxTemperatureC = std::max(entry->maxTemperatureC, heard.temperature);
    if (entry->endReachedMs || heard.voltage > record.endVoltageV + kEpsilon) return;
    entry->endReachedMs = heard.tMs;
    state.reachedThisCycle.push_back(id);
    out.push_back({DischargeChange::Kind::EndVoltageReached, record, id, heard.voltage});
}

// Of the batteries that reached the end voltage in the same cycle, the one lowest now failed
// the string first (their readings' order within the cycle is only the order of the poll).
void DischargeRules::ChooseFirstAtEnd(DeviceState& state) {
    DischargeRecord& record = *state.record;
    if (!record.firstAtEnd && !state.reachedThisCycle.empty()) {
        const auto lowest = [&](battery::BatteryId id) {
            const auto& heard = state.heard[id.battery];
            return heard ? heard->voltage : record.Find(id)->minV;
        };
        record.firstAtEnd = *std::min_element(
            state.reachedThisCycle.begin(), state.reachedThisCycle.end(),
            [&](battery::BatteryId a, battery::BatteryId b) { return lowest(a) < lowest(b); });
    }
    state.reachedThisCycle.clear();
}

DischargeChanges DischargeRules::Start(DeviceState& state, std::uint8_t device, double medianV) {
    DischargeChanges out;
    const DischargeSettings& settings = settings_[battery::DeviceIndex(device)];
    DischargeRecord record;
    record.device = device;
    record.startMs = state.firstBelowMs;
    record.endVoltageV = settings.endVoltageV;
    if (settings.requiredMinutes)
        record.requiredMs = static_cast<std::int64_t>(*settings.requiredMinutes) * 60'000;
    state.record = std::move(record);
    DischargeChanges reached;
    for (const CycleReadings* cycle : {&state.firstBelow, &state.heard}) {
        for (int b = 0; b < battery::kBatteriesPerDevice; ++b) {
            if ((*cycle)[b]) Take(state, device, b, *(*cycle)[b], reached);
        }
    }
    for (BatteryDischarge& entry : state.record->batteries) {
        if (const auto& heard = state.heard[entry.battery.battery])
            entry.deviationV = heard->voltage - medianV;
    }
    ChooseFirstAtEnd(state);
    out.push_back({DischargeChange::Kind::Started, *state.record, {}, medianV});
    for (DischargeChange& change : reached) {
        change.record = *state.record;
        out.push_back(std::move(change));
    }
    return out;
}

DischargeChanges DischargeRules::OnCycleEnded(std::uint8_t device, std::optional<double> medianV,
                                              std::int64_t nowMs) {
    DischargeChanges out;
    if (!battery::IsDevice(device)) return out;
    DeviceState& state = devices_[battery::DeviceIndex(device)];
    const DischargeSettings& settings = settings_[battery::DeviceIndex(device)];
    if (!state.record) {
        if (medianV && *medianV < settings.startV - kEpsilon) {
            if (state.belowRuns++ == 0) {
                state.firstBelowMs = nowMs;
                state.firstBelow = state.heard;
            } else {
                out = Start(state, device, *medianV);
                state.belowRuns = 0;
            }
        } else {
            state.belowRuns = 0;
        }
        state.heard = {};
        return out;
    }
    ChooseFirstAtEnd(state);
    DischargeRecord& record = *state.record;
    if (medianV && *medianV > settings.endLevelV + kEpsilon) {
        if (state.aboveRuns++ == 0) state.firstAboveMs = nowMs;
    } else {
        state.aboveRuns = 0;
        // The deviations are those of the last cycle still discharging.
        for (BatteryDischarge& entry : record.batteries) {
            const auto& heard = state.heard[entry.battery.battery];
            if (heard && medianV) entry.deviationV = heard->voltage - *medianV;
        }
    }
    state.heard = {};
    if (state.aboveRuns < 2) {
        out.push_back({DischargeChange::Kind::Updated, record});
        return out;
    }
    record.endMs = state.firstAboveMs;
    out.push_back({DischargeChange::Kind::Ended, record});
    state.record.reset();
    state.aboveRuns = 0;
    return out;
}

void DischargeRules::Resume(const DischargeRecord& record) {
    if (!battery::IsDevice(record.device) || !record.Running()) return;
    DeviceState& state = devices_[battery::DeviceIndex(record.device)];
    state = {};
    state.record = record;
}

const DischargeRecord* DischargeRules::Running(std::uint8_t device) const {
    if (!battery::IsDevice(device)) return nullptr;
    const auto& record = devices_[battery::DeviceIndex(device)].record;
    return record ? &*record : nullptr;
}

}  // namespace alarms
