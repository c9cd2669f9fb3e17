#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace store {

inline constexpr std::uint8_t kDeviceA0 = 0xA0;
inline constexpr std::uint8_t kDeviceA1 = 0xA1;
inline constexpr int kMaxBatteriesPerDevice = 8;

// One accepted battery reading as it is kept on disk: the raw fields of the answer and the
// moment it arrived. 16 bytes, so millions of them fit in memory for a restore.
struct StoredReading {
    qint64 t_ms = 0;                   // UTC milliseconds since the epoch, when the answer arrived
    std::uint8_t device = 0;           // bus address: 0xA0 (160) or 0xA1 (161)
    std::uint8_t battery = 0;          // 0..7, from the request's start register 0x80..0x87
    std::uint8_t status = 0;           // raw status code (0x11 is normal)
    std::uint8_t voltage_dv = 0;       // volts x 10
    std::uint16_t temperature_dc = 0;  // degrees Celsius x 10

    friend bool operator==(const StoredReading&, const StoredReading&) = default;
};

// Builds the reading of poll step `step` (1-based): steps 1..8 read device 0xA0 batteries 0..7,
// steps 9..14 read device 0xA1 batteries 0..5. Other steps carry no battery reading.
std::optional<StoredReading> ReadingForPollStep(int step, qint64 t_ms, std::uint8_t status,
                                                std::uint8_t voltage_dv,
                                                std::uint16_t temperature_dc);

bool IsStorableBattery(std::uint8_t device, std::uint8_t battery);

// "A0" / "A1" for a device address; empty for anything else.
QString DeviceName(std::uint8_t device);
std::optional<std::uint8_t> DeviceFromName(const QString& name);

// One alarm event: raised, cleared or acknowledged.
enum class AlarmState { Raised, Cleared, Acknowledged };

struct AlarmEvent {
    qint64 t_ms = 0;
    std::uint8_t device = 0;
    std::uint8_t battery = 0;
    QString kind;  // the alarm condition, e.g. "status", "voltage_low", "silent"
    AlarmState state = AlarmState::Raised;
    double value = 0;  // the value that raised or cleared it (volts, degrees, status code)
    QString user;      // login name of whoever acknowledged; empty otherwise

    friend bool operator==(const AlarmEvent&, const AlarmEvent&) = default;
};

QString AlarmStateName(AlarmState state);  // "raised" | "cleared" | "acknowledged"
std::optional<AlarmState> AlarmStateFromName(const QString& name);

}  // namespace store
