// batmon-sim as a serial device server: the serial component's TCP link against --tcp-listen.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <algorithm>
#include <span>

#include "protocol/PollTable.h"
#include "protocol/ResponseDecoder.h"
#include "serial/SerialComm.h"
#include "tests/common/WaitFor.h"
#include "tests/tools/SimBusMaster.h"
#include "tools/sim/SimOptions.h"
#include "tools/simctl/SimProcess.h"

using namespace std::chrono_literals;
using testsupport::HoldsFor;
using testsupport::kSlowdown;
using testsupport::WaitUntil;
using Bytes = BusMaster::Bytes;

namespace {

// A component with the window's settings but a short read interval, so that a poll cycle runs
// quickly; the delivery rule is the same.
struct TLink {
    explicit TLink(const QString& port) {
        comm.SetCommName(port);
        comm.SetOutx_CtsFlow(false);
        comm.SetOutx_DsrFlow(false);
        comm.SetReadIntervalTimeout(20);
        comm.OnReceiveData = [this](TComm*, const std::uint8_t* data, std::uint16_t length) {
            buffers.emplace_back(data, data + length);
        };
        comm.OnRequestHangup = [this](TComm*) { ++hangups; };
        comm.OnOpenResult = [this](TComm*, bool ok, const QString& reason) {
            opened = ok;
            reason_ = reason;
            ++results;
        };
    }

    bool Open() {
        const int before = results;
        comm.BeginOpenComm();
        return WaitUntil([&] { return results > before; }) && opened;
    }

    // Sends `frame` and waits for the next delivered buffer.
    std::optional<Bytes> Transact(const Bytes& frame) {
        const std::size_t before = buffers.size();
        if (!comm.WriteCommBuffer(frame.data(), static_cast<std::uint16_t>(frame.size())))
            return std::nullopt;
        if (!WaitUntil([&] { return buffers.size() > before; }, 3s)) return std::nullopt;
        // Whatever follows within the read interval would have joined this buffer.
        HoldsFor([&] { return buffers.size() == before + 1; }, 40ms);
        return buffers[before];
    }

    // The poll cycle's sixteen requests, one after the other, each with its answer.
    std::vector<Bytes> PollCycle() {
        std::vector<Bytes> answers;
        for (const PollRequest& request : PollTable()) {
            answers.push_back(
                Transact(Bytes(request.frame.begin(), request.frame.end())).value_or(Bytes{}));
        }
        return answers;
    }

    TComm comm;
    std::vector<Bytes> buffers;
    int hangups = 0;
    int results = 0;
    bool opened = false;
    QString reason_;
};

std::vector<SimLogEntry> Entries(const SimProcess& sim, const char* dir) {
    std::vector<SimLogEntry> matching;
    for (const SimLogEntry& entry : sim.ReadLog()) {
        if (entry.dir == QLatin1String(dir)) matching.push_back(entry);
    }
    return matching;
}

Bytes ToBytes(const QByteArray& bytes) { return Bytes(bytes.begin(), bytes.end()); }

}  // namespace

TEST(SimTcpOptions, listenAddressesTakeAHostAndAPortAndExcludeTheTtyOptions) {
    using batmonsim::ParseSimOptions;
    const auto v4 = ParseSimOptions({"--tcp-listen", "127.0.0.1:4196"});
    ASSERT_TRUE(v4.options);
    EXPECT_EQ(v4.options->tcpHost, "127.0.0.1");
    EXPECT_EQ(v4.options->tcpPort, 4196);
    const auto v6 = ParseSimOptions({"--tcp-listen=[::1]:0"});
    ASSERT_TRUE(v6.options);
    EXPECT_EQ(v6.options->tcpHost, "::1");
    EXPECT_EQ(v6.options->tcpPort, 0);
    EXPECT_EQ(ParseSimOptions({"--tcp-listen", "localhost:502"}).options->tcpHost, "localhost");

    for (const char* bad : {"4196", ":4196", "host:", "host:65536", "::1:4196", "[]:1", "h:-1"}) {
        EXPECT_FALSE(ParseSimOptions({"--tcp-listen", bad}).options) << bad;
    }
    EXPECT_FALSE(ParseSimOptions({"--tcp-listen", "127.0.0.1:0", "--link", "/tmp/x"}).options);
    EXPECT_FALSE(ParseSimOptions({"--tcp-listen", "127.0.0.1:0", "--device", "/dev/x"}).options);
}

TEST(SimOverTcp, thePollCycleArrivesExactlyAndAnswersDecodeAsOnAPty) {
    SimProcess tcpSim;
    ASSERT_TRUE(tcpSim.StartTcp({"--seed", "7"})) << tcpSim.ErrorText().toStdString();
    EXPECT_TRUE(tcpSim.PortPath().startsWith("tcp://127.0.0.1:"));
    TLink overTcp(tcpSim.PortPath());
    ASSERT_TRUE(overTcp.Open()) << overTcp.reason_.toStdString();
    const std::vector<Bytes> tcpAnswers = overTcp.PollCycle();

    // The same bus with the same seed on a pseudo-terminal gives the reference answers.
    SimProcess ptySim;
    ASSERT_TRUE(ptySim.Start({"--seed", "7"})) << ptySim.ErrorText().toStdString();
    TLink overPty(ptySim.PortPath());
    ASSERT_TRUE(overPty.Open());
    const std::vector<Bytes> ptyAnswers = overPty.PollCycle();

    ASSERT_TRUE(WaitUntil([&] { return Entries(tcpSim, "tx").size() == 16; }));
    const std::vector<SimLogEntry> requests = Entries(tcpSim, "rx");
    const std::vector<SimLogEntry> sent = Entries(tcpSim, "tx");
    ASSERT_EQ(requests.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(testing::Message() << "step " << i + 1);
        const Frame& frame = PollTable()[i].frame;
        EXPECT_EQ(ToBytes(requests[i].bytes), Bytes(frame.begin(), frame.end()))
            << "the request arrived exactly as sent";
        ASSERT_EQ(tcpAnswers[i].size(), 11u) << "one answer, one buffer";
        EXPECT_TRUE(CrcOk(tcpAnswers[i]));
        EXPECT_EQ(tcpAnswers[i], ToBytes(sent[i].bytes));
        EXPECT_EQ(tcpAnswers[i], ptyAnswers[i]);
        const BatteryReading reading = DecodeBatteryReading(std::span(tcpAnswers[i]));
        EXPECT_EQ(reading.RawVoltage, sent[i].voltageRaw);
        EXPECT_EQ(reading.RawTemperature, sent[i].temperatureRaw);
        EXPECT_EQ(reading.StatusCode, sent[i].status);
    }
    EXPECT_EQ(overTcp.hangups, 0);
}

TEST(SimOverTcp, anAnswerSentInTwoSegmentsIsOneBuffer) {
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp({"--split-every", "1", "--split-pause-ms", "5"}))
        << sim.ErrorText().toStdString();
    TLink link(sim.PortPath());
    ASSERT_TRUE(link.Open());
    const std::vector<Bytes> answers = link.PollCycle();
    for (const Bytes& answer : answers) {
        EXPECT_EQ(answer.size(), 11u);
        EXPECT_TRUE(CrcOk(answer));
    }
    const std::vector<SimLogEntry> sent = Entries(sim, "tx");
    ASSERT_EQ(sent.size(), 16u);
    EXPECT_TRUE(std::all_of(sent.begin(), sent.end(),
                            [](const SimLogEntry& entry) { return entry.HasFault("split"); }));
    EXPECT_EQ(link.buffers.size(), 16u);
}

TEST(SimOverTcp, aServerThatGoesAwayIsAHangupAndTheLinkReopensWhenItIsBack) {
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp()) << sim.ErrorText().toStdString();
    const quint16 port = sim.TcpPort();
    ASSERT_NE(port, 0);
    TLink link(sim.PortPath());
    ASSERT_TRUE(link.Open());
    ASSERT_TRUE(link.Transact(PollFrame(0xA0, 0)));

    QElapsedTimer gone;
    gone.start();
    sim.Kill();
    ASSERT_TRUE(WaitUntil([&] { return link.hangups == 1; }, 5s));
    EXPECT_LT(gone.elapsed(), 1000 * kSlowdown);
    link.comm.CloseComm();  // what the window does on a hang-up

    EXPECT_FALSE(link.Open()) << "nobody listens";
    EXPECT_EQ(link.reason_, QStringLiteral("连接被拒绝"));

    ASSERT_TRUE(sim.StartTcp({}, port)) << sim.ErrorText().toStdString();
    ASSERT_TRUE(link.Open()) << link.reason_.toStdString();
    const std::optional<Bytes> answer = link.Transact(PollFrame(0xA1, 3));
    ASSERT_TRUE(answer);
    EXPECT_TRUE(CrcOk(*answer));
    EXPECT_EQ(link.hangups, 1);
}

TEST(SimOverTcp, servesOneClientAtATimeAndTakesTheNextWhenTheFirstLeaves) {
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp()) << sim.ErrorText().toStdString();
    TLink first(sim.PortPath());
    TLink second(sim.PortPath());
    ASSERT_TRUE(first.Open());
    ASSERT_TRUE(first.Transact(PollFrame(0xA0, 1)));
    ASSERT_TRUE(second.Open()) << "queued by the server";

    const Bytes request = PollFrame(0xA0, 2);
    ASSERT_TRUE(second.comm.WriteCommBuffer(request.data(), 8));
    EXPECT_TRUE(HoldsFor([&] { return second.buffers.empty(); }, 300ms))
        << "not served while the first client is";
    ASSERT_TRUE(first.Transact(PollFrame(0xA0, 3))) << "the first client is still served";

    first.comm.CloseComm();
    ASSERT_TRUE(WaitUntil([&] { return !second.buffers.empty(); }))
        << "the request waiting on the second connection is answered once it is taken";
    EXPECT_TRUE(CrcOk(second.buffers[0]));
    EXPECT_EQ(first.hangups + second.hangups, 0);
}
