// The log's line formats: journald priorities for the services, plain lines for the rest.
#include <gtest/gtest.h>

#include "config/Log.h"

using config::FormatLogLine;
using config::LogStyle;

namespace {

TEST(LogLine, servicesPrefixEveryLineWithItsJournalPriority) {
    const QString text = QStringLiteral("port opened: /dev/ttyUSB0");
    EXPECT_EQ(FormatLogLine(LogStyle::Journal, QtCriticalMsg, "batmon.serial", text),
              "<3>port opened: /dev/ttyUSB0");
    EXPECT_EQ(FormatLogLine(LogStyle::Journal, QtWarningMsg, "batmon.serial", text).left(3), "<4>");
    EXPECT_EQ(FormatLogLine(LogStyle::Journal, QtInfoMsg, "batmon.serial", text).left(3), "<5>");
    EXPECT_EQ(FormatLogLine(LogStyle::Journal, QtDebugMsg, "batmon.serial", text).left(3), "<7>");
    // journald reads a priority per line: a second line without one would pass as info.
    EXPECT_EQ(
        FormatLogLine(LogStyle::Journal, QtWarningMsg, "default", QStringLiteral("first\nsecond")),
        "<4>first\n<4>second");
    EXPECT_EQ(FormatLogLine(LogStyle::Journal, QtInfoMsg, "batmon.service",
                            QStringLiteral("alarm raised: A0/3 机房")),
              QStringLiteral("<5>alarm raised: A0/3 机房").toUtf8());
}

TEST(LogLine, programsRunByHandWriteTheLineAsItIsAndQtsWithItsCategory) {
    EXPECT_EQ(FormatLogLine(LogStyle::Plain, QtWarningMsg, "batmon.mqtt",
                            QStringLiteral("batmon: broker connected")),
              "batmon: broker connected");
    EXPECT_EQ(FormatLogLine(LogStyle::Plain, QtWarningMsg, "default", QStringLiteral("x")), "x");
    EXPECT_EQ(FormatLogLine(LogStyle::Plain, QtWarningMsg, "qt.qpa.xcb",
                            QStringLiteral("could not connect to display")),
              "qt.qpa.xcb: could not connect to display");
}

TEST(LogCategories, eachAreaHasItsOwnCategoryAndDebugIsOffByDefault) {
    EXPECT_STREQ(ServiceLog().categoryName(), "batmon.service");
    EXPECT_STREQ(SerialLog().categoryName(), "batmon.serial");
    EXPECT_STREQ(StoreLog().categoryName(), "batmon.store");
    EXPECT_STREQ(MqttLog().categoryName(), "batmon.mqtt");
    EXPECT_STREQ(CollectorLog().categoryName(), "batmon.collector");
    EXPECT_STREQ(ConfigLog().categoryName(), "batmon.config");
    EXPECT_TRUE(ServiceLog().isInfoEnabled());
    EXPECT_FALSE(ServiceLog().isDebugEnabled());
}

}  // namespace
