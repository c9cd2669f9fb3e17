#pragma once

#include <array>
#include <cstdint>

#include "protocol/ModbusCrc.h"

// One request of the poll cycle: its step number (1..16) and its complete frame.
struct PollRequest {
    std::uint16_t step;
    Frame frame;
};

// The sixteen read-input-register requests of one poll cycle, in sending order: registers
// 0x0080..0x0087 of device 0xA0, then of device 0xA1, three registers each.
const std::array<PollRequest, 16>& PollTable();
