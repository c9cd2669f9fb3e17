#include "alarms/AlarmRules.h"

#include <algorithm>
#include <tuple>

namespace alarms {

namespace {

// Readings are tenths converted to double and limits are typed decimals: compare with a margin
// far below the readings' resolution so that 12.0 typed and 120/10 read count as equal.
constexpr double kEpsilon = 1e-6;

constexpr int kFirstA1Index = battery::kBatteriesPerDevice;

// Whether a limit alarm holds after this value: it starts beyond the limit and ends only once
// the value is back inside by the hysteresis margin.
bool BelowLimit(bool active, double value, double limit, double hysteresis) {
    return active ? value < limit + hysteresis - kEpsilon : value < limit - kEpsilon;
}

bool AboveLimit(bool active, double value, double limit, double hysteresis) {
    return active ? value > limit - hysteresis + kEpsilon : value > limit + kEpsilon;
}

std::optional<int> DeviceSlot(std::uint8_t device) {
    if (!battery::IsDevice(device)) return std::nullopt;
    return battery::DeviceIndex(device);
}

}  // namespace

std::optional<ActiveAlarm>& AlarmRules::Slot(int index, AlarmKind kind) {
    return batteries_[index].alarms[static_cast<std::size_t>(kind)];
}

void AlarmRules::Raise(int index, AlarmKind kind, std::optional<double> value, Instant now,
                       AlarmEvents& out) {
    auto& slot = Slot(index, kind);
    if (slot) return;
    const AlarmKey key{battery::WatchedBattery(index), kind};
    slot = ActiveAlarm{key, now.wallMs, value, false, {}};
    out.push_back(AlarmEvent{now.wallMs, key, AlarmState::Raised, value, {}});
}

void AlarmRules::Clear(int index, AlarmKind kind, Instant now, AlarmEvents& out) {
    auto& slot = Slot(index, kind);
    if (!slot) return;
    out.push_back(AlarmEvent{now.wallMs, slot->key, AlarmState::Cleared, slot->value, {}});
    slot.reset();
}

void AlarmRules::Set(int index, AlarmKind kind, bool on, std::optional<double> value, Instant now,
                     AlarmEvents& out) {
    if (on) {
        Raise(index, kind, value, now, out);
    } else {
        Clear(index, kind, now, out);
    }
}

// At most one status alarm per battery: the one for the code reported last. An unknown code
// that changes to another unknown code is a new condition.
void AlarmRules::CheckStatus(int index, std::uint8_t statusCode, Instant now, AlarmEvents& out) {
    const std::optional<AlarmKind> wanted = StatusKind(statusCode);
    for (AlarmKind kind : kAllKinds) {
        if (!IsStatusKind(kind)) continue;
        const auto& slot = Slot(index, kind);
        if (!slot) continue;
        const bool sameCondition =
            kind == wanted && (kind != AlarmKind::StatusUnknown || slot->value == statusCode);
        if (!sameCondition) Clear(index, kind, now, out);
    }
    if (wanted) Raise(index, *wanted, statusCode, now, out);
}

void AlarmRules::CheckLimits(int index, const LastValues& values, Instant now, AlarmEvents& out) {
    // A device that reports "no such device" sends no measurement: its numbers are not checked
    // and earlier limit alarms of that battery end.
    const bool measured = values.statusCode != 0x00;
    const auto check = [&](AlarmKind kind, const std::optional<double>& limit, double value,
                           auto beyond, double hysteresis) {
        const bool active = Slot(index, kind).has_value();
        const bool on = measured && limit && beyond(active, value, *limit, hysteresis);
        Set(index, kind, on, value, now, out);
    };
    check(AlarmKind::LowVoltage, limits_.lowVoltage, values.voltage, BelowLimit,
          kVoltageHysteresisV);
    check(AlarmKind::HighVoltage, limits_.highVoltage, values.voltage, AboveLimit,
          kVoltageHysteresisV);
    check(AlarmKind::HighTemperature, limits_.highTemperature, values.temperature, AboveLimit,
          kTemperatureHysteresisC);
}

void AlarmRules::RaiseNoAnswer(int firstIndex, int endIndex, Instant now, AlarmEvents& out) {
    for (int i = firstIndex; i < endIndex; ++i) Raise(i, AlarmKind::NoAnswer, {}, now, out);
}

AlarmEvents AlarmRules::SetLimits(const AlarmLimits& limits, Instant now) {
    limits_ = limits;
    AlarmEvents out;
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        const auto& last = batteries_[i].lastValues;
        if (last) {
            CheckLimits(i, *last, now, out);
            continue;
        }
        // Restored alarms of a battery not heard from since: only a limit switched off ends them.
        if (!limits_.lowVoltage) Clear(i, AlarmKind::LowVoltage, now, out);
        if (!limits_.highVoltage) Clear(i, AlarmKind::HighVoltage, now, out);
        if (!limits_.highTemperature) Clear(i, AlarmKind::HighTemperature, now, out);
    }
    return out;
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
    lateBlocksInARow_[*index < kFirstA1Index ? 0 : 1] = 0;

    Clear(*index, AlarmKind::NoAnswer, now, out);
    CheckStatus(*index, statusCode, now, out);
    CheckLimits(*index, *state.lastValues, now, out);
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

AlarmEvents AlarmRules::Tick(Instant now) {
    AlarmEvents out;
    if (!monitoring_) return out;
    const std::int64_t silentAfterMs =
        kSilentPeriods * std::max(periodMs_, kPollStepMs * kPollStepsPerCycle);
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        const std::int64_t heardMonoMs = std::max(
            batteries_[i].heardMonoMs.value_or(monitoringSinceMonoMs_), monitoringSinceMonoMs_);
        if (now.monoMs - heardMonoMs >= silentAfterMs) Raise(i, AlarmKind::NoAnswer, {}, now, out);
    }
    return out;
}

AlarmEvents AlarmRules::Acknowledge(const std::vector<AlarmKey>& keys, const QString& user,
                                    Instant now) {
    AlarmEvents out;
    for (const AlarmKey& key : keys) {
        const std::optional<int> index = battery::WatchedIndex(key.battery);
        if (!index) continue;
        auto& slot = Slot(*index, key.kind);
        if (!slot || slot->acknowledged) continue;
        slot->acknowledged = true;
        slot->acknowledgedBy = user;
        out.push_back(AlarmEvent{now.wallMs, key, AlarmState::Acknowledged, slot->value, user});
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
                // A raise without a clear in between (a crash lost the clear) keeps the first.
                if (!slot) slot = ActiveAlarm{event.key, event.tMs, event.value, false, {}};
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

// A silent battery's last status is stale, so "no answer" wins over the red mark.
RowMark AlarmRules::MarkOf(battery::BatteryId battery) const {
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return RowMark::Normal;
    const auto& alarms = batteries_[*index].alarms;
    if (alarms[static_cast<std::size_t>(AlarmKind::NoAnswer)]) return RowMark::NoAnswer;
    const bool any = std::any_of(alarms.begin(), alarms.end(),
                                 [](const auto& slot) { return slot.has_value(); });
    return any ? RowMark::Alarm : RowMark::Normal;
}

std::optional<std::int64_t> AlarmRules::LastReadingMs(battery::BatteryId battery) const {
    const std::optional<int> index = battery::WatchedIndex(battery);
    if (!index) return std::nullopt;
    return batteries_[*index].lastReadingMs;
}

}  // namespace alarms
