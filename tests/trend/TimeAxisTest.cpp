#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>

#include "trend/TimeAxis.h"

namespace {

constexpr qint64 kMinute = 60'000;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;

struct RangeCase {
    qint64 span;
    const char* textPattern;
};

qint64 At(const char* localTime, const QTimeZone& zone) {
    QDateTime t = QDateTime::fromString(QString::fromLatin1(localTime), Qt::ISODate);
    t.setTimeZone(zone);
    return t.toMSecsSinceEpoch();
}

}  // namespace

TEST(TimeAxis, readableRoundTicksForEveryRangeFromAMinuteToAYear) {
    const QTimeZone zone("Asia/Shanghai");
    ASSERT_TRUE(zone.isValid());
    const qint64 from = At("2026-03-14T09:26:53.250", zone);
    const RangeCase cases[] = {
        {kMinute, R"(^\d\d:\d\d:\d\d$)"}, {10 * kMinute, R"(^\d\d:\d\d$)"},
        {kHour, R"(^\d\d:\d\d$)"},        {6 * kHour, R"(^\d\d:\d\d$)"},
        {kDay, R"(^\d\d:\d\d$)"},         {7 * kDay, R"(^\d\d-\d\d$)"},
        {30 * kDay, R"(^\d\d-\d\d$)"},    {91 * kDay, R"(^\d{4}-\d\d$)"},
        {365 * kDay, R"(^\d{4}-\d\d$)"},  {3 * 365 * kDay, R"(^\d{4}(-\d\d)?$)"},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.span);
        const TimeRange range{from, from + c.span};
        const auto ticks = TimeAxisTicks(range, 10, zone);
        ASSERT_GE(ticks.size(), 2u);
        EXPECT_LE(ticks.size(), 10u);
        const QRegularExpression pattern(QString::fromLatin1(c.textPattern));
        qint64 previous = range.fromMs - 1;
        for (const TimeTick& tick : ticks) {
            EXPECT_TRUE(range.Contains(tick.tMs));
            EXPECT_GT(tick.tMs, previous);
            previous = tick.tMs;
            EXPECT_TRUE(pattern.match(tick.text).hasMatch()) << tick.text.toStdString();
            // The label names the tick's own local time, on a whole second.
            EXPECT_EQ(tick.tMs % 1000, 0);
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(tick.tMs, zone);
            EXPECT_TRUE(local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).contains(tick.text) ||
                        local.toString(QStringLiteral("MM-dd")) == tick.text);
        }
        EXPECT_FALSE(ticks.front().context.isEmpty() && c.span < 91 * kDay)
            << "the first tick says which day or year it is";
    }
}

TEST(TimeAxis, dateLineAppearsWhereTheDayChanges) {
    const QTimeZone zone("Asia/Shanghai");
    const TimeRange range{At("2026-05-01T18:00:00", zone), At("2026-05-02T06:00:00", zone)};
    const auto ticks = TimeAxisTicks(range, 8, zone);
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.front().context, QStringLiteral("2026-05-01"));
    int dayChanges = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        if (!ticks[i].context.isEmpty()) {
            ++dayChanges;
            EXPECT_EQ(ticks[i].context, QStringLiteral("2026-05-02"));
            EXPECT_EQ(ticks[i].text, QStringLiteral("00:00"));
        }
    }
    EXPECT_EQ(dayChanges, 1);
}

TEST(TimeAxis, hourTicksStayOnRoundLocalHoursAcrossADaylightSavingChange) {
    const QTimeZone zone("Europe/Berlin");
    ASSERT_TRUE(zone.isValid());
    const TimeRange range{At("2026-03-28T20:00:00", zone), At("2026-03-29T08:00:00", zone)};
    const auto ticks = TimeAxisTicks(range, 8, zone);
    ASSERT_GE(ticks.size(), 4u);
    for (const TimeTick& tick : ticks) {
        const QTime local = QDateTime::fromMSecsSinceEpoch(tick.tMs, zone).time();
        EXPECT_EQ(local.minute(), 0);
        EXPECT_EQ(local.hour() % 2, 0) << tick.text.toStdString();
    }
}

TEST(TimeAxis, emptyOrReversedRangeHasNoTicks) {
    EXPECT_TRUE(TimeAxisTicks({1000, 1000}, 10).empty());
    EXPECT_TRUE(TimeAxisTicks({2000, 1000}, 10).empty());
    EXPECT_TRUE(TimeAxisTicks({1000, 2000}, 0).empty());
}
