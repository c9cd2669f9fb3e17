#include "protocol/SetupCommands.h"

namespace {

constexpr std::uint8_t kBaseAddress = battery::kDeviceA0;

std::uint8_t LowByte(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// Sums go through unsigned arithmetic so that any int32 input wraps instead of overflowing.
std::uint8_t OffsetByte(std::uint8_t base, std::int32_t offset) {
    return LowByte(base + static_cast<std::uint32_t>(offset));
}

Frame WithCrc(Frame frame) {
    StoreCrc(frame);
    return frame;
}

}  // namespace

Frame SetDeviceInfoFrame(std::int32_t firstAddress, std::int32_t frequencyPoint,
                         std::int32_t dataAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x06, 0x03, 0x00,
                    OffsetByte(0x00, frequencyPoint), OffsetByte(kBaseAddress, dataAddress), 0, 0});
}

Frame QueryDeviceInfoFrame(std::int32_t firstAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x04, 0x30, 0x00, 0x00, 0x01, 0, 0});
}

Frame AuthorizeModuleFrame(std::int32_t firstAddress, std::int32_t moduleAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x06, 0x03, 0x55, 0x00,
                    OffsetByte(0x80, moduleAddress), 0, 0});
}
