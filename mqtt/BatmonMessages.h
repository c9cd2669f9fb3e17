#pragma once

// The messages batmon exchanges over MQTT, as plain functions: the publisher builds topics and
// payloads with them and the collector reads them back.
//
//   batmon/<site>/<A0|A1>/<battery 0-7>   one reading, QoS 1, the latest one retained:
//       {"time": "2026-03-01T08:00:00.125Z", "voltage": 12.1, "temperature": 20.5,
//        "status": 17, "status_key": "normal", "status_text": "正常"}
//       status_key: battery::StatusKey, one of battery::kStatusKeys
//   batmon/<site>/<A0|A1>/status          "online" while the device answers, "offline" once it
//                                         has been silent for three poll cycles or the port is
//                                         closed; retained
//   batmon/<site>/<A0|A1>/<battery>/alarms  the battery's active alarms, retained, sent on every
//                                         change; [] when none:
//       [{"kind": "limit_low_voltage", "level": "warning",
//         "since": "2026-03-01T08:00:00.125Z", "value": 11.2, "acknowledged": false}]
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
//   <prefix>/<sensor|binary_sensor>/batmon_<site id>/<A0|A1>_<battery>_<what>/config
//                                         Home Assistant discovery documents, retained
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
#include <utility>
#include <vector>

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
// batmon/<site>/<A0|A1>/status, and whether a topic is one (the readings' filter matches it).
QByteArray DeviceStatusTopic(const QString& site, int device);
bool IsDeviceStatusTopic(const QByteArray& topic);

// One active alarm of a battery, as its alarms topic lists it.
struct ActiveAlarmMessage {
    QString kind;
    std::optional<QString> level;  // only for alarms that have a level
    qint64 sinceMs = 0;
    std::optional<double> value;
    bool acknowledged = false;
};
QByteArray BatteryAlarmsTopic(const QString& site, int device, int battery);
QByteArray BatteryAlarmsPayload(const std::vector<ActiveAlarmMessage>& alarms);
inline const QByteArray kOnlinePayload = QByteArrayLiteral("online");
inline const QByteArray kOfflinePayload = QByteArrayLiteral("offline");

// The subscriptions of a collector of every site.
inline const QByteArray kAllReadingsFilter = QByteArrayLiteral("batmon/+/+/+");
inline const QByteArray kAllAlarmsFilter = QByteArrayLiteral("batmon/+/alarm");

// Home Assistant's MQTT discovery of one site's batteries: per device (A0, A1) a Home Assistant
// device, and per watched battery its voltage, temperature and status sensors and a problem
// binary sensor (on while the battery has an active alarm).
struct DiscoverySite {
    QString prefix;  // Home Assistant's discovery prefix, "homeassistant" by default
    QString site;
    QString version;         // batmon's version, shown by Home Assistant
    int expireAfterSeconds;  // readings older than this make the sensors unavailable
};
using RetainedMessage = std::pair<QByteArray, QByteArray>;  // topic, payload
// Every discovery document of the site, in a fixed order.
std::vector<RetainedMessage> DiscoveryDocuments(const DiscoverySite& site);
// The subscription that finds the site's discovery documents on the broker, and whether a
// topic is one of them (to remove those no longer sent).
QByteArray DiscoveryFilter(const QString& prefix, const QString& site);
// Why `prefix` cannot be a discovery prefix (one or more topic levels, none empty, no wildcards
// or control characters, at most 256 bytes), or nothing when it can.
std::optional<QString> DiscoveryPrefixProblem(const QString& prefix);
// Home Assistant's own status topic: "online" when it (re)starts.
QByteArray HomeAssistantStatusTopic(const QString& prefix);
// `text` with every run of characters outside [a-zA-Z0-9_-] made one '_', and, when anything
// was replaced, a short hash of `text` appended so that "room 1" and "room.1" stay apart.
QString SanitisedId(const QString& text);
