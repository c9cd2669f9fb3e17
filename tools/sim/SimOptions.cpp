#include "tools/sim/SimOptions.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

#include "config/ListenAddress.h"

namespace batmonsim {
namespace {

template <typename T>
bool ParseNumber(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool ParseNonNegative(const std::string& text, int& out) {
    return ParseNumber(text, out) && out >= 0;
}

bool ParseNonNegativeDecimal(const std::string& text, double& out) {
    return ParseNumber(text, out) && std::isfinite(out) && out >= 0;
}

using config::SettingPlace;

constexpr config::Setting kSimSettings[] = {
    {"device", "PATH", "Use a serial device (9600 8N1 raw) instead of a pseudo-terminal.",
     SettingPlace::CommandLine},
    {"link", "PATH", "Symlink PATH to the port while running.", SettingPlace::CommandLine},
    {"tcp_listen", "HOST:PORT",
     "Serve the bus over TCP, one client at a time, like a serial device server (PORT 0: any "
     "free port; [::1]:PORT for IPv6).",
     SettingPlace::CommandLine},
    {"log", "FILE", "JSON-lines traffic log.", SettingPlace::CommandLine},
    {"drop_device", "A0|A1", "Never answer that device (repeatable).", SettingPlace::CommandLine},
    {"drop_after_s", "N", "Dropped devices answer for N seconds before they fall silent.",
     SettingPlace::CommandLine},
    {"drop_for_s", "N", "Dropped devices answer again after N seconds.", SettingPlace::CommandLine},
    {"status", "DEV:N=CODE",
     "Battery N (0..7) of A0|A1 always reports status CODE, e.g. A1:2=0x71 (repeatable).",
     SettingPlace::CommandLine},
    {"drift", "DEV:N:VOLTS",
     "Battery N (0..7) of A0|A1 drifts by VOLTS per reading, e.g. A0:3:-0.02 (repeatable).",
     SettingPlace::CommandLine},
    {"heat", "DEV:N:CELSIUS",
     "Battery N (0..7) of A0|A1 warms by CELSIUS per reading, e.g. A1:2:0.5 (repeatable).",
     SettingPlace::CommandLine},
    {"discharge_at", "S", "Both strings start discharging S seconds after the start.",
     SettingPlace::CommandLine},
    {"discharge_rate", "V_PER_MIN",
     "How fast the batteries fall while discharging, in volts per minute (default 0.5).",
     SettingPlace::CommandLine},
    {"recover_after", "S", "The mains return after S seconds of discharge (default: never).",
     SettingPlace::CommandLine},
    {"weak", "DEV:N:FACTOR",
     "Battery N (0..7) of A0|A1 falls FACTOR times faster while discharging, e.g. A0:5:2.0 "
     "(repeatable).",
     SettingPlace::CommandLine},
    {"drop_rate", "P", "Leave a share P (0..1) of answers unsent.", SettingPlace::CommandLine},
    {"delay_ms", "N", "Answer N ms after the request (default 3).", SettingPlace::CommandLine},
    {"corrupt_every", "N", "Corrupt the CRC of every n-th answer.", SettingPlace::CommandLine},
    {"split_every", "N", "Pause inside every n-th answer.", SettingPlace::CommandLine},
    {"split_pause_ms", "M", "Length of that pause (default 30).", SettingPlace::CommandLine},
    {"double_every", "N", "Send every n-th answer twice.", SettingPlace::CommandLine},
    {"noise_every", "N", "Send a few random bytes before every n-th answer.",
     SettingPlace::CommandLine},
    {"late_every", "N", "Make every n-th answer late by --late-ms.", SettingPlace::CommandLine},
    {"late_ms", "M", "How much later than --delay-ms (default 200).", SettingPlace::CommandLine},
    {"wire_time", nullptr, "Pace output at 9600 baud (~1.04 ms per byte).",
     SettingPlace::CommandLine},
    {"frame_gap_ms", "N", "Silence that ends a partial frame (default 4).",
     SettingPlace::CommandLine},
    {"seed", "S", "Seed of readings and faults (default 1).", SettingPlace::CommandLine},
    {"duration_s", "N", "Exit after N seconds.", SettingPlace::CommandLine},
};

}  // namespace

bool ParseForcedStatus(const std::string& text, ForcedStatus& forced) {
    // "A1:2=0x71": at least six characters, device, colon, one battery digit, equals sign.
    if (text.size() < 6 || (text[0] != 'A' && text[0] != 'a') || text[2] != ':' || text[4] != '=')
        return false;
    if (text[1] != '0' && text[1] != '1') return false;
    if (text[3] < '0' || text[3] > '7') return false;
    const std::string code = text.substr(5);
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(code, &used, 0);
        if (used != code.size() || value > 0xFF || code[0] == '-' || code[0] == '+') return false;
        forced = {text[1] - '0', text[3] - '0', static_cast<std::uint8_t>(value)};
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool ParseBatteryDrift(const std::string& text, BatteryDrift& drift) {
    // "A0:3:-0.02": device, colon, one battery digit, colon, the step.
    if (text.size() < 6 || (text[0] != 'A' && text[0] != 'a') || text[2] != ':' || text[4] != ':')
        return false;
    if (text[1] != '0' && text[1] != '1') return false;
    if (text[3] < '0' || text[3] > '7') return false;
    const std::string step = text.substr(5);
    double value = 0;
    const char* end = step.data() + step.size();
    const auto [ptr, ec] = std::from_chars(step.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
    drift = {text[1] - '0', text[3] - '0', value};
    return true;
}

config::Parsed<SimOptions> ParseSimOptions(const QStringList& arguments) {
    config::CommandLine line(
        QStringLiteral("batmon-sim"), QStringLiteral("[options]"),
        QStringLiteral("Plays the battery devices 0xA0 and 0xA1 on a pseudo-terminal (printed as "
                       "PORT <path>), a serial device or a TCP port, with faults on request."),
        kSimSettings);
    config::Parsed<SimOptions> parsed;
    if (!line.Parse(QStringList{line.Program()} + arguments, &parsed.exit)) return parsed;

    SimOptions options;
    const std::map<std::string, std::function<bool(const std::string&)>> setters = {
        {"device", [&](const std::string& v) { return !(options.devicePath = v).empty(); }},
        {"link", [&](const std::string& v) { return !(options.linkPath = v).empty(); }},
        {"tcp_listen",
         [&](const std::string& v) {
             // The simulator needs a host to listen on and takes port 0 (any free port).
             const auto listen = config::ParseListenAddress(QString::fromStdString(v));
             if (!listen || listen->host.isEmpty()) return false;
             options.tcpHost = listen->host.toStdString();
             options.tcpPort = listen->port;
             return true;
         }},
        {"log", [&](const std::string& v) { return !(options.logPath = v).empty(); }},
        {"drop_device",
         [&](const std::string& v) {
             if (v == "A0" || v == "a0") return options.dropA0 = true;
             if (v == "A1" || v == "a1") return options.dropA1 = true;
             return false;
         }},
        {"drop_after_s",
         [&](const std::string& v) { return ParseNonNegative(v, options.dropAfterS); }},
        {"drop_for_s", [&](const std::string& v) { return ParseNonNegative(v, options.dropForS); }},
        {"status",
         [&](const std::string& v) {
             ForcedStatus forced;
             if (!ParseForcedStatus(v, forced)) return false;
             options.forcedStatus.push_back(forced);
             return true;
         }},
        {"drift",
         [&](const std::string& v) {
             BatteryDrift drift;
             if (!ParseBatteryDrift(v, drift)) return false;
             options.voltageDrifts.push_back(drift);
             return true;
         }},
        {"heat",
         [&](const std::string& v) {
             BatteryDrift drift;
             if (!ParseBatteryDrift(v, drift)) return false;
             options.temperatureDrifts.push_back(drift);
             return true;
         }},
        {"discharge_at",
         [&](const std::string& v) { return ParseNonNegativeDecimal(v, options.discharge.atS); }},
        {"discharge_rate",
         [&](const std::string& v) {
             return ParseNonNegativeDecimal(v, options.discharge.voltsPerMinute);
         }},
        {"recover_after",
         [&](const std::string& v) {
             return ParseNonNegativeDecimal(v, options.discharge.recoverAfterS) &&
                    options.discharge.recoverAfterS > 0;
         }},
        {"weak",
         [&](const std::string& v) {
             BatteryDrift weak;
             if (!ParseBatteryDrift(v, weak) || weak.perReading <= 0) return false;
             options.discharge.weak.push_back({weak.device, weak.battery, weak.perReading});
             return true;
         }},
        {"drop_rate",
         [&](const std::string& v) {
             try {
                 std::size_t used = 0;
                 options.dropRate = std::stod(v, &used);
                 return used == v.size() && options.dropRate >= 0.0 && options.dropRate <= 1.0;
             } catch (const std::exception&) {
                 return false;
             }
         }},
        {"delay_ms", [&](const std::string& v) { return ParseNonNegative(v, options.delayMs); }},
        {"corrupt_every",
         [&](const std::string& v) { return ParseNonNegative(v, options.corruptEvery); }},
        {"split_every",
         [&](const std::string& v) { return ParseNonNegative(v, options.splitEvery); }},
        {"split_pause_ms",
         [&](const std::string& v) { return ParseNonNegative(v, options.splitPauseMs); }},
        {"double_every",
         [&](const std::string& v) { return ParseNonNegative(v, options.doubleEvery); }},
        {"noise_every",
         [&](const std::string& v) { return ParseNonNegative(v, options.noiseEvery); }},
        {"late_every",
         [&](const std::string& v) { return ParseNonNegative(v, options.lateEvery); }},
        {"late_ms", [&](const std::string& v) { return ParseNonNegative(v, options.lateMs); }},
        {"frame_gap_ms",
         [&](const std::string& v) {
             return ParseNonNegative(v, options.frameGapMs) && options.frameGapMs > 0;
         }},
        {"seed", [&](const std::string& v) { return ParseNumber(v, options.seed); }},
        {"duration_s",
         [&](const std::string& v) { return ParseNonNegative(v, options.durationS); }},
    };
    for (const config::Setting& setting : kSimSettings) {
        const auto setter = setters.find(setting.key);
        if (setter == setters.end()) continue;
        for (const QString& value : line.Values(setting.key)) {
            if (!setter->second(value.toStdString())) {
                parsed.exit = {2, QStringLiteral("%1: bad value \"%2\"")
                                      .arg(config::OptionName(setting.key), value)};
                return parsed;
            }
        }
    }
    options.wireTime = line.IsSet("wire_time");
    if (!options.tcpHost.empty() && (!options.devicePath.empty() || !options.linkPath.empty())) {
        parsed.exit = {2, QStringLiteral("--tcp-listen serves no device and makes no link")};
        return parsed;
    }
    parsed.options = options;
    return parsed;
}

}  // namespace batmonsim
