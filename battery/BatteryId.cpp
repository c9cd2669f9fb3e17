#include "battery/BatteryId.h"

namespace battery {

bool IsDevice(std::uint8_t address) { return address == kDeviceA0 || address == kDeviceA1; }

int DeviceIndex(std::uint8_t device) { return device == kDeviceA0 ? 0 : 1; }

QString DeviceName(std::uint8_t device) {
    if (device == kDeviceA0) return QStringLiteral("A0");
    if (device == kDeviceA1) return QStringLiteral("A1");
    return {};
}

std::optional<std::uint8_t> DeviceFromName(QStringView name) {
    const QString n = name.trimmed().toString().toUpper();
    if (n == u"A0" || n == u"0XA0" || n == u"160") return kDeviceA0;
    if (n == u"A1" || n == u"0XA1" || n == u"161") return kDeviceA1;
    return std::nullopt;
}

bool IsBusBattery(BatteryId id) { return IsDevice(id.device) && id.battery < kBatteriesPerDevice; }

const std::array<BatteryId, kWatchedCount>& WatchedBatteries() {
    static const std::array<BatteryId, kWatchedCount> watched = [] {
        std::array<BatteryId, kWatchedCount> ids{};
        for (int i = 0; i < kWatchedCount; ++i) {
            ids[static_cast<std::size_t>(i)] =
                i < kBatteriesPerDevice
                    ? BatteryId{kDeviceA0, static_cast<std::uint8_t>(i)}
                    : BatteryId{kDeviceA1, static_cast<std::uint8_t>(i - kBatteriesPerDevice)};
        }
        return ids;
    }();
    return watched;
}

std::optional<int> WatchedIndex(BatteryId id) {
    if (id.device == kDeviceA0 && id.battery < kBatteriesPerDevice) return id.battery;
    if (id.device == kDeviceA1 && id.battery < kWatchedOfA1)
        return kBatteriesPerDevice + id.battery;
    return std::nullopt;
}

BatteryId WatchedBattery(int index) {
    return WatchedBatteries().at(static_cast<std::size_t>(index));
}

QString RegisterName(BatteryId id) {
    return QStringLiteral("%1-%2")
        .arg(DeviceName(id.device))
        .arg(kFirstBatteryRegister + id.battery, 2, 16, QLatin1Char('0'))
        .toUpper();
}

std::optional<BatteryId> BatteryFromRegisterName(QStringView name) {
    const QString n = name.trimmed().toString().toUpper();
    for (std::uint8_t device : kDevices) {
        for (int battery = 0; battery < kBatteriesPerDevice; ++battery) {
            const BatteryId id{device, static_cast<std::uint8_t>(battery)};
            if (n == RegisterName(id)) return id;
        }
    }
    return std::nullopt;
}

QString BatteryLabel(BatteryId id) {
    if (id.device == kDeviceA1 && id.battery < kWatchedOfA1)
        return QStringLiteral("%1#").arg(id.battery + 1);
    return RegisterName(id);
}

}  // namespace battery
