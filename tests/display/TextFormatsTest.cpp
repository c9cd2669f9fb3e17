#include <gtest/gtest.h>

#include <vector>

#include "display/LiveReading.h"
#include "display/TextFormats.h"

namespace {

TEST(NumberText, plainDecimalWithoutTrailingZeros) {
    const QLocale c = QLocale::c();
    EXPECT_EQ(NumberText(12.5, c), QStringLiteral("12.5"));
    EXPECT_EQ(NumberText(13.0, c), QStringLiteral("13"));
    EXPECT_EQ(NumberText(0.0, c), QStringLiteral("0"));
    EXPECT_EQ(NumberText(-0.0, c), QStringLiteral("0"));
    EXPECT_EQ(NumberText(65534 / 10.0, c), QStringLiteral("6553.4"));
    EXPECT_EQ(NumberText(255 / 10.0, c), QStringLiteral("25.5"));
    EXPECT_EQ(NumberText(1 / 10.0, c), QStringLiteral("0.1"));
    EXPECT_EQ(NumberText(-2.5, c), QStringLiteral("-2.5"));
    EXPECT_EQ(NumberText(1234567.0, c), QStringLiteral("1234567"));  // no group separators
    // Rounded to 15 significant digits, so binary noise never shows.
    EXPECT_EQ(NumberText(0.1 + 0.2, c), QStringLiteral("0.3"));
    EXPECT_EQ(NumberText(1.0 / 3.0, c), QStringLiteral("0.333333333333333"));
    EXPECT_EQ(NumberText(1e15, c), QStringLiteral("1000000000000000"));
}

TEST(NumberText, usesTheLocalesDecimalSeparator) {
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(NumberText(12.5, german), QStringLiteral("12,5"));
    EXPECT_EQ(NumberText(1234.5, german), QStringLiteral("1234,5"));
    EXPECT_EQ(NumberText(13.0, german), QStringLiteral("13"));
    // The default is the operator's locale (QLocale::setDefault does not change it).
    EXPECT_EQ(NumberText(12.5), QStringLiteral("12") + QLocale::system().decimalPoint() + u'5');
}

TEST(TimeStampText, fixedFieldOrderWithLocaleSeparators) {
    const QDateTime morning(QDate(2026, 12, 7), QTime(8, 5, 9));
    EXPECT_EQ(TimeStampText(morning, QLocale::c()), QStringLiteral("2026/12/07 08:05:09"));
    EXPECT_EQ(TimeStampText(morning, QLocale(QLocale::English, QLocale::UnitedStates)),
              QStringLiteral("2026/12/07 08:05:09"));
    EXPECT_EQ(TimeStampText(morning, QLocale(QLocale::German, QLocale::Germany)),
              QStringLiteral("2026.12.07 08:05:09"));
    EXPECT_EQ(TimeStampText(morning, QLocale(QLocale::Dutch, QLocale::Netherlands)),
              QStringLiteral("2026-12-07 08:05:09"));
    EXPECT_EQ(TimeStampText(morning, QLocale(QLocale::Finnish, QLocale::Finland)),
              QStringLiteral("2026.12.07 08.05.09"));
    EXPECT_EQ(TimeStampText(morning, QLocale(QLocale::Hungarian, QLocale::Hungary)),
              QStringLiteral("2026.12.07 08:05:09"));

    const QDateTime evening(QDate(2026, 1, 31), QTime(23, 59, 59, 999));
    EXPECT_EQ(TimeStampText(evening, QLocale::c()), QStringLiteral("2026/01/31 23:59:59"));
}

TEST(FormatHexBytes, uppercasePairsSeparatedBySingleSpaces) {
    const std::vector<std::uint8_t> request = {0xA0, 0x04, 0x00, 0x80};
    EXPECT_EQ(FormatHexBytes(request), QStringLiteral("A0 04 00 80"));
    const std::uint8_t single[] = {0x0A};
    EXPECT_EQ(FormatHexBytes(single), QStringLiteral("0A"));
    EXPECT_EQ(FormatHexBytes({}), QString());
}

TEST(LiveReading, labelsAndSummaryLines) {
    const BatteryReading reading{12.5, 25.0, 0x11, 125, 250};
    const QString point = QLocale::system().decimalPoint();
    EXPECT_EQ(LiveSummaryLine(1, reading),
              QStringLiteral("1#(A1-80)--电压：12") + point + QStringLiteral("5  温度：25"));
    EXPECT_TRUE(LiveSummaryLine(6, reading).startsWith(QStringLiteral("6#(A1-85)--电压：")));
}

}  // namespace
