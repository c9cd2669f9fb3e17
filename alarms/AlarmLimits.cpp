#include "alarms/AlarmLimits.h"

#include <QLocale>
#include <QSettings>
#include <cmath>

namespace alarms {

namespace {

const QString kGroup = QStringLiteral("alarms");
const QString kLowVoltageKey = QStringLiteral("lowVoltage");
const QString kHighVoltageKey = QStringLiteral("highVoltage");
const QString kHighTemperatureKey = QStringLiteral("highTemperature");

enum class Parsed { Off, Number, Bad };

// Numbers are read the same way whatever the desktop's locale: digits, an optional sign and a
// decimal point. "inf" and "nan" are refused.
Parsed ParseLimit(const QString& text, double& number) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return Parsed::Off;
    bool ok = false;
    number = QLocale::c().toDouble(trimmed, &ok);
    return ok && std::isfinite(number) ? Parsed::Number : Parsed::Bad;
}

QString LimitText(const std::optional<double>& limit) {
    return limit ? QString::number(*limit, 'g', QLocale::FloatingPointShortest) : QString();
}

}  // namespace

LimitsCheck ParseLimits(const AlarmLimitTexts& texts) {
    struct Field {
        const QString& text;
        std::optional<double>& limit;
        const char16_t* notANumber;
    };
    AlarmLimits limits;
    const Field fields[] = {
        {texts.lowVoltage, limits.lowVoltage, u"电压下限必须是数字"},
        {texts.highVoltage, limits.highVoltage, u"电压上限必须是数字"},
        {texts.highTemperature, limits.highTemperature, u"温度上限必须是数字"},
    };
    for (const Field& field : fields) {
        double number = 0;
        switch (ParseLimit(field.text, number)) {
            case Parsed::Off:
                break;
            case Parsed::Number:
                field.limit = number;
                break;
            case Parsed::Bad:
                return {std::nullopt, QString::fromUtf16(field.notANumber)};
        }
    }
    if (limits.lowVoltage && limits.highVoltage && !(*limits.lowVoltage < *limits.highVoltage)) {
        return {std::nullopt, QStringLiteral("电压下限必须小于电压上限")};
    }
    return {limits, {}};
}

AlarmLimitTexts LimitTexts(const AlarmLimits& limits) {
    return {LimitText(limits.lowVoltage), LimitText(limits.highVoltage),
            LimitText(limits.highTemperature)};
}

AlarmLimits LoadLimits(QSettings& settings) {
    settings.beginGroup(kGroup);
    const AlarmLimitTexts texts{settings.value(kLowVoltageKey).toString(),
                                settings.value(kHighVoltageKey).toString(),
                                settings.value(kHighTemperatureKey).toString()};
    settings.endGroup();
    return ParseLimits(texts).limits.value_or(AlarmLimits{});
}

void SaveLimits(QSettings& settings, const AlarmLimits& limits) {
    const AlarmLimitTexts texts = LimitTexts(limits);
    settings.beginGroup(kGroup);
    settings.setValue(kLowVoltageKey, texts.lowVoltage);
    settings.setValue(kHighVoltageKey, texts.highVoltage);
    settings.setValue(kHighTemperatureKey, texts.highTemperature);
    settings.endGroup();
}

}  // namespace alarms
