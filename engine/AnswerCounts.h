#pragma once

#include <cstdint>
#include <span>

// Running totals of what a session sent and how the answers fared, for monitoring from outside.
struct AnswerCounts {
    std::uint64_t requests = 0;  // poll requests sent
    std::uint64_t accepted = 0;  // readings released to the session's listeners
    std::uint64_t crc = 0;       // buffers with a damaged frame (bad checksum or garbled)
    std::uint64_t address = 0;   // well-formed answers from an address that is not polled
    std::uint64_t late = 0;      // device blocks that gave nothing because their device was late
    std::uint64_t lost = 0;      // requests whose slot stayed without an answer
};

enum class UnrecognisedBuffer { Garbled, ForeignAddress };

// Why a received buffer held no answer of a polled device: a well-formed read answer (function
// 0x04, 6 data bytes, valid checksum) from some other address, or anything else.
UnrecognisedBuffer ClassifyUnrecognised(std::span<const std::uint8_t> buffer);
