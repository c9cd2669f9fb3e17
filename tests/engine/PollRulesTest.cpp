#include <QFile>

#include "battery/PollRoute.h"
#include "tests/engine/SessionFixture.h"

using testsupport::PollAnswerBytes;
using testsupport::PollFrameOfStep;
using testsupport::SessionFixture;

namespace {

std::vector<int> AllSteps() {
    std::vector<int> steps(16);
    for (int i = 0; i < 16; ++i) steps[i] = i + 1;
    return steps;
}

}  // namespace

// Pacing: sixteen requests 150 ms apart per sampling period.

TEST_F(SessionFixture, aCycleSendsTheSixteenRequestsInOrder150msApartAndAgainOnePeriodLater) {
    OpenAndStart();
    clock.Advance(2400);
    ASSERT_EQ(SentSteps(), AllSteps());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(link->SentFrames()[i].atMs, 150 * (i + 1));

    clock.Advance(10150 - 2400 - 1);
    EXPECT_EQ(link->SentFrames().size(), 16u) << "nothing between the cycles";
    clock.Advance(1);
    ASSERT_EQ(link->SentFrames().size(), 17u);
    EXPECT_EQ(link->SentFrames()[16].atMs, 10150);
    EXPECT_EQ(link->SentFrames()[16].bytes, PollFrameOfStep(1));
}

TEST_F(SessionFixture, periodsShorterThanACycleStartTheNextCycleAtTheFirstTickAfterItEnds) {
    int samplingTicks = 0;
    QObject::connect(session.get(), &MonitorSession::SamplingTimerFired, [&] { ++samplingTicks; });
    session->SetSamplingPeriodMs(1000);
    OpenAndStart();
    clock.Advance(9000);
    std::vector<qint64> cycleStarts;
    for (const auto& sent : link->SentFrames())
        if (sent.bytes == PollFrameOfStep(1)) cycleStarts.push_back(sent.atMs);
    EXPECT_EQ(cycleStarts, (std::vector<qint64>{150, 3150, 6150}));
    EXPECT_EQ(samplingTicks, 9) << "ticks inside a cycle are reported all the same";
}

TEST_F(SessionFixture, aTwoSecondPeriodSkipsTheTickInsideTheCycle) {
    session->SetSamplingPeriodMs(2000);
    OpenAndStart();
    clock.Advance(8200);
    std::vector<qint64> cycleStarts;
    for (const auto& sent : link->SentFrames())
        if (sent.bytes == PollFrameOfStep(1)) cycleStarts.push_back(sent.atMs);
    EXPECT_EQ(cycleStarts, (std::vector<qint64>{150, 4150, 8150}));
}

TEST_F(SessionFixture, startingAgainMidCycleRestartsAtStepOneWithoutMovingTheSamplingPhase) {
    OpenAndStart();
    clock.Advance(7 * 150);
    session->StartMonitoring();
    clock.Advance(150);
    EXPECT_EQ(link->SentFrames().back().bytes, PollFrameOfStep(1));
    clock.Advance(15 * 150);
    EXPECT_EQ(SentSteps().size(), 7u + 16u);

    // Pressed again between cycles: the next cycle starts 150 ms later, the period keeps its
    // phase (the tick at 10 s still finds the pacing timer stopped and starts another cycle).
    clock.Advance(5000 - clock.Elapsed());
    session->StartMonitoring();
    clock.Advance(150);
    EXPECT_EQ(link->SentFrames().back().atMs, 5150);
    EXPECT_EQ(link->SentFrames().back().bytes, PollFrameOfStep(1));
    clock.Advance(10150 - clock.Elapsed());
    EXPECT_EQ(link->SentFrames().back().atMs, 10150);
    EXPECT_EQ(link->SentFrames().back().bytes, PollFrameOfStep(1));
}

TEST_F(SessionFixture, periodZeroLetsTheRunningCycleFinishAndStartsNoOther) {
    OpenAndStart();
    clock.Advance(1000);
    session->SetSamplingPeriodMs(0);
    clock.Advance(60000);
    EXPECT_EQ(SentSteps(), AllSteps());
}

TEST_F(SessionFixture, aClosedPortKeepsTheCycleSteppingAndSendsNothing) {
    session->StartMonitoring();
    clock.Advance(2400);
    EXPECT_TRUE(link->SentFrames().empty());
    ASSERT_EQ(ticks.size(), 16u);
    EXPECT_TRUE(ticks[0].clearLogFirst);
    EXPECT_TRUE(ticks[8].clearCharts);
    EXPECT_TRUE(ticks[15].stopPacing);
    EXPECT_EQ(session->Poll().SentStep, 16);
}

// Read interval: 500 ms once the port opens, 20 ms from the first pacing tick on.

TEST_F(SessionFixture, readIntervalIs500msAtOpenAnd20msBeforeEveryPollRequest) {
    session->OpenPort(QStringLiteral("ttyFAKE"));
    EXPECT_EQ(link->ReadIntervals(), std::vector<int>{500});
    session->StartMonitoring();
    clock.Advance(300);
    EXPECT_EQ(link->ReadIntervals(), (std::vector<int>{500, 20, 20}));

    session->ClosePort();
    session->OpenPort(QStringLiteral("ttyFAKE"));
    EXPECT_EQ(link->ReadIntervals().back(), 500) << "a reopen goes back to 500 until the next tick";
}

TEST_F(SessionFixture, answersInTheirSlotAreShownForTheirStepOnceTheBlockHasEnded) {
    link->SetResponder(
        [](const QByteArray& request) -> std::optional<testsupport::FakeLink::Answer> {
            const auto address = static_cast<std::uint8_t>(request[0]);
            const auto battery = static_cast<std::uint8_t>(request[3]);
            return testsupport::FakeLink::Answer{40, PollAnswerBytes(address, 0x11, battery, 250)};
        });
    OpenAndStart();
    clock.Advance(kFirstBlockJudgedMs - 1);
    EXPECT_TRUE(accepted.empty())
        << "0xA0's readings wait for the end of the slot after its block, and one slot more";
    clock.Advance(1);
    EXPECT_EQ(accepted.size(), 8u);
    clock.Advance(kCycleJudgedMs - 1 - clock.Elapsed());
    EXPECT_EQ(accepted.size(), 8u) << "0xA1's readings wait two slots after the cycle's last";
    clock.Advance(1);
    ASSERT_EQ(accepted.size(), 14u) << "steps 15 and 16 carry no reading";
    for (int i = 0; i < 14; ++i) {
        const int step = i + 1;
        EXPECT_EQ(accepted[i].step, step);
        EXPECT_EQ(accepted[i].reading.RawVoltage, 0x80 + battery::BatteryOfStep(step).battery);
        EXPECT_EQ(accepted[i].arrivalMs, testsupport::FakeClock::kStartMs + 150 * step + 40);
    }
    EXPECT_FALSE(session->Poll().PollCycleActive) << "the answer to step 16 ends decoding";
}

// Set-up replies: the next buffer is echoed once per awaiting command, in a fixed order.

TEST_F(SessionFixture, theNextBufferIsEchoedOncePerAwaitingCommandInTheirFixedOrder) {
    session->OpenPort(QStringLiteral("ttyFAKE"));
    const Frame frame{0xA1, 0x06, 0x03, 0x00, 0x01, 0xA1, 0, 0};
    session->SendSetupCommand(SetupCommand::AuthorizeModule, frame);
    session->SendSetupCommand(SetupCommand::SetDeviceInfo, frame);
    session->SendSetupCommand(SetupCommand::QueryDeviceInfo, frame);
    EXPECT_EQ(link->SentFrames().size(), 3u);

    const QByteArray reply = QByteArray::fromHex("a10603000101");
    link->Deliver(reply);
    ASSERT_EQ(echoes.size(), 3u);
    EXPECT_EQ(echoes[0].command, SetupCommand::SetDeviceInfo);
    EXPECT_EQ(echoes[1].command, SetupCommand::QueryDeviceInfo);
    EXPECT_EQ(echoes[2].command, SetupCommand::AuthorizeModule);
    for (const auto& echo : echoes) EXPECT_EQ(echo.reply, reply);

    link->Deliver(reply);
    EXPECT_EQ(echoes.size(), 3u) << "only the first buffer after the commands is a reply";

    session->SendSetupCommand(SetupCommand::QueryDeviceInfo, frame);
    link->Deliver(reply);
    ASSERT_EQ(echoes.size(), 4u);
    EXPECT_EQ(echoes[3].command, SetupCommand::QueryDeviceInfo);
}

// Port state: reported on open, close and hang-up, and read from the link, not from a caption.

TEST_F(SessionFixture, portStateFollowsOpenCloseHangUpAndFailedOpens) {
    std::vector<QString> events;
    QObject::connect(session.get(), &MonitorSession::PortOpened,
                     [&](const QString& name) { events.push_back("opened " + name); });
    QObject::connect(session.get(), &MonitorSession::PortOpenFailed,
                     [&](const QString& name, const QString& reason) {
                         events.push_back("failed " + name + ": " + reason);
                     });
    QObject::connect(session.get(), &MonitorSession::PortClosed,
                     [&](bool hungUp) { events.push_back(hungUp ? "hung up" : "closed"); });

    link->FailNextOpen(QStringLiteral("busy"));
    session->OpenPort(QStringLiteral("COM1"));
    EXPECT_FALSE(session->PortOpen());
    session->OpenPort(QStringLiteral("COM1"));
    EXPECT_TRUE(session->PortOpen());
    EXPECT_EQ(link->OpenedName(), QStringLiteral("COM1"));
    session->ClosePort();
    EXPECT_FALSE(session->PortOpen());
    session->OpenPort(QStringLiteral("COM2"));
    session->StartMonitoring();
    link->HangUp();
    EXPECT_FALSE(session->PortOpen());
    clock.Advance(2400);
    EXPECT_TRUE(link->SentFrames().empty()) << "nothing goes out after the hang-up";

    EXPECT_EQ(events, (std::vector<QString>{"failed COM1: busy", "opened COM1", "closed",
                                            "opened COM2", "hung up"}));
}

// The engine runs where no display is: its test binary does not even load Qt GUI.

TEST(EngineLinkage, theEngineTestsRunWithoutQtGuiLoaded) {
    QFile maps(QStringLiteral("/proc/self/maps"));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_FALSE(mapped.contains("libQt6Gui")) << "Qt GUI is mapped into the engine's tests";
    EXPECT_FALSE(mapped.contains("libQt6Widgets"));
    EXPECT_TRUE(mapped.contains("libQt6Core"));
}
