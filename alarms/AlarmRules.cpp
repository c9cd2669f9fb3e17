#include "alarms/AlarmRules.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "battery/Status.h"

namespace alarms {

namespace {

constexpr int kFirstA1Index = battery::kBatteriesPerDevice;

std::optional<int> DeviceSlot(std::uint8_t device) {
    if (!battery::IsDevice(device)) return std::nullopt;
    return battery::DeviceIndex(device);
}

}  // namespace

AlarmEvent EventOf(const ActiveAlarm& alarm, AlarmState state, Instant now, QString user,
                   QString note) {
    AlarmEvent event{now.wallMs, alarm.key, state, alarm.value, std::move(user)};
    event.level = alarm.level;
    event.limit = alarm.limit;
    event.note = std::move(note);
    event.shelved = alarm.shelf.has_value();
    return event;
}

std::int64_t AlarmRules::CycleMs() const {
    return std::max(periodMs_, kPollStepMs * kPollStepsPerCycle);
}

AlarmEvents AlarmRules::SetSettings(const AlarmSettings& settings, Instant now) {
    settings_ = settings;
    AlarmEvents out;
    spreadRuns_ = {};
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        limitsOf_[i] = settings_.LimitsOf(battery::WatchedBattery(i));
        BatteryState& state = batteries_[i];
        state.runs = {};
        if (state.lastValues) {
            CheckLimits(i, *state.lastValues, now, out);
        } else {
            // Restored alarms of a battery not heard from since: only a limit switched off ends
            // them.
            const AlarmLimits& limits = limitsOf_[i];
            if (limits.lowVoltage.IsOff()) Clear(i, AlarmKind::LowVoltage, now, out);
            if (limits.highVoltage.IsOff()) Clear(i, AlarmKind::HighVoltage, now, out);
            if (limits.highTemperature.IsOff()) Clear(i, AlarmKind::HighTemperature, now, out);
        }
        // The string conditions are measured anew at the next analysis or reading.
        const StringLimits& strings = settings_.strings;
        if (strings.voltageDeviation.IsOff()) Clear(i, AlarmKind::VoltageDeviation, now, out);
        if (strings.voltageSpread.IsOff()) Clear(i, AlarmKind::VoltageSpread, now, out);
        if (strings.temperatureAboveMedian.IsOff())
            Clear(i, AlarmKind::TemperatureAboveMedian, now, out);
        if (strings.temperatureRise.IsOff()) Clear(i, AlarmKind::TemperatureRise, now, out);
    }
    return out;
}

AlarmEvents AlarmRules::SetLimits(const AlarmLimits& limits, Instant now) {
    AlarmSettings settings = settings_;
    settings.limits = limits;
    return SetSettings(settings, now);
}

void AlarmRules::SetSamplingPeriodMs(std::int64_t periodMs) {
    if (periodMs >= 0) periodMs_ = periodMs;
}

AlarmEvents AlarmRules::OnReading(battery::BatteryId battery, std::uint8_t statusCode,
                                  double voltage, double temperature, Instant now) {
    AlarmEvents out;
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return out;
    auto& state = batteries_[*index];
    state.lastReadingMs = now.wallMs;
    state.heardMonoMs = now.monoMs;
    state.lastValues = LastValues{statusCode, voltage, temperature};
    state.unanalysed = true;
    lateBlocksInARow_[*index < kFirstA1Index ? 0 : 1] = 0;

    Clear(*index, AlarmKind::NoAnswer, now, out);
    CheckStatus(*index, statusCode, now, out);
    CheckLimits(*index, *state.lastValues, now, out);
    CheckRise(*index, *state.lastValues, now, out);
    if (statusCode == battery::kStatusNoDevice) {
        RunOf(*index, AlarmKind::VoltageDeviation) = {};
        RunOf(*index, AlarmKind::TemperatureAboveMedian) = {};
        Clear(*index, AlarmKind::VoltageDeviation, now, out);
        Clear(*index, AlarmKind::TemperatureAboveMedian, now, out);
    }
    return out;
}

AlarmEvents AlarmRules::OnCycleEnded(Instant now) {
    AlarmEvents out;
    AnalyseDevice(0, kFirstA1Index, spreadRuns_[0], now, out);
    AnalyseDevice(kFirstA1Index, battery::kWatchedCount, spreadRuns_[1], now, out);
    return out;
}

AlarmEvents AlarmRules::OnMonitoringStarted(Instant now) {
    if (!monitoring_) {
        monitoring_ = true;
        monitoringSinceMonoMs_ = now.monoMs;
    }
    return {};
}

AlarmEvents AlarmRules::OnMonitoringStopped(Instant) {
    monitoring_ = false;
    return {};
}

AlarmEvents AlarmRules::OnPortLost(Instant now) {
    AlarmEvents out;
    if (!monitoring_) return out;
    RaiseNoAnswer(0, battery::kWatchedCount, now, out);
    return out;
}

AlarmEvents AlarmRules::OnDeviceLate(std::uint8_t device, Instant now) {
    AlarmEvents out;
    const std::optional<int> slot = DeviceSlot(device);
    if (!slot) return out;
    int& late = lateBlocksInARow_[*slot];
    late = std::min(late + 1, kLateBlocksToRaise);
    if (late < kLateBlocksToRaise) return out;
    if (*slot == 0) {
        RaiseNoAnswer(0, kFirstA1Index, now, out);
    } else {
        RaiseNoAnswer(kFirstA1Index, battery::kWatchedCount, now, out);
    }
    return out;
}

AlarmEvents AlarmRules::OnDischargeChange(const DischargeChange& change, Instant now) {
    const std::uint8_t device = change.record.device;
    switch (change.kind) {
        case DischargeChange::Kind::Started:
            return OnDischargeStarted(device, change.voltage, now);
        case DischargeChange::Kind::EndVoltageReached:
            if (!change.battery) return {};
            return OnEndVoltageReached(*change.battery, change.voltage, change.record.endVoltageV,
                                       now);
        case DischargeChange::Kind::Ended:
            return OnDischargeEnded(device, now);
        case DischargeChange::Kind::Updated:
            return {};
    }
    return {};
}

AlarmEvents AlarmRules::OnDischargeStarted(std::uint8_t device, double medianV, Instant now) {
    AlarmEvents out;
    const std::optional<int> slot = DeviceSlot(device);
    if (!slot) return out;
    dischargeHold_[*slot] = true;
    const int first = *slot == 0 ? 0 : kFirstA1Index;
    const int end = *slot == 0 ? kFirstA1Index : battery::kWatchedCount;
    for (int i = first; i < end; ++i) {
        RunOf(i, AlarmKind::LowVoltage) = {};
        Clear(i, AlarmKind::LowVoltage, now, out);
    }
    Raise(first, AlarmKind::Discharging, medianV, now, out, AlarmLevel::Warning);
    return out;
}

AlarmEvents AlarmRules::OnEndVoltageReached(battery::BatteryId battery, double voltage,
                                            double endVoltage, Instant now) {
    AlarmEvents out;
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return out;
    Raise(*index, AlarmKind::EndVoltage, voltage, now, out, AlarmLevel::Critical, endVoltage);
    return out;
}

AlarmEvents AlarmRules::OnDischargeEnded(std::uint8_t device, Instant now) {
    AlarmEvents out;
    const std::optional<int> slot = DeviceSlot(device);
    if (!slot) return out;
    dischargeHold_[*slot] = false;
    const int first = *slot == 0 ? 0 : kFirstA1Index;
    const int end = *slot == 0 ? kFirstA1Index : battery::kWatchedCount;
    Clear(first, AlarmKind::Discharging, now, out);
    for (int i = first; i < end; ++i) Clear(i, AlarmKind::EndVoltage, now, out);
    return out;
}

void AlarmRules::ResumeDischarge(std::uint8_t device) {
    if (const std::optional<int> slot = DeviceSlot(device)) dischargeHold_[*slot] = true;
}

bool AlarmRules::LowVoltageHeld(std::uint8_t device) const {
    const std::optional<int> slot = DeviceSlot(device);
    return slot && dischargeHold_[*slot];
}

void AlarmRules::EndShelves(Instant now, AlarmEvents& out) {
    for (auto& state : batteries_) {
        for (auto& slot : state.alarms) {
            if (!slot || !slot->shelf || now.monoMs < slot->shelf->untilMonoMs) continue;
            slot->shelf.reset();
            out.push_back(EventOf(*slot, AlarmState::Unshelved, now));
        }
    }
}

AlarmEvents AlarmRules::Tick(Instant now) {
    AlarmEvents out;
    EndShelves(now, out);
    if (!monitoring_) return out;
    const std::int64_t silentAfterMs = kSilentPeriods * CycleMs();
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        const std::int64_t heardMonoMs = std::max(
            batteries_[i].heardMonoMs.value_or(monitoringSinceMonoMs_), monitoringSinceMonoMs_);
        if (now.monoMs - heardMonoMs >= silentAfterMs) Raise(i, AlarmKind::NoAnswer, {}, now, out);
    }
    return out;
}

std::optional<ActiveAlarm>* AlarmRules::SlotOf(const AlarmKey& key) {
    const std::optional<int> index = battery::WatchedIndex(key.battery);
    return index ? &Slot(*index, key.kind) : nullptr;
}

AlarmEvents AlarmRules::Acknowledge(const std::vector<AlarmKey>& keys, const QString& user,
                                    Instant now) {
    AlarmEvents out;
    for (const AlarmKey& key : keys) {
        std::optional<ActiveAlarm>* found = SlotOf(key);
        if (!found) continue;
        auto& slot = *found;
        if (!slot || slot->acknowledged) continue;
        slot->acknowledged = true;
        slot->acknowledgedBy = user;
        out.push_back(EventOf(*slot, AlarmState::Acknowledged, now, user));
    }
    return out;
}

AlarmEvents AlarmRules::Shelve(const std::vector<AlarmKey>& keys, const QString& user,
                               std::int64_t durationMs, const QString& reason, Instant now) {
    AlarmEvents out;
    if (user.isEmpty() || reason.trimmed().isEmpty() || durationMs <= 0) return out;
    for (const AlarmKey& key : keys) {
        std::optional<ActiveAlarm>* found = SlotOf(key);
        if (!found) continue;
        auto& slot = *found;
        if (!slot) continue;
        slot->shelf =
            Shelf{user, reason.trimmed(), now.wallMs + durationMs, now.monoMs + durationMs};
        out.push_back(EventOf(*slot, AlarmState::Shelved, now, user, reason.trimmed()));
    }
    return out;
}

AlarmEvents AlarmRules::Unshelve(const std::vector<AlarmKey>& keys, const QString& user,
                                 Instant now) {
    AlarmEvents out;
    for (const AlarmKey& key : keys) {
        std::optional<ActiveAlarm>* found = SlotOf(key);
        if (!found) continue;
        auto& slot = *found;
        if (!slot || !slot->shelf) continue;
        slot->shelf.reset();
        out.push_back(EventOf(*slot, AlarmState::Unshelved, now, user));
    }
    return out;
}

void AlarmRules::Restore(const AlarmEvents& stored) {
    for (auto& state : batteries_) state.alarms = {};
    for (const AlarmEvent& event : stored) {
        const std::optional<int> index = battery::WatchedIndex(event.key.battery);
        if (!index) continue;
        auto& slot = Slot(*index, event.key.kind);
        switch (event.state) {
            case AlarmState::Raised:
                if (!slot) {
                    slot = ActiveAlarm{event.key, event.tMs,   event.value, false,
                                       {},        event.level, event.limit};
                } else if (event.level > slot->level) {  // a warning that turned critical
                    slot->level = event.level;
                    slot->value = event.value;
                    slot->limit = event.limit;
                    slot->acknowledged = false;
                    slot->acknowledgedBy.clear();
                }
                // Otherwise a raise without a clear in between (a crash lost the clear): the
                // first is kept.
                break;
            case AlarmState::Cleared:
                slot.reset();
                break;
            case AlarmState::Acknowledged:
                if (slot) {
                    slot->acknowledged = true;
                    slot->acknowledgedBy = event.user;
                }
                break;
            case AlarmState::Shelved:
            case AlarmState::Unshelved:
                break;
        }
    }
}

void AlarmRules::RestoreLastReading(battery::BatteryId battery, std::int64_t tMs, Instant now) {
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return;
    auto& state = batteries_[*index];
    const std::int64_t heardMs = std::min(tMs, now.wallMs);
    if (state.lastReadingMs && *state.lastReadingMs >= heardMs) return;
    state.lastReadingMs = heardMs;
    state.heardMonoMs = now.monoMs - (now.wallMs - heardMs);
}

std::vector<ActiveAlarm> AlarmRules::ActiveAlarms() const {
    std::vector<ActiveAlarm> active;
    for (const auto& state : batteries_) {
        for (const auto& slot : state.alarms) {
            if (slot) active.push_back(*slot);
        }
    }
    // Stable: alarms raised at the same time keep battery and kind order.
    std::stable_sort(active.begin(), active.end(), [](const ActiveAlarm& a, const ActiveAlarm& b) {
        return a.sinceMs < b.sinceMs;
    });
    return active;
}

const ActiveAlarm* AlarmRules::Find(const AlarmKey& key) const {
    const std::optional<int> index = battery::WatchedIndex(key.battery);
    if (!index) return nullptr;
    const auto& slot = batteries_[*index].alarms[static_cast<std::size_t>(key.kind)];
    return slot ? &*slot : nullptr;
}

int AlarmRules::UnacknowledgedCount() const {
    int count = 0;
    for (const auto& state : batteries_) {
        for (const auto& slot : state.alarms) count += slot && !slot->acknowledged ? 1 : 0;
    }
    return count;
}

// A silent battery's last status is stale, so "no answer" wins over the other marks.
RowMark AlarmRules::MarkOf(battery::BatteryId battery) const {
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return RowMark::Normal;
    const auto& alarms = batteries_[*index].alarms;
    if (alarms[static_cast<std::size_t>(AlarmKind::NoAnswer)]) return RowMark::NoAnswer;
    RowMark mark = RowMark::Normal;
    for (const auto& slot : alarms) {
        // A discharge is the device's state, not a fault of the battery that keeps its alarm.
        if (!slot || slot->key.kind == AlarmKind::Discharging) continue;
        if (slot->level == AlarmLevel::Critical) return RowMark::Alarm;
        mark = RowMark::Warning;
    }
    return mark;
}

std::optional<std::int64_t> AlarmRules::LastReadingMs(battery::BatteryId battery) const {
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return std::nullopt;
    return batteries_[*index].lastReadingMs;
}

}  // namespace alarms
