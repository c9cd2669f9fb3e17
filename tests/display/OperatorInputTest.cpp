// What the operator types into the settings page: integers as the window converts them, the
// sampling period a timer can hold, and the messages that name a field's range.
#include <gtest/gtest.h>

#include <climits>

#include "display/OperatorInput.h"
#include "engine/MonitorSession.h"

namespace {

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
    EXPECT_EQ(FieldRangeMessage(QStringLiteral("首地址"), 0, 95),
              QStringLiteral("首地址应为 0 到 95 之间的整数"));
}

}  // namespace
