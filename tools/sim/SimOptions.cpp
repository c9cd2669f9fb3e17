#include "tools/sim/SimOptions.h"

#include <charconv>
#include <functional>
#include <map>

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

}  // namespace

bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = text.substr(0, colon);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find_first_of(":[]") != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    unsigned value = 0;
    if (!ParseNumber(text.substr(colon + 1), value) || value > 65535) return false;
    host = name;
    port = static_cast<std::uint16_t>(value);
    return true;
}

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

std::string SimUsage() {
    return "usage: batmon-sim [options]\n"
           "  --device PATH          use a serial device (9600 8N1 raw) instead of a "
           "pseudo-terminal\n"
           "  --link PATH            symlink PATH to the port while running\n"
           "  --tcp-listen HOST:PORT serve the bus over TCP, one client at a time, like a serial\n"
           "                         device server (PORT 0: any free port; [::1]:PORT for IPv6)\n"
           "  --log FILE             JSON-lines traffic log\n"
           "  --drop-device A0|A1    never answer that device (repeatable)\n"
           "  --drop-for-s N         dropped devices answer again after N seconds\n"
           "  --status DEV:N=CODE    battery N (0..7) of A0|A1 always reports status CODE,\n"
           "                         e.g. A1:2=0x71 (repeatable)\n"
           "  --drop-rate P          leave a share P (0..1) of answers unsent\n"
           "  --delay-ms N           answer N ms after the request (default 3)\n"
           "  --corrupt-every N      corrupt the CRC of every n-th answer\n"
           "  --split-every N        pause inside every n-th answer\n"
           "  --split-pause-ms M     length of that pause (default 30)\n"
           "  --double-every N       send every n-th answer twice\n"
           "  --noise-every N        send a few random bytes before every n-th answer\n"
           "  --late-every N         make every n-th answer late by --late-ms\n"
           "  --late-ms M            how much later than --delay-ms (default 200)\n"
           "  --wire-time            pace output at 9600 baud (~1.04 ms per byte)\n"
           "  --frame-gap-ms N       silence that ends a partial frame (default 4)\n"
           "  --seed S               seed of readings and faults (default 1)\n"
           "  --duration-s N         exit after N seconds\n";
}

ParseResult ParseSimOptions(const std::vector<std::string>& args) {
    SimOptions options;
    using Setter = std::function<bool(const std::string&)>;
    const std::map<std::string, Setter> valued = {
        {"--device", [&](const std::string& v) { return !(options.devicePath = v).empty(); }},
        {"--link", [&](const std::string& v) { return !(options.linkPath = v).empty(); }},
        {"--tcp-listen",
         [&](const std::string& v) {
             return ParseListenAddress(v, options.tcpHost, options.tcpPort);
         }},
        {"--log", [&](const std::string& v) { return !(options.logPath = v).empty(); }},
        {"--drop-device",
         [&](const std::string& v) {
             if (v == "A0" || v == "a0") return options.dropA0 = true;
             if (v == "A1" || v == "a1") return options.dropA1 = true;
             return false;
         }},
        {"--drop-for-s",
         [&](const std::string& v) { return ParseNonNegative(v, options.dropForS); }},
        {"--status",
         [&](const std::string& v) {
             ForcedStatus forced;
             if (!ParseForcedStatus(v, forced)) return false;
             options.forcedStatus.push_back(forced);
             return true;
         }},
        {"--drop-rate",
         [&](const std::string& v) {
             try {
                 std::size_t used = 0;
                 options.dropRate = std::stod(v, &used);
                 return used == v.size() && options.dropRate >= 0.0 && options.dropRate <= 1.0;
             } catch (const std::exception&) {
                 return false;
             }
         }},
        {"--delay-ms", [&](const std::string& v) { return ParseNonNegative(v, options.delayMs); }},
        {"--corrupt-every",
         [&](const std::string& v) { return ParseNonNegative(v, options.corruptEvery); }},
        {"--split-every",
         [&](const std::string& v) { return ParseNonNegative(v, options.splitEvery); }},
        {"--split-pause-ms",
         [&](const std::string& v) { return ParseNonNegative(v, options.splitPauseMs); }},
        {"--double-every",
         [&](const std::string& v) { return ParseNonNegative(v, options.doubleEvery); }},
        {"--noise-every",
         [&](const std::string& v) { return ParseNonNegative(v, options.noiseEvery); }},
        {"--late-every",
         [&](const std::string& v) { return ParseNonNegative(v, options.lateEvery); }},
        {"--late-ms", [&](const std::string& v) { return ParseNonNegative(v, options.lateMs); }},
        {"--frame-gap-ms",
         [&](const std::string& v) {
             return ParseNonNegative(v, options.frameGapMs) && options.frameGapMs > 0;
         }},
        {"--seed", [&](const std::string& v) { return ParseNumber(v, options.seed); }},
        {"--duration-s",
         [&](const std::string& v) { return ParseNonNegative(v, options.durationS); }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") return {std::nullopt, SimUsage()};
        if (name == "--wire-time" && !value) {
            options.wireTime = true;
            continue;
        }
        const auto setter = valued.find(name);
        if (setter == valued.end())
            return {std::nullopt, "unknown option " + args[i] + "\n" + SimUsage()};
        if (!value) {
            if (i + 1 >= args.size()) return {std::nullopt, name + " needs a value\n"};
            value = args[++i];
        }
        if (!setter->second(*value))
            return {std::nullopt, "bad value for " + name + ": " + *value + "\n"};
    }
    if (!options.tcpHost.empty() && (!options.devicePath.empty() || !options.linkPath.empty()))
        return {std::nullopt, "--tcp-listen serves no device and makes no link\n"};
    return {options, {}};
}

}  // namespace batmonsim
