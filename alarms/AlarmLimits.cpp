#include "alarms/AlarmLimits.h"

#include <QLocale>
#include <QSettings>
#include <algorithm>
#include <cmath>

namespace alarms {

namespace {

const QString kGroup = QStringLiteral("alarms");

struct FieldNames {
    const char* iniKey;
    const char* settingsKey;
    const char16_t* name;
};

constexpr std::array<FieldNames, kSettingFieldCount> kFieldNames = {{
    {"alarm_low_voltage_warning", "lowVoltageWarning", u"电压下限预警值"},
    {"alarm_low_voltage_critical", "lowVoltage", u"电压下限"},
    {"alarm_high_voltage_warning", "highVoltageWarning", u"电压上限预警值"},
    {"alarm_high_voltage_critical", "highVoltage", u"电压上限"},
    {"alarm_high_temperature_warning", "highTemperatureWarning", u"温度上限预警值"},
    {"alarm_high_temperature_critical", "highTemperature", u"温度上限"},
    {"alarm_voltage_clear_margin", "voltageClearMargin", u"电压恢复裕量"},
    {"alarm_temperature_clear_margin", "temperatureClearMargin", u"温度恢复裕量"},
    {"alarm_on_delay", "onDelayReadings", u"报警延时"},
    {"alarm_voltage_deviation_warning", "voltageDeviationWarning", u"电压偏离预警值"},
    {"alarm_voltage_deviation_critical", "voltageDeviationCritical", u"电压偏离严重值"},
    {"alarm_voltage_spread_warning", "voltageSpreadWarning", u"电压离散预警值"},
    {"alarm_voltage_spread_critical", "voltageSpreadCritical", u"电压离散严重值"},
    {"alarm_temperature_above_median_warning", "temperatureAboveMedianWarning", u"温度偏高预警值"},
    {"alarm_temperature_above_median_critical", "temperatureAboveMedianCritical",
     u"温度偏高严重值"},
    {"alarm_temperature_rise_warning", "temperatureRiseWarning", u"温升过快预警值"},
    {"alarm_temperature_rise_critical", "temperatureRiseCritical", u"温升过快严重值"},
}};

const FieldNames& NamesOf(SettingField field) {
    return kFieldNames[static_cast<std::size_t>(field)];
}

SettingField FieldAt(int index) { return static_cast<SettingField>(index); }

// A limit at both levels and the fields it is typed in. A low limit is passed from above.
struct LevelFields {
    SettingField warning;
    SettingField critical;
    bool low;
};

constexpr LevelFields kLowVoltage{SettingField::LowVoltageWarning, SettingField::LowVoltageCritical,
                                  true};
constexpr LevelFields kHighVoltage{SettingField::HighVoltageWarning,
                                   SettingField::HighVoltageCritical, false};
constexpr LevelFields kHighTemperature{SettingField::HighTemperatureWarning,
                                       SettingField::HighTemperatureCritical, false};
constexpr std::array kLimitLevels = {kLowVoltage, kHighVoltage, kHighTemperature};
constexpr std::array kStringLevels = {
    LevelFields{SettingField::VoltageDeviationWarning, SettingField::VoltageDeviationCritical,
                false},
    LevelFields{SettingField::VoltageSpreadWarning, SettingField::VoltageSpreadCritical, false},
    LevelFields{SettingField::TemperatureAboveMedianWarning,
                SettingField::TemperatureAboveMedianCritical, false},
    LevelFields{SettingField::TemperatureRiseWarning, SettingField::TemperatureRiseCritical, false},
};

const LevelLimits& LimitsAt(const AlarmLimits& limits, std::size_t i) {
    return i == 0 ? limits.lowVoltage : i == 1 ? limits.highVoltage : limits.highTemperature;
}

LevelLimits& LimitsAt(AlarmLimits& limits, std::size_t i) {
    return i == 0 ? limits.lowVoltage : i == 1 ? limits.highVoltage : limits.highTemperature;
}

LevelLimits& StringLimitsAt(StringLimits& strings, std::size_t i) {
    switch (i) {
        case 0:
            return strings.voltageDeviation;
        case 1:
            return strings.voltageSpread;
        case 2:
            return strings.temperatureAboveMedian;
        default:
            return strings.temperatureRise;
    }
}

enum class Parsed { Off, Number, Bad };

// Numbers are read the same way whatever the desktop's locale: digits, an optional sign and a
// decimal point. "inf" and "nan" are refused. An empty text or "off" is a limit switched off.
Parsed ParseNumber(const QString& text, double& number) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)
        return Parsed::Off;
    bool ok = false;
    number = QLocale::c().toDouble(trimmed, &ok);
    return ok && std::isfinite(number) ? Parsed::Number : Parsed::Bad;
}

QString NumberText(const std::optional<double>& value) {
    return value ? QString::number(*value, 'g', QLocale::FloatingPointShortest) : QString();
}

// Builds the problem of a field, with the battery's label before the message when the field is a
// battery's own.
SettingsCheck Problem(SettingField field, std::optional<battery::BatteryId> battery,
                      const QString& message, const QString& reason) {
    SettingsCheck check;
    check.problem.field = field;
    check.problem.battery = battery;
    check.problem.message =
        battery ? battery::BatteryLabel(*battery) + QStringLiteral("：") + message : message;
    check.problem.reason = reason;
    return check;
}

SettingsCheck NotANumber(SettingField field, std::optional<battery::BatteryId> battery,
                         const QString& text) {
    return Problem(field, battery, FieldName(field) + QStringLiteral("必须是数字"),
                   QStringLiteral("not a number: \"%1\"").arg(text));
}

// Reads a limit that may be off into `limit`; a problem otherwise.
std::optional<SettingsCheck> ReadLimit(SettingField field, const QString& text,
                                       std::optional<battery::BatteryId> battery,
                                       std::optional<double>& limit) {
    double number = 0;
    switch (ParseNumber(text, number)) {
        case Parsed::Off:
            limit.reset();
            return std::nullopt;
        case Parsed::Number:
            limit = number;
            return std::nullopt;
        case Parsed::Bad:
            break;
    }
    return NotANumber(field, battery, text);
}

// A warning limit lies on the near side of its critical one: above it for a low limit, below it
// for a high one. Equal limits are allowed: the value then goes straight to critical.
std::optional<SettingsCheck> CheckLevels(const LevelFields& fields, const LevelLimits& limits,
                                         std::optional<battery::BatteryId> battery) {
    if (!limits.warning || !limits.critical) return std::nullopt;
    const bool beyond =
        fields.low ? *limits.warning < *limits.critical : *limits.warning > *limits.critical;
    if (!beyond) return std::nullopt;
    return Problem(fields.warning, battery,
                   FieldName(fields.warning) + (fields.low ? QStringLiteral("不能低于严重值")
                                                           : QStringLiteral("不能高于严重值")),
                   QStringLiteral("must not be %1 %2")
                       .arg(fields.low ? QStringLiteral("below") : QStringLiteral("above"),
                            IniKey(fields.critical)));
}

// Every low voltage limit below every high one, and each warning on the near side of its
// critical limit.
std::optional<SettingsCheck> CheckLimits(const AlarmLimits& limits,
                                         std::optional<battery::BatteryId> battery) {
    const std::pair<SettingField, std::optional<double>> lows[] = {
        {SettingField::LowVoltageWarning, limits.lowVoltage.warning},
        {SettingField::LowVoltageCritical, limits.lowVoltage.critical}};
    for (const auto& [field, low] : lows) {
        for (const std::optional<double>& high :
             {limits.highVoltage.warning, limits.highVoltage.critical}) {
            if (low && high && !(*low < *high))
                return Problem(field, battery, QStringLiteral("电压下限必须小于电压上限"),
                               QStringLiteral("the low voltage limits must be below the high "
                                              "voltage limits"));
        }
    }
    for (std::size_t i = 0; i < kLimitLevels.size(); ++i) {
        if (auto problem = CheckLevels(kLimitLevels[i], LimitsAt(limits, i), battery))
            return problem;
    }
    return std::nullopt;
}

// Reads the limits of `texts` (the first kLimitFieldCount fields) into `limits`.
template <typename Texts>
std::optional<SettingsCheck> ReadLimits(const Texts& texts,
                                        std::optional<battery::BatteryId> battery,
                                        AlarmLimits& limits) {
    for (std::size_t i = 0; i < kLimitLevels.size(); ++i) {
        const LevelFields& fields = kLimitLevels[i];
        LevelLimits& level = LimitsAt(limits, i);
        if (auto problem = ReadLimit(fields.warning, texts[std::size_t(fields.warning)], battery,
                                     level.warning))
            return problem;
        if (auto problem = ReadLimit(fields.critical, texts[std::size_t(fields.critical)], battery,
                                     level.critical))
            return problem;
    }
    return std::nullopt;
}

std::optional<SettingsCheck> ReadMargin(SettingField field, const QString& text, double& margin) {
    double number = 0;
    if (ParseNumber(text, number) != Parsed::Number) return NotANumber(field, std::nullopt, text);
    if (number < 0)
        return Problem(field, std::nullopt, FieldName(field) + QStringLiteral("不能小于0"),
                       QStringLiteral("must be 0 or more, not \"%1\"").arg(text));
    margin = number;
    return std::nullopt;
}

std::optional<SettingsCheck> ReadOnDelay(const QString& text, int& readings) {
    bool ok = false;
    const int number = text.trimmed().toInt(&ok);
    if (ok && number >= 1 && number <= kMaxOnDelayReadings) {
        readings = number;
        return std::nullopt;
    }
    return Problem(SettingField::OnDelayReadings, std::nullopt,
                   QStringLiteral("报警延时必须是1到%1之间的整数").arg(kMaxOnDelayReadings),
                   QStringLiteral("must be a whole number of readings from 1 to %1, not \"%2\"")
                       .arg(kMaxOnDelayReadings)
                       .arg(text));
}

std::optional<SettingsCheck> ReadStringLimits(const FieldTexts& texts, StringLimits& strings) {
    for (std::size_t i = 0; i < kStringLevels.size(); ++i) {
        const LevelFields& fields = kStringLevels[i];
        LevelLimits& level = StringLimitsAt(strings, i);
        for (const auto& [field, limit] : {std::pair{fields.warning, &level.warning},
                                           std::pair{fields.critical, &level.critical}}) {
            const QString& text = texts[std::size_t(field)];
            if (auto problem = ReadLimit(field, text, std::nullopt, *limit)) return problem;
            if (*limit && !(**limit > 0))
                return Problem(field, std::nullopt, FieldName(field) + QStringLiteral("必须大于0"),
                               QStringLiteral("must be above 0, not \"%1\"").arg(text));
        }
        if (auto problem = CheckLevels(fields, level, std::nullopt)) return problem;
    }
    return std::nullopt;
}

bool AllEmpty(const LimitFieldTexts& texts) {
    return std::all_of(texts.begin(), texts.end(),
                       [](const QString& text) { return text.trimmed().isEmpty(); });
}

}  // namespace

AlarmLimits Overlay(const AlarmLimits& common, const AlarmLimits& own) {
    const auto over = [](const LevelLimits& base, const LevelLimits& mine) {
        return LevelLimits{mine.warning ? mine.warning : base.warning,
                           mine.critical ? mine.critical : base.critical};
    };
    return {over(common.lowVoltage, own.lowVoltage), over(common.highVoltage, own.highVoltage),
            over(common.highTemperature, own.highTemperature)};
}

AlarmLimits AlarmSettings::LimitsOf(battery::BatteryId battery) const {
    const auto own = batteryLimits.find(battery);
    return own == batteryLimits.end() ? limits : Overlay(limits, own->second);
}

QString IniKey(SettingField field) { return QString::fromLatin1(NamesOf(field).iniKey); }
QString SettingsKey(SettingField field) { return QString::fromLatin1(NamesOf(field).settingsKey); }
QString FieldName(SettingField field) { return QString::fromUtf16(NamesOf(field).name); }

AlarmSettingTexts SettingTexts(const AlarmSettings& settings) {
    AlarmSettingTexts texts;
    const auto limitTexts = [](const AlarmLimits& limits, auto& out) {
        for (std::size_t i = 0; i < kLimitLevels.size(); ++i) {
            out[std::size_t(kLimitLevels[i].warning)] = NumberText(LimitsAt(limits, i).warning);
            out[std::size_t(kLimitLevels[i].critical)] = NumberText(LimitsAt(limits, i).critical);
        }
    };
    limitTexts(settings.limits, texts.common);
    texts.common[std::size_t(SettingField::VoltageClearMargin)] =
        NumberText(settings.voltageClearMarginV);
    texts.common[std::size_t(SettingField::TemperatureClearMargin)] =
        NumberText(settings.temperatureClearMarginC);
    texts.common[std::size_t(SettingField::OnDelayReadings)] =
        QString::number(settings.onDelayReadings);
    StringLimits strings = settings.strings;
    for (std::size_t i = 0; i < kStringLevels.size(); ++i) {
        texts.common[std::size_t(kStringLevels[i].warning)] =
            NumberText(StringLimitsAt(strings, i).warning);
        texts.common[std::size_t(kStringLevels[i].critical)] =
            NumberText(StringLimitsAt(strings, i).critical);
    }
    for (const auto& [battery, limits] : settings.batteryLimits)
        limitTexts(limits, texts.batteries[battery]);
    return texts;
}

SettingsCheck ParseSettings(const AlarmSettingTexts& texts) {
    AlarmSettings settings;
    const FieldTexts& common = texts.common;
    if (auto problem = ReadLimits(common, std::nullopt, settings.limits)) return *problem;
    if (auto problem = CheckLimits(settings.limits, std::nullopt)) return *problem;
    if (auto problem = ReadMargin(SettingField::VoltageClearMargin,
                                  common[std::size_t(SettingField::VoltageClearMargin)],
                                  settings.voltageClearMarginV))
        return *problem;
    if (auto problem = ReadMargin(SettingField::TemperatureClearMargin,
                                  common[std::size_t(SettingField::TemperatureClearMargin)],
                                  settings.temperatureClearMarginC))
        return *problem;
    if (auto problem = ReadOnDelay(common[std::size_t(SettingField::OnDelayReadings)],
                                   settings.onDelayReadings))
        return *problem;
    if (auto problem = ReadStringLimits(common, settings.strings)) return *problem;

    for (const auto& [battery, own] : texts.batteries) {
        if (!battery::WatchedIndex(battery))
            return Problem(SettingField::LowVoltageWarning, battery,
                           QStringLiteral("不是监测的电池"),
                           QStringLiteral("%1 is not a watched battery (A0-80 to A0-87, A1-80 to "
                                          "A1-85)")
                               .arg(battery::RegisterName(battery)));
        if (AllEmpty(own)) continue;
        AlarmLimits limits;
        if (auto problem = ReadLimits(own, battery, limits)) return *problem;
        if (auto problem = CheckLimits(Overlay(settings.limits, limits), battery)) return *problem;
        settings.batteryLimits[battery] = limits;
    }
    return {settings, {}};
}

AlarmSettings LoadSettings(QSettings& settings) {
    AlarmSettingTexts texts = SettingTexts(AlarmSettings{});
    settings.beginGroup(kGroup);
    for (int i = 0; i < kSettingFieldCount; ++i) {
        const QString key = SettingsKey(FieldAt(i));
        if (settings.contains(key)) texts.common[std::size_t(i)] = settings.value(key).toString();
    }
    for (const QString& group : settings.childGroups()) {
        const std::optional<battery::BatteryId> battery = battery::BatteryFromRegisterName(group);
        if (!battery || battery::RegisterName(*battery) != group) continue;
        settings.beginGroup(group);
        LimitFieldTexts& own = texts.batteries[*battery];
        for (int i = 0; i < kLimitFieldCount; ++i)
            own[std::size_t(i)] = settings.value(SettingsKey(FieldAt(i))).toString();
        settings.endGroup();
    }
    settings.endGroup();
    return ParseSettings(texts).settings.value_or(AlarmSettings{});
}

void SaveSettings(QSettings& settings, const AlarmSettings& alarmSettings) {
    const AlarmSettingTexts texts = SettingTexts(alarmSettings);
    settings.beginGroup(kGroup);
    for (const QString& group : settings.childGroups()) {
        if (battery::BatteryFromRegisterName(group)) settings.remove(group);
    }
    for (int i = 0; i < kSettingFieldCount; ++i)
        settings.setValue(SettingsKey(FieldAt(i)), texts.common[std::size_t(i)]);
    for (const auto& [battery, own] : texts.batteries) {
        settings.beginGroup(battery::RegisterName(battery));
        for (int i = 0; i < kLimitFieldCount; ++i) {
            if (!own[std::size_t(i)].isEmpty())
                settings.setValue(SettingsKey(FieldAt(i)), own[std::size_t(i)]);
        }
        settings.endGroup();
    }
    settings.endGroup();
}

}  // namespace alarms
