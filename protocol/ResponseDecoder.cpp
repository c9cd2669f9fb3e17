#include "protocol/ResponseDecoder.h"

#include "battery/BatteryId.h"
#include "protocol/ModbusCrc.h"

namespace {

constexpr std::size_t kPollAnswerLength = 11;  // address, function, count, 3 registers, CRC
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint8_t kThreeRegisterBytes = 0x06;

}  // namespace

BatteryReading DecodeBatteryReading(std::span<const std::uint8_t> answer) {
    if (answer.size() < 7) return BatteryReading{0.0, 0.0, 0, 0, 0};
    const std::uint8_t rawVoltage = answer[4];
    const auto rawTemperature = static_cast<std::uint16_t>((answer[5] << 8) | answer[6]);
    return ReadingFromRaw(answer[3], rawVoltage, rawTemperature);
}

BatteryReading ReadingFromRaw(std::uint8_t statusCode, std::uint8_t rawVoltage,
                              std::uint16_t rawTemperature) {
    return BatteryReading{rawVoltage / 10.0, rawTemperature / 10.0, statusCode, rawVoltage,
                          rawTemperature};
}

std::optional<std::uint8_t> AnswerHeaderDevice(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 3) return std::nullopt;
    const std::uint8_t address = bytes[0];
    if (!battery::IsDevice(address)) return std::nullopt;
    if (bytes[1] != kReadInputRegisters || bytes[2] != kThreeRegisterBytes) return std::nullopt;
    return address;
}

std::optional<AnswerFrame> FindAnswerFrame(std::span<const std::uint8_t> buffer) {
    for (std::size_t offset = 0; offset + kPollAnswerLength <= buffer.size(); ++offset) {
        const auto candidate = buffer.subspan(offset, kPollAnswerLength);
        const std::optional<std::uint8_t> address = AnswerHeaderDevice(candidate);
        if (!address || !HasValidCrc(candidate)) continue;
        return AnswerFrame{*address, DecodeBatteryReading(candidate)};
    }
    return std::nullopt;
}
