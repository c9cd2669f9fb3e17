#pragma once

#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/CommandLine.h"
#include "tools/sim/DischargePlan.h"

namespace batmonsim {

// A battery that reports one status code whatever its readings.
struct ForcedStatus {
    int device = 0;   // 0: A0, 1: A1
    int battery = 0;  // 0..7
    std::uint8_t code = 0x11;
};

// A battery whose voltage (V) or temperature (℃) moves by a fixed step with every reading.
struct BatteryDrift {
    int device = 0;   // 0: A0, 1: A1
    int battery = 0;  // 0..7
    double perReading = 0;
};

// Everything batmon-sim can be told on its command line. Fault counters of 0 mean "off".
struct SimOptions {
    std::string devicePath;     // empty: open a pseudo-terminal
    std::string linkPath;       // symlink to the port, removed at exit
    std::string tcpHost;        // non-empty: serve the bus over TCP on tcpHost:tcpPort instead
    std::uint16_t tcpPort = 0;  // 0: any free port (printed at start)
    std::string logPath;        // JSON-lines traffic log
    bool dropA0 = false;
    bool dropA1 = false;
    int dropAfterS = 0;  // dropped devices answer for this many seconds first
    int dropForS = 0;    // dropped devices answer again after this many seconds; 0: never
    std::vector<ForcedStatus> forcedStatus;
    std::vector<BatteryDrift> voltageDrifts;      // --drift
    std::vector<BatteryDrift> temperatureDrifts;  // --heat
    DischargePlan discharge;  // --discharge-at, --discharge-rate, --recover-after, --weak
    double dropRate = 0.0;    // share of answers left unsent, 0..1
    int delayMs = 3;          // from the end of a request to the first byte of its answer
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

// Parses batmon-sim's arguments (without the program's name).
config::Parsed<SimOptions> ParseSimOptions(const QStringList& arguments);

// "A1:2=0x71": device A0 or A1, battery 0..7, a status code of 0..255 (hex with 0x, or decimal).
bool ParseForcedStatus(const std::string& text, ForcedStatus& forced);

// "A0:3:-0.02": device A0 or A1, battery 0..7, a step per reading (a finite decimal number).
bool ParseBatteryDrift(const std::string& text, BatteryDrift& drift);

}  // namespace batmonsim
