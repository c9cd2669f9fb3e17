#pragma once

#include <QString>
#include <QStringView>
#include <array>
#include <compare>
#include <cstdint>
#include <optional>

namespace battery {

// The two devices on the bus, by their Modbus address.
inline constexpr std::uint8_t kDeviceA0 = 0xA0;
inline constexpr std::uint8_t kDeviceA1 = 0xA1;
inline constexpr std::array<std::uint8_t, 2> kDevices = {kDeviceA0, kDeviceA1};

// A device answers for up to eight batteries, one per register from 0x0080.
inline constexpr int kBatteriesPerDevice = 8;
inline constexpr std::uint16_t kFirstBatteryRegister = 0x0080;

bool IsDevice(std::uint8_t address);
// 0 for A0, 1 for A1: the position in kDevices. Only for a bus device.
int DeviceIndex(std::uint8_t device);
// "A0" / "A1"; empty for any other address.
QString DeviceName(std::uint8_t device);
// "A0", "0xA0" or "160" (any case, surrounding spaces ignored), likewise for A1.
std::optional<std::uint8_t> DeviceFromName(QStringView name);

// A battery on the bus: its device's address and its number 0..7, the offset of its register
// from 0x0080.
struct BatteryId {
    std::uint8_t device = 0;
    std::uint8_t battery = 0;

    // clang-tidy 14 takes the defaulted comparison's test against 0 for a null pointer.
    friend auto operator<=>(const BatteryId&,
                            const BatteryId&) = default;  // NOLINT(modernize-use-nullptr)
};

// A battery the devices can report: device A0 or A1, battery 0..7.
bool IsBusBattery(BatteryId id);

// The fourteen batteries the program polls and shows: A0's eight, then A1's 0..5.
inline constexpr int kWatchedCount = 14;
inline constexpr int kWatchedOfA1 = 6;
const std::array<BatteryId, kWatchedCount>& WatchedBatteries();
// Position 0..13 in WatchedBatteries(), or nothing for a battery the program does not poll.
std::optional<int> WatchedIndex(BatteryId id);
BatteryId WatchedBattery(int index);  // index 0..13

// The device and register a battery is read from: "A0-80" … "A1-87".
QString RegisterName(BatteryId id);
// The bus battery RegisterName names (any case, surrounding spaces ignored), or nothing.
std::optional<BatteryId> BatteryFromRegisterName(QStringView name);

// The name the window gives a battery: "A0-80" … "A0-87" for A0, "1#" … "6#" for A1's
// watched batteries, and "A1-86", "A1-87" for A1's other two.
QString BatteryLabel(BatteryId id);

}  // namespace battery
