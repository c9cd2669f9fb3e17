#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace batmonsim {

// Everything batmon-sim can be told on its command line. Fault counters of 0 mean "off".
struct SimOptions {
    std::string devicePath;     // empty: open a pseudo-terminal
    std::string linkPath;       // symlink to the port, removed at exit
    std::string tcpHost;        // non-empty: serve the bus over TCP on tcpHost:tcpPort instead
    std::uint16_t tcpPort = 0;  // 0: any free port (printed at start)
    std::string logPath;        // JSON-lines traffic log
    bool dropA0 = false;
    bool dropA1 = false;
    double dropRate = 0.0;  // share of answers left unsent, 0..1
    int delayMs = 3;        // from the end of a request to the first byte of its answer
    int corruptEvery = 0;
    int splitEvery = 0;
    int splitPauseMs = 30;
    int doubleEvery = 0;
    int noiseEvery = 0;
    int lateEvery = 0;
    int lateMs = 200;       // added to the delay of every late-every-th answer
    bool wireTime = false;  // pace output like 9600 baud 8N1
    int frameGapMs = 4;     // silence that ends a frame: 3.5 characters at 9600 baud
    std::uint64_t seed = 1;
    int durationS = 0;  // 0: run until SIGTERM/SIGINT
};

struct ParseResult {
    std::optional<SimOptions> options;  // empty on error or --help
    std::string message;                // error text or usage
};

ParseResult ParseSimOptions(const std::vector<std::string>& args);

// "HOST:PORT" or "[IPV6]:PORT" with a port of 0..65535; false when malformed.
bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port);

std::string SimUsage();

}  // namespace batmonsim
