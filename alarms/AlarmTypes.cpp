#include "alarms/AlarmTypes.h"

#include "battery/Status.h"

namespace alarms {

namespace {

// A status kind's text is the device's status text: the same words in the table cell and in
// the alarm list.
struct KindNames {
    AlarmKind kind;
    const char* id;
    const char16_t* text;  // null for a kind named by its status code
    std::uint8_t statusCode = 0;
};

constexpr std::array<KindNames, kAllKinds.size()> kKindNames = {{
    {AlarmKind::StatusVoltage, "status_voltage", nullptr, battery::kStatusVoltage},
    {AlarmKind::StatusTemperature, "status_temperature", nullptr, battery::kStatusTemperature},
    {AlarmKind::StatusSwelling, "status_swelling", nullptr, battery::kStatusSwelling},
    {AlarmKind::StatusNoDevice, "status_no_device", nullptr, battery::kStatusNoDevice},
    {AlarmKind::StatusUnknown, "status_unknown", u"未知状态"},
    {AlarmKind::LowVoltage, "limit_low_voltage", u"电压过低"},
    {AlarmKind::HighVoltage, "limit_high_voltage", u"电压过高"},
    {AlarmKind::HighTemperature, "limit_high_temperature", u"温度过高"},
    {AlarmKind::NoAnswer, "no_answer", u"通信中断"},
    {AlarmKind::VoltageDeviation, "voltage_deviation", u"电压偏离"},
    {AlarmKind::VoltageSpread, "voltage_spread", u"电压离散"},
    {AlarmKind::TemperatureAboveMedian, "temperature_above_median", u"温度偏高"},
    {AlarmKind::TemperatureRise, "temperature_rise", u"温升过快"},
    {AlarmKind::Discharging, "discharging", u"放电中"},
    {AlarmKind::EndVoltage, "end_voltage", u"放电终止电压"},
}};

QString Number(double value, int decimals, const char16_t* unit) {
    return QString::number(value, 'f', decimals) + QString::fromUtf16(unit);
}

const KindNames& NamesOf(AlarmKind kind) { return kKindNames[static_cast<std::size_t>(kind)]; }

}  // namespace

QString KindId(AlarmKind kind) { return QString::fromLatin1(NamesOf(kind).id); }

std::optional<AlarmKind> KindFromId(QStringView id) {
    for (const auto& names : kKindNames) {
        if (id == QLatin1String(names.id)) return names.kind;
    }
    return std::nullopt;
}

QString KindText(AlarmKind kind) {
    const KindNames& names = NamesOf(kind);
    return names.text ? QString::fromUtf16(names.text) : battery::StatusText(names.statusCode);
}

bool IsNoAnswer(AlarmKind kind) { return kind == AlarmKind::NoAnswer; }

bool IsStatusKind(AlarmKind kind) { return kind <= AlarmKind::StatusUnknown; }

bool IsGraded(AlarmKind kind) {
    return !IsStatusKind(kind) && !IsNoAnswer(kind) && !IsDischargeKind(kind);
}

bool IsStringKind(AlarmKind kind) {
    return kind >= AlarmKind::VoltageDeviation && kind <= AlarmKind::TemperatureRise;
}

bool IsDischargeKind(AlarmKind kind) {
    return kind == AlarmKind::Discharging || kind == AlarmKind::EndVoltage;
}

std::optional<AlarmKind> StatusKind(std::uint8_t statusCode) {
    if (statusCode == battery::kStatusNormal) return std::nullopt;
    for (const KindNames& names : kKindNames) {
        if (!names.text && names.statusCode == statusCode) return names.kind;
    }
    return AlarmKind::StatusUnknown;
}

QString ValueText(AlarmKind kind, std::optional<double> value) {
    if (!value) return {};
    switch (kind) {
        case AlarmKind::LowVoltage:
        case AlarmKind::HighVoltage:
        case AlarmKind::EndVoltage:
            return Number(*value, 1, u" V");
        // The device's median voltage when the discharge started.
        case AlarmKind::Discharging:
            return Number(*value, 2, u" V");
        case AlarmKind::HighTemperature:
            return Number(*value, 1, u" ℃");
        // Differences from a median of tenths may end in hundredths.
        case AlarmKind::VoltageDeviation:
        case AlarmKind::VoltageSpread:
            return Number(*value, 2, u" V");
        case AlarmKind::TemperatureAboveMedian:
        case AlarmKind::TemperatureRise:
            return Number(*value, 2, u" ℃");
        case AlarmKind::NoAnswer:
            return {};
        default:
            // A stored value that is no status byte is shown as it is rather than cast.
            if (!(*value >= 0 && *value <= 255)) return QString::number(*value);
            return QStringLiteral("0x") +
                   QStringLiteral("%1")
                       .arg(static_cast<unsigned>(*value) & 0xFFu, 2, 16, QLatin1Char('0'))
                       .toUpper();
    }
}

QString LevelId(AlarmLevel level) {
    return level == AlarmLevel::Warning ? QStringLiteral("warning") : QStringLiteral("critical");
}

std::optional<AlarmLevel> LevelFromId(QStringView id) {
    for (AlarmLevel level : {AlarmLevel::Warning, AlarmLevel::Critical}) {
        if (id == LevelId(level)) return level;
    }
    return std::nullopt;
}

QString LevelText(AlarmLevel level) {
    return level == AlarmLevel::Warning ? QStringLiteral("预警") : QStringLiteral("严重");
}

QString StateId(AlarmState state) {
    switch (state) {
        case AlarmState::Raised:
            return QStringLiteral("raised");
        case AlarmState::Cleared:
            return QStringLiteral("cleared");
        case AlarmState::Acknowledged:
            return QStringLiteral("acknowledged");
        case AlarmState::Shelved:
            return QStringLiteral("shelved");
        case AlarmState::Unshelved:
            return QStringLiteral("unshelved");
    }
    return {};
}

std::optional<AlarmState> StateFromId(QStringView id) {
    for (AlarmState state : kAllStates) {
        if (id == StateId(state)) return state;
    }
    return std::nullopt;
}

QString StateText(AlarmState state) {
    switch (state) {
        case AlarmState::Raised:
            return QStringLiteral("报警");
        case AlarmState::Cleared:
            return QStringLiteral("恢复");
        case AlarmState::Acknowledged:
            return QStringLiteral("已确认");
        case AlarmState::Shelved:
            return QStringLiteral("已搁置");
        case AlarmState::Unshelved:
            return QStringLiteral("取消搁置");
    }
    return {};
}

}  // namespace alarms
