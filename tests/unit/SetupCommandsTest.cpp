#include <gtest/gtest.h>

#include <climits>

#include "display/OperatorInput.h"
#include "engine/MonitorSession.h"
#include "protocol/SetupCommands.h"

namespace {

TEST(SetupFrames, MatchTheWorkedFrames) {
    EXPECT_EQ(SetDeviceInfoFrame(1, 1, 1), (Frame{0xA1, 0x06, 0x03, 0x00, 0x01, 0xA1, 0x51, 0x06}));
    EXPECT_EQ(SetDeviceInfoFrame(0, 1, 0), (Frame{0xA0, 0x06, 0x03, 0x00, 0x01, 0xA0, 0x91, 0x17}));
    EXPECT_EQ(QueryDeviceInfoFrame(1), (Frame{0xA1, 0x04, 0x30, 0x00, 0x00, 0x01, 0x26, 0x6A}));
    EXPECT_EQ(QueryDeviceInfoFrame(0), (Frame{0xA0, 0x04, 0x30, 0x00, 0x00, 0x01, 0x27, 0xBB}));
    EXPECT_EQ(AuthorizeModuleFrame(1, 1), (Frame{0xA1, 0x06, 0x03, 0x55, 0x00, 0x81, 0x41, 0x5E}));
    EXPECT_EQ(AuthorizeModuleFrame(0, 0), (Frame{0xA0, 0x06, 0x03, 0x55, 0x00, 0x80, 0x81, 0x4F}));
}

TEST(SetupFrames, OperatorNumbersWrapModulo256AndKeepAValidChecksum) {
    EXPECT_EQ(QueryDeviceInfoFrame(8)[0], 0xA8);
    EXPECT_EQ(QueryDeviceInfoFrame(-1)[0], 0x9F);
    EXPECT_EQ(QueryDeviceInfoFrame(96)[0], 0x00);
    EXPECT_EQ(QueryDeviceInfoFrame(INT_MAX)[0], 0x9F);
    EXPECT_EQ(QueryDeviceInfoFrame(INT_MIN)[0], 0xA0);

    const Frame frequency300 = SetDeviceInfoFrame(0, 300, 0);
    EXPECT_EQ(frequency300[4], 0x2C);
    EXPECT_TRUE(HasValidCrc(frequency300));

    const Frame dataAddress = SetDeviceInfoFrame(0, -1, 0x70);
    EXPECT_EQ(dataAddress[4], 0xFF);
    EXPECT_EQ(dataAddress[5], 0x10);

    const Frame module200 = AuthorizeModuleFrame(-1, 200);
    EXPECT_EQ(module200[0], 0x9F);
    EXPECT_EQ(module200[5], 0x48);
    EXPECT_TRUE(HasValidCrc(module200));
}

TEST(StrToInt, AcceptsSignedDecimalsWithinInt32) {
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

TEST(StrToInt, RejectsEverythingElseNamingTheTextAsGiven) {
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

TEST(SamplingPeriod, AcceptsWhatATimerCanHold) {
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
