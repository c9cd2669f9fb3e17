#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include "alarms/AgeText.h"
#include "alarms/AlarmLimits.h"

namespace {

using namespace alarms;

// The critical limits alone, as the three boxes of earlier versions held them.
AlarmLimits Critical(std::optional<double> low, std::optional<double> high,
                     std::optional<double> temperature) {
    return {{std::nullopt, low}, {std::nullopt, high}, {std::nullopt, temperature}};
}

AlarmSettingTexts DefaultTexts() { return SettingTexts(AlarmSettings{}); }

QString& Text(AlarmSettingTexts& texts, SettingField field) {
    return texts.common[std::size_t(field)];
}

TEST(AlarmLimits, typedLimitsAreCheckedWithTheProgramsMessages) {
    struct Case {
        std::array<const char*, 3> typed;  // the critical low, high and temperature limits
        std::optional<AlarmLimits> limits;
        QString message;
    };
    const Case cases[] = {
        {{"", "", ""}, AlarmLimits{}, ""},
        {{" 11.5 ", "14", "45.5"}, Critical(11.5, 14.0, 45.5), ""},
        {{"11.8", "", ""}, Critical(11.8, std::nullopt, std::nullopt), ""},
        {{"", "", "-5"}, Critical(std::nullopt, std::nullopt, -5.0), ""},
        {{"OFF", "", ""}, AlarmLimits{}, ""},
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
        SCOPED_TRACE(std::string(c.typed[0]) + "|" + c.typed[1] + "|" + c.typed[2]);
        AlarmSettingTexts texts = DefaultTexts();
        Text(texts, SettingField::LowVoltageCritical) = QString::fromUtf8(c.typed[0]);
        Text(texts, SettingField::HighVoltageCritical) = QString::fromUtf8(c.typed[1]);
        Text(texts, SettingField::HighTemperatureCritical) = QString::fromUtf8(c.typed[2]);
        const SettingsCheck check = ParseSettings(texts);
        EXPECT_EQ(check.settings ? std::optional(check.settings->limits) : std::nullopt, c.limits);
        EXPECT_EQ(check.problem.message, c.message);
    }
}

// Levels, margins, the on-delay and the string limits: what the dialog and batmond's file refuse,
// each with a message for the operator and a reason for the log line.
TEST(AlarmLimits, levelsMarginsDelayAndStringLimitsAreChecked) {
    const AlarmSettings defaults;
    EXPECT_EQ(ParseSettings(DefaultTexts()).settings, defaults) << "the defaults read back";
    EXPECT_EQ(defaults.strings.voltageDeviation, (LevelLimits{0.3, 0.5}));
    EXPECT_EQ(defaults.strings.temperatureAboveMedian, (LevelLimits{5.0, 10.0}));
    EXPECT_EQ(defaults.strings.temperatureRise, (LevelLimits{2.0, 5.0}));
    EXPECT_EQ(defaults.voltageClearMarginV, 0.1);
    EXPECT_EQ(defaults.temperatureClearMarginC, 1.0);
    EXPECT_EQ(defaults.onDelayReadings, 2);

    struct Case {
        SettingField field;
        const char* typed;
        const char* message;  // empty: accepted
        const char* reason;
        std::optional<SettingField> blamed = std::nullopt;  // when not `field` itself
    };
    using F = SettingField;
    const Case cases[] = {
        {F::LowVoltageWarning, "11.9", "", ""},
        {F::LowVoltageWarning, "11.0", "电压下限预警值不能低于严重值",
         "must not be below alarm_low_voltage_critical"},
        {F::HighVoltageWarning, "14.5", "", ""},
        {F::HighVoltageWarning, "14.6", "电压上限预警值不能高于严重值",
         "must not be above alarm_high_voltage_critical"},
        {F::HighVoltageWarning, "11.4", "电压下限必须小于电压上限",
         "the low voltage limits must be below the high voltage limits", F::LowVoltageCritical},
        {F::HighTemperatureWarning, "46", "温度上限预警值不能高于严重值",
         "must not be above alarm_high_temperature_critical"},
        {F::VoltageClearMargin, "0", "", ""},
        {F::VoltageClearMargin, "-0.1", "电压恢复裕量不能小于0", "must be 0 or more, not \"-0.1\""},
        {F::TemperatureClearMargin, "", "温度恢复裕量必须是数字", "not a number: \"\""},
        {F::OnDelayReadings, "1", "", ""},
        {F::OnDelayReadings, "0", "报警延时必须是1到100之间的整数",
         "must be a whole number of readings from 1 to 100, not \"0\""},
        {F::OnDelayReadings, "2.5", "报警延时必须是1到100之间的整数",
         "must be a whole number of readings from 1 to 100, not \"2.5\""},
        {F::VoltageDeviationWarning, "off", "", ""},
        {F::VoltageDeviationWarning, "0", "电压偏离预警值必须大于0", "must be above 0, not \"0\""},
        {F::VoltageSpreadWarning, "1.2", "电压离散预警值不能高于严重值",
         "must not be above alarm_voltage_spread_critical"},
        {F::TemperatureRiseCritical, "x", "温升过快严重值必须是数字", "not a number: \"x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(IniKey(c.field).toStdString() + " = " + c.typed);
        AlarmSettingTexts texts = DefaultTexts();
        Text(texts, SettingField::LowVoltageCritical) = QStringLiteral("11.5");
        Text(texts, SettingField::HighVoltageCritical) = QStringLiteral("14.5");
        Text(texts, SettingField::HighTemperatureCritical) = QStringLiteral("45");
        Text(texts, c.field) = QString::fromUtf8(c.typed);
        const SettingsCheck check = ParseSettings(texts);
        EXPECT_EQ(check.settings.has_value(), *c.message == 0);
        EXPECT_EQ(check.problem.message, QString::fromUtf8(c.message));
        EXPECT_EQ(check.problem.reason, QString::fromUtf8(c.reason));
        if (!check.settings) {
            EXPECT_EQ(check.problem.field, c.blamed.value_or(c.field));
        }
    }
}

// A battery's own limits replace the common ones of the same level only, and are checked
// together with the common ones they join; a problem names the battery as the window does.
TEST(AlarmLimits, aBatterysOwnLimitsOverrideTheCommonOnesAndAreCheckedWithThem) {
    AlarmSettingTexts texts = DefaultTexts();
    Text(texts, SettingField::LowVoltageCritical) = QStringLiteral("11.5");
    Text(texts, SettingField::HighTemperatureWarning) = QStringLiteral("40");
    Text(texts, SettingField::HighTemperatureCritical) = QStringLiteral("45");
    const battery::BatteryId third{battery::kDeviceA1, 2};
    texts.batteries[third][std::size_t(SettingField::HighTemperatureWarning)] =
        QStringLiteral("42");
    texts.batteries[{battery::kDeviceA0, 1}] = {};  // nothing of its own: no entry
    const SettingsCheck check = ParseSettings(texts);
    ASSERT_TRUE(check.settings) << check.problem.message.toStdString();
    EXPECT_EQ(check.settings->batteryLimits.size(), 1u);
    EXPECT_EQ(check.settings->LimitsOf(third).highTemperature, (LevelLimits{42.0, 45.0}));
    EXPECT_EQ(check.settings->LimitsOf(third).lowVoltage, (LevelLimits{std::nullopt, 11.5}));
    EXPECT_EQ(check.settings->LimitsOf({battery::kDeviceA1, 3}).highTemperature,
              (LevelLimits{40.0, 45.0}));
    EXPECT_EQ(ParseSettings(SettingTexts(*check.settings)).settings, check.settings);

    texts.batteries[third][std::size_t(SettingField::HighTemperatureWarning)] =
        QStringLiteral("46");
    const SettingsCheck beyond = ParseSettings(texts);
    EXPECT_FALSE(beyond.settings);
    EXPECT_EQ(beyond.problem.message, QStringLiteral("3#：温度上限预警值不能高于严重值"));
    EXPECT_EQ(beyond.problem.battery, third);

    texts.batteries[third][std::size_t(SettingField::HighTemperatureWarning)] =
        QStringLiteral("hot");
    EXPECT_EQ(ParseSettings(texts).problem.message, QStringLiteral("3#：温度上限预警值必须是数字"));

    texts.batteries.erase(third);
    texts.batteries[{battery::kDeviceA1, 7}][0] = QStringLiteral("12");
    const SettingsCheck unwatched = ParseSettings(texts);
    EXPECT_FALSE(unwatched.settings);
    EXPECT_TRUE(unwatched.problem.reason.startsWith(QStringLiteral("A1-87 is not a watched")));
}

TEST(AlarmLimits, keptInTheSettingsAndReadBackExactly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("batmon.ini");
    AlarmSettings kept;
    kept.limits = Critical(11.8, std::nullopt, 40 + 0.1 + 0.2);  // read back to the last bit
    kept.limits.lowVoltage.warning = 12.1;
    kept.batteryLimits[{battery::kDeviceA1, 2}].highTemperature.warning = 38.5;
    kept.onDelayReadings = 3;
    kept.temperatureClearMarginC = 0.5;
    kept.strings.voltageSpread = {};  // switched off
    {
        QSettings settings(file, QSettings::IniFormat);
        EXPECT_EQ(LoadSettings(settings), AlarmSettings{}) << "the defaults when nothing is kept";
        SaveSettings(settings, kept);
    }
    QSettings settings(file, QSettings::IniFormat);
    EXPECT_EQ(LoadSettings(settings), kept);
    // The critical limits keep the keys of earlier versions, whose files still load.
    EXPECT_EQ(settings.value("alarms/lowVoltage").toString(), "11.8");
    EXPECT_EQ(settings.value("alarms/A1-82/highTemperatureWarning").toString(), "38.5");

    // A battery's limits that were removed are gone from the file too.
    kept.batteryLimits.clear();
    SaveSettings(settings, kept);
    EXPECT_EQ(LoadSettings(settings), kept);
    EXPECT_FALSE(settings.contains("alarms/A1-82/highTemperatureWarning"));

    // A hand-edited file with limits the dialog would refuse loads as the defaults.
    settings.setValue("alarms/lowVoltage", "15");
    settings.setValue("alarms/highVoltage", "14");
    EXPECT_EQ(LoadSettings(settings), AlarmSettings{});
    settings.setValue("alarms/lowVoltage", "low");
    EXPECT_EQ(LoadSettings(settings), AlarmSettings{});
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
