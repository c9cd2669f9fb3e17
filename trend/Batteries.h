#pragma once

#include <QString>
#include <array>
#include <optional>

// The fourteen batteries the program polls: device 0xA0 batteries 0..7 ("A0-80" … "A0-87") and
// device 0xA1 batteries 0..5 ("1#" … "6#"), in that order. `index` is the position in that list.
struct BatteryId {
    int device = 0;   // 160 or 161, as the store keeps it
    int battery = 0;  // 0..7, the offset of the request's start register

    bool operator==(const BatteryId&) const = default;
};

inline constexpr int kBatteryCount = 14;

const std::array<BatteryId, kBatteryCount>& AllBatteries();
// Position in AllBatteries(), or nothing for a battery the program does not poll.
std::optional<int> BatteryIndex(BatteryId id);
// The name the history tables use; empty for a battery the program does not poll.
QString BatteryName(BatteryId id);
