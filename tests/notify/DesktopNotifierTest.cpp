#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QVariantMap>
#include <vector>

#include "alarms/AlarmRules.h"
#include "notify/DesktopNotifier.h"
#include "tests/common/WaitFor.h"
#include "tests/notify/PrivateSessionBus.h"

namespace {

using namespace alarms;

constexpr std::int64_t kT0 = 1'765'000'000'000;

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// Plays the desktop's notification daemon on the private bus and keeps what it was sent.
class FakeNotificationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Received {
        QString appName;
        QString summary;
        QString body;
        QVariantMap hints;
    };
    std::vector<Received> received;
    bool answers = true;  // false: takes every call and never replies

public slots:
    uint Notify(const QString& appName, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        received.push_back({appName, summary, body, hints});
        if (!answers) setDelayedReply(true);
        return static_cast<uint>(received.size());
    }
};

class DesktopNotifierTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString(); }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("batmon-test"));
        QDBusConnection::disconnectFromBus(QStringLiteral("service-test"));
    }
    QDBusConnection Connect(const QString& name) {
        return QDBusConnection::connectToBus(bus.address(), name);
    }
    // Puts the fake service on the bus under the well-known name.
    bool Serve(FakeNotificationService& service) {
        QDBusConnection connection = Connect(QStringLiteral("service-test"));
        return connection.isConnected() &&
               connection.registerObject(kPath, &service, QDBusConnection::ExportAllSlots) &&
               connection.registerService(kService);
    }

    PrivateSessionBus bus;
};

AlarmEvents VoltageAlarmOnA0_3(AlarmRules& rules) {
    return rules.OnReading({battery::kDeviceA0, 3}, 0x71, 12.5, 25.0, kT0);
}

TEST_F(DesktopNotifierTest, raisedAlarmsArriveAtTheServiceWithBatteryAndCondition) {
    FakeNotificationService service;
    ASSERT_TRUE(Serve(service));
    DesktopNotifier notifier(Connect(QStringLiteral("batmon-test")));
    QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
    AlarmRules rules;

    ASSERT_TRUE(notifier.NotifyRaised(VoltageAlarmOnA0_3(rules)));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return delivered.count() == 1; }));
    ASSERT_EQ(service.received.size(), 1u);
    const auto& one = service.received[0];
    EXPECT_EQ(one.appName, "batmon");
    EXPECT_TRUE(one.summary.contains("A0-83")) << one.summary.toStdString();
    EXPECT_TRUE(one.summary.contains("电压异常")) << one.summary.toStdString();
    EXPECT_EQ(one.hints.value("urgency").toInt(), 2);
    EXPECT_EQ(delivered[0][0].toUInt(), 1u);

    // A lost port silences fourteen batteries in one go: one notification lists them.
    rules.OnMonitoringStarted(kT0);
    ASSERT_TRUE(notifier.NotifyRaised(rules.OnPortLost(kT0 + 1000)));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return delivered.count() == 2; }));
    ASSERT_EQ(service.received.size(), 2u);
    const auto& many = service.received[1];
    EXPECT_TRUE(many.summary.contains("14")) << many.summary.toStdString();
    EXPECT_TRUE(many.body.contains("A0-80 通信中断")) << many.body.toStdString();
    EXPECT_TRUE(many.body.contains("共14项")) << many.body.toStdString();

    // Cleared and acknowledged alarms are not announced.
    const AlarmEvents cleared =
        rules.OnReading({battery::kDeviceA0, 3}, 0x11, 12.5, 25.0, kT0 + 2000);
    ASSERT_FALSE(cleared.empty());
    EXPECT_FALSE(notifier.NotifyRaised(cleared));
    EXPECT_EQ(notifier.PendingCalls(), 0);
}

TEST_F(DesktopNotifierTest, withoutAServiceOrABusNothingWaitsAndNothingBreaks) {
    DesktopNotifier notifier(Connect(QStringLiteral("batmon-test")));
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    AlarmRules rules;

    QElapsedTimer sending;
    sending.start();
    EXPECT_TRUE(notifier.NotifyRaised(VoltageAlarmOnA0_3(rules)));
    EXPECT_LT(sending.elapsed(), 500 * testsupport::kSlowdown) << "the caller never waits";
    ASSERT_TRUE(testsupport::WaitUntil([&] { return failed.count() == 1; }));
    EXPECT_EQ(notifier.PendingCalls(), 0);

    // No session bus at all (DBUS_SESSION_BUS_ADDRESS pointing nowhere).
    DesktopNotifier busless(QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("batmon-nobus")));
    QSignalSpy busFailed(&busless, &DesktopNotifier::failed);
    AlarmRules freshRules;
    EXPECT_FALSE(busless.NotifyRaised(VoltageAlarmOnA0_3(freshRules)));
    EXPECT_EQ(busFailed.count(), 1);
    QDBusConnection::disconnectFromBus(QStringLiteral("batmon-nobus"));

    // The program's own choice, the session bus, on a machine without one.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QElapsedTimer connecting;
    connecting.start();
    DesktopNotifier sessionless(QDBusConnection::sessionBus());
    QSignalSpy sessionFailed(&sessionless, &DesktopNotifier::failed);
    AlarmRules otherRules;
    EXPECT_FALSE(sessionless.NotifyRaised(VoltageAlarmOnA0_3(otherRules)));
    EXPECT_EQ(sessionFailed.count(), 1);
    EXPECT_LT(connecting.elapsed(), 1000 * testsupport::kSlowdown);
}

TEST_F(DesktopNotifierTest, aServiceThatNeverAnswersDoesNotPileUpCalls) {
    FakeNotificationService service;
    service.answers = false;
    ASSERT_TRUE(Serve(service));
    DesktopNotifier notifier(Connect(QStringLiteral("batmon-test")));
    AlarmRules rules;
    const AlarmEvents raised = VoltageAlarmOnA0_3(rules);

    int sent = 0;
    for (int i = 0; i < 3 * DesktopNotifier::kMaxPendingCalls; ++i) {
        sent += notifier.NotifyRaised(raised) ? 1 : 0;
    }
    EXPECT_EQ(sent, DesktopNotifier::kMaxPendingCalls);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return service.received.size() == std::size_t{DesktopNotifier::kMaxPendingCalls}; }));
    EXPECT_EQ(notifier.PendingCalls(), DesktopNotifier::kMaxPendingCalls);

    // The service goes away: the unanswered calls end and notifications flow again.
    QDBusConnection::disconnectFromBus(QStringLiteral("service-test"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return notifier.PendingCalls() == 0; }));
    EXPECT_TRUE(notifier.NotifyRaised(raised));
}

}  // namespace

#include "DesktopNotifierTest.moc"
