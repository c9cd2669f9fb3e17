#pragma once

#include <array>
#include <cstdint>
#include <span>

// An eight-byte Modbus RTU request: address, function, two 16-bit fields high byte first, CRC.
using Frame = std::array<std::uint8_t, 8>;

// CRC-16/MODBUS in frame byte order: the high byte of the result is the CRC byte that goes
// first on the wire (the low byte of the conventional CRC value), the low byte goes second.
std::uint16_t ModbusCrc16(const std::uint8_t* data, std::uint8_t length);

// The same checksum over a span of any length (received buffers may exceed 255 bytes).
std::uint16_t ModbusCrc16(std::span<const std::uint8_t> data);

// Writes the checksum of bytes 0..5 into bytes 6 and 7.
void StoreCrc(Frame& frame);

// True when the last two bytes are the checksum of the bytes before them. A buffer needs at
// least one byte of content besides the checksum.
bool HasValidCrc(std::span<const std::uint8_t> frame);

// The two 256-entry lookup tables: the low and the high byte of the reflected remainder of
// each byte value.
const std::array<std::uint8_t, 256>& CrcFirstByteTable();
const std::array<std::uint8_t, 256>& CrcSecondByteTable();
