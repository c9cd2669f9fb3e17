#pragma once

#include <cmath>
#include <ostream>

#include "alarms/AlarmTypes.h"

namespace alarms {

// How a failing expectation shows an event: "A0-83 status_voltage raised critical 113 @t user".
inline void PrintTo(const AlarmEvent& e, std::ostream* out) {
    *out << battery::BatteryLabel(e.key.battery).toStdString() << ' '
         << KindId(e.key.kind).toStdString() << ' ' << StateId(e.state).toStdString() << ' '
         << LevelId(e.level).toStdString() << ' ' << e.value.value_or(NAN) << " limit "
         << e.limit.value_or(NAN) << " @" << e.tMs << ' ' << e.user.toStdString()
         << (e.shelved ? " shelved" : "");
}

}  // namespace alarms
