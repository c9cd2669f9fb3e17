#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <optional>

#include "battery/BatteryId.h"

class QSettings;

namespace alarms {

// A limit at both levels; either may be off. For a low limit the warning lies above the critical
// one, for a high limit below it: the warning is passed first.
struct LevelLimits {
    std::optional<double> warning;
    std::optional<double> critical;

    bool IsOff() const { return !warning && !critical; }
    friend bool operator==(const LevelLimits&, const LevelLimits&) = default;
};

// The operator's limits for the limit alarms of a battery. Each is off by default, so an operator
// who sets none sees no limit alarm.
struct AlarmLimits {
    LevelLimits lowVoltage;       // V: alarm below
    LevelLimits highVoltage;      // V: alarm above
    LevelLimits highTemperature;  // ℃: alarm above

    friend bool operator==(const AlarmLimits&, const AlarmLimits&) = default;
};

// A battery's own limits over the common ones: each limit the battery sets replaces the common
// limit of that level; the others stay.
AlarmLimits Overlay(const AlarmLimits& common, const AlarmLimits& own);

// The string analysis: each battery against the other batteries of its device. On by default,
// with limits for 12 V blocks.
struct StringLimits {
    LevelLimits voltageDeviation{0.3, 0.5};         // V away from the device's median, either way
    LevelLimits voltageSpread{0.6, 1.0};            // V between the device's highest and lowest
    LevelLimits temperatureAboveMedian{5.0, 10.0};  // ℃ above the device's median
    LevelLimits temperatureRise{2.0, 5.0};          // ℃ of rise within the last 30 minutes

    friend bool operator==(const StringLimits&, const StringLimits&) = default;
};

inline constexpr double kDefaultVoltageClearMarginV = 0.1;
inline constexpr double kDefaultTemperatureClearMarginC = 1.0;
inline constexpr int kDefaultOnDelayReadings = 2;
inline constexpr int kMaxOnDelayReadings = 100;

// Everything the operator sets for the alarm rules.
struct AlarmSettings {
    AlarmLimits limits;  // every battery's, unless it has its own
    std::map<battery::BatteryId, AlarmLimits> batteryLimits;
    // How far back inside a limit a value must come before its alarm clears, so that a value
    // sitting on a limit raises once instead of flapping with every reading. Voltage alarms
    // (limits, deviation, spread) use the first, temperature alarms the second.
    double voltageClearMarginV = kDefaultVoltageClearMarginV;
    double temperatureClearMarginC = kDefaultTemperatureClearMarginC;
    // A limit or string alarm is raised once its condition held for this many readings in a row.
    int onDelayReadings = kDefaultOnDelayReadings;
    StringLimits strings;

    // The limits that apply to `battery`: the common ones with the battery's own over them.
    AlarmLimits LimitsOf(battery::BatteryId battery) const;

    friend bool operator==(const AlarmSettings&, const AlarmSettings&) = default;
};

// Each setting as text, the way the operator types it in the dialog 报警设置, the program keeps
// it in its settings and batmond reads it from its configuration file. The first six are the
// limits, which a battery may also set for itself.
enum class SettingField : std::uint8_t {
    LowVoltageWarning,
    LowVoltageCritical,
    HighVoltageWarning,
    HighVoltageCritical,
    HighTemperatureWarning,
    HighTemperatureCritical,
    VoltageClearMargin,
    TemperatureClearMargin,
    OnDelayReadings,
    VoltageDeviationWarning,
    VoltageDeviationCritical,
    VoltageSpreadWarning,
    VoltageSpreadCritical,
    TemperatureAboveMedianWarning,
    TemperatureAboveMedianCritical,
    TemperatureRiseWarning,
    TemperatureRiseCritical,
};
inline constexpr int kSettingFieldCount = 17;
inline constexpr int kLimitFieldCount = 6;

// The key in batmond's configuration file ("alarm_low_voltage_warning"), the key in the
// program's settings ("lowVoltageWarning"; the critical limits keep the keys they always had:
// "lowVoltage", "highVoltage", "highTemperature") and the name in the operator's messages
// ("电压下限预警值").
QString IniKey(SettingField field);
QString SettingsKey(SettingField field);
QString FieldName(SettingField field);

using FieldTexts = std::array<QString, kSettingFieldCount>;
using LimitFieldTexts = std::array<QString, kLimitFieldCount>;

// The settings as text. An empty text (or "off") switches a limit off; a battery's empty limit
// text means it has the common one. The clear margins and the on-delay are always numbers.
struct AlarmSettingTexts {
    FieldTexts common;
    std::map<battery::BatteryId, LimitFieldTexts> batteries;
};

// The texts that ParseSettings turns back into `settings`.
AlarmSettingTexts SettingTexts(const AlarmSettings& settings);

// What is wrong with typed settings: the field (of `battery`'s own limits, when set), a message
// for the operator ("电压下限必须是数字", "3#：电压下限必须小于电压上限") and the reason for a log
// line that names the key itself ("not a number: \"abc\"").
struct SettingsProblem {
    SettingField field = SettingField::LowVoltageWarning;
    std::optional<battery::BatteryId> battery;
    QString message;
    QString reason;
};

struct SettingsCheck {
    std::optional<AlarmSettings> settings;
    SettingsProblem problem;  // when `settings` is empty
};

// Parses and checks the texts: numbers read the same way whatever the desktop's locale (digits,
// an optional sign and a decimal point; no "inf" or "nan"); every low voltage limit below every
// high one; a warning limit not beyond its critical one; clear margins of 0 or more; string
// limits above 0; an on-delay of 1 to kMaxOnDelayReadings readings. A battery's own limits are
// checked together with the common ones they join. Batteries that are not watched are refused.
SettingsCheck ParseSettings(const AlarmSettingTexts& texts);

// Kept in the program's settings under the group "alarms", a battery's own limits in a group of
// its register name ("alarms/A1-82/highTemperature"). A setting that is not kept has its default.
// Stored values that do not pass ParseSettings (a hand-edited file) load as the defaults, so a
// broken file never yields settings the dialog would have refused.
AlarmSettings LoadSettings(QSettings& settings);
void SaveSettings(QSettings& settings, const AlarmSettings& alarmSettings);

}  // namespace alarms
