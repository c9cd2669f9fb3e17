#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "store/DataDir.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/service/BatmondHarness.h"
#include "tests/service/NotifySocket.h"
#include "tools/simctl/SimProcess.h"

using namespace servicetest;
using testsupport::HoldsFor;
using testsupport::kSlowdown;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr auto kLong = std::chrono::seconds(30 * kSlowdown);
const QString kReady = QStringLiteral("READY=1");
const QString kKeepAlive = QStringLiteral("WATCHDOG=1");

// The state letter of a process in /proc/PID/stat ('T' when stopped by a signal).
char ProcessState(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return '?';
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(") ");
    return end < 0 || end + 2 >= line.size() ? '?' : line.at(end + 2);
}

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

}  // namespace

// READY=1 waits for the history store: while another batmon holds it, the status says why
// and the service stays "starting". The bus missing at start does not hold it up; its state
// shows in the status line as it comes, loses a device and goes.
TEST(BatmondSystemd, ReadyOnlyOnceTheStoreIsOpenAndStatusFollowsTheBus) {
    NotifySocket socket;
    ASSERT_TRUE(socket.IsBound());
    const NotifyEnvironment environment(socket, 0);
    BatmondProcess batmond;
    const QByteArray lockPath = QFile::encodeName(store::LockFilePath(batmond.DataDir()));
    const int lock = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);

    const int tcpPort = testservers::FreeLoopbackPort();
    const QString port = QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort);
    ASSERT_TRUE(
        batmond.Start({QStringLiteral("--port"), port, QStringLiteral("--period"),
                       QStringLiteral("1"), QStringLiteral("--data-dir"), batmond.DataDir()}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const QString status = socket.LastStatus();
            return status.startsWith(QStringLiteral("port %1 closed: ").arg(port)) &&
                   status.contains(QStringLiteral("; store not writing: "));
        },
        kLong))
        << socket.LastStatus().toStdString() << batmond.Log().toStdString();
    // The store is retried every period; it stays held, so batmond stays not ready.
    EXPECT_TRUE(HoldsFor([&] { return socket.Count(kReady) == 0; }, 2500ms));

    ::close(lock);
    ASSERT_TRUE(WaitUntil([&] { return socket.Count(kReady) == 1; }, kLong))
        << batmond.Log().toStdString();
    EXPECT_TRUE(QFileInfo::exists(store::HistoryFilePath(batmond.DataDir())));
    EXPECT_FALSE(socket.LastStatus().contains(QStringLiteral("store")))
        << socket.LastStatus().toStdString();

    {
        SimProcess sim;
        ASSERT_TRUE(sim.StartTcp({QStringLiteral("--drop-device"), QStringLiteral("A1")},
                                 static_cast<quint16>(tcpPort)))
            << sim.ErrorText().toStdString();
        ASSERT_TRUE(WaitUntil(
            [&] {
                return socket.LastStatus() ==
                       QStringLiteral("port %1 open; A0 answering, A1 silent").arg(port);
            },
            kLong))
            << socket.LastStatus().toStdString();
        sim.Kill();  // unplugged
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            return socket.LastStatus() ==
                   QStringLiteral("port %1 closed: hung up; retrying every 3 s").arg(port);
        },
        kLong))
        << socket.LastStatus().toStdString();

    EXPECT_TRUE(ExitedWith(batmond.Stop(SIGTERM), 0));
    const QStringList& said = socket.Assignments();
    EXPECT_EQ(said.count(kReady), 1);
    ASSERT_GE(said.size(), 2);
    EXPECT_EQ(said.mid(said.size() - 2),
              QStringList({QStringLiteral("STOPPING=1"), QStringLiteral("STATUS=stopping")}));
}

// The keep-alive comes while batmond polls, stops while it is stuck (here: stopped by
// SIGSTOP), and comes again once it runs. Without a store batmond is ready at once.
TEST(BatmondSystemd, WatchdogKeepAliveStopsWhileBatmondIsStuck) {
    NotifySocket socket;
    ASSERT_TRUE(socket.IsBound());
    const NotifyEnvironment environment(socket, 500'000);
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp()) << sim.ErrorText().toStdString();
    BatmondProcess batmond;
    ASSERT_TRUE(batmond.Start({QStringLiteral("--port"), sim.PortPath(), QStringLiteral("--period"),
                               QStringLiteral("1")}));
    ASSERT_TRUE(WaitUntil([&] { return socket.Count(kReady) == 1; }, kLong))
        << batmond.Log().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return socket.Count(kKeepAlive) >= 3; }, kLong));

    ASSERT_EQ(::kill(batmond.Pid(), SIGSTOP), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(batmond.Pid()) == 'T'; }, kLong));
    socket.Clear();
    EXPECT_TRUE(HoldsFor([&] { return socket.Count(kKeepAlive) == 0; }, 2s));

    ASSERT_EQ(::kill(batmond.Pid(), SIGCONT), 0);
    EXPECT_TRUE(WaitUntil([&] { return socket.Count(kKeepAlive) >= 2; }, kLong));
    EXPECT_TRUE(ExitedWith(batmond.Stop(SIGTERM), 0));
}
