#pragma once

#include <cstdint>

#include "protocol/ModbusCrc.h"

// The set-up command frames, checksum included. Operator numbers are taken modulo 256 where
// they go into a frame byte; the ranges printed next to the edits are guidance only.
Frame SetDeviceInfoFrame(std::int32_t firstAddress, std::int32_t frequencyPoint,
                         std::int32_t dataAddress);
Frame QueryDeviceInfoFrame(std::int32_t firstAddress);
Frame AuthorizeModuleFrame(std::int32_t firstAddress, std::int32_t moduleAddress);
