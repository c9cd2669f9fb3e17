// The MQTT topics and payloads and the broker URL: what a publisher writes is read back unchanged,
// and anything that would put a wrong row into the database is refused.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttUrl.h"

namespace {

// 2026-03-01T08:00:00.125Z
constexpr qint64 kTime = 1772352000125;

ReadingMessage Reading(int device = 0xA1, int battery = 7, int status = 0x11) {
    return ReadingMessage{QStringLiteral("room-3"), device, battery, kTime, 12.1, 20.5, status};
}

QJsonObject Json(const QByteArray& payload) { return QJsonDocument::fromJson(payload).object(); }

TEST(MessageFormat, readingTopicAndPayloadCarryEveryField) {
    EXPECT_EQ(ReadingTopic(QStringLiteral("room-3"), 0xA0, 0), "batmon/room-3/A0/0");
    EXPECT_EQ(ReadingTopic(QStringLiteral("room-3"), 0xA1, 7), "batmon/room-3/A1/7");
    EXPECT_EQ(ReadingPayload(Reading()),
              QByteArray(R"({"status":17,"status_key":"normal","status_text":"正常",)"
                         R"("temperature":20.5,)"
                         R"("time":"2026-03-01T08:00:00.125Z","voltage":12.1})"));

    const struct {
        int code;
        const char* text;
        const char* key;
    } statuses[] = {{0x00, "无此设备", "no_device"}, {0x11, "正常", "normal"},
                    {0x71, "电压异常", "voltage"},   {0x72, "温度异常", "temperature"},
                    {0x73, "鼓包异常", "swelling"},  {0x05, "0x05", "unknown"},
                    {0xAB, "0xAB", "unknown"}};
    for (const auto& s : statuses) {
        const QJsonObject payload = Json(ReadingPayload(Reading(0xA0, 1, s.code)));
        EXPECT_EQ(payload[u"status_text"].toString(), QString::fromUtf8(s.text)) << s.code;
        EXPECT_EQ(payload[u"status_key"].toString(), QLatin1String(s.key)) << s.code;
    }
}

// The state topics beside the readings: each device's availability and each battery's active
// alarms, a JSON list with a level only where the alarm has one.
TEST(MessageFormat, deviceStatusAndAlarmListTopics) {
    const QString site = QStringLiteral("room-3");
    EXPECT_EQ(DeviceStatusTopic(site, 0xA1), "batmon/room-3/A1/status");
    EXPECT_TRUE(IsDeviceStatusTopic("batmon/room-3/A1/status"));
    EXPECT_FALSE(IsDeviceStatusTopic("batmon/room-3/status"));
    EXPECT_FALSE(IsDeviceStatusTopic("batmon/room-3/A2/status"));
    EXPECT_FALSE(IsDeviceStatusTopic("batmon/room-3/A1/3"));
    EXPECT_FALSE(ParseReading("batmon/room-3/A1/status", "online"));
    EXPECT_EQ(DeviceStatusTopic(QStringLiteral("a/b"), 0xA0), QByteArray());
    EXPECT_EQ(BatteryAlarmsTopic(site, 0xA0, 7), "batmon/room-3/A0/7/alarms");
    EXPECT_EQ(BatteryAlarmsTopic(site, 0xA0, 8), QByteArray());

    EXPECT_EQ(BatteryAlarmsPayload({}), "[]");
    ActiveAlarmMessage low{QStringLiteral("voltage_low"), QStringLiteral("critical"),
                           1'772'352'000'125, 11.2, true};
    ActiveAlarmMessage silent{QStringLiteral("no_answer"), std::nullopt, 1'772'352'000'125,
                              std::nullopt, false};
    EXPECT_EQ(BatteryAlarmsPayload({low, silent}),
              QByteArray(R"([{"acknowledged":true,"kind":"voltage_low","level":"critical",)"
                         R"("since":"2026-03-01T08:00:00.125Z","value":11.2},)"
                         R"({"acknowledged":false,"kind":"no_answer",)"
                         R"("since":"2026-03-01T08:00:00.125Z","value":null}])"));
}

// Home Assistant's ids allow [a-zA-Z0-9_-] only; sites that differ in other characters keep
// apart.
TEST(MessageFormat, discoveryIdsAndPrefixes) {
    EXPECT_EQ(SanitisedId(QStringLiteral("room-1_a")), QStringLiteral("room-1_a"));
    const QString dotted = SanitisedId(QStringLiteral("Room 1.east"));
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^Room_1_east[0-9a-f]{8}$")).match(dotted).hasMatch())
        << dotted.toStdString();
    EXPECT_NE(dotted, SanitisedId(QStringLiteral("Room 1 east")));
    EXPECT_NE(SanitisedId(QStringLiteral("机房一")), SanitisedId(QStringLiteral("机房二")));
    for (const char* good : {"homeassistant", "ha/discovery"})
        EXPECT_FALSE(DiscoveryPrefixProblem(QString::fromLatin1(good))) << good;
    for (const char* bad : {"", "/ha", "ha/", "ha//x", "ha/+", "ha#", "ha\nx"})
        EXPECT_TRUE(DiscoveryPrefixProblem(QString::fromLatin1(bad))) << bad;
    EXPECT_EQ(DiscoveryFilter(QStringLiteral("homeassistant"), QStringLiteral("room-1")),
              "homeassistant/+/batmon_room-1/+/config");
    // Fourteen batteries, four entities each.
    const auto documents = DiscoveryDocuments(
        {QStringLiteral("ha"), QStringLiteral("room-1"), QStringLiteral("1.0"), 30});
    EXPECT_EQ(documents.size(), 14u * 4);
    EXPECT_EQ(documents.front().first, "ha/sensor/batmon_room-1/A0_0_voltage/config");
    EXPECT_EQ(documents.back().first, "ha/binary_sensor/batmon_room-1/A1_5_problem/config");
}

TEST(MessageFormat, readingsAndAlarmsRoundTrip) {
    for (const int device : {0xA0, 0xA1}) {
        for (int battery = 0; battery < 8; ++battery) {
            const ReadingMessage sent = Reading(device, battery, 0x71);
            EXPECT_EQ(ParseReading(ReadingTopic(sent.site, device, battery), ReadingPayload(sent)),
                      sent);
        }
    }
    const AlarmMessage raised{
        QStringLiteral("site A"), 0xA0, 3, kTime, QStringLiteral("status_voltage"),
        QStringLiteral("raised"), 11.2, {}};
    const AlarmMessage silent{
        QStringLiteral("site A"),  0xA1, 5, kTime + 1, QStringLiteral("no_answer"),
        QStringLiteral("cleared"), {},   {}};
    const AlarmMessage acknowledged{QStringLiteral("site A"),
                                    0xA1,
                                    5,
                                    kTime + 2,
                                    QStringLiteral("no_answer"),
                                    QStringLiteral("acknowledged"),
                                    {},
                                    QStringLiteral("operator")};
    const AlarmMessage shelved{QStringLiteral("site A"),
                               0xA0,
                               6,
                               kTime + 3,
                               QStringLiteral("voltage_deviation"),
                               QStringLiteral("shelved"),
                               -0.35,
                               QStringLiteral("operator"),
                               QStringLiteral("warning")};
    AlarmMessage unshelved = shelved;
    unshelved.state = QStringLiteral("unshelved");
    unshelved.level = QStringLiteral("critical");
    for (const AlarmMessage& alarm : {raised, silent, acknowledged, shelved, unshelved}) {
        EXPECT_EQ(ParseAlarm(AlarmTopic(alarm.site), AlarmPayload(alarm)), alarm);
    }
    EXPECT_TRUE(Json(AlarmPayload(silent))[u"value"].isNull());
    EXPECT_FALSE(Json(AlarmPayload(raised)).contains(u"user"));
    EXPECT_FALSE(Json(AlarmPayload(raised)).contains(u"level")) << "as earlier versions sent it";
    EXPECT_EQ(Json(AlarmPayload(shelved))[u"level"].toString(), QStringLiteral("warning"));
    EXPECT_EQ(StatusTopic(QStringLiteral("room-3")), "batmon/room-3/status");
}

TEST(MessageFormat, timesAreUtcWithMillisecondsAndNeedAZone) {
    EXPECT_EQ(FormatUtcTime(kTime), QStringLiteral("2026-03-01T08:00:00.125Z"));
    EXPECT_EQ(FormatUtcTime(kTime - 125), QStringLiteral("2026-03-01T08:00:00.000Z"));
    EXPECT_EQ(ParseUtcTime(QStringLiteral("2026-03-01T08:00:00.125Z")), kTime);
    EXPECT_EQ(ParseUtcTime(QStringLiteral("2026-03-01T16:00:00.125+08:00")), kTime);
    EXPECT_EQ(ParseUtcTime(QStringLiteral("2026-03-01T08:00:00.125999Z")), kTime);
    EXPECT_EQ(ParseUtcTime(QStringLiteral("2026-03-01T08:00:00Z")), kTime - 125);
    EXPECT_FALSE(ParseUtcTime(QStringLiteral("2026-03-01T08:00:00.125")));  // local time
    EXPECT_FALSE(ParseUtcTime(QStringLiteral("2026-02-30T08:00:00.125Z")));
    EXPECT_FALSE(ParseUtcTime(QStringLiteral("yesterday")));
    // Years 1 to 9999 in UTC, the ones written back as they were read; an offset can carry a
    // time written in year 1 or 9999 out of them.
    EXPECT_TRUE(ParseUtcTime(QStringLiteral("0001-01-01T00:00:00Z")));
    EXPECT_TRUE(ParseUtcTime(QStringLiteral("9999-12-31T23:59:59.999Z")));
    EXPECT_FALSE(ParseUtcTime(QStringLiteral("0001-01-01T00:00:00+01:00")));
    EXPECT_FALSE(ParseUtcTime(QStringLiteral("9999-12-31T23:59:59-01:00")));
}

TEST(MessageFormat, refusesWhatWouldStoreAWrongRow) {
    const QByteArray good = ReadingPayload(Reading());
    const QByteArray topic = "batmon/room-3/A1/7";
    ASSERT_TRUE(ParseReading(topic, good));
    for (const QByteArray& badTopic :
         {QByteArray("batmon/room-3/A2/7"), QByteArray("batmon/room-3/A1/8"),
          QByteArray("batmon/room-3/A1/-1"), QByteArray("batmon/room-3/A1/07"),
          QByteArray("batmon//A1/7"), QByteArray("other/room-3/A1/7"),
          QByteArray("batmon/room-3/A1/7/x")}) {
        EXPECT_FALSE(ParseReading(badTopic, good)) << badTopic.constData();
    }
    auto withField = [&](const char* key, const QJsonValue& value) {
        QJsonObject object = Json(good);
        if (value.isUndefined()) {
            object.remove(QString::fromLatin1(key));
        } else {
            object.insert(QString::fromLatin1(key), value);
        }
        return QJsonDocument(object).toJson();
    };
    const struct {
        const char* key;
        QJsonValue value;
    } badFields[] = {{"time", QJsonValue::Undefined},
                     {"time", QStringLiteral("2026-03-01")},
                     {"voltage", QStringLiteral("12.1")},
                     {"voltage", QJsonValue::Undefined},
                     {"voltage", 1e300},
                     {"temperature", QJsonValue::Null},
                     {"status", 256},
                     {"status", -1},
                     {"status", 17.5},
                     // What the database's single-precision column would turn into zero.
                     {"voltage", 1e-50},
                     {"temperature", -1e-40},
                     // What no device's register can carry: one byte of tenths of a volt, an
                     // unsigned word of tenths of a degree.
                     {"voltage", -999999999},
                     {"voltage", -0.1},
                     {"voltage", 25.6},
                     {"temperature", -5e8},
                     {"temperature", -0.5},
                     {"temperature", 6553.6},
                     {"time", QStringLiteral("0001-01-01T00:00:00+01:00")},
                     {"time", QStringLiteral("9999-12-31T23:59:59-01:00")}};
    for (const auto& field : badFields) {
        EXPECT_FALSE(ParseReading(topic, withField(field.key, field.value)))
            << field.key << " " << field.value.toVariant().toString().toStdString();
    }
    const struct {
        const char* key;
        QJsonValue value;
    } edges[] = {{"voltage", 0},
                 {"voltage", 25.5},
                 {"temperature", 0},
                 {"temperature", 6553.5},
                 {"voltage", 1e-30}};
    for (const auto& field : edges) {
        EXPECT_TRUE(ParseReading(topic, withField(field.key, field.value)))
            << field.key << " " << field.value.toDouble();
    }
    QString reason;
    EXPECT_FALSE(ParseReading(topic, withField("voltage", -999999999), &reason));
    EXPECT_EQ(reason, QStringLiteral("voltage -999999999 is not one a device can send (0 to "
                                     "25.5 V)"));
    EXPECT_FALSE(ParseReading(topic, "not json"));
    EXPECT_FALSE(ParseReading(topic, "[1, 2]"));

    const QByteArray alarm = AlarmPayload({QStringLiteral("s"),
                                           0xA0,
                                           1,
                                           kTime,
                                           QStringLiteral("no_answer"),
                                           QStringLiteral("raised"),
                                           {},
                                           {}});
    EXPECT_TRUE(ParseAlarm("batmon/s/alarm", alarm));
    EXPECT_FALSE(ParseAlarm("batmon/s/alarms", alarm));
    QJsonObject object = Json(alarm);
    object[u"state"] = QStringLiteral("gone");
    EXPECT_FALSE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
    object = Json(alarm);
    object[u"kind"] = QStringLiteral("Robert'); DROP TABLE battery_alarms;--");
    EXPECT_FALSE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
    object = Json(alarm);
    object[u"battery"] = 8;
    EXPECT_FALSE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
    object = Json(alarm);
    object[u"level"] = QStringLiteral("severe");
    EXPECT_FALSE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
    // Text a database column cannot hold, and numbers it would turn into zero.
    object = Json(alarm);
    object[u"state"] = QStringLiteral("acknowledged");
    const QByteArray acknowledged = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const auto byUser = [&](const char* user) {
        return acknowledged.left(acknowledged.size() - 1) + ",\"user\":\"" + user + "\"}";
    };
    EXPECT_TRUE(ParseAlarm("batmon/s/alarm", byUser("operator")));
    for (const char* user : {"op\\u0000erator", "op\\u001berator", "\\u0085"})
        EXPECT_FALSE(ParseAlarm("batmon/s/alarm", byUser(user))) << user;
    object = Json(alarm);
    object[u"value"] = 1e-50;
    EXPECT_FALSE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
    object[u"value"] = 11.2;
    EXPECT_TRUE(ParseAlarm("batmon/s/alarm", QJsonDocument(object).toJson()));
}

TEST(MessageFormat, siteNamesAreOneTopicLevel) {
    EXPECT_TRUE(IsValidSiteName(QStringLiteral("机房-3 north")));
    for (const char* bad : {"", "a/b", "a+b", "a#", "tab\there", "line\nend"}) {
        EXPECT_FALSE(IsValidSiteName(QString::fromUtf8(bad))) << bad;
        EXPECT_TRUE(ReadingTopic(QString::fromUtf8(bad), 0xA0, 0).isEmpty()) << bad;
    }
    EXPECT_TRUE(ReadingTopic(QStringLiteral("s"), 0xA2, 0).isEmpty());
    EXPECT_TRUE(ReadingTopic(QStringLiteral("s"), 0xA0, 8).isEmpty());
}

TEST(BrokerUrl, schemesPortsAndCredentials) {
    auto plain = ParseMqttUrl(QStringLiteral("mqtt://broker.example:1884"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, QStringLiteral("broker.example"));
    EXPECT_EQ(plain->port, 1884);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(ParseMqttUrl(QStringLiteral("mqtt://h"))->port, 1883);
    auto secure = ParseMqttUrl(QStringLiteral("mqtts://h"));
    ASSERT_TRUE(secure);
    EXPECT_TRUE(secure->tls);
    EXPECT_EQ(secure->port, 8883);
    // The login belongs in the configuration file; the refusal does not repeat the password.
    for (const char* login :
         {"mqtts://user:s3cr%40t@h", "mqtt://user@h:1883", "mqtt://u:s3cr@@h"}) {
        QString error;
        EXPECT_FALSE(ParseMqttUrl(QString::fromLatin1(login), &error)) << login;
        EXPECT_TRUE(error.contains(QStringLiteral("mqtt_password"))) << error.toStdString();
        EXPECT_FALSE(error.contains(QStringLiteral("s3cr"))) << error.toStdString();
    }
    EXPECT_EQ(ParseMqttUrl(QStringLiteral("mqtt://[::1]:1883"))->host, QStringLiteral("::1"));
    for (const char* bad : {"http://h:1883", "h:1883", "mqtt://", "mqtt://h:0", "mqtt://h:99999",
                            "mqtt://h:1883/topic", "mqtt://h?x=1", ""}) {
        QString error;
        EXPECT_FALSE(ParseMqttUrl(QString::fromLatin1(bad), &error)) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
}

}  // namespace
