#include <algorithm>
#include <array>
#include <cmath>

#include "alarms/AlarmRules.h"
#include "battery/Status.h"

// The rules' checks of one battery and of one device's string: grading a measure against its two
// levels with margin and on-delay, the status, the limits, the temperature rise and the analysis
// of a device's batteries against each other.
namespace alarms {

namespace {

// Readings are tenths converted to double and limits are typed decimals: compare with a margin
// far below a tenth, so that 12.0 typed and 120/10 read count as equal.
constexpr double kEpsilon = 1e-6;

// The middle of the first `count` of `values` (the mean of the two middle ones for an even
// count). At most eight values: an insertion sort is all it takes.
template <std::size_t N>
double Median(std::array<double, N> values, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && values[j] < values[j - 1]; --j)
            std::swap(values[j], values[j - 1]);
    }
    const std::size_t half = count / 2;
    return count % 2 != 0 ? values[half] : (values[half - 1] + values[half]) / 2;
}

}  // namespace

std::optional<ActiveAlarm>& AlarmRules::Slot(int index, AlarmKind kind) {
    return batteries_[index].alarms[static_cast<std::size_t>(kind)];
}

AlarmRules::Run& AlarmRules::RunOf(int index, AlarmKind kind) {
    return batteries_[index].runs[static_cast<std::size_t>(kind)];
}

void AlarmRules::Raise(int index, AlarmKind kind, std::optional<double> value, Instant now,
                       AlarmEvents& out, AlarmLevel level, std::optional<double> limit) {
    auto& slot = Slot(index, kind);
    if (slot) return;
    const AlarmKey key{battery::WatchedBattery(index), kind};
    slot = ActiveAlarm{key, now.wallMs, value, false, {}, level, limit};
    out.push_back(EventOf(*slot, AlarmState::Raised, now));
}

// A warning that turns critical is a new condition: it needs a new acknowledgement, and it ends
// a shelf put on the warning, so that it reaches somebody.
void AlarmRules::Escalate(int index, AlarmKind kind, double value, double limit, Instant now,
                          AlarmEvents& out) {
    auto& slot = Slot(index, kind);
    if (slot->shelf) {
        slot->shelf.reset();
        out.push_back(EventOf(*slot, AlarmState::Unshelved, now));
    }
    slot->level = AlarmLevel::Critical;
    slot->value = value;
    slot->limit = limit;
    slot->acknowledged = false;
    slot->acknowledgedBy.clear();
    out.push_back(EventOf(*slot, AlarmState::Raised, now));
}

void AlarmRules::Clear(int index, AlarmKind kind, Instant now, AlarmEvents& out) {
    auto& slot = Slot(index, kind);
    if (!slot) return;
    out.push_back(EventOf(*slot, AlarmState::Cleared, now));
    slot.reset();
}

// `measure` is what the limits apply to (none: nothing measured, which ends the alarm); `value`
// is what the events carry.
void AlarmRules::Grade(int index, AlarmKind kind, Run& run, std::optional<double> measure,
                       double value, const Grading& grading, Instant now, AlarmEvents& out) {
    const LevelLimits& limits = grading.limits;
    if (!measure || limits.IsOff()) {
        run = {};
        Clear(index, kind, now, out);
        return;
    }
    const double bad = grading.direction * *measure;  // larger is worse
    const auto beyond = [&](const std::optional<double>& limit) {
        return limit && bad > grading.direction * *limit + kEpsilon;
    };
    const int onDelay = settings_.onDelayReadings;
    run.warning = beyond(limits.warning) ? std::min(run.warning + 1, onDelay) : 0;
    run.critical = beyond(limits.critical) ? std::min(run.critical + 1, onDelay) : 0;

    auto& slot = Slot(index, kind);
    if (slot) {
        // It clears inside the limit passed first: the warning's, or the critical one alone.
        double first = std::numeric_limits<double>::max();
        for (const std::optional<double>& limit : {limits.warning, limits.critical}) {
            if (limit) first = std::min(first, grading.direction * *limit);
        }
        if (bad <= first - grading.margin + kEpsilon) {
            run = {};
            Clear(index, kind, now, out);
        } else if (slot->level == AlarmLevel::Warning && run.critical >= onDelay) {
            Escalate(index, kind, value, *limits.critical, now, out);
        }
        return;
    }
    if (run.critical >= onDelay)
        Raise(index, kind, value, now, out, AlarmLevel::Critical, limits.critical);
    else if (run.warning >= onDelay)
        Raise(index, kind, value, now, out, AlarmLevel::Warning, limits.warning);
}

AlarmRules::Grading AlarmRules::GradingOf(const LevelLimits& limits, int direction,
                                          bool voltage) const {
    return {limits, direction,
            voltage ? settings_.voltageClearMarginV : settings_.temperatureClearMarginC};
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

// A device that reports "no such device" sends no measurement: its numbers are not checked
// and earlier limit alarms of that battery end.
void AlarmRules::CheckLimits(int index, const LastValues& values, Instant now, AlarmEvents& out) {
    const bool measured = values.statusCode != battery::kStatusNoDevice;
    const AlarmLimits& limits = limitsOf_[index];
    const auto check = [&](AlarmKind kind, const LevelLimits& level, int direction, double value,
                           bool voltage) {
        Grade(index, kind, RunOf(index, kind), measured ? std::optional(value) : std::nullopt,
              value, GradingOf(level, direction, voltage), now, out);
    };
    if (dischargeHold_[index / battery::kBatteriesPerDevice])
        RunOf(index, AlarmKind::LowVoltage) = {};
    else
        check(AlarmKind::LowVoltage, limits.lowVoltage, -1, values.voltage, true);
    check(AlarmKind::HighVoltage, limits.highVoltage, 1, values.voltage, true);
    check(AlarmKind::HighTemperature, limits.highTemperature, 1, values.temperature, false);
}

// The rise of a battery's temperature over the last kRiseWindowMs: the sign of a thermal
// runaway. Readings without a measurement are not kept, and end the alarm like a limit's.
void AlarmRules::CheckRise(int index, const LastValues& values, Instant now, AlarmEvents& out) {
    auto& history = batteries_[index].temperatures;
    const bool measured = values.statusCode != battery::kStatusNoDevice;
    std::optional<double> rise;
    if (measured) {
        while (!history.empty() && history.front().monoMs < now.monoMs - kRiseWindowMs)
            history.pop_front();
        history.push_back({now.monoMs, values.temperature});
        rise = values.temperature - history.front().celsius;
    }
    Grade(index, AlarmKind::TemperatureRise, RunOf(index, AlarmKind::TemperatureRise), rise,
          rise.value_or(0), GradingOf(settings_.strings.temperatureRise, 1, false), now, out);
}

// The batteries of one device against each other: a battery's voltage away from the device's
// median (either way), its temperature above the median, and the spread of the voltages. Only
// fresh, measured readings take part, and a device needs kMinFreshReadings of them; the others
// keep their alarms until they report again. A battery's conditions count only the readings it
// gave since the last analysis. The spread is the device's: it is raised on the battery farthest
// from the median and stays with it until it clears.
void AlarmRules::AnalyseDevice(int firstIndex, int endIndex, Run& spreadRun, Instant now,
                               AlarmEvents& out) {
    std::array<int, battery::kBatteriesPerDevice> fresh{};
    std::array<double, battery::kBatteriesPerDevice> voltages{};
    std::array<double, battery::kBatteriesPerDevice> temperatures{};
    std::size_t count = 0;
    bool anyNew = false;
    const std::int64_t freshSinceMs = now.monoMs - kFreshPeriods * CycleMs();
    for (int i = firstIndex; i < endIndex; ++i) {
        const BatteryState& state = batteries_[i];
        if (!IsFresh(state, freshSinceMs)) continue;
        fresh[count] = i;
        voltages[count] = state.lastValues->voltage;
        temperatures[count] = state.lastValues->temperature;
        anyNew = anyNew || state.unanalysed;
        ++count;
    }
    const auto done = [&] {
        for (int i = firstIndex; i < endIndex; ++i) batteries_[i].unanalysed = false;
    };
    if (count < kMinFreshReadings) {
        for (int i = firstIndex; i < endIndex; ++i) {
            RunOf(i, AlarmKind::VoltageDeviation) = {};
            RunOf(i, AlarmKind::TemperatureAboveMedian) = {};
        }
        spreadRun = {};
        done();
        return;
    }
    const double medianVoltage = Median(voltages, count);
    const double medianTemperature = Median(temperatures, count);
    const StringLimits& limits = settings_.strings;
    int farthest = fresh[0];
    double farthestBy = -1;
    for (std::size_t n = 0; n < count; ++n) {
        const int i = fresh[n];
        const double deviation = voltages[n] - medianVoltage;
        if (std::fabs(deviation) > farthestBy + kEpsilon) {
            farthest = i;
            farthestBy = std::fabs(deviation);
        }
        if (!batteries_[i].unanalysed) continue;
        Grade(i, AlarmKind::VoltageDeviation, RunOf(i, AlarmKind::VoltageDeviation),
              std::fabs(deviation), deviation, GradingOf(limits.voltageDeviation, 1, true), now,
              out);
        const double warmer = temperatures[n] - medianTemperature;
        Grade(i, AlarmKind::TemperatureAboveMedian, RunOf(i, AlarmKind::TemperatureAboveMedian),
              warmer, warmer, GradingOf(limits.temperatureAboveMedian, 1, false), now, out);
    }
    if (anyNew) {
        int holder = farthest;
        for (int i = firstIndex; i < endIndex; ++i) {
            if (Slot(i, AlarmKind::VoltageSpread)) holder = i;
        }
        const auto [low, high] = std::minmax_element(
            voltages.begin(), voltages.begin() + static_cast<std::ptrdiff_t>(count));
        const double spread = *high - *low;
        Grade(holder, AlarmKind::VoltageSpread, spreadRun, spread, spread,
              GradingOf(limits.voltageSpread, 1, true), now, out);
    }
    done();
}

bool AlarmRules::IsFresh(const BatteryState& state, std::int64_t freshSinceMs) const {
    return state.lastValues && state.lastValues->statusCode != battery::kStatusNoDevice &&
           state.heardMonoMs && *state.heardMonoMs >= freshSinceMs;
}

std::optional<double> AlarmRules::FreshMedianVoltage(std::uint8_t device, Instant now) const {
    if (!battery::IsDevice(device)) return std::nullopt;
    const int first = battery::DeviceIndex(device) * battery::kBatteriesPerDevice;
    const int end = std::min(first + battery::kBatteriesPerDevice, battery::kWatchedCount);
    std::array<double, battery::kBatteriesPerDevice> voltages{};
    std::size_t count = 0;
    const std::int64_t freshSinceMs = now.monoMs - kFreshPeriods * CycleMs();
    for (int i = first; i < end; ++i) {
        if (IsFresh(batteries_[i], freshSinceMs))
            voltages[count++] = batteries_[i].lastValues->voltage;
    }
    if (count < kMinFreshReadings) return std::nullopt;
    return Median(voltages, count);
}

void AlarmRules::RaiseNoAnswer(int firstIndex, int endIndex, Instant now, AlarmEvents& out) {
    for (int i = firstIndex; i < endIndex; ++i) Raise(i, AlarmKind::NoAnswer, {}, now, out);
}

}  // namespace alarms
