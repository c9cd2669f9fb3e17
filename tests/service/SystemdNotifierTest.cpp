#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "service/ServiceStatus.h"
#include "service/SystemdNotifier.h"
#include "tests/common/WaitFor.h"
#include "tests/service/NotifySocket.h"

using servicetest::NotifyEnvironment;
using servicetest::NotifySocket;
using testsupport::kSlowdown;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

namespace {

const QString kKeepAlive = QStringLiteral("WATCHDOG=1");

}  // namespace

// The keep-alive is sent by the event loop of the notifier's thread and by nothing else: while
// that loop is stuck, none goes out, however long systemd's interval has passed.
TEST(SystemdNotifier, KeepAliveStopsWhileItsEventLoopIsStuck) {
    NotifySocket socket;
    ASSERT_TRUE(socket.IsBound());
    const NotifyEnvironment environment(socket, 200'000);
    SystemdNotifier notifier;
    EXPECT_EQ(notifier.WatchdogInterval(), 200ms);
    ASSERT_TRUE(WaitUntil([&] { return socket.Count(kKeepAlive) >= 2; }, 5s * kSlowdown));

    socket.Clear();
    // The stuck loop: this thread stays away from it for five of systemd's intervals.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(socket.Count(kKeepAlive), 0);
    EXPECT_TRUE(WaitUntil([&] { return socket.Count(kKeepAlive) >= 1; }, 5s * kSlowdown));
}

// Each status goes out once, as one line (a line break in a port's error text must not turn
// the rest into an assignment of its own), and after STOPPING=1 the status stays "stopping"
// while the bus closes down.
TEST(SystemdNotifier, SendsEachStatusOnceAsOneLineAndKeepsStoppingLast) {
    NotifySocket socket;
    ASSERT_TRUE(socket.IsBound());
    const NotifyEnvironment environment(socket, 0);
    SystemdNotifier notifier;
    EXPECT_EQ(notifier.WatchdogInterval(), 0us);

    notifier.Status(QStringLiteral("opening port /dev/ttyUSB0"));
    notifier.Status(QStringLiteral("opening port /dev/ttyUSB0"));
    notifier.Ready();
    notifier.Status(QStringLiteral("port closed: bad\nWATCHDOG=1"));
    notifier.Stopping();
    notifier.Status(QStringLiteral("opening port /dev/ttyUSB0"));
    EXPECT_EQ(
        socket.Assignments(),
        QStringList({QStringLiteral("STATUS=opening port /dev/ttyUSB0"), QStringLiteral("READY=1"),
                     QStringLiteral("STATUS=port closed: bad WATCHDOG=1"),
                     QStringLiteral("STOPPING=1"), QStringLiteral("STATUS=stopping")}));
}

TEST(ServiceStatusLine, SaysThePortTheDevicesAndAFailingStore) {
    BusState state;
    state.portName = QStringLiteral("/dev/ttyUSB0");
    EXPECT_EQ(StatusLine(state), QStringLiteral("opening port /dev/ttyUSB0"));

    state.port = BusState::Port::Closed;
    state.portProblem = QStringLiteral("No such file or directory");
    EXPECT_EQ(
        StatusLine(state),
        QStringLiteral("port /dev/ttyUSB0 closed: No such file or directory; retrying every 3 s"));

    // Until a cycle has ended nothing is known about the devices.
    state.port = BusState::Port::Open;
    state.devices = {DeviceHealth::Silent, DeviceHealth::Silent};
    EXPECT_EQ(StatusLine(state),
              QStringLiteral("port /dev/ttyUSB0 open; first poll cycle running"));
    state.cycleEnded = true;
    state.devices = {DeviceHealth::Late, DeviceHealth::Silent};
    EXPECT_EQ(StatusLine(state),
              QStringLiteral("port /dev/ttyUSB0 open; A0 answering late, A1 silent"));
    state.devices = {DeviceHealth::Answering, DeviceHealth::Answering};
    EXPECT_EQ(StatusLine(state),
              QStringLiteral("port /dev/ttyUSB0 open; A0 answering, A1 answering"));

    state.storeWriting = false;
    state.storeProblem = QStringLiteral("历史记录无法写入: 磁盘已满, 每个采样周期重试");
    EXPECT_EQ(StatusLine(state),
              QStringLiteral("port /dev/ttyUSB0 open; A0 answering, A1 answering; store not "
                             "writing: 历史记录无法写入: 磁盘已满, 每个采样周期重试"));
}
