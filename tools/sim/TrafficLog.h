#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/BusDevices.h"

namespace batmonsim {

// One line of the traffic log. `dir` is "rx" (bytes received), "tx" (bytes sent) or "drop"
// (an answer deliberately left unsent); `fault` names the injected faults, comma-separated.
struct LogRecord {
    std::string dir;
    std::vector<std::uint8_t> bytes;
    std::optional<int> device, function, reg, value;
    std::optional<int> status, voltageRaw, temperatureRaw, exception;
    std::string fault;

    static LogRecord Received(const std::vector<std::uint8_t>& bytes, const Request* request);
    static LogRecord ForAnswer(const std::string& dir, const std::vector<std::uint8_t>& bytes,
                               const Answer& answer, const std::string& fault);
};

// Writes records as JSON lines, each stamped with wall-clock and monotonic microseconds at the
// moment of writing and flushed at once so that readers see every line as it happens.
// Without a path it writes nothing.
class TrafficLog {
public:
    TrafficLog() = default;
    ~TrafficLog();
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    bool Open(const std::string& path);
    void Write(const LogRecord& record);

    static std::string ToJson(const LogRecord& record, std::int64_t realtimeUs,
                              std::int64_t monotonicUs);
    static std::string HexText(const std::vector<std::uint8_t>& bytes);

private:
    std::FILE* file_ = nullptr;
};

}  // namespace batmonsim
