#include "alarms/Discharge.h"

#include <QRegularExpression>
#include <algorithm>

namespace alarms {

std::int64_t DischargeRecord::DurationMs(std::int64_t nowMs) const {
    return std::max<std::int64_t>(0, endMs.value_or(nowMs) - startMs);
}

BatteryDischarge* DischargeRecord::Find(battery::BatteryId which) {
    const auto found = std::find_if(batteries.begin(), batteries.end(),
                                    [&](const BatteryDischarge& b) { return b.battery == which; });
    return found == batteries.end() ? nullptr : &*found;
}

const BatteryDischarge* DischargeRecord::Find(battery::BatteryId which) const {
    return const_cast<DischargeRecord*>(this)->Find(
        which);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

const BatteryDischarge* DischargeRecord::Weakest() const {
    if (firstAtEnd) {
        if (const BatteryDischarge* first = Find(*firstAtEnd)) return first;
    }
    const auto lowest = std::min_element(
        batteries.begin(), batteries.end(),
        [](const BatteryDischarge& a, const BatteryDischarge& b) { return a.minV < b.minV; });
    return lowest == batteries.end() ? nullptr : &*lowest;
}

std::optional<CapacityResult> DischargeRecord::Capacity(std::int64_t nowMs) const {
    if (!requiredMs || *requiredMs <= 0) return std::nullopt;
    std::int64_t untilMs = endMs.value_or(nowMs);
    for (const BatteryDischarge& b : batteries) {
        if (b.endReachedMs) untilMs = std::min(untilMs, *b.endReachedMs);
    }
    CapacityResult result;
    result.requiredMs = *requiredMs;
    result.actualMs = std::max<std::int64_t>(0, untilMs - startMs);
    result.reached = result.actualMs >= result.requiredMs;
    result.percent =
        100.0 * static_cast<double>(result.actualMs) / static_cast<double>(*requiredMs);
    return result;
}

DischargeSettingTexts DischargeTexts(const DischargeSettings& settings) {
    return {QString::number(settings.startV), QString::number(settings.endLevelV),
            QString::number(settings.endVoltageV),
            settings.requiredMinutes ? QString::number(*settings.requiredMinutes) : QString()};
}

namespace {

constexpr int kMaxRequiredMinutes = 100'000;

// Digits with one optional decimal point, nothing else: no sign, exponent, "inf" or "nan".
std::optional<double> Volts(const QString& text) {
    const QString trimmed = text.trimmed();
    static const QRegularExpression kNumber(QStringLiteral("^\\d+(\\.\\d*)?$"));
    if (!kNumber.match(trimmed).hasMatch()) return std::nullopt;
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    return ok && value > 0 && value < 1000 ? std::optional(value) : std::nullopt;
}

}  // namespace

std::optional<DischargeSettings> ParseDischargeSettings(const DischargeSettingTexts& texts,
                                                        QString* problem, QString* reason) {
    const auto fail = [&](const char16_t* operatorText, const char* logText) {
        *problem = QString::fromUtf16(operatorText);
        if (reason) *reason = QString::fromLatin1(logText);
        return std::nullopt;
    };
    const std::optional<double> start = Volts(texts.startV);
    const std::optional<double> endLevel = Volts(texts.endLevelV);
    const std::optional<double> endVoltage = Volts(texts.endVoltageV);
    if (!start || !endLevel || !endVoltage)
        return fail(u"放电电压必须是正数", "the voltages must be numbers above 0");
    if (!(*endVoltage < *start && *start < *endLevel))
        return fail(u"放电电压须满足：终止电压 < 放电开始电压 < 放电结束电压",
                    "the end voltage must be below the start voltage, and that below the end "
                    "level");
    DischargeSettings settings{*start, *endLevel, *endVoltage, std::nullopt};
    const QString minutes = texts.requiredMinutes.trimmed();
    if (!minutes.isEmpty()) {
        bool ok = false;
        const int value = minutes.toInt(&ok);
        if (!ok || value < 1 || value > kMaxRequiredMinutes)
            return fail(u"核容时间必须是 1 到 100000 之间的整数分钟",
                        "the capacity test's minutes must be a whole number from 1 to 100000");
        settings.requiredMinutes = value;
    }
    return settings;
}

QString DurationText(std::int64_t ms) {
    const std::int64_t seconds = std::max<std::int64_t>(0, ms) / 1000;
    const std::int64_t h = seconds / 3600;
    const std::int64_t m = seconds / 60 % 60;
    const std::int64_t s = seconds % 60;
    const auto two = [](std::int64_t v) {
        return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
    };
    if (h > 0) return QStringLiteral("%1 h %2 min %3 s").arg(h).arg(two(m), two(s));
    if (m > 0) return QStringLiteral("%1 min %2 s").arg(m).arg(two(s));
    return QStringLiteral("%1 s").arg(s);
}

}  // namespace alarms
