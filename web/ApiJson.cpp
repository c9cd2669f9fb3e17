#include "web/ApiJson.h"

#include <QJsonDocument>
#include <QStringList>

#include "battery/Status.h"
#include "mqtt/DischargeMessages.h"
#include "store/CsvExport.h"

namespace web {
namespace {

QString UtcText(qint64 tMs) { return QString::fromLatin1(store::FormatUtcMillis(tMs)); }

QJsonValue OptionalNumber(std::optional<double> value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

void PutBattery(QJsonObject& object, battery::BatteryId id) {
    object[QStringLiteral("device")] = battery::DeviceName(id.device);
    object[QStringLiteral("battery")] = id.battery;
    object[QStringLiteral("label")] = battery::BatteryLabel(id);
}

}  // namespace

bool IsStale(const RoomState& state, const battery::Reading& reading, qint64 nowMs) {
    return nowMs - reading.tMs > static_cast<qint64>(kStalePeriods) * state.periodMs;
}

QJsonObject ReadingJson(const battery::Reading& reading) {
    QJsonObject object;
    PutBattery(object, reading.Id());
    object[QStringLiteral("time")] = UtcText(reading.tMs);
    object[QStringLiteral("voltage")] = reading.Volts();
    object[QStringLiteral("temperature")] = reading.Celsius();
    object[QStringLiteral("status")] = reading.status;
    object[QStringLiteral("status_key")] = battery::StatusKey(reading.status);
    object[QStringLiteral("status_text")] = battery::StatusText(reading.status);
    return object;
}

QString AlarmIdOf(const alarms::AlarmKey& key) {
    return QStringLiteral("%1.%2.%3")
        .arg(battery::DeviceName(key.battery.device))
        .arg(key.battery.battery)
        .arg(alarms::KindId(key.kind));
}

std::optional<alarms::AlarmKey> AlarmKeyFromId(const QString& id) {
    const QStringList parts = id.split(QLatin1Char('.'));
    if (parts.size() != 3) return std::nullopt;
    const auto device = battery::DeviceFromName(parts[0]);
    bool ok = false;
    const uint number = parts[1].toUInt(&ok);
    const auto kind = alarms::KindFromId(parts[2]);
    if (!device || !ok || number >= battery::kBatteriesPerDevice || !kind) return std::nullopt;
    return alarms::AlarmKey{{*device, static_cast<std::uint8_t>(number)}, *kind};
}

QJsonObject ActiveAlarmJson(const alarms::ActiveAlarm& alarm) {
    QJsonObject object;
    object[QStringLiteral("id")] = AlarmIdOf(alarm.key);
    PutBattery(object, alarm.key.battery);
    object[QStringLiteral("kind")] = alarms::KindId(alarm.key.kind);
    object[QStringLiteral("kind_text")] = alarms::KindText(alarm.key.kind);
    object[QStringLiteral("level")] = alarms::LevelId(alarm.level);
    object[QStringLiteral("since")] = UtcText(alarm.sinceMs);
    object[QStringLiteral("value")] = OptionalNumber(alarm.value);
    object[QStringLiteral("value_text")] = alarms::ValueText(alarm.key.kind, alarm.value);
    object[QStringLiteral("acknowledged")] = alarm.acknowledged;
    object[QStringLiteral("acknowledged_by")] = alarm.acknowledgedBy;
    object[QStringLiteral("shelved")] = alarm.shelf.has_value();
    return object;
}

QJsonObject AlarmEventJson(qint64 id, const alarms::AlarmEvent& event) {
    QJsonObject object;
    object[QStringLiteral("id")] = id;
    object[QStringLiteral("alarm")] = AlarmIdOf(event.key);
    object[QStringLiteral("time")] = UtcText(event.tMs);
    PutBattery(object, event.key.battery);
    object[QStringLiteral("kind")] = alarms::KindId(event.key.kind);
    object[QStringLiteral("kind_text")] = alarms::KindText(event.key.kind);
    object[QStringLiteral("state")] = alarms::StateId(event.state);
    object[QStringLiteral("state_text")] = alarms::StateText(event.state);
    object[QStringLiteral("level")] = alarms::LevelId(event.level);
    object[QStringLiteral("value")] = OptionalNumber(event.value);
    object[QStringLiteral("value_text")] = alarms::ValueText(event.key.kind, event.value);
    object[QStringLiteral("user")] = event.user;
    return object;
}

QByteArray LatestJson(const RoomState& state, qint64 nowMs) {
    QJsonObject bus;
    bus[QStringLiteral("port")] = state.portName;
    bus[QStringLiteral("open")] = state.portOpen;
    bus[QStringLiteral("last_cycle")] =
        state.lastCycleMs ? QJsonValue(UtcText(*state.lastCycleMs)) : QJsonValue(QJsonValue::Null);
    bus[QStringLiteral("period_s")] = state.periodMs / 1000.0;

    QJsonArray batteries;
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        const battery::BatteryId id = battery::WatchedBattery(i);
        QJsonObject entry;
        if (const auto& reading = state.latest[static_cast<std::size_t>(i)]) {
            entry = ReadingJson(*reading);
            entry[QStringLiteral("stale")] = IsStale(state, *reading, nowMs);
        } else {
            PutBattery(entry, id);
            for (const char* key :
                 {"time", "voltage", "temperature", "status", "status_key", "status_text"})
                entry[QLatin1String(key)] = QJsonValue::Null;
            entry[QStringLiteral("stale")] = true;
        }
        QJsonArray active;
        for (const alarms::ActiveAlarm& alarm : state.activeAlarms)
            if (alarm.key.battery == id) active.append(ActiveAlarmJson(alarm));
        entry[QStringLiteral("alarms")] = active;
        batteries.append(entry);
    }
    QJsonObject root;
    root[QStringLiteral("site")] = state.site;
    root[QStringLiteral("time")] = UtcText(nowMs);
    root[QStringLiteral("bus")] = bus;
    root[QStringLiteral("batteries")] = batteries;
    return Compact(root);
}

QByteArray ActiveAlarmsJson(const RoomState& state, qint64 nowMs) {
    QJsonArray list;
    int unacknowledged = 0;
    for (const alarms::ActiveAlarm& alarm : state.activeAlarms) {
        list.append(ActiveAlarmJson(alarm));
        if (!alarm.acknowledged) ++unacknowledged;
    }
    QJsonObject root;
    root[QStringLiteral("time")] = UtcText(nowMs);
    root[QStringLiteral("unacknowledged")] = unacknowledged;
    root[QStringLiteral("alarms")] = list;
    return Compact(root);
}

QByteArray DischargesJson(const std::vector<alarms::DischargeRecord>& newestFirst, qint64 nowMs) {
    QJsonArray list;
    for (const alarms::DischargeRecord& record : newestFirst) {
        if (std::size_t(list.size()) == kListedDischarges) break;
        QJsonObject object = DischargeRecordObject(record, record.endMs.value_or(nowMs));
        object.insert(QStringLiteral("id"), qint64(record.id));
        object.insert(QStringLiteral("running"), record.Running());
        if (record.Running()) object.insert(QStringLiteral("end"), QJsonValue::Null);
        list.append(object);
    }
    return Compact(QJsonObject{{QStringLiteral("discharges"), list}});
}

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray ErrorJson(const QString& message) {
    return Compact(QJsonObject{{QStringLiteral("error"), message}});
}

}  // namespace web
