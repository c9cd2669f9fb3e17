#include <gtest/gtest.h>

#include <climits>

#include "display/OperatorInput.h"
#include "engine/MonitorSession.h"
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
    EXPECT_EQ(FieldRangeMessage(QStringLiteral("首地址"), 0, 95),
              QStringLiteral("首地址应为 0 到 95 之间的整数"));
}

TEST(StrToInt, acceptsSignedDecimalsWithinInt32) {
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("10"), 10);
    EXPECT_EQ(StrToInt("-1"), -1);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt(" 5 "), 5);
    EXPECT_EQ(StrToInt("\t12\n"), 12);
    EXPECT_EQ(StrToInt("2147483647"), INT_MAX);
    EXPECT_EQ(StrToInt("-2147483648"), INT_MIN);
}

TEST(StrToInt, rejectsEverythingElseNamingTheTextAsGiven) {
    for (const QString& text :
         {QString(""), QString(" "), QString("abc"), QString("1.5"), QString("0x10"),
          QString("$10"), QString("1 2"), QString("-"), QString("+-1"), QString("2147483648"),
          QString("-2147483649"), QString("99999999999999999999"), QString("１２"),
          QString("12abc")}) {
        SCOPED_TRACE(text.toStdString());
        try {
            StrToInt(text);
            ADD_FAILURE() << "accepted";
        } catch (const EConvertError& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()),
                      QStringLiteral("'%1' is not a valid integer value").arg(text));
        }
    }

    try {
        StrToInt(QStringLiteral(" 十 "));
        ADD_FAILURE() << "accepted";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "' 十 ' is not a valid integer value");
    }
}

TEST(SamplingPeriod, acceptsWhatATimerCanHold) {
    EXPECT_EQ(SamplingPeriodMs(10), 10000);
    EXPECT_EQ(SamplingPeriodMs(0), 0);
    EXPECT_EQ(SamplingPeriodMs(2147483), 2147483000);
    EXPECT_EQ(SamplingPeriodMs(2147484), std::nullopt);
    EXPECT_EQ(SamplingPeriodMs(-1), std::nullopt);
    EXPECT_EQ(SamplingPeriodMs(INT_MAX), std::nullopt);
    EXPECT_EQ(SamplingPeriodMs(INT_MIN), std::nullopt);
    EXPECT_EQ(SamplingPeriodRangeMessage(),
              QStringLiteral("采样频率应为 0 到 2147483 秒之间的整数"));
}

}  // namespace
