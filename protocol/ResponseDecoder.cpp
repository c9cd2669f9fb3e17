#include "protocol/ResponseDecoder.h"

namespace {

constexpr std::size_t kPollAnswerLength = 11;  // address, function, count, 3 registers, CRC
constexpr std::uint8_t kReadInputRegisters = 0x04;
constexpr std::uint8_t kThreeRegisterBytes = 0x06;
constexpr std::uint16_t kLastReadingStep = 14;
constexpr std::uint16_t kLastStep = 16;

std::uint8_t DeviceAddressOfStep(std::uint16_t step) { return step <= 8 ? 0xA0 : 0xA1; }

}  // namespace

BatteryReading DecodeBatteryReading(std::span<const std::uint8_t> answer) {
    if (answer.size() < 7) return BatteryReading{0.0, 0.0, 0, 0, 0};
    const std::uint8_t rawVoltage = answer[4];
    const auto rawTemperature = static_cast<std::uint16_t>((answer[5] << 8) | answer[6]);
    return BatteryReading{rawVoltage / 10.0, rawTemperature / 10.0, answer[3], rawVoltage,
                          rawTemperature};
}

std::optional<PollAnswer> AcceptPollAnswer(std::span<const std::uint8_t> buffer, PollState& state) {
    const std::uint16_t step = state.SentStep;
    if (!state.PollCycleActive || step < 1 || step > kLastStep) return std::nullopt;
    if (buffer.size() < kPollAnswerLength) return std::nullopt;

    const auto answer = buffer.first(kPollAnswerLength);
    if (answer[1] != kReadInputRegisters || answer[2] != kThreeRegisterBytes) return std::nullopt;
    if (!HasValidCrc(answer)) return std::nullopt;
    if (answer[0] != DeviceAddressOfStep(step)) return std::nullopt;

    if (step == kLastStep) {
        state.PollCycleActive = false;
        return std::nullopt;
    }
    if (step > kLastReadingStep) return std::nullopt;
    return PollAnswer{step, DecodeBatteryReading(answer)};
}
