#pragma once

#include <QString>
#include <optional>

class QSettings;

namespace alarms {

// The operator's limits for the limit alarms. Each is optional and off by default, so an
// operator who sets none sees no limit alarm.
struct AlarmLimits {
    std::optional<double> lowVoltage;       // V: alarm below
    std::optional<double> highVoltage;      // V: alarm above
    std::optional<double> highTemperature;  // ℃: alarm above

    friend bool operator==(const AlarmLimits&, const AlarmLimits&) = default;
};

// The limits as the operator typed them in the settings dialog; an empty box means "off".
struct AlarmLimitTexts {
    QString lowVoltage;
    QString highVoltage;
    QString highTemperature;
};

// Either the parsed limits or the message that tells the operator what to correct.
struct LimitsCheck {
    std::optional<AlarmLimits> limits;
    QString message;  // empty when `limits` holds
};

// Parses and checks the typed limits: each box empty or a finite number (surrounding blanks are
// allowed), and the lower voltage limit below the upper one when both are set.
LimitsCheck ParseLimits(const AlarmLimitTexts& texts);

// The texts that ParseLimits turns back into `limits` (empty for a limit that is off).
AlarmLimitTexts LimitTexts(const AlarmLimits& limits);

// Kept in the program's settings under the group "alarms". Stored values that do not pass
// ParseLimits (a hand-edited file) load as all limits off, so a broken file never yields limits
// the dialog would have refused.
AlarmLimits LoadLimits(QSettings& settings);
void SaveLimits(QSettings& settings, const AlarmLimits& limits);

}  // namespace alarms
