#pragma once

// A device's discharges over MQTT:
//
//   batmon/<site>/<A0|A1>/discharge          the current state, QoS 1, retained, sent at every
//                                            cycle while a discharge runs:
//       {"state": "idle"}
//       {"state": "running", "start": "2026-03-01T08:00:00.000Z",
//        "weakest": {"battery": 5, "label": "A0-85", "voltage": 10.9}}
//       weakest: the battery the record names so far, with its lowest voltage; left out until a
//       battery was heard
//   batmon/<site>/<A0|A1>/discharge/summary  the record of a discharge that ended, QoS 1:
//       {"device": "A0", "start": "…", "end": "…", "duration_s": 5400, "end_voltage": 10.5,
//        "weakest": {"battery": 5, "label": "A0-85", "voltage": 10.4},
//        "capacity": {"required_s": 3600, "actual_s": 3000, "reached": false, "percent": 83.3},
//        "batteries": [{"battery": 0, "label": "A0-80", "start_voltage": 12.3,
//                       "min_voltage": 11.1, "end_reached": null, "max_temperature": 25.5,
//                       "deviation": 0.05}, …]}
//       capacity: only for a capacity test; end_reached: when the battery reached the end
//       voltage, or null

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "alarms/Discharge.h"

QByteArray DischargeStateTopic(const QString& site, int device);
// The state payload: running when `running` is set, idle otherwise.
QByteArray DischargeStatePayload(const alarms::DischargeRecord* running);
bool IsDischargeStateTopic(const QByteArray& topic);

QByteArray DischargeSummaryTopic(const QString& site, int device);
QByteArray DischargeSummaryPayload(const alarms::DischargeRecord& ended);
// The summary's object for a record as it stands at `endMs` (its end, or now while it runs).
QJsonObject DischargeRecordObject(const alarms::DischargeRecord& record, std::int64_t endMs);
// The collector's subscription to every site's summaries.
inline const QByteArray kAllDischargeSummariesFilter =
    QByteArrayLiteral("batmon/+/+/discharge/summary");

struct DischargeSummary {
    QString site;
    alarms::DischargeRecord record;
};
// Reads a summary back; nothing (and why in `error`) for a topic or payload batmon does not
// send: no valid device or times, an end before the start, numbers that are no measurement.
std::optional<DischargeSummary> ParseDischargeSummary(const QByteArray& topic,
                                                      const QByteArray& payload,
                                                      QString* error = nullptr);
