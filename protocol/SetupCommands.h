#pragma once

#include <cstdint>

#include "battery/BatteryId.h"
#include "protocol/ModbusCrc.h"

// The values an operator number may take where it goes into a frame byte: added to its base, it
// must stay a byte. A wrapped sum would send to another address than typed, 0x00 (every device
// obeys it) among them. The ranges printed next to the edits are narrower and guidance only.
struct FieldRange {
    std::int32_t min;
    std::int32_t max;
    bool Contains(std::int32_t value) const { return value >= min && value <= max; }
};
inline constexpr FieldRange kFirstAddressRange{0, 0xFF - battery::kDeviceA0};
inline constexpr FieldRange kFrequencyPointRange{0, 0xFF};
inline constexpr FieldRange kDataAddressRange{0, 0xFF - battery::kDeviceA0};
inline constexpr FieldRange kModuleAddressRange{0, 0xFF - 0x80};

// The set-up command frames, checksum included, for values within their field's range.
Frame SetDeviceInfoFrame(std::int32_t firstAddress, std::int32_t frequencyPoint,
                         std::int32_t dataAddress);
Frame QueryDeviceInfoFrame(std::int32_t firstAddress);
Frame AuthorizeModuleFrame(std::int32_t firstAddress, std::int32_t moduleAddress);
