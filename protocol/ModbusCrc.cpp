#include "protocol/ModbusCrc.h"

namespace {

constexpr std::uint16_t kReflectedPolynomial = 0xA001;

constexpr std::uint16_t ReflectedRemainder(std::uint16_t value) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool carry = (value & 1u) != 0;
        value = static_cast<std::uint16_t>(value >> 1);
        if (carry) value ^= kReflectedPolynomial;
    }
    return value;
}

constexpr std::array<std::uint8_t, 256> MakeTable(bool highByte) {
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        const std::uint16_t remainder = ReflectedRemainder(static_cast<std::uint16_t>(i));
        table[i] = static_cast<std::uint8_t>(highByte ? remainder >> 8 : remainder & 0xFF);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kFirstByteTable = MakeTable(false);
constexpr std::array<std::uint8_t, 256> kSecondByteTable = MakeTable(true);

static_assert(kFirstByteTable[1] == 0xC1 && kFirstByteTable[2] == 0x81);
static_assert(kSecondByteTable[1] == 0xC0 && kSecondByteTable[4] == 0xC3);

}  // namespace

std::uint16_t ModbusCrc16(std::span<const std::uint8_t> data) {
    std::uint8_t first = 0xFF;
    std::uint8_t second = 0xFF;
    for (const std::uint8_t byte : data) {
        const std::uint8_t index = byte ^ first;
        first = kFirstByteTable[index] ^ second;
        second = kSecondByteTable[index];
    }
    return static_cast<std::uint16_t>((first << 8) | second);
}

std::uint16_t ModbusCrc16(const std::uint8_t* data, std::uint8_t length) {
    if (data == nullptr) return ModbusCrc16(std::span<const std::uint8_t>{});
    return ModbusCrc16(std::span<const std::uint8_t>(data, length));
}

void StoreCrc(Frame& frame) {
    const std::uint16_t crc = ModbusCrc16(frame.data(), 6);
    frame[6] = static_cast<std::uint8_t>(crc >> 8);
    frame[7] = static_cast<std::uint8_t>(crc & 0xFF);
}

bool HasValidCrc(std::span<const std::uint8_t> frame) {
    if (frame.size() < 3) return false;
    const std::size_t contentLength = frame.size() - 2;
    const std::uint16_t crc = ModbusCrc16(frame.first(contentLength));
    return frame[contentLength] == (crc >> 8) && frame[contentLength + 1] == (crc & 0xFF);
}

const std::array<std::uint8_t, 256>& CrcFirstByteTable() { return kFirstByteTable; }
const std::array<std::uint8_t, 256>& CrcSecondByteTable() { return kSecondByteTable; }
