// batmond with Home Assistant discovery against a real broker, the way Home Assistant sees it:
// every discovery document with the keys Home Assistant reads, ids it accepts for a site whose
// name has blanks and dots, documents sent again when Home Assistant announces itself, a stale
// document removed, and a device that falls silent going offline with its batteries' entities.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <map>
#include <set>

#include "battery/BatteryId.h"
#include "battery/Status.h"
#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/service/BatmondHarness.h"

using servicetest::BatmondProcess;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

constexpr auto kLong = std::chrono::seconds(30 * kSlowdown);
const QString kSite = QStringLiteral("Room 1.east");
const QByteArray kPrefix = "homeassistant";

// What Home Assistant would see: the latest payload of every topic under the discovery prefix
// and the site's topics, and how many discovery documents arrived in all.
class HomeAssistantView {
public:
    explicit HomeAssistantView(const QString& url) : client_(Options(url)) {
        QObject::connect(&client_, &MqttClient::MessageReceived,
                         [this](const QByteArray& topic, const QByteArray& payload, bool) {
                             latest[topic] = payload;
                             if (topic.startsWith(kPrefix + '/') && topic.endsWith("/config") &&
                                 !payload.isEmpty())
                                 ++documentsReceived;
                         });
        QObject::connect(&client_, &MqttClient::Subscribed, [this] { ++subscribed_; });
        client_.Subscribe(kPrefix + "/#", 1);
        client_.Subscribe("batmon/" + kSite.toUtf8() + "/#", 1);
        client_.Start();
    }
    bool WaitSubscribed() {
        return WaitUntil([&] { return subscribed_ == 2; }, kLong);
    }
    void Publish(const QByteArray& topic, const QByteArray& payload, bool retain) {
        client_.Publish(topic, payload, 1, retain);
    }
    // The discovery documents kept now (removed ones left out).
    std::map<QByteArray, QJsonObject> Documents() const {
        std::map<QByteArray, QJsonObject> documents;
        for (const auto& [topic, payload] : latest)
            if (topic.startsWith(kPrefix + '/') && topic.endsWith("/config") && !payload.isEmpty())
                documents[topic] = QJsonDocument::fromJson(payload).object();
        return documents;
    }
    QByteArray Latest(const QByteArray& topic) const {
        const auto it = latest.find(topic);
        return it == latest.end() ? QByteArray("(none)") : it->second;
    }

    std::map<QByteArray, QByteArray> latest;
    int documentsReceived = 0;

private:
    static MqttClientOptions Options(const QString& url) {
        MqttClientOptions options;
        options.endpoint = *ParseMqttUrl(url);
        return options;
    }
    MqttClient client_;
    int subscribed_ = 0;
};

QStringList TopicsOf(const QJsonArray& availability) {
    QStringList topics;
    for (const QJsonValue& entry : availability) {
        topics << entry[u"topic"].toString();
        EXPECT_EQ(entry[u"payload_available"].toString(), u"online");
        EXPECT_EQ(entry[u"payload_not_available"].toString(), u"offline");
    }
    return topics;
}

TEST(HomeAssistant, DiscoveryDocumentsAvailabilityAndAlarmsOnARealBroker) {
    testservers::MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    HomeAssistantView ha(broker.Url());
    ASSERT_TRUE(ha.WaitSubscribed());

    // A document an earlier batmond left for a battery that is not watched.
    const QString node = QStringLiteral("batmon_") + SanitisedId(kSite);
    const QByteArray stale = kPrefix + "/sensor/" + node.toUtf8() + "/A1_7_voltage/config";
    ha.Publish(stale, R"({"name":"old"})", true);
    ASSERT_TRUE(WaitUntil([&] { return ha.Latest(stale) != "(none)"; }, kLong));

    // A1 answers for a while, then falls silent for good.
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp({QStringLiteral("--drop-device"), QStringLiteral("A1"),
                              QStringLiteral("--drop-after-s"), QString::number(8 * kSlowdown)}))
        << sim.ErrorText().toStdString();
    BatmondProcess batmond;
    ASSERT_TRUE(
        batmond.Start({QStringLiteral("--port"), sim.PortPath(), QStringLiteral("--period"),
                       QStringLiteral("1"), QStringLiteral("--data-dir"), batmond.DataDir(),
                       QStringLiteral("--site"), kSite, QStringLiteral("--mqtt"), broker.Url(),
                       QStringLiteral("--ha-discovery"), QStringLiteral("true")}));

    const QByteArray a0Status = DeviceStatusTopic(kSite, battery::kDeviceA0);
    const QByteArray a1Status = DeviceStatusTopic(kSite, battery::kDeviceA1);
    constexpr std::size_t kDocuments = battery::kWatchedCount * 4;
    ASSERT_TRUE(WaitUntil([&] { return ha.Documents().size() == kDocuments; }, kLong))
        << ha.Documents().size() << "\n"
        << batmond.Log().toStdString();
    ASSERT_TRUE(WaitUntil(
        [&] { return ha.Latest(a0Status) == "online" && ha.Latest(a1Status) == "online"; }, kLong))
        << ha.Latest(a1Status).toStdString() << "\n"
        << batmond.Log().toStdString();
    // The stale document is removed: an empty retained message.
    EXPECT_TRUE(WaitUntil([&] { return ha.Latest(stale).isEmpty(); }, kLong));

    // Every document against Home Assistant's keys.
    const QRegularExpression idPattern(QStringLiteral("^[a-zA-Z0-9_-]+$"));
    std::set<QString> uniqueIds;
    std::map<QString, int> perComponent;
    for (const auto& [topic, doc] : ha.Documents()) {
        SCOPED_TRACE(topic.toStdString());
        const QStringList levels = QString::fromUtf8(topic).split(u'/');
        ASSERT_EQ(levels.size(), 5);
        EXPECT_EQ(levels[2], node);
        EXPECT_TRUE(idPattern.match(levels[2]).hasMatch());
        EXPECT_TRUE(idPattern.match(levels[3]).hasMatch());
        ++perComponent[levels[1]];
        const QString uniqueId = doc[u"unique_id"].toString();
        EXPECT_TRUE(idPattern.match(uniqueId).hasMatch()) << uniqueId.toStdString();
        EXPECT_TRUE(uniqueId.startsWith(node)) << uniqueId.toStdString();
        EXPECT_TRUE(uniqueIds.insert(uniqueId).second) << uniqueId.toStdString();
        EXPECT_FALSE(doc[u"name"].toString().isEmpty());

        const QJsonObject device = doc[u"device"].toObject();
        const QJsonArray identifiers = device[u"identifiers"].toArray();
        ASSERT_EQ(identifiers.size(), 1);
        EXPECT_TRUE(idPattern.match(identifiers[0].toString()).hasMatch());
        const QString deviceName = levels[3].left(2);  // A0_3_voltage
        EXPECT_EQ(identifiers[0].toString(), node + u'_' + deviceName);
        EXPECT_FALSE(device[u"name"].toString().isEmpty());

        // Available only while batmond and the battery's device are both online.
        EXPECT_EQ(doc[u"availability_mode"].toString(), u"all");
        EXPECT_EQ(TopicsOf(doc[u"availability"].toArray()),
                  QStringList({QString::fromUtf8(StatusTopic(kSite)),
                               QString::fromUtf8(DeviceStatusTopic(
                                   kSite, *battery::DeviceFromName(deviceName)))}));

        const QString what = levels[3].section(u'_', 2);
        const int batteryNumber = levels[3].section(u'_', 1, 1).toInt();
        const QString readingTopic = QString::fromUtf8(
            ReadingTopic(kSite, *battery::DeviceFromName(deviceName), batteryNumber));
        if (what == u"problem") {
            EXPECT_EQ(levels[1], u"binary_sensor");
            EXPECT_EQ(doc[u"device_class"].toString(), u"problem");
            EXPECT_EQ(doc[u"state_topic"].toString(), readingTopic + QStringLiteral("/alarms"));
            // Retained state sent on change: it must not expire between changes.
            EXPECT_FALSE(doc.contains(u"expire_after"));
            continue;
        }
        EXPECT_EQ(levels[1], u"sensor");
        EXPECT_EQ(doc[u"state_topic"].toString(), readingTopic);
        EXPECT_EQ(doc[u"expire_after"].toInt(), 3);  // three sampling periods of 1 s
        EXPECT_TRUE(doc[u"value_template"].toString().contains(u"value_json."));
        if (what == u"voltage" || what == u"temperature") {
            EXPECT_EQ(doc[u"device_class"].toString(), what);
            EXPECT_EQ(doc[u"unit_of_measurement"].toString(),
                      what == u"voltage" ? QStringLiteral("V") : QStringLiteral("°C"));
            EXPECT_EQ(doc[u"state_class"].toString(), u"measurement");
        } else {
            EXPECT_EQ(what, u"status");
            EXPECT_EQ(doc[u"device_class"].toString(), u"enum");
            EXPECT_EQ(doc[u"options"].toArray().size(), int(battery::kStatusKeys.size()));
            EXPECT_FALSE(doc.contains(u"state_class"));
            EXPECT_FALSE(doc.contains(u"unit_of_measurement"));
        }
    }
    EXPECT_EQ(perComponent[QStringLiteral("sensor")], battery::kWatchedCount * 3);
    EXPECT_EQ(perComponent[QStringLiteral("binary_sensor")], battery::kWatchedCount);

    // Readings carry the key the status sensor reads; every battery has an alarm list.
    const QByteArray reading = ha.Latest(ReadingTopic(kSite, battery::kDeviceA0, 0));
    const QString statusKey = QJsonDocument::fromJson(reading).object()[u"status_key"].toString();
    EXPECT_TRUE(std::any_of(battery::kStatusKeys.begin(), battery::kStatusKeys.end(),
                            [&](const char* key) { return statusKey == QLatin1String(key); }))
        << reading.toStdString();
    for (const battery::BatteryId id : battery::WatchedBatteries())
        EXPECT_TRUE(
            QJsonDocument::fromJson(ha.Latest(BatteryAlarmsTopic(kSite, id.device, id.battery)))
                .isArray())
            << battery::BatteryLabel(id).toStdString();

    // Home Assistant restarts: every document comes again.
    const int before = ha.documentsReceived;
    ha.Publish(HomeAssistantStatusTopic(QString::fromLatin1(kPrefix)), "online", false);
    EXPECT_TRUE(WaitUntil(
        [&] { return ha.documentsReceived >= before + static_cast<int>(kDocuments); }, kLong))
        << ha.documentsReceived - before;

    // A1 falls silent: offline after three silent cycles, A0 stays online, and A1's batteries
    // are in alarm (no answer), which their problem sensors show.
    ASSERT_TRUE(WaitUntil([&] { return ha.Latest(a1Status) == "offline"; }, kLong))
        << batmond.Log().toStdString();
    EXPECT_EQ(ha.Latest(a0Status), "online");
    EXPECT_EQ(ha.Latest(StatusTopic(kSite)), "online");
    const QByteArray a1Alarms = BatteryAlarmsTopic(kSite, battery::kDeviceA1, 2);
    ASSERT_TRUE(WaitUntil(
        [&] { return QJsonDocument::fromJson(ha.Latest(a1Alarms)).array().size() > 0; }, kLong))
        << ha.Latest(a1Alarms).toStdString();
    const QJsonObject alarm = QJsonDocument::fromJson(ha.Latest(a1Alarms)).array()[0].toObject();
    EXPECT_EQ(alarm[u"kind"].toString(), u"no_answer");
    EXPECT_FALSE(alarm[u"acknowledged"].toBool());
    EXPECT_TRUE(ParseUtcTime(alarm[u"since"].toString()));
    EXPECT_TRUE(alarm.contains(u"value"));
    EXPECT_EQ(ha.Latest(BatteryAlarmsTopic(kSite, battery::kDeviceA0, 2)), "[]");

    // Stopped: batmond and both devices offline; the documents stay for the next start.
    const int status = batmond.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << batmond.Log().toStdString();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ha.Latest(StatusTopic(kSite)) == "offline" && ha.Latest(a0Status) == "offline";
        },
        kLong));
    EXPECT_EQ(ha.Documents().size(), kDocuments);
}

}  // namespace
