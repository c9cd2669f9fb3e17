#pragma once

#include <cstdint>
#include <optional>
#include <span>

// One battery's values as a device reports them in the first two registers of an answer.
struct BatteryReading {
    double Voltage;      // volts: RawVoltage / 10
    double Temperature;  // degrees Celsius: RawTemperature / 10, never negative
    std::uint8_t StatusCode;
    std::uint8_t RawVoltage;       // tenths of a volt
    std::uint16_t RawTemperature;  // tenths of a degree
};

// Reads status (byte 3), voltage (byte 4) and temperature (bytes 5..6, big-endian) from an
// answer. A buffer shorter than 7 bytes yields an all-zero reading.
BatteryReading DecodeBatteryReading(std::span<const std::uint8_t> answer);

// The reading of raw register values, as a stored reading keeps them.
BatteryReading ReadingFromRaw(std::uint8_t statusCode, std::uint8_t rawVoltage,
                              std::uint16_t rawTemperature);

// A well-formed answer to a three-register read of one of the two polled devices.
struct AnswerFrame {
    std::uint8_t address;  // 0xA0 or 0xA1
    BatteryReading reading;
};

// The device whose answer header (its address, function 0x04, byte count 6) `bytes` start
// with, whether or not the rest of the frame is there and sound.
std::optional<std::uint8_t> AnswerHeaderDevice(std::span<const std::uint8_t> bytes);

// Finds the answer frame inside a received buffer: the first offset where the address of a
// polled device, function 0x04, byte count 6 and a valid checksum all match. Stray bytes before
// it (a line turning around) and anything after it (a partial or second frame) do not hide it;
// a buffer without such a frame yields nothing.
std::optional<AnswerFrame> FindAnswerFrame(std::span<const std::uint8_t> buffer);
