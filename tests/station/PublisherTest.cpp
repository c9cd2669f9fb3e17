// The publisher against a real broker: while connected it publishes each commit's outbox rows
// from the commit notice, without reading the store; after the broker was away the backlog goes
// out from the store, in order, each reading and alarm event once.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <set>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "station/MqttPublisher.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/store/StoreTestSupport.h"

using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

const QString kSite = QStringLiteral("room-p");
constexpr auto kLong = std::chrono::seconds(20 * kSlowdown);

// Everything live published under batmon/<site>/# (retained copies sent on subscribing left
// out), each message once, in arrival order; its session stays on the broker while away.
class Listener {
public:
    explicit Listener(const QString& url) : client_(Options(url)) {
        QObject::connect(&client_, &MqttClient::messageReceived,
                         [this](const QByteArray& topic, const QByteArray& payload, bool retained) {
                             if (retained || !seen_.insert({topic, payload}).second) return;
                             if (auto r = ParseReading(topic, payload)) readings.push_back(*r);
                             if (auto a = ParseAlarm(topic, payload)) alarms.push_back(*a);
                         });
        QObject::connect(&client_, &MqttClient::subscribed, [this] { subscribed_ = true; });
        client_.subscribe(QByteArrayLiteral("batmon/") + kSite.toUtf8() + "/#", 1);
        client_.start();
    }
    bool WaitSubscribed() {
        return WaitUntil([&] { return subscribed_; }, kLong);
    }

    std::vector<ReadingMessage> readings;
    std::vector<AlarmMessage> alarms;

private:
    static MqttClientOptions Options(const QString& url) {
        MqttClientOptions options;
        options.endpoint = *ParseMqttUrl(url);
        options.clientId = QStringLiteral("publisher-test-listener");
        options.cleanSession = false;
        return options;
    }
    MqttClient client_;
    std::set<std::pair<QByteArray, QByteArray>> seen_;
    bool subscribed_ = false;
};

alarms::AlarmEvent Event(int i) {
    return {storetest::kBaseMs + i,
            {{0xA1, std::uint8_t(i % 6)}, alarms::AlarmKind::NoAnswer},
            i % 2 == 0 ? alarms::AlarmState::Raised : alarms::AlarmState::Cleared,
            std::nullopt,
            {}};
}

// The readings published, as (device, battery, time) in publication order.
std::vector<std::tuple<int, int, qint64>> Keys(const std::vector<ReadingMessage>& readings) {
    std::vector<std::tuple<int, int, qint64>> keys;
    for (const ReadingMessage& r : readings) keys.emplace_back(r.device, r.battery, r.timeMs);
    return keys;
}
std::vector<std::tuple<int, int, qint64>> Keys(const std::vector<battery::Reading>& readings) {
    std::vector<std::tuple<int, int, qint64>> keys;
    for (const battery::Reading& r : readings) keys.emplace_back(r.device, r.battery, r.t_ms);
    return keys;
}

}  // namespace

TEST(MqttPublisher, publishesFromMemoryWhileConnectedAndTheBacklogInOrderAfterTheBrokerReturns) {
    QString error;
    testservers::MosquittoServer broker;
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    Listener listener(broker.url());
    ASSERT_TRUE(listener.WaitSubscribed());

    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.SetOutboxEnabled(true);
    writer.Start();
    std::vector<battery::Reading> recorded = storetest::Sequence(0, 28);
    writer.Append(recorded);  // waiting in the outbox before the publisher starts
    ASSERT_TRUE(writer.Flush());

    PublisherOptions options;
    options.endpoint = *ParseMqttUrl(broker.url());
    options.site = kSite;
    MqttPublisher publisher(options, writer, writer.FilePath());
    ASSERT_TRUE(publisher.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return listener.readings.size() == 28; }, kLong));
    const qint64 readsAtStart = publisher.OutboxReads();
    EXPECT_GE(readsAtStart, 1);

    // Forty commits while connected, each with readings and an alarm event.
    int events = 0;
    for (int commit = 0; commit < 40; ++commit) {
        const auto block = storetest::Sequence(qint64(recorded.size()), 7);
        recorded.insert(recorded.end(), block.begin(), block.end());
        writer.Append(block);
        writer.AppendAlarm(Event(events++));
        ASSERT_TRUE(writer.Flush());
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            return listener.readings.size() == recorded.size() &&
                   listener.alarms.size() == std::size_t(events);
        },
        kLong));
    EXPECT_EQ(publisher.OutboxReads(), readsAtStart) << "the store was read after a commit";

    // The broker goes away while readings and alarm events keep being recorded.
    broker.stop();
    ASSERT_TRUE(WaitUntil([&] { return !publisher.IsOnline(); }, kLong));
    for (int commit = 0; commit < 10; ++commit) {
        const auto block = storetest::Sequence(qint64(recorded.size()), 14);
        recorded.insert(recorded.end(), block.begin(), block.end());
        writer.Append(block);
        writer.AppendAlarm(Event(events++));
        ASSERT_TRUE(writer.Flush());
    }
    const qint64 readsBeforeReturn = publisher.OutboxReads();
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return listener.readings.size() == recorded.size() &&
                   listener.alarms.size() == std::size_t(events);
        },
        kLong))
        << listener.readings.size() << " of " << recorded.size() << " readings, "
        << listener.alarms.size() << " of " << events << " alarm events";
    EXPECT_GT(publisher.OutboxReads(), readsBeforeReturn) << "the backlog is read from the store";

    EXPECT_EQ(Keys(listener.readings), Keys(recorded)) << "in the order they were recorded";
    for (int i = 0; i < events; ++i) {
        const alarms::AlarmEvent event = Event(i);
        EXPECT_EQ(listener.alarms[std::size_t(i)].timeMs, event.tMs) << i;
        EXPECT_EQ(listener.alarms[std::size_t(i)].state, alarms::StateId(event.state)) << i;
        EXPECT_FALSE(listener.alarms[std::size_t(i)].value.has_value()) << i;
    }
    // Every acknowledged row leaves the outbox.
    store::HistoryReader reader(writer.FilePath());
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto readings = reader.ReadOutbox(0, 10);
            const auto alarms = reader.ReadAlarmOutbox(store::kMqttChannel, 0, 10);
            return readings && alarms && readings->entries.empty() && alarms->entries.empty();
        },
        kLong));
    EXPECT_EQ(publisher.PublishedCount(), qint64(recorded.size()));
    publisher.Stop();
}
