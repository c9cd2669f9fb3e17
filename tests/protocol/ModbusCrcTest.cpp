#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/ModbusCrc.h"
#include "protocol/PollTable.h"

namespace {

TEST(ModbusCrc, matchesReferenceValuesInFrameByteOrder) {
    EXPECT_EQ(ModbusCrc16(nullptr, 0), 0xFFFF);

    constexpr std::string_view digits = "123456789";
    EXPECT_EQ(ModbusCrc16(reinterpret_cast<const std::uint8_t*>(digits.data()), 9), 0x374B);

    const std::uint8_t deviceA0[] = {0xA0, 0x04, 0x00, 0x80, 0x00, 0x03};
    const std::uint8_t deviceA1[] = {0xA1, 0x04, 0x00, 0x80, 0x00, 0x03};
    EXPECT_EQ(ModbusCrc16(deviceA0, 6), 0xA892);
    EXPECT_EQ(ModbusCrc16(deviceA1, 6), 0xA943);

    const std::uint8_t wholeFrame[] = {0xA0, 0x04, 0x00, 0x80, 0x00, 0x03, 0xA8, 0x92};
    EXPECT_EQ(ModbusCrc16(wholeFrame, 8), 0);
}

TEST(ModbusCrc, tablesBeginWithThePublishedBytes) {
    const std::array<std::uint8_t, 8> first = {0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41};
    const std::array<std::uint8_t, 8> second = {0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(CrcFirstByteTable()[i], first[i]) << i;
        EXPECT_EQ(CrcSecondByteTable()[i], second[i]) << i;
    }
    EXPECT_EQ(CrcFirstByteTable()[255], 0x40);
    EXPECT_EQ(CrcSecondByteTable()[255], 0x40);
}

TEST(ModbusCrc, storeAndCheckAgreeAndRejectDamage) {
    Frame frame = {0xA1, 0x06, 0x03, 0x00, 0x01, 0xA1, 0x00, 0x00};
    StoreCrc(frame);
    EXPECT_EQ(frame[6], 0x51);
    EXPECT_EQ(frame[7], 0x06);
    EXPECT_TRUE(HasValidCrc(frame));

    Frame swapped = frame;
    std::swap(swapped[6], swapped[7]);
    EXPECT_FALSE(HasValidCrc(swapped));

    Frame flipped = frame;
    flipped[2] ^= 0x01;
    EXPECT_FALSE(HasValidCrc(flipped));

    const std::uint8_t tooShort[] = {0xFF, 0xFF};
    EXPECT_FALSE(HasValidCrc(tooShort));
    EXPECT_FALSE(HasValidCrc({}));
}

TEST(PollTable, holdsSixteenReadsWithCorrectChecksums) {
    const auto& table = PollTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const PollRequest& request = table[i];
        SCOPED_TRACE(request.step);
        EXPECT_EQ(request.step, i + 1);
        EXPECT_EQ(request.frame[0], i < 8 ? 0xA0 : 0xA1);
        EXPECT_EQ(request.frame[1], 0x04);
        EXPECT_EQ(request.frame[2], 0x00);
        EXPECT_EQ(request.frame[3], 0x80 + i % 8);
        EXPECT_EQ(request.frame[4], 0x00);
        EXPECT_EQ(request.frame[5], 0x03);
        const std::uint16_t crc = ModbusCrc16(request.frame.data(), 6);
        EXPECT_EQ(request.frame[6], crc >> 8);
        EXPECT_EQ(request.frame[7], crc & 0xFF);
    }
}

}  // namespace
