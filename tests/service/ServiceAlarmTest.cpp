#include <gtest/gtest.h>

#include <QTemporaryDir>

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
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    servicetest::Subscriber subscriber(broker.url(), QStringLiteral("room-5"));
    ASSERT_TRUE(subscriber.WaitOnline());

    QTemporaryDir dir;
    ServiceOptions options;
    // Nothing listens there: the service keeps trying to open it, which the alarms do not need.
    options.port = QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    options.dataDir = dir.path();
    options.site = QStringLiteral("room-5");
    options.mqtt = ParseMqttUrl(broker.url());
    options.metrics = QStringLiteral("127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    BatmonService service(options);
    ASSERT_TRUE(service.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !subscriber.StatusPayloads().empty(); }));

    const alarms::AlarmEvent raised{1'765'000'000'125,
                                    {{0xA1, 4}, alarms::AlarmKind::LowVoltage},
                                    alarms::AlarmState::Raised,
                                    11.2,
                                    {}};
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
                                       {}}));
    EXPECT_EQ(alarms[1].state, QStringLiteral("acknowledged"));
    EXPECT_EQ(alarms[1].user, QStringLiteral("wang"));
    EXPECT_EQ(alarms[2].state, QStringLiteral("cleared"));
    EXPECT_EQ(alarms[2].value, 12.4);
    service.Shutdown();
}

}  // namespace
