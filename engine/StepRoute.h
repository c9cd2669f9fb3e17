#pragma once

#include <cstdint>

// Where the reading of a poll step belongs: steps 1..8 read batteries 0..7 of device 0xA0,
// steps 9..14 batteries 0..5 of device 0xA1. Every step has its own history table (numbered
// like the step); the batteries of 0xA1 also have a row of the real-time table (1..6).
struct StepRoute {
    int historyTable;  // 1..14
    int liveRow;       // 1..6, or 0 for a step without a real-time row
    std::uint8_t device;
    int battery;  // 0..7: the register read, counted from 0x0080
};

inline constexpr int kFirstLiveStep = 9;
inline constexpr int kLastReadingStep = 14;

// The route of reading step 1..14.
constexpr StepRoute RouteOfStep(int step) {
    const bool secondDevice = step >= kFirstLiveStep;
    return StepRoute{step, secondDevice ? step - kFirstLiveStep + 1 : 0,
                     static_cast<std::uint8_t>(secondDevice ? 0xA1 : 0xA0), (step - 1) % 8};
}
