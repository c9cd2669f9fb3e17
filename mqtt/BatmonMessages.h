#pragma once

// The messages batmon exchanges over MQTT, as plain functions: the publisher builds topics and
// payloads with them and the collector reads them back.
//
//   batmon/<site>/<A0|A1>/<battery 0-7>   one reading, QoS 1, the latest one retained:
//       {"time": "2026-03-01T08:00:00.125Z", "voltage": 12.1, "temperature": 20.5,
//        "status": 17, "status_text": "正常"}
//   batmon/<site>/alarm                   one alarm event, QoS 1:
//       {"time": "2026-03-01T08:00:00.125Z", "device": "A0", "battery": 3,
//        "kind": "status_voltage", "state": "raised", "value": 11.2, "level": "critical"}
//       kind:  the alarm's stable identifier (lower-case letters, digits, '_')
//       state: "raised", "cleared", "acknowledged", "shelved" or "unshelved"
//       value: the reading that raised or cleared it, or null when there is none
//       level: "warning" or "critical" (left out by versions that had no levels)
//       user:  with "acknowledged", "shelved" and "unshelved": the login name of who did it
//   batmon/<site>/status                  "online"; "offline" as the last will; retained
//
// Times are RFC 3339 in UTC with milliseconds, in the years 1 to 9999 (UTC). A site name is one
// topic level: not empty, at most 256 bytes, and without '/', '+', '#' or control characters.
//
// Reading back refuses what no device sends and no database column keeps: a voltage outside 0 to
// 25.5 V or a temperature outside 0 to 6553.5 ℃ (what the registers' tenths can carry), numbers
// a single-precision column would turn into zero or infinity, and control characters in text.

#include <QByteArray>
#include <QString>
#include <optional>

struct ReadingMessage {
    QString site;
    int device = 0;     // bus address: 0xA0 or 0xA1
    int battery = 0;    // 0-7
    qint64 timeMs = 0;  // UTC milliseconds since the epoch
    double voltage = 0;
    double temperature = 0;
    int status = 0;  // the device's raw status code, 0-255

    bool operator==(const ReadingMessage&) const = default;
};

struct AlarmMessage {
    QString site;
    int device = 0;
    int battery = 0;
    qint64 timeMs = 0;
    QString kind;
    QString state;
    std::optional<double> value;
    QString user;
    QString level{};  // "warning" or "critical"; empty from a publisher without levels

    bool operator==(const AlarmMessage&) const = default;
};

// A site name's length in UTF-8 bytes is limited so that every topic stays far below MQTT's
// 65535 bytes.
inline constexpr int kMaxSiteNameBytes = 256;
bool IsValidSiteName(const QString& site);
// Why `site` cannot be a site name ("the site name is 70000 bytes long, at most 256"), or
// nothing when it can.
std::optional<QString> SiteNameProblem(const QString& site);
// "A0" for 0xA0; empty for an address that has no topic name.
QString DeviceTopicName(int device);

QString FormatUtcTime(qint64 timeMs);
std::optional<qint64> ParseUtcTime(const QString& text);

QByteArray ReadingTopic(const QString& site, int device, int battery);
QByteArray ReadingPayload(const ReadingMessage& reading);
std::optional<ReadingMessage> ParseReading(const QByteArray& topic, const QByteArray& payload,
                                           QString* error = nullptr);

QByteArray AlarmTopic(const QString& site);
QByteArray AlarmPayload(const AlarmMessage& alarm);
std::optional<AlarmMessage> ParseAlarm(const QByteArray& topic, const QByteArray& payload,
                                       QString* error = nullptr);

QByteArray StatusTopic(const QString& site);
inline const QByteArray kOnlinePayload = QByteArrayLiteral("online");
inline const QByteArray kOfflinePayload = QByteArrayLiteral("offline");

// The subscriptions of a collector of every site.
inline const QByteArray kAllReadingsFilter = QByteArrayLiteral("batmon/+/+/+");
inline const QByteArray kAllAlarmsFilter = QByteArrayLiteral("batmon/+/alarm");
