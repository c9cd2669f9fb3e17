#include "trend/Batteries.h"

#include "trend/TrendTypes.h"

namespace {

constexpr int kDeviceA0 = 0xA0;
constexpr int kDeviceA1 = 0xA1;
constexpr int kA0Batteries = 8;
constexpr int kA1Batteries = 6;

}  // namespace

const std::array<BatteryId, kBatteryCount>& AllBatteries() {
    static const std::array<BatteryId, kBatteryCount> all = [] {
        std::array<BatteryId, kBatteryCount> ids{};
        int i = 0;
        for (int b = 0; b < kA0Batteries; ++b) ids[i++] = {kDeviceA0, b};
        for (int b = 0; b < kA1Batteries; ++b) ids[i++] = {kDeviceA1, b};
        return ids;
    }();
    return all;
}

std::optional<int> BatteryIndex(BatteryId id) {
    if (id.device == kDeviceA0 && id.battery >= 0 && id.battery < kA0Batteries) return id.battery;
    if (id.device == kDeviceA1 && id.battery >= 0 && id.battery < kA1Batteries)
        return kA0Batteries + id.battery;
    return std::nullopt;
}

QString BatteryName(BatteryId id) {
    if (!BatteryIndex(id)) return {};
    if (id.device == kDeviceA0) return QStringLiteral("A0-8%1").arg(id.battery);
    return QStringLiteral("%1#").arg(id.battery + 1);
}
