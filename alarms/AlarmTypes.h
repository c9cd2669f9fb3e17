#pragma once

#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "battery/BatteryId.h"

namespace alarms {

// What is wrong with a battery. One alarm per kind and battery can be active at a time.
enum class AlarmKind : std::uint8_t {
    StatusVoltage,      // device reports 0x71
    StatusTemperature,  // 0x72
    StatusSwelling,     // 0x73
    StatusNoDevice,     // 0x00
    StatusUnknown,      // a code the devices do not define
    LowVoltage,         // below the operator's lower voltage limit
    HighVoltage,        // above the upper voltage limit
    HighTemperature,    // above the upper temperature limit
    NoAnswer,           // silent, port lost or answering too late
    // The string analysis: a battery against the other batteries of its device.
    VoltageDeviation,        // voltage away from the device's median, either way
    VoltageSpread,           // the device's highest voltage too far from its lowest
    TemperatureAboveMedian,  // warmer than the device's median
    TemperatureRise,         // warming too fast: the rise over the last 30 minutes
    // A discharge: the device's string carries the load (kept on the device's first battery),
    // and a battery of it at its end voltage.
    Discharging,
    EndVoltage,
};

inline constexpr std::array kAllKinds = {
    AlarmKind::StatusVoltage,    AlarmKind::StatusTemperature, AlarmKind::StatusSwelling,
    AlarmKind::StatusNoDevice,   AlarmKind::StatusUnknown,     AlarmKind::LowVoltage,
    AlarmKind::HighVoltage,      AlarmKind::HighTemperature,   AlarmKind::NoAnswer,
    AlarmKind::VoltageDeviation, AlarmKind::VoltageSpread,     AlarmKind::TemperatureAboveMedian,
    AlarmKind::TemperatureRise,  AlarmKind::Discharging,       AlarmKind::EndVoltage};

// Stable identifiers, written to the history store and published over MQTT: never change them.
QString KindId(AlarmKind kind);
std::optional<AlarmKind> KindFromId(QStringView id);

// The operator's text for a kind ("电压异常", "通信中断", ...).
QString KindText(AlarmKind kind);

// Status and limit alarms mark a row red; a no-answer alarm greys it with the reading's age.
bool IsNoAnswer(AlarmKind kind);
bool IsStatusKind(AlarmKind kind);
// Limit and string alarms have a warning and a critical level, an on-delay and a clear margin;
// the others are raised at once and are always critical.
bool IsGraded(AlarmKind kind);
bool IsStringKind(AlarmKind kind);
bool IsDischargeKind(AlarmKind kind);

// The status kind a device's status code stands for; nothing for 0x11 (normal).
std::optional<AlarmKind> StatusKind(std::uint8_t statusCode);

// The value an event carries, as text for the alarm list: the status code in hex for status
// kinds ("0x71"), the voltage ("11.8 V") or temperature ("65.5 ℃") for limit kinds, the
// difference for string kinds ("-0.35 V", "6.20 ℃"), nothing for no answer. Limits read the
// same way.
QString ValueText(AlarmKind kind, std::optional<double> value);

// How bad an alarm is. Status and no-answer alarms are critical; a limit or string alarm is at
// the level whose limit the value passed.
enum class AlarmLevel : std::uint8_t { Warning, Critical };

// "warning", "critical": stable identifiers like KindId.
QString LevelId(AlarmLevel level);
std::optional<AlarmLevel> LevelFromId(QStringView id);
QString LevelText(AlarmLevel level);  // "预警", "严重"

enum class AlarmState : std::uint8_t { Raised, Cleared, Acknowledged, Shelved, Unshelved };

inline constexpr std::array kAllStates = {AlarmState::Raised, AlarmState::Cleared,
                                          AlarmState::Acknowledged, AlarmState::Shelved,
                                          AlarmState::Unshelved};

// "raised", "cleared", "acknowledged", "shelved", "unshelved": stable identifiers like KindId.
QString StateId(AlarmState state);
std::optional<AlarmState> StateFromId(QStringView id);
QString StateText(AlarmState state);  // "报警", "恢复", "已确认", "已搁置", "取消搁置"

struct AlarmKey {
    battery::BatteryId battery;
    AlarmKind kind = AlarmKind::NoAnswer;

    friend bool operator==(const AlarmKey&, const AlarmKey&) = default;
};

// One change of one alarm. `tMs` is milliseconds since the epoch (UTC); `user` names who
// acknowledged, shelved or unshelved it and is empty otherwise. `limit` is the limit of the
// alarm's level that the value passed (none for status and no-answer alarms). A raise on an
// alarm that is already active takes it from warning to critical.
struct AlarmEvent {
    std::int64_t tMs = 0;
    AlarmKey key;
    AlarmState state = AlarmState::Raised;
    std::optional<double> value;
    QString user;
    AlarmLevel level = AlarmLevel::Critical;
    std::optional<double> limit{};
    QString note{};  // why it was shelved
    // The alarm was shelved when this happened: nobody is to be notified of it.
    bool shelved = false;

    friend bool operator==(const AlarmEvent&, const AlarmEvent&) = default;
};

using AlarmEvents = std::vector<AlarmEvent>;

// An operator took an alarm out of notifications for a while. It ends at `untilMonoMs` on the
// monotonic clock; `untilMs` is the same moment on the wall clock, for display.
struct Shelf {
    QString user;
    QString reason;
    std::int64_t untilMs = 0;
    std::int64_t untilMonoMs = 0;
};

// An alarm whose condition holds (or held at the last reading).
struct ActiveAlarm {
    AlarmKey key;
    std::int64_t sinceMs = 0;
    std::optional<double> value;
    bool acknowledged = false;
    QString acknowledgedBy;
    AlarmLevel level = AlarmLevel::Critical;
    std::optional<double> limit{};
    std::optional<Shelf> shelf{};
};

}  // namespace alarms
