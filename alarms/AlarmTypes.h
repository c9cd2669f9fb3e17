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
};

inline constexpr std::array kAllKinds = {
    AlarmKind::StatusVoltage,  AlarmKind::StatusTemperature, AlarmKind::StatusSwelling,
    AlarmKind::StatusNoDevice, AlarmKind::StatusUnknown,     AlarmKind::LowVoltage,
    AlarmKind::HighVoltage,    AlarmKind::HighTemperature,   AlarmKind::NoAnswer};

// Stable identifiers, written to the history store and published over MQTT: never change them.
QString KindId(AlarmKind kind);
std::optional<AlarmKind> KindFromId(QStringView id);

// The operator's text for a kind ("电压异常", "通信中断", ...).
QString KindText(AlarmKind kind);

// Status and limit alarms mark a row red; a no-answer alarm greys it with the reading's age.
bool IsNoAnswer(AlarmKind kind);
bool IsStatusKind(AlarmKind kind);

// The status kind a device's status code stands for; nothing for 0x11 (normal).
std::optional<AlarmKind> StatusKind(std::uint8_t statusCode);

// The value an event carries, as text for the alarm list: the status code in hex for status
// kinds ("0x71"), the voltage ("11.8 V") or temperature ("65.5 ℃") for limit kinds, nothing
// for no answer.
QString ValueText(AlarmKind kind, std::optional<double> value);

enum class AlarmState : std::uint8_t { Raised, Cleared, Acknowledged };

// "raised", "cleared", "acknowledged": stable identifiers like KindId.
QString StateId(AlarmState state);
std::optional<AlarmState> StateFromId(QStringView id);
QString StateText(AlarmState state);  // "报警", "恢复", "已确认"

struct AlarmKey {
    battery::BatteryId battery;
    AlarmKind kind = AlarmKind::NoAnswer;

    friend bool operator==(const AlarmKey&, const AlarmKey&) = default;
};

// One change of one alarm. `tMs` is milliseconds since the epoch (UTC); `user` names who
// acknowledged and is empty otherwise.
struct AlarmEvent {
    std::int64_t tMs = 0;
    AlarmKey key;
    AlarmState state = AlarmState::Raised;
    std::optional<double> value;
    QString user;

    friend bool operator==(const AlarmEvent&, const AlarmEvent&) = default;
};

using AlarmEvents = std::vector<AlarmEvent>;

// An alarm whose condition holds (or held at the last reading).
struct ActiveAlarm {
    AlarmKey key;
    std::int64_t sinceMs = 0;
    std::optional<double> value;
    bool acknowledged = false;
    QString acknowledgedBy;
};

}  // namespace alarms
