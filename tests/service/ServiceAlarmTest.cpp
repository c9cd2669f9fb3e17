#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>

#include "mqtt/BatmonMessages.h"
#include "service/BatmonService.h"
#include "station/AlarmMonitor.h"
#include "station/Station.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/service/BatmondHarness.h"
#include "tests/service/PromText.h"

namespace {

using testsupport::WaitUntil;

// An alarm event of the station reaches the alarm topic as its JSON and shows in /metrics as
// active until it clears; an acknowledgement goes out but leaves the alarm active.
TEST(ServiceAlarms, PublishedAndShownUntilCleared) {
    QString error;
    testservers::MosquittoServer broker;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    servicetest::Subscriber subscriber(broker.Url(), QStringLiteral("room-5"));
    ASSERT_TRUE(subscriber.WaitOnline());

    QTemporaryDir dir;
    ServiceOptions options;
    // Nothing listens there: the service keeps trying to open it, which the alarms do not need.
    options.port = QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    options.dataDir = dir.path();
    options.site = QStringLiteral("room-5");
    options.mqtt = ParseMqttUrl(broker.Url());
    options.metrics = QStringLiteral("127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    BatmonService service(options);
    ASSERT_TRUE(service.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !subscriber.StatusPayloads().empty(); }));

    const alarms::AlarmEvent raised{1'765'000'000'125,
                                    {{0xA1, 4}, alarms::AlarmKind::LowVoltage},
                                    alarms::AlarmState::Raised,
                                    11.2,
                                    {},
                                    alarms::AlarmLevel::Warning};
    alarms::AlarmEvent acknowledged = raised;
    acknowledged.state = alarms::AlarmState::Acknowledged;
    acknowledged.user = QStringLiteral("wang");
    acknowledged.tMs += 1000;
    const auto active = [&] {
        QString parseError;
        const auto e =
            promtext::Parse(servicetest::FetchMetrics(service.MetricsPort()), &parseError);
        EXPECT_TRUE(e) << parseError.toStdString();
        return e ? promtext::Value(
                       *e, QStringLiteral("batmon_alarm_active"),
                       {{"device", "A1"}, {"battery", "4"}, {"kind", "limit_low_voltage"}})
                 : std::nullopt;
    };

    // Events as the station's alarm monitor reports them.
    const auto report = [&](const alarms::AlarmEvent& event) {
        emit service.GetStation().Alarms().EventsOccurred({event});
    };
    report(raised);
    report(acknowledged);
    EXPECT_EQ(active(), 1.0);
    alarms::AlarmEvent cleared = raised;
    cleared.state = alarms::AlarmState::Cleared;
    cleared.value = 12.4;
    cleared.tMs += 2000;
    report(cleared);
    EXPECT_EQ(active(), 0.0);

    std::vector<AlarmMessage> alarms;
    ASSERT_TRUE(WaitUntil([&] {
        alarms.clear();
        for (const auto& m : subscriber.Messages())
            if (auto a = ParseAlarm(m.topic, m.payload)) alarms.push_back(*a);
        return alarms.size() == 3;
    }));
    EXPECT_EQ(alarms[0], (AlarmMessage{QStringLiteral("room-5"),
                                       0xA1,
                                       4,
                                       raised.tMs,
                                       QStringLiteral("limit_low_voltage"),
                                       QStringLiteral("raised"),
                                       11.2,
                                       {},
                                       QStringLiteral("warning")}))
        << "the level goes through the store's outbox to the broker";
    EXPECT_EQ(alarms[1].state, QStringLiteral("acknowledged"));
    EXPECT_EQ(alarms[1].user, QStringLiteral("wang"));
    EXPECT_EQ(alarms[2].state, QStringLiteral("cleared"));
    EXPECT_EQ(alarms[2].value, 12.4);
    service.Shutdown();
}

// Options of a service whose bus never answers (nothing listens on its port) and whose store
// is in `dir`: alarms come only from the test.
ServiceOptions SilentBusOptions(const QString& dir, const QString& site) {
    ServiceOptions options;
    options.port = QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    options.dataDir = dir;
    options.site = site;
    options.metrics = QStringLiteral("127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    return options;
}

alarms::AlarmEvents AlarmChanges(qint64 startMs) {
    using alarms::AlarmKind;
    using alarms::AlarmState;
    alarms::AlarmEvents events;
    for (std::uint8_t b = 0; b < 6; ++b)
        events.push_back(
            {startMs + b, {{0xA1, b}, AlarmKind::NoAnswer}, AlarmState::Raised, {}, {}});
    events.push_back(
        {startMs + 10, {{0xA0, 3}, AlarmKind::StatusSwelling}, AlarmState::Raised, 0x73, {}});
    events.push_back({startMs + 11,
                      {{0xA0, 3}, AlarmKind::StatusSwelling},
                      AlarmState::Acknowledged,
                      0x73,
                      QStringLiteral("li")});
    events.push_back(
        {startMs + 12, {{0xA0, 3}, AlarmKind::StatusSwelling}, AlarmState::Cleared, 0x11, {}});
    events.push_back({startMs + 13, {{0xA1, 0}, AlarmKind::NoAnswer}, AlarmState::Cleared, {}, {}});
    return events;
}

// Alarm events go through the store's outbox: those raised while the broker is away are not
// lost when the service restarts before it returns, and reach the broker in order, once.
TEST(ServiceAlarms, EventsWhileTheBrokerIsAwayArriveAfterARestartInOrderOnce) {
    QString error;
    testservers::MosquittoServer broker;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    const QString site = QStringLiteral("room-6");
    servicetest::Subscriber subscriber(broker.Url(), site);
    ASSERT_TRUE(subscriber.WaitOnline());
    QTemporaryDir dir;
    ServiceOptions options = SilentBusOptions(dir.path(), site);
    options.mqtt = ParseMqttUrl(broker.Url());
    const alarms::AlarmEvents events = AlarmChanges(1'765'000'000'000);
    {
        BatmonService service(options);
        ASSERT_TRUE(service.Start(&error)) << error.toStdString();
        ASSERT_TRUE(WaitUntil([&] { return !subscriber.StatusPayloads().empty(); }));
        broker.Stop();
        for (const alarms::AlarmEvent& event : events)
            emit service.GetStation().Alarms().EventsOccurred({event});
        EXPECT_TRUE(service.Shutdown());
    }
    BatmonService restarted(options);
    ASSERT_TRUE(restarted.Start(&error)) << error.toStdString();
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();

    const auto received = [&] {
        std::vector<AlarmMessage> alarms;
        for (const auto& m : subscriber.Messages())
            if (auto a = ParseAlarm(m.topic, m.payload)) alarms.push_back(*a);
        return alarms;
    };
    ASSERT_TRUE(WaitUntil([&] { return received().size() >= events.size(); },
                          std::chrono::seconds(20 * testsupport::kSlowdown)))
        << received().size() << " of " << events.size();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return received().size() == events.size(); },
                                      std::chrono::milliseconds(500)))
        << "an alarm event came twice";
    const std::vector<AlarmMessage> alarms = received();
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(alarms[i].timeMs, events[i].tMs);
        EXPECT_EQ(alarms[i].device, events[i].key.battery.device);
        EXPECT_EQ(alarms[i].battery, events[i].key.battery.battery);
        EXPECT_EQ(alarms[i].kind, alarms::KindId(events[i].key.kind));
        EXPECT_EQ(alarms[i].state, alarms::StateId(events[i].state));
        EXPECT_EQ(alarms[i].value, events[i].value);
        EXPECT_EQ(alarms[i].user, events[i].user);
    }
    restarted.Shutdown();
}

// After a restart, /metrics shows the alarms still active from before the stop (the silent
// device's batteries) before anything new happens, and not those that cleared.
TEST(ServiceAlarms, MetricsStartFromTheAlarmsActiveAtTheLastStop) {
    QString error;
    QTemporaryDir dir;
    const ServiceOptions options = SilentBusOptions(dir.path(), QStringLiteral("room-7"));
    {
        BatmonService service(options);
        ASSERT_TRUE(service.Start(&error)) << error.toStdString();
        for (const alarms::AlarmEvent& event : AlarmChanges(1'765'000'000'000))
            emit service.GetStation().Alarms().EventsOccurred({event});
        EXPECT_TRUE(service.Shutdown());
    }
    BatmonService restarted(options);
    ASSERT_TRUE(restarted.Start(&error)) << error.toStdString();
    const auto metrics =
        promtext::Parse(servicetest::FetchMetrics(restarted.MetricsPort()), &error);
    ASSERT_TRUE(metrics) << error.toStdString();
    const auto active = [&](const char* device, int battery, const char* kind) {
        return promtext::Value(
            *metrics, QStringLiteral("batmon_alarm_active"),
            {{"device", device}, {"battery", QString::number(battery)}, {"kind", kind}});
    };
    EXPECT_EQ(active("A1", 0, "no_answer"), std::nullopt) << "cleared before the stop";
    for (int b = 1; b < 6; ++b) EXPECT_EQ(active("A1", b, "no_answer"), 1.0) << b;
    EXPECT_EQ(active("A0", 3, "status_swelling"), std::nullopt);
    restarted.Shutdown();
}

}  // namespace
