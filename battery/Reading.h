#pragma once

#include <QtGlobal>
#include <cstdint>
#include <limits>

#include "battery/BatteryId.h"

namespace battery {

// One accepted battery reading: which battery, when its answer arrived, and the raw fields of
// the answer. 16 bytes, so millions of them fit in memory for a restore.
struct Reading {
    qint64 t_ms = 0;                   // UTC milliseconds since the epoch, when the answer arrived
    std::uint8_t device = 0;           // bus address: 0xA0 (160) or 0xA1 (161)
    std::uint8_t battery = 0;          // 0..7, from the request's start register 0x80..0x87
    std::uint8_t status = 0;           // raw status code (0x11 is normal)
    std::uint8_t voltage_dv = 0;       // volts x 10
    std::uint16_t temperature_dc = 0;  // degrees Celsius x 10

    BatteryId Id() const { return BatteryId{device, battery}; }
    double Volts() const { return voltage_dv / 10.0; }
    double Celsius() const { return temperature_dc / 10.0; }

    friend bool operator==(const Reading&, const Reading&) = default;
};

// The largest values the raw fields can carry: whatever claims more did not come from a device.
inline constexpr double kMaxVolts =
    std::numeric_limits<decltype(Reading::voltage_dv)>::max() / 10.0;
inline constexpr double kMaxCelsius =
    std::numeric_limits<decltype(Reading::temperature_dc)>::max() / 10.0;

// The reading of `id` from an answer's raw fields, arrived at `tMs`.
constexpr Reading MakeReading(BatteryId id, qint64 tMs, std::uint8_t status, std::uint8_t voltageDv,
                              std::uint16_t temperatureDc) {
    return Reading{tMs, id.device, id.battery, status, voltageDv, temperatureDc};
}

}  // namespace battery
