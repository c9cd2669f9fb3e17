#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/sim/BatteryBank.h"
#include "tools/sim/DischargePlan.h"

namespace batmonsim {

// The fields of an eight-byte request frame.
struct Request {
    std::uint8_t address = 0;
    std::uint8_t function = 0;
    std::uint16_t reg = 0;
    std::uint16_t value = 0;  // register count for reads, the value for writes

    static Request Parse(const std::uint8_t* frame);
};

struct Answer {
    std::vector<std::uint8_t> bytes;
    Request request;
    std::optional<SimReading> reading;          // set for poll answers
    std::optional<std::uint8_t> exceptionCode;  // set for exception answers
};

// Devices 0xA0 and 0xA1: poll registers 0x0080..0x0087 (three registers, the start register
// selects the battery), the device information register 0x3000 (read, one register), and the
// write-only set-up registers 0x0300 and 0x0355. A write to 0x0300 is what 0x3000 reads back.
class BusDevices {
public:
    static constexpr std::uint8_t kFirstAddress = 0xA0;
    static constexpr std::uint8_t kSecondAddress = 0xA1;
    static constexpr std::uint16_t kFirstBatteryRegister = 0x0080;
    static constexpr std::uint16_t kBatteryRegisterCount = 3;
    static constexpr std::uint16_t kDeviceInfoRegister = 0x0300;
    static constexpr std::uint16_t kAuthorizeRegister = 0x0355;
    static constexpr std::uint16_t kDeviceInfoReadRegister = 0x3000;
    static constexpr std::uint8_t kIllegalFunction = 0x01;
    static constexpr std::uint8_t kIllegalDataAddress = 0x02;

    explicit BusDevices(std::uint64_t seed);

    static bool IsDeviceAddress(std::uint8_t address);

    // `frame` is a request of eight bytes with a valid CRC. Returns the answer of the addressed
    // device, or nothing when no device of this bus is addressed.
    // `secondsSinceStart` places the answer in a discharge plan.
    std::optional<Answer> Respond(const std::uint8_t* frame, double secondsSinceStart = 0);

    void SetDischarge(const DischargePlan& plan) { discharge_ = plan; }

    // Battery `battery` (0..7) of device `device` (0..1) reports `code` from now on; its
    // voltage and temperature go on as before.
    void ForceStatus(int device, int battery, std::uint8_t code);
    // Battery `battery` of device `device` drifts from now on: its voltage by `voltsPerReading`,
    // its temperature by `celsiusPerReading`, with every reading.
    void DriftVoltage(int device, int battery, double voltsPerReading);
    void DriftTemperature(int device, int battery, double celsiusPerReading);

private:
    Answer ReadInputRegisters(const Request& request, int device, double secondsSinceStart);
    Answer WriteSingleRegister(const Request& request, const std::uint8_t* frame, int device);
    static Answer Exception(const Request& request, std::uint8_t code);

    BatteryBank batteries_;
    DischargePlan discharge_;
    std::array<std::uint16_t, BatteryBank::kDevices> deviceInfo_;
    std::array<std::optional<std::uint8_t>,
               std::size_t{BatteryBank::kDevices} * BatteryBank::kBatteriesPerDevice>
        forcedStatus_;
};

// Appends the CRC of `bytes` in wire order.
void AppendCrc(std::vector<std::uint8_t>& bytes);

bool HasValidCrc(const std::uint8_t* data, std::size_t length);

}  // namespace batmonsim
