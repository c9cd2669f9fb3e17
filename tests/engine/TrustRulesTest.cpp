#include <set>

#include "battery/PollRoute.h"
#include "tests/engine/SessionFixture.h"

using testsupport::FakeLink;
using testsupport::PollAnswerBytes;
using testsupport::SessionFixture;
using testsupport::SessionRig;

namespace {

// The step a request asks for, from its address and register.
int StepOfRequest(const QByteArray& request) {
    const int battery = static_cast<std::uint8_t>(request[3]) - 0x80;
    return static_cast<std::uint8_t>(request[0]) == 0xA0 ? battery + 1 : battery + 9;
}

// An answer that names the step it answers in its voltage byte, so a reading shown for another
// step is caught.
QByteArray AnswerNamingStep(const QByteArray& request) {
    return PollAnswerBytes(static_cast<std::uint8_t>(request[0]), 0x11,
                           static_cast<std::uint8_t>(StepOfRequest(request)), 250);
}

// A session whose fake devices answer every request after a delay chosen per request.
struct TrustRig : testsupport::SessionRig {
    // Every answer `delayFor(n)` ms after its request (n counts the requests from 0).
    void AnswerAfter(std::function<qint64(int)> delayFor) {
        link->SetResponder([this, delayFor](const QByteArray& request) {
            return FakeLink::Answer{delayFor(requests++), AnswerNamingStep(request)};
        });
    }

    // Runs `cycles` whole cycles (the last one's hold included), one sampling period apart.
    void RunCycles(int cycles, int periodSeconds = 3) {
        const qint64 cycleMs = periodSeconds <= 2 ? 3000 : periodSeconds * 1000;
        session->SetSamplingPeriodMs(periodSeconds * 1000);
        OpenAndStart();
        clock.Advance((cycles - 1) * cycleMs + 2400 + 300);
    }

    void ExpectEveryReadingOnItsOwnStep() const {
        for (const Accepted& a : accepted)
            EXPECT_EQ(a.reading.RawVoltage, a.step)
                << "a reading of step " << int(a.reading.RawVoltage) << " was shown for step "
                << a.step;
    }

    int requests = 0;
};

class TrustFixture : public ::testing::Test, public TrustRig {};

}  // namespace

TEST_F(TrustFixture, answersBeforeTheNextRequestAreAllShownOnTheirOwnRows) {
    for (const qint64 delay : {0, 3, 50, 120, 149}) {
        SCOPED_TRACE(delay);
        TrustRig run;
        run.AnswerAfter([delay](int) { return delay; });
        run.RunCycles(3, 10);
        EXPECT_EQ(run.accepted.size(), 3u * 14u);
        run.ExpectEveryReadingOnItsOwnStep();
        EXPECT_TRUE(run.lateDevices.empty());
    }
}

TEST_F(TrustFixture, aSlowDeviceNeverHasItsReadingsShownOnAnotherBattery) {
    for (const int period : {3, 10}) {
        for (const qint64 delay :
             {150, 151, 200, 299, 300, 400, 1000, 1100, 1300, 2500, 2700, 2850, 4000}) {
            SCOPED_TRACE(testing::Message() << "delay " << delay << " period " << period);
            TrustRig run;
            run.AnswerAfter([delay](int) { return delay; });
            run.RunCycles(4, period);
            run.ExpectEveryReadingOnItsOwnStep();
            if (delay == 150) continue;  // answers on the very edge of their slot still count
            EXPECT_TRUE(run.accepted.empty()) << "a device that is always late shows nothing";
            EXPECT_FALSE(run.lateDevices.empty()) << "and the lateness is reported";
        }
    }
}

TEST_F(TrustFixture, aSingleLateAnswerCostsItsDeviceThatCycleOnly) {
    // The fifth request of the second cycle (0xA0, battery 4) is answered 200 ms late.
    AnswerAfter([](int n) { return n == 16 + 4 ? 200 : 20; });
    RunCycles(3, 10);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(accepted.size(), 3u * 14u - 8u);
    EXPECT_EQ(lateDevices, std::vector<std::uint8_t>{0xA0});

    // Every 23rd answer late by 180 ms, across both devices and several cycles.
    TrustRig spikes;
    spikes.AnswerAfter([](int n) { return n % 23 == 22 ? 180 : 15; });
    spikes.RunCycles(6);
    spikes.ExpectEveryReadingOnItsOwnStep();
    EXPECT_GT(spikes.accepted.size(), 0u);
}

TEST_F(TrustFixture, aLostAnswerCostsOnlyItsOwnReading) {
    link->SetResponder([](const QByteArray& request) -> std::optional<FakeLink::Answer> {
        if (StepOfRequest(request) == 3 || StepOfRequest(request) == 12) return std::nullopt;
        return FakeLink::Answer{30, AnswerNamingStep(request)};
    });
    RunCycles(1, 10);
    std::set<int> steps;
    for (const Accepted& a : accepted) steps.insert(a.step);
    EXPECT_EQ(steps.size(), 12u);
    EXPECT_FALSE(steps.contains(3) || steps.contains(12));
    EXPECT_TRUE(lateDevices.empty());
}

TEST_F(TrustFixture, slotEdgesDecideWhichRequestAnAnswerBelongsTo) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    // Step 2 goes out at 300: an answer of 0xA0 at 299 is step 1's, at 301 step 2's.
    link->DeliverAt(start + 299, PollAnswerBytes(0xA0, 0x11, 1, 0));
    link->DeliverAt(start + 301, PollAnswerBytes(0xA0, 0x11, 2, 0));
    // Two answers in step 3's slot: 0xA0's block is discarded.
    link->DeliverAt(start + 460, PollAnswerBytes(0xA0, 0x11, 3, 0));
    link->DeliverAt(start + 500, PollAnswerBytes(0xA0, 0x11, 3, 0));
    clock.Advance(1600);
    EXPECT_TRUE(accepted.empty());
    EXPECT_EQ(lateDevices, std::vector<std::uint8_t>{0xA0});
}

TEST_F(TrustFixture, answersAfterTheLastSlotOrInTheOtherDevicesSlotDiscardTheirBlock) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    for (int step = 1; step <= 16; ++step) {
        const std::uint8_t device = step <= 8 ? 0xA0 : 0xA1;
        link->DeliverAt(start + 150 * step + 30,
                        PollAnswerBytes(device, 0x11, static_cast<std::uint8_t>(step), 0));
    }
    // 0xA0 answers once more in 0xA1's first slot (before 0xA0's hold ends at 1500) ...
    link->DeliverAt(start + 1400, PollAnswerBytes(0xA0, 0x11, 8, 0));
    // ... and 0xA1 once more after the cycle's last slot (2400 + 150), inside its hold.
    link->DeliverAt(start + 2600, PollAnswerBytes(0xA1, 0x11, 16, 0));
    clock.Advance(3000);
    EXPECT_TRUE(accepted.empty());
    EXPECT_EQ(lateDevices, (std::vector<std::uint8_t>{0xA0, 0xA1}));
}

TEST_F(TrustFixture, strayBytesAroundAnAnswerDoNotHideItsReading) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    const QByteArray answer1 = PollAnswerBytes(0xA0, 0x11, 1, 0);
    const QByteArray answer2 = PollAnswerBytes(0xA0, 0x11, 2, 0);
    link->DeliverAt(start + 170, QByteArray(1, '\x00') + answer1);
    link->DeliverAt(start + 320, QByteArray(1, '\xFF') + answer2 + answer2.left(5));
    link->DeliverAt(start + 470, PollAnswerBytes(0xA0, 0x11, 3, 0) + answer1.left(7));
    clock.Advance(1500);
    ASSERT_EQ(accepted.size(), 3u);
    ExpectEveryReadingOnItsOwnStep();
}

TEST_F(TrustFixture, anAnswerOfTheOtherDeviceCrowdsTheSlotItArrivesIn) {
    for (const bool strayFirst : {false, true}) {
        SCOPED_TRACE(strayFirst);
        TrustRig run;
        run.OpenAndStart();
        const qint64 start = testsupport::FakeClock::kStartMs;
        for (std::uint8_t step = 1; step <= 8; ++step) {
            const QByteArray own = PollAnswerBytes(0xA0, 0x11, step, 0);
            const QByteArray stray = PollAnswerBytes(0xA1, 0x11, 99, 0);
            const qint64 at = start + 150 * step + 20;
            if (step != 5) {
                run.link->DeliverAt(at, own);
            } else {
                run.link->DeliverAt(at, strayFirst ? stray : own);
                run.link->DeliverAt(at + 10, strayFirst ? own : stray);
            }
        }
        run.clock.Advance(1500);
        EXPECT_TRUE(run.accepted.empty()) << "0xA0's block was shown";
        EXPECT_EQ(run.lateDevices.size(), 2u);
    }
}

TEST_F(TrustFixture, answersShiftedByOneSlotWithTheLastOneLostShowNothing) {
    // Every answer comes 200 ms after its request, one slot late, and the cycle's last answer
    // is lost: no slot of 0xA1's block holds two answers and nothing arrives after the cycle,
    // but its first slot held 0xA0's last answer, so its own answers are shifted too.
    link->SetResponder([this](const QByteArray& request) -> std::optional<FakeLink::Answer> {
        ++requests;
        if (StepOfRequest(request) == 16) return std::nullopt;
        return FakeLink::Answer{200, AnswerNamingStep(request)};
    });
    RunCycles(2, 10);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_TRUE(accepted.empty());
}

TEST_F(TrustFixture, twoAnswersInOneBufferAreTwoAnswersInTheirSlot) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    // An answer sent twice in a row is one answer.
    const QByteArray answer1 = PollAnswerBytes(0xA0, 0x11, 1, 0);
    link->DeliverAt(start + 170, answer1 + answer1);
    // Step 2's answer comes late, together with step 3's, in step 3's slot; step 3's own slot
    // must not take the late reading for battery 3.
    link->DeliverAt(start + 320,
                    PollAnswerBytes(0xA0, 0x11, 2, 0) + PollAnswerBytes(0xA0, 0x11, 3, 0));
    for (std::uint8_t step = 4; step <= 8; ++step)
        link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
    clock.Advance(1500);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(lateDevices, (std::vector<std::uint8_t>{0xA0}));
    EXPECT_TRUE(accepted.empty()) << "0xA0's block was shown";

    // Without the late answer the same block shows, the repeated answer once.
    TrustRig clean;
    clean.OpenAndStart();
    clean.link->DeliverAt(start + 170, answer1 + answer1);
    for (std::uint8_t step = 2; step <= 8; ++step)
        clean.link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
    clean.clock.Advance(1500);
    EXPECT_EQ(clean.accepted.size(), 8u);
    clean.ExpectEveryReadingOnItsOwnStep();
}

TEST_F(TrustFixture, aDamagedAnswerTakesItsSlotSoALateOneBesideItIsTold) {
    const qint64 start = testsupport::FakeClock::kStartMs;
    QByteArray badChecksum = PollAnswerBytes(0xA0, 0x11, 3, 0);
    badChecksum[10] = static_cast<char>(badChecksum[10] ^ 0x5A);
    const QByteArray cutShort = PollAnswerBytes(0xA0, 0x11, 3, 0).left(6);
    // Step 2's answer comes late into step 3's slot, where step 3's own answer is damaged:
    // with a bad checksum in the same read, or cut short in a read of its own.
    for (const bool sameRead : {true, false}) {
        SCOPED_TRACE(sameRead);
        TrustRig run;
        run.OpenAndStart();
        run.link->DeliverAt(start + 170, PollAnswerBytes(0xA0, 0x11, 1, 0));
        if (sameRead) {
            run.link->DeliverAt(start + 470, PollAnswerBytes(0xA0, 0x11, 2, 0) + badChecksum);
        } else {
            run.link->DeliverAt(start + 455, PollAnswerBytes(0xA0, 0x11, 2, 0));
            run.link->DeliverAt(start + 520, cutShort);
        }
        for (std::uint8_t step = 4; step <= 8; ++step)
            run.link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
        run.clock.Advance(1500);
        run.ExpectEveryReadingOnItsOwnStep();
        EXPECT_TRUE(run.accepted.empty()) << "0xA0's block was shown";
        EXPECT_EQ(run.lateDevices, std::vector<std::uint8_t>{0xA0});
    }

    // Alone in its slot, a damaged answer costs only its own reading.
    TrustRig alone;
    alone.OpenAndStart();
    for (std::uint8_t step = 1; step <= 8; ++step) {
        const QByteArray answer =
            step == 3 ? badChecksum : (step == 5 ? cutShort : PollAnswerBytes(0xA0, 0x11, step, 0));
        alone.link->DeliverAt(start + 150 * step + 20, answer);
    }
    alone.clock.Advance(1500);
    alone.ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(alone.accepted.size(), 6u);
    EXPECT_TRUE(alone.lateDevices.empty());
}

TEST_F(SessionFixture, aSetupCommandIntoAClosedPortSendsNothingAndAwaitsNoReply) {
    const Frame frame{0xA1, 0x04, 0x30, 0x00, 0x00, 0x01, 0, 0};
    EXPECT_FALSE(session->SendSetupCommand(SetupCommand::QueryDeviceInfo, frame));
    EXPECT_FALSE(session->Pending().QueryDeviceInfoPending);
    session->OpenPort(QStringLiteral("ttyFAKE"));
    link->Deliver(QByteArray::fromHex("a104300000010000"));
    EXPECT_TRUE(echoes.empty()) << "the first buffer after a later open is no reply";
}
