#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "alarms/Discharge.h"
#include "battery/Reading.h"
#include "web/RoomState.h"

// The JSON answers of /api/v1, with the keys the MQTT payloads use for the same things.
namespace web {

// {"device": "A0", "battery": 3, "label": "A0-83", "time": "...", "voltage": 13.3,
//  "temperature": 33.0, "status": 17, "status_key": "normal", "status_text": "正常"}
QJsonObject ReadingJson(const battery::Reading& reading);

// An active alarm: {"id": "A0.3.status_voltage", "device", "battery", "label", "kind",
// "kind_text", "level", "since", "value", "acknowledged", "acknowledged_by"}.
QJsonObject ActiveAlarmJson(const alarms::ActiveAlarm& alarm);
// The name an active alarm goes by in /api/v1/alarms/<id>/acknowledge.
QString AlarmIdOf(const alarms::AlarmKey& key);
std::optional<alarms::AlarmKey> AlarmKeyFromId(const QString& id);

// A stored alarm event: {"id": 42, "time", "device", "battery", "label", "kind", "kind_text",
// "state", "state_text", "level", "value", "user"}.
QJsonObject AlarmEventJson(qint64 id, const alarms::AlarmEvent& event);

// GET /api/v1/latest: {"site", "time", "bus": {...}, "batteries": [...]}.
QByteArray LatestJson(const RoomState& state, qint64 nowMs);

// GET /api/v1/alarms?active=1: {"time", "unacknowledged", "alarms": [...]}.
QByteArray ActiveAlarmsJson(const RoomState& state, qint64 nowMs);

// GET /api/v1/discharges: {"discharges": [...]}, newest first, at most kListedDischarges: each
// the record of the summary on the broker with its "id" and "running"; a running discharge has
// "end": null and its duration so far.
constexpr std::size_t kListedDischarges = 100;
QByteArray DischargesJson(const std::vector<alarms::DischargeRecord>& newestFirst, qint64 nowMs);

QByteArray Compact(const QJsonObject& object);
// {"error": message}
QByteArray ErrorJson(const QString& message);

}  // namespace web
