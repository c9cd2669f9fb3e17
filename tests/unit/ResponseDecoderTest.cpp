#include <gtest/gtest.h>

#include <vector>

#include "display/StatusText.h"
#include "protocol/ModbusCrc.h"
#include "protocol/ResponseDecoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An answer to a three-register read with a correct checksum.
Bytes Answer(std::uint8_t address, std::uint8_t status, std::uint8_t voltage,
             std::uint8_t temperatureHigh, std::uint8_t temperatureLow) {
    Bytes bytes = {address, 0x04, 0x06, status, voltage, temperatureHigh, temperatureLow, 0, 0};
    const std::uint16_t crc = ModbusCrc16(bytes.data(), static_cast<std::uint8_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return bytes;
}

PollState ActiveAt(std::uint16_t sentStep) {
    PollState state;
    state.PollCycleActive = true;
    state.SentStep = sentStep;
    state.PollStep = sentStep == 16 ? 1 : sentStep + 1;
    return state;
}

TEST(Decoding, ReadsStatusVoltageAndUnsignedTemperature) {
    const BatteryReading worked = DecodeBatteryReading(Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA));
    EXPECT_DOUBLE_EQ(worked.Voltage, 12.5);
    EXPECT_DOUBLE_EQ(worked.Temperature, 25.0);
    EXPECT_EQ(worked.StatusCode, 0x11);
    EXPECT_EQ(worked.RawVoltage, 0x7D);
    EXPECT_EQ(worked.RawTemperature, 250);
    EXPECT_EQ(StatusText(worked.StatusCode), QStringLiteral("正常"));

    const BatteryReading extremes = DecodeBatteryReading(Answer(0xA1, 0x00, 0xFF, 0xFF, 0xF6));
    EXPECT_DOUBLE_EQ(extremes.Voltage, 25.5);
    EXPECT_DOUBLE_EQ(extremes.Temperature, 6552.6);  // 0xFFF6 = 65526, not a negative value
    EXPECT_EQ(extremes.RawTemperature, 65526);
    EXPECT_DOUBLE_EQ(DecodeBatteryReading(Answer(0xA1, 0x00, 0, 0xFF, 0xFE)).Temperature, 6553.4);

    const Bytes tooShort = {0xA1, 0x04, 0x06, 0x11, 0x7D, 0x00};
    EXPECT_EQ(DecodeBatteryReading(tooShort).RawTemperature, 0);
}

TEST(Decoding, StatusTextsAndUnknownCodesShownInHex) {
    EXPECT_EQ(StatusText(0x00), QStringLiteral("无此设备"));
    EXPECT_EQ(StatusText(0x11), QStringLiteral("正常"));
    EXPECT_EQ(StatusText(0x71), QStringLiteral("电压异常"));
    EXPECT_EQ(StatusText(0x72), QStringLiteral("温度异常"));
    EXPECT_EQ(StatusText(0x73), QStringLiteral("鼓包异常"));
    EXPECT_EQ(StatusText(0x74), QStringLiteral("0x74"));
    EXPECT_EQ(StatusText(0x12), QStringLiteral("0x12"));
    EXPECT_EQ(StatusText(0x0A), QStringLiteral("0x0A"));
    EXPECT_EQ(StatusText(0xFF), QStringLiteral("0xFF"));

    int known = 0;
    for (int code = 0; code < 256; ++code) known += HasStatusText(code) ? 1 : 0;
    EXPECT_EQ(known, 5);
    EXPECT_FALSE(HasStatusText(0x74));
}

TEST(PollGate, AcceptsWellFormedAnswersOfTheStepsDevice) {
    PollState state = ActiveAt(9);
    const auto answer = AcceptPollAnswer(Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA), state);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->step, 9);
    EXPECT_DOUBLE_EQ(answer->reading.Voltage, 12.5);
    EXPECT_TRUE(state.PollCycleActive);
    EXPECT_EQ(state.SentStep, 9);

    PollState first = ActiveAt(1);
    EXPECT_EQ(AcceptPollAnswer(Answer(0xA0, 0x11, 1, 0, 1), first)->step, 1);
    PollState fourteen = ActiveAt(14);
    EXPECT_EQ(AcceptPollAnswer(Answer(0xA1, 0x11, 1, 0, 1), fourteen)->step, 14);

    // Trailing bytes after a complete answer do not matter.
    Bytes withTrailer = Answer(0xA1, 0x72, 0x82, 0x01, 0x00);
    withTrailer.push_back(0x55);
    PollState trailing = ActiveAt(10);
    const auto trailed = AcceptPollAnswer(withTrailer, trailing);
    ASSERT_TRUE(trailed.has_value());
    EXPECT_EQ(trailed->reading.StatusCode, 0x72);
}

TEST(PollGate, DropsMalformedOrMisattributedBuffers) {
    const Bytes good = Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA);
    const auto dropped = [](const Bytes& bytes, std::uint16_t sentStep) {
        PollState state = ActiveAt(sentStep);
        const bool rejected = !AcceptPollAnswer(bytes, state).has_value();
        return rejected && state.PollCycleActive;
    };

    Bytes exception = {0xA1, 0x84, 0x02};
    const std::uint16_t crc = ModbusCrc16(exception.data(), 3);
    exception.push_back(crc >> 8);
    exception.push_back(crc & 0xFF);
    EXPECT_TRUE(dropped(exception, 9));

    EXPECT_TRUE(dropped(Bytes{0xA1}, 9));
    EXPECT_TRUE(dropped(Bytes{0xA1, 0x04}, 9));
    EXPECT_TRUE(dropped(Bytes{0xA1, 0x04, 0x06}, 9));
    EXPECT_TRUE(dropped(Bytes(good.begin(), good.begin() + 10), 9));
    EXPECT_TRUE(dropped(Bytes(good.begin(), good.begin() + 7), 9));

    Bytes badCrc = good;
    badCrc[10] ^= 0xFF;
    EXPECT_TRUE(dropped(badCrc, 9));
    Bytes corrupted = good;
    corrupted[4] = 0x7E;
    EXPECT_TRUE(dropped(corrupted, 9));

    Bytes wrongCount = good;
    wrongCount[2] = 0x02;
    EXPECT_TRUE(dropped(wrongCount, 9));

    // The answer of device 0xA1 while the last request went to device 0xA0, and vice versa.
    EXPECT_TRUE(dropped(good, 8));
    EXPECT_TRUE(dropped(Answer(0xA0, 0x11, 0x7D, 0x00, 0xFA), 9));
    EXPECT_TRUE(dropped(Answer(0xA2, 0x11, 0x7D, 0x00, 0xFA), 9));

    EXPECT_TRUE(dropped(good, 0));
    EXPECT_TRUE(dropped(good, 17));
    EXPECT_TRUE(dropped(good, 15));

    PollState inactive = ActiveAt(9);
    inactive.PollCycleActive = false;
    EXPECT_FALSE(AcceptPollAnswer(good, inactive).has_value());
}

TEST(PollGate, AnswerToStepSixteenEndsDecodingUntilTheNextCycle) {
    PollState state = ActiveAt(16);
    const Bytes good = Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA);

    // A malformed buffer at step 16 leaves the cycle active.
    EXPECT_FALSE(AcceptPollAnswer(Bytes{0xA1, 0x04}, state).has_value());
    EXPECT_TRUE(state.PollCycleActive);

    EXPECT_FALSE(AcceptPollAnswer(good, state).has_value());
    EXPECT_FALSE(state.PollCycleActive);
    EXPECT_EQ(state.SentStep, 16);

    state.SentStep = 9;  // even a well-formed answer is ignored until step 1 reactivates
    EXPECT_FALSE(AcceptPollAnswer(good, state).has_value());
}

}  // namespace
