#include "alarms/AlarmTypes.h"

namespace alarms {

namespace {

constexpr int kA0Batteries = 8;
constexpr int kA1Batteries = 6;

std::array<BatteryId, kMonitoredBatteryCount> MakeMonitored() {
    std::array<BatteryId, kMonitoredBatteryCount> all{};
    for (int i = 0; i < kMonitoredBatteryCount; ++i) {
        all[i] = i < kA0Batteries
                     ? BatteryId{kDeviceA0, static_cast<std::uint8_t>(i)}
                     : BatteryId{kDeviceA1, static_cast<std::uint8_t>(i - kA0Batteries)};
    }
    return all;
}

struct KindNames {
    AlarmKind kind;
    const char* id;
    const char16_t* text;
};

constexpr std::array<KindNames, kAllKinds.size()> kKindNames = {{
    {AlarmKind::StatusVoltage, "status_voltage", u"电压异常"},
    {AlarmKind::StatusTemperature, "status_temperature", u"温度异常"},
    {AlarmKind::StatusSwelling, "status_swelling", u"鼓包异常"},
    {AlarmKind::StatusNoDevice, "status_no_device", u"无此设备"},
    {AlarmKind::StatusUnknown, "status_unknown", u"未知状态"},
    {AlarmKind::LowVoltage, "limit_low_voltage", u"电压过低"},
    {AlarmKind::HighVoltage, "limit_high_voltage", u"电压过高"},
    {AlarmKind::HighTemperature, "limit_high_temperature", u"温度过高"},
    {AlarmKind::NoAnswer, "no_answer", u"通信中断"},
}};

const KindNames& NamesOf(AlarmKind kind) { return kKindNames[static_cast<std::size_t>(kind)]; }

}  // namespace

std::optional<int> MonitoredIndex(BatteryId id) {
    if (id.device == kDeviceA0 && id.battery < kA0Batteries) return id.battery;
    if (id.device == kDeviceA1 && id.battery < kA1Batteries) return kA0Batteries + id.battery;
    return std::nullopt;
}

const std::array<BatteryId, kMonitoredBatteryCount>& MonitoredBatteries() {
    static const auto all = MakeMonitored();
    return all;
}

BatteryId MonitoredBattery(int index) {
    return MonitoredBatteries().at(static_cast<std::size_t>(index));
}

QString BatteryLabel(BatteryId id) {
    if (id.device == kDeviceA1 && id.battery < kA1Batteries) {
        return QStringLiteral("%1#").arg(id.battery + 1);
    }
    return QStringLiteral("%1-%2")
        .arg(id.device, 2, 16, QLatin1Char('0'))
        .arg(0x80 + id.battery, 2, 16, QLatin1Char('0'))
        .toUpper();
}

QString KindId(AlarmKind kind) { return QString::fromLatin1(NamesOf(kind).id); }

std::optional<AlarmKind> KindFromId(QStringView id) {
    for (const auto& names : kKindNames) {
        if (id == QLatin1String(names.id)) return names.kind;
    }
    return std::nullopt;
}

QString KindText(AlarmKind kind) { return QString::fromUtf16(NamesOf(kind).text); }

bool IsNoAnswer(AlarmKind kind) { return kind == AlarmKind::NoAnswer; }

bool IsStatusKind(AlarmKind kind) { return kind <= AlarmKind::StatusUnknown; }

std::optional<AlarmKind> StatusKind(std::uint8_t statusCode) {
    switch (statusCode) {
        case 0x11:
            return std::nullopt;
        case 0x71:
            return AlarmKind::StatusVoltage;
        case 0x72:
            return AlarmKind::StatusTemperature;
        case 0x73:
            return AlarmKind::StatusSwelling;
        case 0x00:
            return AlarmKind::StatusNoDevice;
        default:
            return AlarmKind::StatusUnknown;
    }
}

QString ValueText(AlarmKind kind, std::optional<double> value) {
    if (!value) return {};
    switch (kind) {
        case AlarmKind::LowVoltage:
        case AlarmKind::HighVoltage:
            return QString::number(*value, 'f', 1) + QStringLiteral(" V");
        case AlarmKind::HighTemperature:
            return QString::number(*value, 'f', 1) + QStringLiteral(" ℃");
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

QString StateId(AlarmState state) {
    switch (state) {
        case AlarmState::Raised:
            return QStringLiteral("raised");
        case AlarmState::Cleared:
            return QStringLiteral("cleared");
        case AlarmState::Acknowledged:
            return QStringLiteral("acknowledged");
    }
    return {};
}

std::optional<AlarmState> StateFromId(QStringView id) {
    for (AlarmState state : {AlarmState::Raised, AlarmState::Cleared, AlarmState::Acknowledged}) {
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
    }
    return {};
}

}  // namespace alarms
