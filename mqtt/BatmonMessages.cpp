#include "mqtt/BatmonMessages.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

#include "battery/BatteryId.h"
#include "battery/Reading.h"
#include "battery/Status.h"

namespace {

// Readings and alarm values go into single-precision columns; anything beyond this is no
// measurement, and anything the column cannot hold would only make the database refuse it.
constexpr double kLargestValue = 1e9;
// Times are written as four-digit years in UTC, which the database reads back unchanged.
constexpr int kFirstYear = 1;
constexpr int kLastYear = 9999;

template <typename T>
std::optional<T> Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

bool IsBattery(int battery) { return battery >= 0 && battery < battery::kBatteriesPerDevice; }

// A topic level names a device exactly as DeviceName writes it.
std::optional<int> DeviceFromTopicName(QStringView name) {
    const std::optional<std::uint8_t> device = battery::DeviceFromName(name);
    if (!device || battery::DeviceName(*device) != name) return std::nullopt;
    return *device;
}

// A JSON number a single-precision column keeps as a number: not so large that it becomes
// infinite, and not so close to zero that it vanishes (the database refuses both).
bool IsStorableNumber(const QJsonValue& value) {
    if (!value.isDouble()) return false;
    const double magnitude = std::fabs(value.toDouble());
    return std::isfinite(magnitude) && magnitude <= kLargestValue &&
           (magnitude == 0 || magnitude >= std::numeric_limits<float>::min());
}

// Text a database column can hold as it is: no NUL and no other control characters.
bool IsPlainText(const QString& text) {
    return std::none_of(text.cbegin(), text.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Why a reading's value is not one a device's register can carry, or nothing when it is.
std::optional<QString> RegisterProblem(QStringView name, double value, double largest,
                                       QStringView unit) {
    if (value >= 0 && value <= largest) return std::nullopt;
    return QStringLiteral("%1 %2 is not one a device can send (0 to %3 %4)")
        .arg(name, QString::number(value, 'g', QLocale::FloatingPointShortest))
        .arg(largest)
        .arg(unit);
}

// A JSON number that is a whole number in [low, high].
std::optional<int> WholeNumber(const QJsonValue& value, int low, int high) {
    if (!value.isDouble()) return std::nullopt;
    const double d = value.toDouble();
    if (d != std::floor(d) || d < low || d > high) return std::nullopt;
    return int(d);
}

std::optional<QJsonObject> ParseObject(const QByteArray& payload, QString* error) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return Fail<QJsonObject>(error, QStringLiteral("payload is not a JSON object"));
    }
    return document.object();
}

// Splits "batmon/<site>/..." into its levels, checking the prefix and the site.
std::optional<QStringList> TopicLevels(const QByteArray& topic, qsizetype count, QString* error) {
    const QStringList levels = QString::fromUtf8(topic).split(u'/');
    if (levels.size() != count || levels[0] != u"batmon" || !IsValidSiteName(levels[1])) {
        return Fail<QStringList>(error, QStringLiteral("unexpected topic"));
    }
    return levels;
}

}  // namespace

bool IsValidSiteName(const QString& site) { return !SiteNameProblem(site); }

std::optional<QString> SiteNameProblem(const QString& site) {
    if (site.isEmpty()) return QStringLiteral("the site name is empty");
    // A UTF-16 unit takes at most three bytes in UTF-8: short names need no count.
    if (const qsizetype bytes = site.size() * 3 > kMaxSiteNameBytes ? site.toUtf8().size() : 0;
        bytes > kMaxSiteNameBytes)
        return QStringLiteral("the site name is too long: %1 bytes, at most %2")
            .arg(bytes)
            .arg(kMaxSiteNameBytes);
    for (const QChar c : site) {
        if (c == u'/' || c == u'+' || c == u'#' || c.category() == QChar::Other_Control) {
            return QStringLiteral(
                       "the site name \"%1\" cannot be a topic level: no '/', '+', "
                       "'#' or control characters")
                .arg(site);
        }
    }
    return std::nullopt;
}

QString DeviceTopicName(int device) {
    if (device < 0 || device > 0xFF) return {};
    return battery::DeviceName(static_cast<std::uint8_t>(device));
}

QString FormatUtcTime(qint64 timeMs) {
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(Qt::ISODateWithMs);
}

std::optional<qint64> ParseUtcTime(const QString& text) {
    // A time without a zone would be read as the collector's local time: refuse it.
    static const QRegularExpression kRfc3339(
        QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,9})?(Z|[+-]\d\d:\d\d)$)"));
    if (!kRfc3339.match(text).hasMatch()) return std::nullopt;
    QString normalised = text;
    // Qt reads at most milliseconds; finer digits are cut, not rounded, as the store does.
    static const QRegularExpression kFraction(QStringLiteral(R"(\.(\d{1,3})\d*)"));
    normalised.replace(kFraction, QStringLiteral(".\\1"));
    const QDateTime time = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!time.isValid()) return std::nullopt;
    // A zone offset can carry a time of year 1 or 9999 out of the years written back.
    const int utcYear = time.toUTC().date().year();
    if (utcYear < kFirstYear || utcYear > kLastYear) return std::nullopt;
    return time.toMSecsSinceEpoch();
}

QByteArray ReadingTopic(const QString& site, int device, int battery) {
    const QString deviceName = DeviceTopicName(device);
    if (!IsValidSiteName(site) || deviceName.isEmpty() || !IsBattery(battery)) return {};
    return QStringLiteral("batmon/%1/%2/%3").arg(site, deviceName).arg(battery).toUtf8();
}

QByteArray ReadingPayload(const ReadingMessage& reading) {
    const auto status = std::uint8_t(reading.status);
    const QJsonObject object{{QStringLiteral("time"), FormatUtcTime(reading.timeMs)},
                             {QStringLiteral("voltage"), reading.voltage},
                             {QStringLiteral("temperature"), reading.temperature},
                             {QStringLiteral("status"), int(status)},
                             {QStringLiteral("status_key"), battery::StatusKey(status)},
                             {QStringLiteral("status_text"), battery::StatusText(status)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<ReadingMessage> ParseReading(const QByteArray& topic, const QByteArray& payload,
                                           QString* error) {
    const auto levels = TopicLevels(topic, 4, error);
    if (!levels) return std::nullopt;
    const auto device = DeviceFromTopicName((*levels)[2]);
    bool batteryOk = false;
    const int battery = (*levels)[3].toInt(&batteryOk);
    if (!device || !batteryOk || !IsBattery(battery) || (*levels)[3] != QString::number(battery)) {
        return Fail<ReadingMessage>(error, QStringLiteral("unexpected topic"));
    }
    const auto object = ParseObject(payload, error);
    if (!object) return std::nullopt;
    const auto time = ParseUtcTime(object->value(u"time").toString());
    const QJsonValue voltage = object->value(u"voltage");
    const QJsonValue temperature = object->value(u"temperature");
    const auto status = WholeNumber(object->value(u"status"), 0, 255);
    if (!time) return Fail<ReadingMessage>(error, QStringLiteral("no valid time"));
    if (!IsStorableNumber(voltage) || !IsStorableNumber(temperature)) {
        return Fail<ReadingMessage>(error, QStringLiteral("voltage or temperature is no number"));
    }
    if (auto problem = RegisterProblem(u"voltage", voltage.toDouble(), battery::kMaxVolts, u"V"))
        return Fail<ReadingMessage>(error, *problem);
    if (auto problem =
            RegisterProblem(u"temperature", temperature.toDouble(), battery::kMaxCelsius, u"℃"))
        return Fail<ReadingMessage>(error, *problem);
    if (!status) return Fail<ReadingMessage>(error, QStringLiteral("status is no code 0-255"));
    return ReadingMessage{(*levels)[1],           *device, battery, *time, voltage.toDouble(),
                          temperature.toDouble(), *status};
}

QByteArray AlarmTopic(const QString& site) {
    if (!IsValidSiteName(site)) return {};
    return QStringLiteral("batmon/%1/alarm").arg(site).toUtf8();
}

QByteArray AlarmPayload(const AlarmMessage& alarm) {
    QJsonObject object{{QStringLiteral("time"), FormatUtcTime(alarm.timeMs)},
                       {QStringLiteral("device"), DeviceTopicName(alarm.device)},
                       {QStringLiteral("battery"), alarm.battery},
                       {QStringLiteral("kind"), alarm.kind},
                       {QStringLiteral("state"), alarm.state},
                       {QStringLiteral("value"),
                        alarm.value ? QJsonValue(*alarm.value) : QJsonValue(QJsonValue::Null)}};
    if (!alarm.user.isEmpty()) object.insert(QStringLiteral("user"), alarm.user);
    if (!alarm.level.isEmpty()) object.insert(QStringLiteral("level"), alarm.level);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<AlarmMessage> ParseAlarm(const QByteArray& topic, const QByteArray& payload,
                                       QString* error) {
    const auto levels = TopicLevels(topic, 3, error);
    if (!levels) return std::nullopt;
    if ((*levels)[2] != u"alarm") {
        return Fail<AlarmMessage>(error, QStringLiteral("unexpected topic"));
    }
    const auto object = ParseObject(payload, error);
    if (!object) return std::nullopt;
    static const QRegularExpression kKind(QStringLiteral("^[a-z0-9_]{1,64}$"));
    AlarmMessage alarm;
    alarm.site = (*levels)[1];
    const auto time = ParseUtcTime(object->value(u"time").toString());
    const auto device = DeviceFromTopicName(object->value(u"device").toString());
    const auto battery =
        WholeNumber(object->value(u"battery"), 0, battery::kBatteriesPerDevice - 1);
    alarm.kind = object->value(u"kind").toString();
    alarm.state = object->value(u"state").toString();
    alarm.user = object->value(u"user").toString();
    alarm.level = object->value(u"level").toString();
    const QJsonValue value = object->value(u"value");
    if (!time) return Fail<AlarmMessage>(error, QStringLiteral("no valid time"));
    if (!device || !battery) return Fail<AlarmMessage>(error, QStringLiteral("no valid battery"));
    if (!kKind.match(alarm.kind).hasMatch()) {
        return Fail<AlarmMessage>(error, QStringLiteral("no valid kind"));
    }
    static const QStringList kStates = {QStringLiteral("raised"), QStringLiteral("cleared"),
                                        QStringLiteral("acknowledged"), QStringLiteral("shelved"),
                                        QStringLiteral("unshelved")};
    if (!kStates.contains(alarm.state)) {
        return Fail<AlarmMessage>(error, QStringLiteral("no valid state"));
    }
    if (!alarm.level.isEmpty() && alarm.level != u"warning" && alarm.level != u"critical") {
        return Fail<AlarmMessage>(error, QStringLiteral("no valid level"));
    }
    if (!IsPlainText(alarm.user)) {
        return Fail<AlarmMessage>(error, QStringLiteral("user holds control characters"));
    }
    if (IsStorableNumber(value)) {
        alarm.value = value.toDouble();
    } else if (!value.isNull() && !value.isUndefined()) {
        return Fail<AlarmMessage>(error, QStringLiteral("value is no number"));
    }
    alarm.timeMs = *time;
    alarm.device = *device;
    alarm.battery = *battery;
    return alarm;
}

QByteArray StatusTopic(const QString& site) {
    if (!IsValidSiteName(site)) return {};
    return QStringLiteral("batmon/%1/status").arg(site).toUtf8();
}

QByteArray DeviceStatusTopic(const QString& site, int device) {
    const QString deviceName = DeviceTopicName(device);
    if (!IsValidSiteName(site) || deviceName.isEmpty()) return {};
    return QStringLiteral("batmon/%1/%2/status").arg(site, deviceName).toUtf8();
}

bool IsDeviceStatusTopic(const QByteArray& topic) {
    const QList<QByteArray> levels = topic.split('/');
    return levels.size() == 4 && levels[0] == "batmon" && levels[3] == "status" &&
           DeviceFromTopicName(QString::fromUtf8(levels[2]));
}

QByteArray BatteryAlarmsTopic(const QString& site, int device, int battery) {
    const QByteArray reading = ReadingTopic(site, device, battery);
    return reading.isEmpty() ? QByteArray() : reading + "/alarms";
}

QByteArray BatteryAlarmsPayload(const std::vector<ActiveAlarmMessage>& alarms) {
    QJsonArray list;
    for (const ActiveAlarmMessage& alarm : alarms) {
        QJsonObject object{{QStringLiteral("kind"), alarm.kind},
                           {QStringLiteral("since"), FormatUtcTime(alarm.sinceMs)},
                           {QStringLiteral("value"),
                            alarm.value ? QJsonValue(*alarm.value) : QJsonValue(QJsonValue::Null)},
                           {QStringLiteral("acknowledged"), alarm.acknowledged}};
        if (alarm.level) object.insert(QStringLiteral("level"), *alarm.level);
        list.append(object);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

QString SanitisedId(const QString& text) {
    QString id;
    bool replaced = false;
    for (const QChar c : text) {
        const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                             (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
        if (allowed) {
            id += c;
            continue;
        }
        replaced = true;
        if (!id.endsWith(u'_')) id += u'_';
    }
    if (!replaced) return id;
    const QByteArray hash =
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
    return id + QString::fromLatin1(hash);
}

namespace {

QString NodeId(const QString& site) { return QStringLiteral("batmon_") + SanitisedId(site); }

QJsonObject Availability(const QByteArray& topic) {
    return {{QStringLiteral("topic"), QString::fromUtf8(topic)},
            {QStringLiteral("payload_available"), QString::fromLatin1(kOnlinePayload)},
            {QStringLiteral("payload_not_available"), QString::fromLatin1(kOfflinePayload)}};
}

// What one battery's entities have in common.
struct EntityPlace {
    const DiscoverySite& where;
    battery::BatteryId battery;
};

QJsonObject DeviceDocument(const DiscoverySite& where, std::uint8_t device) {
    const QString deviceName = battery::DeviceName(device);
    return {{QStringLiteral("identifiers"), QJsonArray{NodeId(where.site) + u'_' + deviceName}},
            {QStringLiteral("name"), QStringLiteral("%1 %2").arg(where.site, deviceName)},
            {QStringLiteral("manufacturer"), QStringLiteral("batmon")},
            {QStringLiteral("model"), QStringLiteral("battery sensor module")},
            {QStringLiteral("sw_version"), where.version}};
}

// The document of one entity: its ids, its device, and its availability, which needs both
// batmon and the battery's device to be online.
QJsonObject EntityDocument(const EntityPlace& place, const QString& what, const QString& name,
                           const QByteArray& stateTopic) {
    const DiscoverySite& where = place.where;
    const int device = place.battery.device;
    const QString objectId = QStringLiteral("%1_%2_%3")
                                 .arg(battery::DeviceName(place.battery.device))
                                 .arg(place.battery.battery)
                                 .arg(what);
    return {
        {QStringLiteral("name"),
         QStringLiteral("%1 %2").arg(battery::BatteryLabel(place.battery), name)},
        {QStringLiteral("unique_id"), NodeId(where.site) + u'_' + objectId},
        {QStringLiteral("state_topic"), QString::fromUtf8(stateTopic)},
        {QStringLiteral("availability"),
         QJsonArray{Availability(StatusTopic(where.site)),
                    Availability(DeviceStatusTopic(where.site, device))}},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("device"), DeviceDocument(where, place.battery.device)},
        {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("batmon")},
                                               {QStringLiteral("sw_version"), where.version}}},
    };
}

RetainedMessage Document(const EntityPlace& place, const char* component, const QString& what,
                         const QJsonObject& document) {
    const QString topic =
        QStringLiteral("%1/%2/%3/%4_%5_%6/config")
            .arg(place.where.prefix, QLatin1String(component), NodeId(place.where.site),
                 battery::DeviceName(place.battery.device))
            .arg(place.battery.battery)
            .arg(what);
    return {topic.toUtf8(), QJsonDocument(document).toJson(QJsonDocument::Compact)};
}

// A sensor of a value in the battery's reading.
RetainedMessage ReadingSensor(const EntityPlace& place, const QString& what, const QString& name,
                              const QJsonObject& kind) {
    const battery::BatteryId id = place.battery;
    QJsonObject document =
        EntityDocument(place, what, name, ReadingTopic(place.where.site, id.device, id.battery));
    for (auto it = kind.begin(); it != kind.end(); ++it) document.insert(it.key(), it.value());
    document.insert(QStringLiteral("expire_after"), place.where.expireAfterSeconds);
    return Document(place, "sensor", what, document);
}

}  // namespace

std::vector<RetainedMessage> DiscoveryDocuments(const DiscoverySite& site) {
    QJsonArray statusKeys;
    for (const char* key : battery::kStatusKeys) statusKeys.append(QString::fromLatin1(key));
    std::vector<RetainedMessage> documents;
    for (const battery::BatteryId id : battery::WatchedBatteries()) {
        const EntityPlace place{site, id};
        documents.push_back(ReadingSensor(
            place, QStringLiteral("voltage"), QStringLiteral("voltage"),
            {{QStringLiteral("device_class"), QStringLiteral("voltage")},
             {QStringLiteral("unit_of_measurement"), QStringLiteral("V")},
             {QStringLiteral("state_class"), QStringLiteral("measurement")},
             {QStringLiteral("value_template"), QStringLiteral("{{ value_json.voltage }}")}}));
        documents.push_back(ReadingSensor(
            place, QStringLiteral("temperature"), QStringLiteral("temperature"),
            {{QStringLiteral("device_class"), QStringLiteral("temperature")},
             {QStringLiteral("unit_of_measurement"), QStringLiteral("°C")},
             {QStringLiteral("state_class"), QStringLiteral("measurement")},
             {QStringLiteral("value_template"), QStringLiteral("{{ value_json.temperature }}")}}));
        // An enum sensor has neither unit nor state class: Home Assistant refuses both on it.
        documents.push_back(ReadingSensor(
            place, QStringLiteral("status"), QStringLiteral("status"),
            {{QStringLiteral("device_class"), QStringLiteral("enum")},
             {QStringLiteral("options"), statusKeys},
             {QStringLiteral("value_template"), QStringLiteral("{{ value_json.status_key }}")}}));
        // The alarm list is retained state sent on change, not a reading: it never expires.
        QJsonObject problem =
            EntityDocument(place, QStringLiteral("problem"), QStringLiteral("problem"),
                           BatteryAlarmsTopic(site.site, id.device, id.battery));
        problem.insert(QStringLiteral("device_class"), QStringLiteral("problem"));
        problem.insert(QStringLiteral("value_template"),
                       QStringLiteral("{{ 'ON' if value_json | length > 0 else 'OFF' }}"));
        documents.push_back(Document(place, "binary_sensor", QStringLiteral("problem"), problem));
    }
    return documents;
}

std::optional<QString> DiscoveryPrefixProblem(const QString& prefix) {
    if (prefix.toUtf8().size() > kMaxSiteNameBytes)
        return QStringLiteral("the discovery prefix is longer than %1 bytes")
            .arg(kMaxSiteNameBytes);
    for (const QString& level : prefix.split(u'/')) {
        if (level.isEmpty() || SiteNameProblem(level))
            return QStringLiteral(
                       "\"%1\" is no discovery prefix: topic levels that are not empty, without "
                       "'+', '#' or control characters")
                .arg(prefix);
    }
    return std::nullopt;
}

QByteArray DiscoveryFilter(const QString& prefix, const QString& site) {
    return QStringLiteral("%1/+/%2/+/config").arg(prefix, NodeId(site)).toUtf8();
}

QByteArray HomeAssistantStatusTopic(const QString& prefix) {
    return QStringLiteral("%1/status").arg(prefix).toUtf8();
}
