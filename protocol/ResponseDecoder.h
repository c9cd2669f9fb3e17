#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/PollCycle.h"

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

// A decoded answer to poll step 1..14.
struct PollAnswer {
    std::uint16_t step;
    BatteryReading reading;
};

// Attributes a received buffer to the poll request sent last. Only a well-formed answer to a
// three-register read passes: a poll cycle running, at least 11 bytes, function 0x04, byte count
// 6, a valid checksum and the address of the device that step asked. Steps 1..14 yield their
// reading; the answer to step 15 yields nothing and the answer to step 16 ends the cycle's
// decoding. Anything else is dropped.
std::optional<PollAnswer> AcceptPollAnswer(std::span<const std::uint8_t> buffer, PollState& state);
