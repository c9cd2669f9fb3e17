// The window feeds a broker the way batmond does: every reading it records reaches the broker
// once, from its store's outbox, and its alarm events follow.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/MonitorSession.h"
#include "mqtt/MqttUrl.h"
#include "station/MqttPublisher.h"
#include "station/Station.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/service/BatmondHarness.h"
#include "tools/simctl/SimProcess.h"

using namespace servicetest;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

TEST(WindowMqtt, everyReadingTheWindowRecordsIsPublishedOnceWithItsAlarms) {
    const QString site = QStringLiteral("room-window");
    testservers::MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    Subscriber subscriber(broker.url(), site);
    ASSERT_TRUE(subscriber.WaitOnline());
    StationOptions options;
    options.mqttOutbox = true;
    testsupport::WindowRig window(options);
    PublisherOptions publishing;
    publishing.endpoint = *ParseMqttUrl(broker.url(), &error);
    publishing.site = site;
    std::unique_ptr<MqttPublisher> publisher =
        PublishStation(window.Form().Monitoring(), publishing, &error);
    ASSERT_TRUE(publisher && publisher->Start(&error)) << error.toStdString();

    SimProcess bus;
    ASSERT_TRUE(
        window.OpenOnSimulatedBus(bus, {QStringLiteral("--status"), QStringLiteral("A1:2=0x71")}))
        << window.ErrorText().toStdString();
    window.StartMonitoring(QStringLiteral("1"));
    const auto kLong = std::chrono::seconds(30 * kSlowdown);
    ASSERT_TRUE(WaitUntil([&] { return subscriber.Readings().size() >= 3 * 14; }, kLong));

    // Stopped between cycles, once the store and the broker have caught up.
    window.Form().Session().ClosePort();
    std::size_t stored = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            stored = 0;
            for (const auto& [battery, readings] : StoredByBattery(window.DataDir()))
                stored += readings.size();
            return subscriber.Readings().size() == stored && publisher->PublishedCount() > 0;
        },
        kLong))
        << subscriber.Readings().size() << " published, " << stored << " stored";
    EXPECT_TRUE(subscriber.Redelivered().empty());
    const std::vector<QByteArray> statuses = subscriber.StatusPayloads();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), QByteArray("online")), statuses.end());
    const bool alarmPublished =
        std::any_of(subscriber.Messages().begin(), subscriber.Messages().end(), [&](const auto& m) {
            return m.topic == QStringLiteral("batmon/%1/alarm").arg(site).toUtf8() &&
                   m.payload.contains("\"raised\"");
        });
    EXPECT_TRUE(alarmPublished) << "the battery reporting 0x71 raised no alarm on the broker";
}
