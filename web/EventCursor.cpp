#include "web/EventCursor.h"

#include <QList>

namespace web {

QByteArray EventCursor::Text() const {
    return QByteArray::number(reading.tMs) + '_' + QByteArray::number(reading.device) + '_' +
           QByteArray::number(reading.battery) + '_' + QByteArray::number(alarmId);
}

std::optional<EventCursor> EventCursor::Parse(const QByteArray& text) {
    const QList<QByteArray> parts = text.trimmed().split('_');
    if (parts.size() != 4) return std::nullopt;
    bool ok[4] = {};
    const qint64 t = parts[0].toLongLong(&ok[0]);
    const uint device = parts[1].toUInt(&ok[1]);
    const uint batteryNo = parts[2].toUInt(&ok[2]);
    const qint64 alarm = parts[3].toLongLong(&ok[3]);
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || t < 0 || device > 255 || batteryNo > 255 ||
        alarm < 0)
        return std::nullopt;
    EventCursor cursor;
    cursor.reading = {t, static_cast<std::uint8_t>(device), static_cast<std::uint8_t>(batteryNo)};
    cursor.alarmId = alarm;
    return cursor;
}

}  // namespace web
