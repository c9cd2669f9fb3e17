#include "store/StoredReading.h"

namespace store {

std::optional<StoredReading> ReadingForPollStep(int step, qint64 t_ms, std::uint8_t status,
                                                std::uint8_t voltage_dv,
                                                std::uint16_t temperature_dc) {
    StoredReading reading{t_ms, 0, 0, status, voltage_dv, temperature_dc};
    if (step >= 1 && step <= 8) {
        reading.device = kDeviceA0;
        reading.battery = static_cast<std::uint8_t>(step - 1);
    } else if (step >= 9 && step <= 14) {
        reading.device = kDeviceA1;
        reading.battery = static_cast<std::uint8_t>(step - 9);
    } else {
        return std::nullopt;
    }
    return reading;
}

bool IsStorableBattery(std::uint8_t device, std::uint8_t battery) {
    return (device == kDeviceA0 || device == kDeviceA1) && battery < kMaxBatteriesPerDevice;
}

QString DeviceName(std::uint8_t device) {
    if (device == kDeviceA0) return QStringLiteral("A0");
    if (device == kDeviceA1) return QStringLiteral("A1");
    return {};
}

std::optional<std::uint8_t> DeviceFromName(const QString& name) {
    const QString n = name.trimmed().toUpper();
    if (n == u"A0" || n == u"0XA0" || n == u"160") return kDeviceA0;
    if (n == u"A1" || n == u"0XA1" || n == u"161") return kDeviceA1;
    return std::nullopt;
}

QString AlarmStateName(AlarmState state) {
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

std::optional<AlarmState> AlarmStateFromName(const QString& name) {
    if (name == u"raised") return AlarmState::Raised;
    if (name == u"cleared") return AlarmState::Cleared;
    if (name == u"acknowledged") return AlarmState::Acknowledged;
    return std::nullopt;
}

}  // namespace store
