#include "store/AlarmRow.h"

#include <QStringList>
#include <QVariant>

namespace store {

QString AlarmColumns(const QString& tableAlias) {
    const QString prefix = tableAlias.isEmpty() ? QString() : tableAlias + u'.';
    QStringList columns;
    for (const char* name :
         {"t_ms", "device", "battery", "kind", "state", "value", "user", "level"})
        columns << prefix + QLatin1String(name);
    return columns.join(QStringLiteral(", "));
}

void BindAlarm(QSqlQuery& insert, int first, const alarms::AlarmEvent& event) {
    insert.bindValue(first, qint64{event.tMs});
    insert.bindValue(first + 1, event.key.battery.device);
    insert.bindValue(first + 2, event.key.battery.battery);
    insert.bindValue(first + 3, alarms::KindId(event.key.kind));
    insert.bindValue(first + 4, alarms::StateId(event.state));
    insert.bindValue(first + 5, event.value ? QVariant(*event.value) : QVariant());
    insert.bindValue(first + 6, event.user.isNull() ? QStringLiteral("") : event.user);
    insert.bindValue(first + 7, alarms::LevelId(event.level));
}

std::optional<alarms::AlarmEvent> AlarmFromRow(const QSqlQuery& row, int first) {
    const battery::BatteryId id{static_cast<std::uint8_t>(row.value(first + 1).toUInt()),
                                static_cast<std::uint8_t>(row.value(first + 2).toUInt())};
    const std::optional<alarms::AlarmKind> kind =
        alarms::KindFromId(row.value(first + 3).toString());
    const std::optional<alarms::AlarmState> state =
        alarms::StateFromId(row.value(first + 4).toString());
    if (!kind || !state || !battery::IsBusBattery(id)) return std::nullopt;
    alarms::AlarmEvent event;
    event.tMs = row.value(first).toLongLong();
    event.key = {id, *kind};
    event.state = *state;
    if (!row.value(first + 5).isNull() && !alarms::IsNoAnswer(*kind))
        event.value = row.value(first + 5).toDouble();
    event.user = row.value(first + 6).toString();
    // A row from before levels has none: its alarm was critical.
    event.level =
        alarms::LevelFromId(row.value(first + 7).toString()).value_or(alarms::AlarmLevel::Critical);
    return event;
}

}  // namespace store
