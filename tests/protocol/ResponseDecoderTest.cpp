#include <gtest/gtest.h>

#include <vector>

#include "battery/Status.h"
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

TEST(Decoding, readsStatusVoltageAndUnsignedTemperature) {
    const BatteryReading worked = DecodeBatteryReading(Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA));
    EXPECT_DOUBLE_EQ(worked.Voltage, 12.5);
    EXPECT_DOUBLE_EQ(worked.Temperature, 25.0);
    EXPECT_EQ(worked.StatusCode, 0x11);
    EXPECT_EQ(worked.RawVoltage, 0x7D);
    EXPECT_EQ(worked.RawTemperature, 250);
    EXPECT_EQ(battery::StatusText(worked.StatusCode), QStringLiteral("正常"));

    const BatteryReading extremes = DecodeBatteryReading(Answer(0xA1, 0x00, 0xFF, 0xFF, 0xF6));
    EXPECT_DOUBLE_EQ(extremes.Voltage, 25.5);
    EXPECT_DOUBLE_EQ(extremes.Temperature, 6552.6);  // 0xFFF6 = 65526, not a negative value
    EXPECT_EQ(extremes.RawTemperature, 65526);
    EXPECT_DOUBLE_EQ(DecodeBatteryReading(Answer(0xA1, 0x00, 0, 0xFF, 0xFE)).Temperature, 6553.4);

    const Bytes tooShort = {0xA1, 0x04, 0x06, 0x11, 0x7D, 0x00};
    EXPECT_EQ(DecodeBatteryReading(tooShort).RawTemperature, 0);
}

TEST(AnswerFrames, findsTheAnswerOfEitherDeviceAnywhereInTheBuffer) {
    const Bytes good = Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA);
    const auto found = FindAnswerFrame(good);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->address, 0xA1);
    EXPECT_DOUBLE_EQ(found->reading.Voltage, 12.5);
    EXPECT_EQ(FindAnswerFrame(Answer(0xA0, 0x11, 1, 0, 1))->address, 0xA0);

    // A stray byte of a line turning around, before the answer.
    for (const std::uint8_t glitch : {0x00, 0xFF}) {
        Bytes noisy{glitch};
        noisy.insert(noisy.end(), good.begin(), good.end());
        ASSERT_TRUE(FindAnswerFrame(noisy).has_value()) << int(glitch);
        EXPECT_EQ(FindAnswerFrame(noisy)->reading.RawTemperature, 0xFA);
    }
    // Two answers in one buffer: the first counts; a trailing partial frame does not matter.
    Bytes two = Answer(0xA0, 0x73, 0x82, 0x01, 0x00);
    two.insert(two.end(), good.begin(), good.end());
    two.insert(two.end(), good.begin(), good.begin() + 5);
    EXPECT_EQ(FindAnswerFrame(two)->reading.StatusCode, 0x73);
    // A frame that looks like an answer but fails its checksum is passed over for a later one.
    Bytes broken = good;
    broken[10] ^= 0xFF;
    broken.insert(broken.end(), good.begin(), good.end());
    EXPECT_EQ(FindAnswerFrame(broken)->address, 0xA1);
}

TEST(AnswerFrames, buffersWithoutAWellFormedAnswerOfAPolledDeviceGiveNothing) {
    const Bytes good = Answer(0xA1, 0x11, 0x7D, 0x00, 0xFA);
    Bytes exception = {0xA1, 0x84, 0x02};
    const std::uint16_t crc = ModbusCrc16(exception.data(), 3);
    exception.push_back(crc >> 8);
    exception.push_back(crc & 0xFF);
    EXPECT_FALSE(FindAnswerFrame(exception));

    EXPECT_FALSE(FindAnswerFrame(Bytes{}));
    EXPECT_FALSE(FindAnswerFrame(Bytes{0xA1, 0x04, 0x06}));
    EXPECT_FALSE(FindAnswerFrame(Bytes(good.begin(), good.begin() + 10)));

    Bytes badCrc = good;
    badCrc[10] ^= 0xFF;
    EXPECT_FALSE(FindAnswerFrame(badCrc));
    Bytes corrupted = good;
    corrupted[4] = 0x7E;
    EXPECT_FALSE(FindAnswerFrame(corrupted));
    Bytes wrongCount = good;
    wrongCount[2] = 0x02;
    EXPECT_FALSE(FindAnswerFrame(wrongCount));
    EXPECT_FALSE(FindAnswerFrame(Answer(0xA2, 0x11, 0x7D, 0x00, 0xFA))) << "not a polled device";
}

}  // namespace
