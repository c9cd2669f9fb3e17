#pragma once

#include <cstdint>
#include <optional>

#include "battery/BatteryId.h"

namespace battery {

// Where each of a cycle's sixteen poll requests goes: steps 1..8 read batteries 0..7 of A0,
// steps 9..16 batteries 0..7 of A1. Steps 1..14 carry the readings the program keeps (A0's
// eight and A1's 0..5); 15 and 16 only complete A1's block.
inline constexpr int kPollSteps = 16;
inline constexpr int kFirstA1Step = 9;
inline constexpr int kLastReadingStep = 14;

// The device asked at step 1..16.
constexpr std::uint8_t DeviceOfStep(int step) {
    return step < kFirstA1Step ? kDeviceA0 : kDeviceA1;
}

// The battery read at step 1..16.
constexpr BatteryId BatteryOfStep(int step) {
    return BatteryId{DeviceOfStep(step),
                     static_cast<std::uint8_t>((step - 1) % kBatteriesPerDevice)};
}

// The step 1..14 whose reading is kept for `id`, or nothing for a battery not watched.
constexpr std::optional<int> ReadingStepOf(BatteryId id) {
    if (id.device == kDeviceA0 && id.battery < kBatteriesPerDevice) return id.battery + 1;
    if (id.device == kDeviceA1 && id.battery < kWatchedOfA1) return kFirstA1Step + id.battery;
    return std::nullopt;
}

// Where the window shows a watched battery: its history table (numbered like its step, 1..14)
// and, for A1's batteries, its row 1..6 of the real-time table (0 for A0's).
struct WindowPlace {
    int historyTable;
    int liveRow;
};
constexpr std::optional<WindowPlace> WindowPlaceOf(BatteryId id) {
    const std::optional<int> step = ReadingStepOf(id);
    if (!step) return std::nullopt;
    return WindowPlace{*step, id.device == kDeviceA1 ? id.battery + 1 : 0};
}

}  // namespace battery
