#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "battery/Status.h"
#include "web/ApiJson.h"
#include "web/EventCursor.h"
#include "web/EventHub.h"
#include "web/ReadingsQuery.h"
#include "web/SignIn.h"
#include "web/WebServer.h"

namespace {

using namespace std::chrono_literals;

QJsonObject Parse(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json.toStdString();
    return doc.object();
}

TEST(EventCursor, TextRoundTripsAndRefusesAnythingElse) {
    const web::EventCursor cursor{{1'764'576'000'125, 0xA1, 5}, 42};
    EXPECT_EQ(cursor.Text(), "1764576000125_161_5_42");
    EXPECT_EQ(web::EventCursor::Parse(cursor.Text()), cursor);
    for (const char* bad :
         {"", "1_2_3", "1_2_3_4_5", "a_160_3_1", "1_160_3_-1", "-1_160_3_1", "1_999_3_1", "1__3_1"})
        EXPECT_FALSE(web::EventCursor::Parse(bad)) << bad;
    // Readings order by time, then device, then battery.
    EXPECT_LT((web::ReadingKey{5, 0xA1, 7}), (web::ReadingKey{6, 0xA0, 0}));
    EXPECT_LT((web::ReadingKey{5, 0xA0, 7}), (web::ReadingKey{5, 0xA1, 0}));
}

std::shared_ptr<const web::StreamEvent> EventOfSize(int bytes) {
    auto event = std::make_shared<web::StreamEvent>();
    event->frame = QByteArray(bytes, 'x');
    return event;
}

TEST(EventHub, ClientThatStopsReadingIsCutOffAndItsQueueFreed) {
    web::EventHub hub;
    const web::EventHub::Joined reader = hub.Join();
    const web::EventHub::Joined stalled = hub.Join();
    EXPECT_EQ(hub.StreamCount(), 2U);
    const int frame = 1024;
    const int needed = static_cast<int>(web::StreamQueue::kMaxQueuedBytes) / frame + 1;
    std::vector<std::shared_ptr<const web::StreamEvent>> taken;
    for (int i = 0; i < needed; ++i) {
        hub.Publish({EventOfSize(frame)}, web::EventCursor{{i, 0xA0, 0}, 0});
        ASSERT_TRUE(reader.queue->Take(0ms, taken));
        EXPECT_EQ(taken.size(), 1U);
    }
    EXPECT_FALSE(stalled.queue->Open());
    EXPECT_FALSE(stalled.queue->Take(0ms, taken));
    EXPECT_TRUE(taken.empty());  // nothing held for it any more
    EXPECT_EQ(hub.StreamCount(), 1U);
    // A stream that joins now starts where the hub stands.
    EXPECT_EQ(hub.Join().cursor.reading.tMs, needed - 1);
    hub.CloseAll();
    EXPECT_FALSE(reader.queue->Open());
    EXPECT_FALSE(hub.Join().queue->Open());
}

TEST(ApiJson, LatestHasTheMqttKeysStalenessAndAlarmsOfEveryWatchedBattery) {
    web::RoomState state;
    state.site = QStringLiteral("room-1");
    state.portName = QStringLiteral("/dev/ttyUSB0");
    state.portOpen = true;
    state.periodMs = 10'000;
    const qint64 now = 1'772'352'000'125;  // 2026-03-01T08:00:00.125Z
    state.latest[3] = battery::MakeReading({0xA0, 3}, now, 0x11, 133, 330);
    state.latest[8] = battery::MakeReading({0xA1, 0}, now - 30'001, 0x71, 120, 250);
    alarms::ActiveAlarm alarm;
    alarm.key = {{0xA1, 0}, alarms::AlarmKind::StatusVoltage};
    alarm.sinceMs = now - 40'000;
    alarm.value = 0x71;
    state.activeAlarms = {alarm};

    const QJsonObject root = Parse(web::LatestJson(state, now));
    EXPECT_EQ(root["site"].toString(), "room-1");
    EXPECT_EQ(root["time"].toString(), "2026-03-01T08:00:00.125Z");
    EXPECT_EQ(root["bus"].toObject()["port"].toString(), "/dev/ttyUSB0");
    EXPECT_TRUE(root["bus"].toObject()["open"].toBool());
    EXPECT_TRUE(root["bus"].toObject()["last_cycle"].isNull());
    const QJsonArray batteries = root["batteries"].toArray();
    ASSERT_EQ(batteries.size(), battery::kWatchedCount);
    const QJsonObject a03 = batteries[3].toObject();
    EXPECT_EQ(a03, Parse(R"({"device": "A0", "battery": 3, "label": "A0-83",
        "time": "2026-03-01T08:00:00.125Z", "voltage": 13.3, "temperature": 33.0, "status": 17,
        "status_key": "normal", "status_text": "正常", "stale": false, "alarms": []})"));
    const QJsonObject a10 = batteries[8].toObject();
    EXPECT_EQ(a10["label"].toString(), "1#");
    EXPECT_TRUE(a10["stale"].toBool());  // more than three periods old
    EXPECT_EQ(a10["status_key"].toString(), "voltage");
    ASSERT_EQ(a10["alarms"].toArray().size(), 1);
    EXPECT_EQ(a10["alarms"].toArray()[0].toObject()["id"].toString(), "A1.0.status_voltage");
    // A battery never heard from: its id, nulls and stale.
    const QJsonObject never = batteries[0].toObject();
    EXPECT_EQ(never["label"].toString(), "A0-80");
    EXPECT_TRUE(never["voltage"].isNull());
    EXPECT_TRUE(never["stale"].toBool());

    const QJsonObject active = Parse(web::ActiveAlarmsJson(state, now));
    EXPECT_EQ(active["unacknowledged"].toInt(), 1);
    EXPECT_EQ(active["alarms"].toArray()[0].toObject()["kind_text"].toString(), "电压异常");
}

TEST(ApiJson, AlarmIdsNameOneActiveAlarm) {
    const alarms::AlarmKey key{{0xA1, 5}, alarms::AlarmKind::HighTemperature};
    EXPECT_EQ(web::AlarmKeyFromId(web::AlarmIdOf(key)), key);
    for (const char* bad :
         {"", "A2.1.status_voltage", "A0.8.status_voltage", "A0.1.bogus", "A0.1", "A0.x.no_answer"})
        EXPECT_FALSE(web::AlarmKeyFromId(QString::fromLatin1(bad))) << bad;
}

TEST(ReadingsJson, RawRowsWhenFewBucketsWithExtremesAndLastOtherwise) {
    web::ReadingsRequest request;
    request.battery = {0xA0, 2};
    request.fromMs = 0;
    request.toMs = 999;
    request.points = 2;

    web::ReadingsAnswer raw;
    raw.raw = true;
    raw.rows = {{100, 0x11, 125, 201}, {600, 0x71, 126, 202}};
    const QJsonObject rawJson = Parse(web::ReadingsJson(request, raw));
    EXPECT_FALSE(rawJson["reduced"].toBool());
    ASSERT_EQ(rawJson["readings"].toArray().size(), 2);
    EXPECT_EQ(rawJson["readings"].toArray()[1].toObject()["status_key"].toString(), "voltage");
    EXPECT_DOUBLE_EQ(rawJson["readings"].toArray()[1].toObject()["voltage"].toDouble(), 12.6);

    web::ReadingsAnswer reduced;
    BatteryTrend trend;
    trend.battery = request.battery;
    const auto sample = [](qint64 t, int v, int c) {
        return TrendSample{t, static_cast<std::int16_t>(v), static_cast<std::int16_t>(c), 0x11};
    };
    trend.reduced.voltage = {sample(10, 120, 0), sample(20, 130, 0), sample(30, 125, 0),
                             sample(700, 110, 0)};
    trend.reduced.temperature = {sample(15, 0, 300), sample(25, 0, 250)};
    reduced.reduced.batteries = {trend};
    const QJsonObject json = Parse(web::ReadingsJson(request, reduced));
    EXPECT_TRUE(json["reduced"].toBool());
    const QJsonArray points = json["points"].toArray();
    ASSERT_EQ(points.size(), 2);
    const QJsonObject first = points[0].toObject();
    EXPECT_EQ(first["time"].toString(), "1970-01-01T00:00:00.000Z");
    EXPECT_DOUBLE_EQ(first["voltage"].toObject()["min"].toDouble(), 12.0);
    EXPECT_DOUBLE_EQ(first["voltage"].toObject()["max"].toDouble(), 13.0);
    EXPECT_DOUBLE_EQ(first["voltage"].toObject()["last"].toDouble(), 12.5);
    EXPECT_DOUBLE_EQ(first["temperature"].toObject()["last"].toDouble(), 25.0);
    EXPECT_EQ(points[1].toObject()["time"].toString(), "1970-01-01T00:00:00.500Z");
    EXPECT_FALSE(points[1].toObject().contains("temperature"));
}

TEST(SignIn, UsersFileChecksMkpasswdHashesAndRefusesBadLines) {
    QTemporaryDir dir;
    QProcess mkpasswd;
    mkpasswd.start(QStringLiteral("mkpasswd"),
                   {QStringLiteral("--method=sha-512"), QStringLiteral("s3cret 密码")});
    ASSERT_TRUE(mkpasswd.waitForFinished(10'000));
    const QByteArray hash = mkpasswd.readAllStandardOutput().trimmed();
    ASSERT_TRUE(hash.startsWith("$6$")) << hash.toStdString();
    const QString path = dir.filePath(QStringLiteral("users"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# operators\n\nzhang:" + hash + "\n");
    file.close();

    web::UserFile users;
    QString error;
    ASSERT_TRUE(users.Load(path, &error)) << error.toStdString();
    EXPECT_TRUE(users.Check(QStringLiteral("zhang"), QStringLiteral("s3cret 密码")));
    EXPECT_FALSE(users.Check(QStringLiteral("zhang"), QStringLiteral("s3cret")));
    EXPECT_FALSE(users.Check(QStringLiteral("li"), QStringLiteral("s3cret 密码")));
    EXPECT_FALSE(users.Check(QString(), QString()));

    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("zhang:" + hash + "\njust-a-name\n");
    file.close();
    EXPECT_FALSE(users.Load(path, &error));
    EXPECT_TRUE(error.endsWith(QStringLiteral(":2: not a \"name:hash\" line")))
        << error.toStdString();
    EXPECT_FALSE(users.Load(dir.filePath(QStringLiteral("missing")), &error));
}

TEST(SignIn, SessionsExpireAndFailedSignInsWaitLongerEachTime) {
    web::SessionStore sessions;
    const auto t0 = web::SessionStore::Clock::now();
    const QByteArray token = sessions.Open(QStringLiteral("zhang"), t0);
    EXPECT_EQ(token.size(), 64);
    const auto found = sessions.Find(token, t0 + 1h);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->user, "zhang");
    EXPECT_EQ(found->csrf.size(), 32);
    EXPECT_FALSE(sessions.Find(token, t0 + web::SessionStore::kLifetime));
    EXPECT_FALSE(sessions.Find("not-a-token", t0));

    const QString address = QStringLiteral("192.0.2.7");
    EXPECT_EQ(sessions.WaitFor(address, t0), 0ms);
    sessions.Failed(address, t0);
    EXPECT_EQ(sessions.WaitFor(address, t0), 1000ms);
    sessions.Failed(address, t0);
    EXPECT_EQ(sessions.WaitFor(address, t0), 2000ms);
    for (int i = 0; i < 20; ++i) sessions.Failed(address, t0);
    EXPECT_EQ(sessions.WaitFor(address, t0), web::SessionStore::kMaxWait);
    EXPECT_EQ(sessions.WaitFor(QStringLiteral("192.0.2.8"), t0), 0ms);  // others unaffected
    sessions.Succeeded(address);
    EXPECT_EQ(sessions.WaitFor(address, t0), 0ms);
}

TEST(HttpAddress, BarePortMeansLoopback) {
    for (const char* local : {"8080", ":8080", "localhost:8080"}) {
        const auto parsed = web::ParseHttpAddress(QString::fromLatin1(local));
        ASSERT_TRUE(parsed) << local;
        EXPECT_EQ(parsed->address, QHostAddress(QHostAddress::LocalHost));
        EXPECT_EQ(parsed->port, 8080);
    }
    EXPECT_EQ(web::ParseHttpAddress(QStringLiteral("[::1]:81"))->address,
              QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_EQ(web::ParseHttpAddress(QStringLiteral("0.0.0.0:81"))->address,
              QHostAddress(QHostAddress::AnyIPv4));
    for (const char* bad : {"", "host.example:80", "99999", "::1:80"})
        EXPECT_FALSE(web::ParseHttpAddress(QString::fromLatin1(bad))) << bad;
}

}  // namespace
