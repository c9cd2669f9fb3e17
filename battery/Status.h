#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace battery {

// The status codes a device reports in a battery's first register.
inline constexpr std::uint8_t kStatusNoDevice = 0x00;
inline constexpr std::uint8_t kStatusNormal = 0x11;
inline constexpr std::uint8_t kStatusVoltage = 0x71;
inline constexpr std::uint8_t kStatusTemperature = 0x72;
inline constexpr std::uint8_t kStatusSwelling = 0x73;

// True for the five codes the devices define.
bool IsKnownStatus(std::uint8_t code);

// The operator's text for a status code ("正常", "电压异常", …); an undefined code reads as "0x"
// and two uppercase hex digits, so an unexpected value is visible instead of an empty cell.
QString StatusText(std::uint8_t code);

// A stable ASCII name for machine interfaces: "normal", "voltage", "temperature", "swelling",
// "no_device", and "unknown" for every code the devices do not define. Never change them.
QString StatusKey(std::uint8_t code);
inline constexpr std::array<const char*, 6> kStatusKeys = {"normal",   "voltage",   "temperature",
                                                           "swelling", "no_device", "unknown"};

}  // namespace battery
