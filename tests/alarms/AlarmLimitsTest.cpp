#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include "alarms/AgeText.h"
#include "alarms/AlarmLimits.h"

namespace {

using namespace alarms;

TEST(AlarmLimits, typedLimitsAreCheckedWithTheProgramsMessages) {
    struct Case {
        AlarmLimitTexts typed;
        std::optional<AlarmLimits> limits;
        QString message;
    };
    const Case cases[] = {
        {{"", "", ""}, AlarmLimits{}, ""},
        {{" 11.5 ", "14", "45.5"}, AlarmLimits{11.5, 14.0, 45.5}, ""},
        {{"11.8", "", ""}, AlarmLimits{11.8, std::nullopt, std::nullopt}, ""},
        {{"", "", "-5"}, AlarmLimits{std::nullopt, std::nullopt, -5.0}, ""},
        {{"abc", "", ""}, std::nullopt, "电压下限必须是数字"},
        {{"", "14V", ""}, std::nullopt, "电压上限必须是数字"},
        {{"", "", "4,5"}, std::nullopt, "温度上限必须是数字"},
        {{"inf", "", ""}, std::nullopt, "电压下限必须是数字"},
        {{"", "nan", ""}, std::nullopt, "电压上限必须是数字"},
        {{"", "", "1e400"}, std::nullopt, "温度上限必须是数字"},
        {{"14", "12", ""}, std::nullopt, "电压下限必须小于电压上限"},
        {{"12", "12.0", ""}, std::nullopt, "电压下限必须小于电压上限"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.lowVoltage.toStdString() + "|" + c.typed.highVoltage.toStdString() +
                     "|" + c.typed.highTemperature.toStdString());
        const LimitsCheck check = ParseLimits(c.typed);
        EXPECT_EQ(check.limits, c.limits);
        EXPECT_EQ(check.message, c.message);
    }
}

TEST(AlarmLimits, keptInTheSettingsAndReadBackExactly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("batmon.ini");
    const AlarmLimits limits{11.8, std::nullopt, 0.1 + 0.2};
    {
        QSettings settings(file, QSettings::IniFormat);
        EXPECT_EQ(LoadLimits(settings), AlarmLimits{}) << "off when nothing is stored";
        SaveLimits(settings, limits);
    }
    QSettings settings(file, QSettings::IniFormat);
    EXPECT_EQ(LoadLimits(settings), limits);
    EXPECT_EQ(settings.value("alarms/lowVoltage").toString(), "11.8");

    // A hand-edited file with limits the dialog would refuse loads as no limits at all.
    settings.setValue("alarms/lowVoltage", "15");
    settings.setValue("alarms/highVoltage", "14");
    EXPECT_EQ(LoadLimits(settings), AlarmLimits{});
    settings.setValue("alarms/lowVoltage", "low");
    EXPECT_EQ(LoadLimits(settings), AlarmLimits{});
}

TEST(AgeText, roundsDownWithinEachUnit) {
    constexpr std::int64_t s = 1000, min = 60 * s, h = 60 * min, d = 24 * h;
    const std::pair<std::int64_t, const char*> cases[] = {
        {-5 * s, "0秒前"},
        {0, "0秒前"},
        {999, "0秒前"},
        {59 * s + 999, "59秒前"},
        {min, "1分钟前"},
        {12 * min + 59 * s, "12分钟前"},
        {h - 1, "59分钟前"},
        {h, "1小时前"},
        {23 * h + 59 * min, "23小时前"},
        {d, "1天前"},
        {400 * d, "400天前"},
    };
    for (const auto& [ageMs, text] : cases)
        EXPECT_EQ(AgeText(ageMs), QString::fromUtf8(text)) << ageMs;
}

}  // namespace
