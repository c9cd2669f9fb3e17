#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <QTimer>
#include <memory>
#include <optional>

#include "serial/PortName.h"
#include "tests/common/ThreadNames.h"
#include "tests/common/WaitFor.h"
#include "tests/serial/CommRecorder.h"
#include "tests/serial/TcpPeer.h"

using namespace std::chrono_literals;
using testsupport::HoldsFor;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

const TBytes kAnswer = {0xA1, 0x04, 0x06, 0x00, 0x7D, 0x00, 0xFA, 0x00, 0x01, 0x3C, 0x91};

QString TcpName(std::uint16_t port, const char* host = "127.0.0.1") {
    return QStringLiteral("tcp://%1:%2").arg(QLatin1String(host)).arg(port);
}

int CountOpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

struct TOpenOutcome {
    bool Ok = false;
    QString Reason;
};

// A component with the window's settings and a record of its events, opened asynchronously.
struct TTcpRig {
    explicit TTcpRig(const QString& port, std::uint32_t interval = 20) : events(comm) {
        ApplyWindowSettings(comm, port);
        comm.SetReadIntervalTimeout(interval);
        comm.OnOpenResult = [this](TComm* sender, bool ok, const QString& reason) {
            EXPECT_EQ(sender, &comm);
            outcomes.push_back({ok, reason});
        };
    }

    // Starts the open and runs the event loop until its result, counting the turns of a 10 ms
    // timer meanwhile to show that the caller's thread was never held up.
    std::optional<TOpenOutcome> Open(std::chrono::milliseconds timeout = 5s) {
        const std::size_t before = outcomes.size();
        QElapsedTimer call;
        call.start();
        comm.BeginOpenComm();
        beginMs = call.elapsed();
        ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [this] { ++ticks; });
        ticker.start(10);
        if (!WaitUntil([&] { return outcomes.size() > before; }, timeout)) return std::nullopt;
        resultMs = call.elapsed();
        return outcomes.back();
    }

    bool Receive(std::size_t bytes) {
        const bool arrived = WaitUntil([&] { return events.BytesReceived() >= bytes; });
        return arrived && HoldsFor([&] { return events.BytesReceived() == bytes; }, 80ms);
    }

    TComm comm;
    TCommRecorder events;
    std::vector<TOpenOutcome> outcomes;
    qint64 beginMs = 0;
    qint64 resultMs = 0;
    int ticks = 0;
};

bool RoundTrip(TComm& comm, TTcpPeer& peer, const TBytes& bytes) {
    if (!comm.WriteCommBuffer(bytes.data(), static_cast<std::uint16_t>(bytes.size()))) return false;
    TBytes seen;
    WaitUntil([&] {
        const TBytes more = peer.Drain();
        seen.insert(seen.end(), more.begin(), more.end());
        return seen.size() >= bytes.size();
    });
    return seen == bytes;
}

int SocketOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
}

}  // namespace

TEST(TcpPortName, acceptsHostNamesIpv4AndBracketedIpv6WithAPort) {
    const auto name = ParseTcpPortName("tcp://rs485-gw:4196");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->Host, "rs485-gw");
    EXPECT_EQ(name->Port, 4196);
    EXPECT_EQ(ParseTcpPortName("TCP://127.0.0.7:502")->Host, "127.0.0.7");
    const auto ipv6 = ParseTcpPortName("tcp://[fe80::1:2]:65535");
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->Host, "fe80::1:2");
    EXPECT_EQ(ipv6->Port, 65535);

    for (const char* bad : {"tcp://gw", "tcp://gw:", "tcp://:4196", "tcp://gw:0", "tcp://gw:65536",
                            "tcp://gw:41x6", "tcp://::1:4196", "tcp://[::1]", "tcp://gw:4196/x",
                            "tcp://user@gw:4196", "tcp://g w:4196", "udp://gw:4196"}) {
        EXPECT_FALSE(ParseTcpPortName(bad)) << bad;
    }
    EXPECT_TRUE(IsTcpPortName("Tcp://gw"));
    EXPECT_FALSE(IsTcpPortName("ttyUSB0"));
    EXPECT_FALSE(IsTcpPortName("/dev/tcp"));
}

TEST(TcpOpen, connectsWithoutHoldingTheCallerAndCarriesBytesBothWays) {
    TTcpPeer peer;
    ASSERT_TRUE(peer.Listening());
    TTcpRig rig(TcpName(peer.Port()));
    const std::optional<TOpenOutcome> outcome = rig.Open();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->Ok) << outcome->Reason.toStdString();
    EXPECT_LT(rig.beginMs, 100);
    EXPECT_FALSE(rig.comm.IsOpening());
    EXPECT_GT(rig.comm.ComHandle(), 2u);
    EXPECT_EQ(rig.comm.CommName(), TcpName(peer.Port())) << "kept as typed for the status line";
    ASSERT_TRUE(peer.Accept());

    const int fd = static_cast<int>(rig.comm.ComHandle());
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(SocketOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_GT(SocketOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);

    ASSERT_TRUE(WaitUntil([&] { return rig.events.SendDataEmpty == 1; }));
    EXPECT_TRUE(RoundTrip(rig.comm, peer, Sequence(8)));
    EXPECT_TRUE(RoundTrip(rig.comm, peer, Sequence(3000, 9))) << "a block larger than a segment";
    peer.Send(kAnswer);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 1u);
    EXPECT_EQ(rig.events.Buffers[0], kAnswer);
    EXPECT_EQ(rig.events.BuffersWithoutTerminator, 0);

    // Line settings do not apply to a connection and are simply stored.
    rig.comm.SetBaudRate(19200);
    rig.comm.SetParityCheck(true);
    EXPECT_TRUE(RoundTrip(rig.comm, peer, Sequence(4)));
    rig.comm.CloseComm();
    EXPECT_EQ(rig.comm.ComHandle(), 0u);
    EXPECT_EQ(rig.events.Hangups, 0);
}

TEST(TcpOpen, synchronousOpenConnectsToo) {
    TTcpPeer peer;
    ASSERT_TRUE(peer.Listening());
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, TcpName(peer.Port(), "localhost"));
    ASSERT_NO_THROW(comm.OpenComm());
    ASSERT_TRUE(peer.Accept());
    EXPECT_TRUE(RoundTrip(comm, peer, Sequence(8)));
}

TEST(TcpOpen, reachesAnIpv6Literal) {
    TTcpPeer peer(0, true);
    if (!peer.Listening()) GTEST_SKIP() << "no IPv6 loopback here";
    TTcpRig rig(QStringLiteral("tcp://[::1]:%1").arg(peer.Port()));
    const std::optional<TOpenOutcome> outcome = rig.Open();
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->Ok) << outcome->Reason.toStdString();
    ASSERT_TRUE(peer.Accept());
    EXPECT_TRUE(RoundTrip(rig.comm, peer, Sequence(8)));
}

TEST(TcpReceive, anAnswerSplitIntoTwoSegmentsInsideTheIntervalIsOneBuffer) {
    TTcpPeer peer;
    TTcpRig rig(TcpName(peer.Port()), 20);
    ASSERT_TRUE(rig.Open().value_or(TOpenOutcome{}).Ok);
    ASSERT_TRUE(peer.Accept());
    const TBytes head(kAnswer.begin(), kAnswer.begin() + 5);
    const TBytes tail(kAnswer.begin() + 5, kAnswer.end());

    peer.SendShaped({head, tail}, 5ms);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 1u) << "5 ms between the segments, interval 20 ms";
    EXPECT_EQ(rig.events.Buffers[0], kAnswer);

    rig.events.Buffers.clear();
    peer.SendShaped({head, tail}, 60ms);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 2u) << "60 ms between the segments";
    EXPECT_EQ(rig.events.Buffers[0], head);
    EXPECT_EQ(rig.events.Buffers[1], tail);
}

TEST(TcpEnd, theServerClosingOrResettingIsOneHangupWithinASecond) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        TTcpPeer peer;
        TTcpRig rig(TcpName(peer.Port()), 500);
        ASSERT_TRUE(rig.Open().value_or(TOpenOutcome{}).Ok);
        ASSERT_TRUE(peer.Accept());
        peer.Send(Sequence(5));  // pending in the reader's interval when the server goes

        // Requests keep going out every 20 ms, as the poll cycle does, so the writer also meets
        // the closed connection.
        QTimer requests;
        QObject::connect(&requests, &QTimer::timeout, [&] {
            rig.comm.WriteCommBuffer(kAnswer.data(), static_cast<std::uint16_t>(kAnswer.size()));
        });
        requests.start(20);
        QElapsedTimer gone;
        gone.start();
        peer.CloseConnection(reset);
        ASSERT_TRUE(WaitUntil([&] { return rig.events.Hangups == 1; }, 5s));
        EXPECT_LT(gone.elapsed(), 1000 * kSlowdown);
        EXPECT_TRUE(HoldsFor([&] { return rig.events.Hangups == 1; }, 300ms));
        requests.stop();
        if (!reset) {
            EXPECT_EQ(rig.events.BytesReceived(), 5u) << "bytes before the close arrive";
        }
        rig.comm.CloseComm();
    }
}

TEST(TcpEnd, reopensOnceTheServerIsBack) {
    std::uint16_t port = 0;
    TComm comm;
    TCommRecorder events(comm);
    std::vector<TOpenOutcome> outcomes;
    comm.OnOpenResult = [&](TComm*, bool ok, const QString& reason) {
        outcomes.push_back({ok, reason});
    };
    {
        TTcpPeer peer;
        port = peer.Port();
        ApplyWindowSettings(comm, TcpName(port));
        comm.BeginOpenComm();
        ASSERT_TRUE(WaitUntil([&] { return outcomes.size() == 1; }));
        ASSERT_TRUE(outcomes[0].Ok);
        ASSERT_TRUE(peer.Accept());
        peer.CloseConnection();
        ASSERT_TRUE(WaitUntil([&] { return events.Hangups == 1; }));
    }
    comm.CloseComm();  // what the window does on a hang-up

    comm.BeginOpenComm();
    ASSERT_TRUE(WaitUntil([&] { return outcomes.size() == 2; }));
    EXPECT_FALSE(outcomes[1].Ok) << "nobody listens while the server is away";

    TTcpPeer back(port);
    ASSERT_TRUE(back.Listening());
    comm.BeginOpenComm();
    ASSERT_TRUE(WaitUntil([&] { return outcomes.size() == 3; }));
    EXPECT_TRUE(outcomes[2].Ok) << outcomes[2].Reason.toStdString();
    ASSERT_TRUE(back.Accept());
    EXPECT_TRUE(RoundTrip(comm, back, Sequence(8)));
    back.Send(kAnswer);
    ASSERT_TRUE(WaitUntil([&] { return events.BytesReceived() == kAnswer.size(); }));
    EXPECT_EQ(events.Hangups, 1);
}

TEST(TcpOpenFailures, aRefusedConnectionReportsItsReasonAndLeavesNothingBehind) {
    const int descriptorsBefore = CountOpenDescriptors();
    TTcpRig rig(TcpName(RefusingPort()));
    const std::optional<TOpenOutcome> outcome = rig.Open();
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->Ok);
    EXPECT_EQ(outcome->Reason, QStringLiteral("连接被拒绝"));
    EXPECT_FALSE(rig.comm.IsOpening());
    EXPECT_EQ(rig.comm.ComHandle(), 0u);
    EXPECT_FALSE(rig.comm.WriteCommBuffer(kAnswer.data(), 4));
    EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore);

    try {
        rig.comm.OpenComm();
        ADD_FAILURE() << "a refused synchronous open must throw";
    } catch (const ECommsError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()),
                  QStringLiteral("Error opening serial port: 连接被拒绝"));
    }
    EXPECT_EQ(rig.comm.ComHandle(), 0u);

    rig.comm.SetCommName("tcp://127.0.0.1");
    const std::optional<TOpenOutcome> malformed = rig.Open();
    ASSERT_TRUE(malformed);
    EXPECT_FALSE(malformed->Ok);
    EXPECT_TRUE(malformed->Reason.contains("tcp://")) << malformed->Reason.toStdString();
    EXPECT_EQ(rig.outcomes.size(), 2u) << "one result per attempt";
}

TEST(TcpOpenFailures, anUnansweredConnectTimesOutInThreeSecondsWhileTheLoopTurns) {
    TBlackHole hole;
    if (!hole.Ready()) GTEST_SKIP() << "could not fill the accept queue";
    TTcpRig rig(TcpName(hole.Port()));
    const std::optional<TOpenOutcome> outcome = rig.Open(10s);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->Ok);
    EXPECT_EQ(outcome->Reason, QStringLiteral("连接超时"));
    EXPECT_LT(rig.beginMs, 100) << "BeginOpenComm returned at once";
    EXPECT_GE(rig.resultMs, 2900);
    EXPECT_LE(rig.resultMs, 3700);
    EXPECT_GT(rig.ticks, 100) << "the event loop kept turning while the connect waited";
    EXPECT_EQ(rig.comm.ComHandle(), 0u);
}

TEST(TcpOpenFailures, closingOrDestroyingDuringAConnectAbandonsIt) {
    TBlackHole hole;
    if (!hole.Ready()) GTEST_SKIP() << "could not fill the accept queue";
    TTcpPeer peer;
    ASSERT_TRUE(peer.Listening());
    const int descriptorsBefore = CountOpenDescriptors();
    auto rig = std::make_unique<TTcpRig>(TcpName(hole.Port()));
    rig->comm.BeginOpenComm();
    EXPECT_TRUE(rig->comm.IsOpening());
    EXPECT_THROW(rig->comm.OpenComm(), ECommsError) << "already being opened";
    EXPECT_TRUE(HoldsFor([&] { return rig->outcomes.empty(); }, 100ms));
    rig->comm.CloseComm();
    EXPECT_FALSE(rig->comm.IsOpening());

    // The next attempt runs on the same connector: the abandoned one must not hold it up.
    rig->comm.SetCommName(TcpName(peer.Port()));
    const std::optional<TOpenOutcome> reopened = rig->Open();
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->Ok) << reopened->Reason.toStdString();
    EXPECT_LT(rig->resultMs, 1000 * kSlowdown);
    rig->comm.CloseComm();
    EXPECT_TRUE(HoldsFor([&] { return rig->outcomes.size() == 1; }, 3500ms))
        << "an abandoned attempt reports nothing, not even its time-out";

    rig->comm.SetCommName(TcpName(hole.Port()));
    rig->comm.BeginOpenComm();  // destroyed while this attempt waits
    EXPECT_TRUE(
        WaitUntil([] { return testsupport::ThreadNames().contains(QStringLiteral("connect")); }));
    QElapsedTimer destroying;
    destroying.start();
    rig.reset();
    EXPECT_LT(destroying.elapsed(), 500 * kSlowdown)
        << "the connector ends at once on its cancel signal";
    // Qt lets a joined thread's last steps run on after the join returns.
    EXPECT_TRUE(WaitUntil(
        [] { return !testsupport::ThreadNames().contains(QStringLiteral("connect")); }, 2s))
        << "the connector's thread ended";
    EXPECT_TRUE(WaitUntil([&] { return CountOpenDescriptors() == descriptorsBefore; }))
        << "every socket of the attempts is closed";
}

TEST(TcpOpen, beginOpenReportsTtysThroughTheEventLoopToo) {
    testsupport::PtyDevice device;
    TTcpRig rig(device.SlavePath());
    const std::optional<TOpenOutcome> opened = rig.Open();
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->Ok);
    EXPECT_GT(rig.comm.ComHandle(), 2u);
    rig.comm.CloseComm();

    rig.comm.SetCommName("/dev/batmon-no-such-port");
    const std::optional<TOpenOutcome> failed = rig.Open();
    ASSERT_TRUE(failed);
    EXPECT_FALSE(failed->Ok);
    EXPECT_EQ(failed->Reason, QStringLiteral("Error opening serial port"));
}
