#include <gtest/gtest.h>

#include "protocol/SetupCommands.h"

namespace {

TEST(SetupFrames, matchTheWorkedFrames) {
    EXPECT_EQ(SetDeviceInfoFrame(1, 1, 1), (Frame{0xA1, 0x06, 0x03, 0x00, 0x01, 0xA1, 0x51, 0x06}));
    EXPECT_EQ(SetDeviceInfoFrame(0, 1, 0), (Frame{0xA0, 0x06, 0x03, 0x00, 0x01, 0xA0, 0x91, 0x17}));
    EXPECT_EQ(QueryDeviceInfoFrame(1), (Frame{0xA1, 0x04, 0x30, 0x00, 0x00, 0x01, 0x26, 0x6A}));
    EXPECT_EQ(QueryDeviceInfoFrame(0), (Frame{0xA0, 0x04, 0x30, 0x00, 0x00, 0x01, 0x27, 0xBB}));
    EXPECT_EQ(AuthorizeModuleFrame(1, 1), (Frame{0xA1, 0x06, 0x03, 0x55, 0x00, 0x81, 0x41, 0x5E}));
    EXPECT_EQ(AuthorizeModuleFrame(0, 0), (Frame{0xA0, 0x06, 0x03, 0x55, 0x00, 0x80, 0x81, 0x4F}));
}

TEST(SetupFrames, fieldRangesKeepEveryByteFromWrapping) {
    EXPECT_EQ(QueryDeviceInfoFrame(kFirstAddressRange.max)[0], 0xFF);
    EXPECT_EQ(SetDeviceInfoFrame(0, kFrequencyPointRange.max, kDataAddressRange.max)[4], 0xFF);
    EXPECT_EQ(SetDeviceInfoFrame(0, 0, kDataAddressRange.max)[5], 0xFF);
    EXPECT_EQ(AuthorizeModuleFrame(0, kModuleAddressRange.max)[5], 0xFF);
    for (const FieldRange& range :
         {kFirstAddressRange, kFrequencyPointRange, kDataAddressRange, kModuleAddressRange}) {
        EXPECT_TRUE(range.Contains(0));
        EXPECT_FALSE(range.Contains(-1));
        EXPECT_FALSE(range.Contains(range.max + 1));
    }
    EXPECT_EQ(kFirstAddressRange.max, 95) << "0xA0 + 96 would be the broadcast address 0x00";
}

}  // namespace
