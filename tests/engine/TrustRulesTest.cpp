#include <map>
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

    // Each step's answer comes `delays` ms after its request (nothing for a lost one), 20 ms for
    // a step not listed. On a line `inOrder`, an answer cannot overtake the one before it: it
    // waits behind a late one, as on one serial line; otherwise each comes on its own time.
    void AnswerSteps(std::map<int, std::optional<qint64>> delays, bool inOrder) {
        link->SetResponder(
            [this, delays, inOrder](const QByteArray& request) -> std::optional<FakeLink::Answer> {
                const auto found = delays.find(StepOfRequest(request));
                const std::optional<qint64> delay = found == delays.end() ? 20 : found->second;
                if (!delay) return std::nullopt;
                const qint64 now = clock.MonotonicMs();
                qint64 at = now + *delay;
                if (inOrder) at = lineFreeAt = std::max(at, lineFreeAt);
                return FakeLink::Answer{at - now, AnswerNamingStep(request)};
            });
    }

    // Runs `cycles` whole cycles (the last one's hold included), one sampling period apart.
    void RunCycles(int cycles, int periodSeconds = 3) {
        const qint64 cycleMs = periodSeconds <= 2 ? 3000 : periodSeconds * 1000;
        session->SetSamplingPeriodMs(periodSeconds * 1000);
        OpenAndStart();
        clock.Advance((cycles - 1) * cycleMs + kCycleJudgedMs);
    }

    void ExpectEveryReadingOnItsOwnStep() const {
        for (const Accepted& a : accepted)
            EXPECT_EQ(a.reading.RawVoltage, a.step)
                << "a reading of step " << int(a.reading.RawVoltage) << " was shown for step "
                << a.step;
    }

    std::set<int> ShownSteps() const {
        std::set<int> steps;
        for (const Accepted& a : accepted) steps.insert(a.step);
        return steps;
    }

    int requests = 0;
    qint64 lineFreeAt = 0;
};

// Steps first..last.
std::set<int> Steps(int first, int last) {
    std::set<int> steps;
    for (int step = first; step <= last; ++step) steps.insert(step);
    return steps;
}

std::set<int> Without(std::set<int> steps, std::initializer_list<int> gone) {
    for (const int step : gone) steps.erase(step);
    return steps;
}

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

// One cycle in which some answers come late or not at all, on a line that keeps a device's
// answers in order (an answer waits behind a late one) and on one that lets an answer in time
// overtake a late one: exactly the readings that can be placed show, each on its own row.
TEST_F(TrustFixture, eachSlotPatternShowsExactlyTheReadingsItCanPlace) {
    constexpr std::optional<qint64> kLost;
    const std::set<int> all = Steps(1, 14);
    struct Case {
        const char* pattern;
        std::map<int, std::optional<qint64>> delays;  // by step; 20 ms for the others
        std::set<int> shown;
        std::vector<std::uint8_t> reportedLate;
    };
    const Case cases[] = {
        {"clean blocks", {}, all, {}},
        {"one lost answer in each block", {{3, kLost}, {12, kLost}}, Without(all, {3, 12}), {}},
        {"a late answer beside its successor in the next slot",
         {{3, 200}, {11, 200}},
         Without(all, {3, 4, 11, 12}),
         {}},
        {"a late answer two slots late", {{3, 310}}, Without(all, {3, 4, 5}), {}},
        {"two late answers in one block", {{2, 200}, {6, 200}}, Without(all, {2, 3, 6, 7}), {}},
        // 0xA0's 8 alone in its hold can only be 8's answer; 0xA1's 16 is not shown anyway.
        {"late answers in the blocks' first and last slots",
         {{1, 200}, {8, 200}, {9, 200}, {16, 200}},
         Without(all, {1, 2, 9, 10}),
         {}},
        {"answers shifted by one slot to the block's end",
         {{3, 200}, {4, 200}, {5, 200}, {6, 200}, {7, 200}, {8, 200}},
         Without(all, {3, 4, 5, 6, 7, 8}),
         {}},
        {"one answer so late that it comes in the hold",
         {{3, 960}},
         Without(all, {3, 4, 5, 6, 7, 8}),
         {}},
        {"0xA0's late answer beside 0xA1's first", {{8, 200}}, all, {}},
        {"0xA0's late answer where 0xA1's first is missing: 0xA1's may all run late",
         {{8, 200}, {9, kLost}},
         Steps(1, 8),
         {0xA1}},
    };
    for (const Case& c : cases) {
        for (const bool inOrder : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.pattern << (inOrder ? ", in order" : ""));
            TrustRig run;
            run.AnswerSteps(c.delays, inOrder);
            run.RunCycles(1, 10);
            run.ExpectEveryReadingOnItsOwnStep();
            EXPECT_EQ(run.ShownSteps(), c.shown);
            EXPECT_EQ(run.accepted.size(), c.shown.size()) << "a step was shown twice";
            EXPECT_EQ(run.lateDevices, c.reportedLate);
        }
    }
}

// The one case nothing on the line tells apart: a late answer whose successor was lost comes
// alone in the successor's slot, at a time an answer in time could have come.
TEST_F(TrustFixture, aLateAnswerWhoseSuccessorIsLostIsTakenForTheSuccessor) {
    AnswerSteps({{3, 200}, {4, std::nullopt}}, false);
    RunCycles(1, 10);
    EXPECT_EQ(ShownSteps(), Without(Steps(1, 14), {3}));
    for (const Accepted& a : accepted)
        EXPECT_EQ(a.reading.RawVoltage, a.step == 4 ? 3 : a.step) << "step " << a.step;
}

TEST_F(TrustFixture, aSingleLateAnswerCostsItselfAndTheAnswerBesideIt) {
    // The fifth request of the second cycle (0xA0, battery 4) is answered 200 ms late.
    AnswerAfter([](int n) { return n == 16 + 4 ? 200 : 20; });
    RunCycles(3, 10);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(accepted.size(), 3u * 14u - 2u);
    EXPECT_TRUE(lateDevices.empty()) << "0xA0's block gave readings";

    // Every 23rd answer late by 180 ms, across both devices and several cycles: each costs at
    // most its own reading and the one beside it.
    TrustRig spikes;
    spikes.AnswerAfter([](int n) { return n % 23 == 22 ? 180 : 15; });
    spikes.RunCycles(6);
    spikes.ExpectEveryReadingOnItsOwnStep();
    EXPECT_GE(spikes.accepted.size(), 6u * 14u - 2u * 4u);
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
    // Two answers in step 3's slot while steps 1 and 2 have theirs: one more answer than
    // requests, so some answer of 0xA0 came from before the block and none is certain.
    link->DeliverAt(start + 460, PollAnswerBytes(0xA0, 0x11, 3, 0));
    link->DeliverAt(start + 500, PollAnswerBytes(0xA0, 0x11, 3, 0));
    clock.Advance(kFirstBlockJudgedMs);
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
    // Every request has its answer, yet 0xA0 answers once more in its hold (0xA1's first slot)
    // ...
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
    clock.Advance(kFirstBlockJudgedMs);
    ASSERT_EQ(accepted.size(), 3u);
    ExpectEveryReadingOnItsOwnStep();
}

TEST_F(TrustFixture, anAnswerOfTheOtherDeviceInASlotCostsThatDeviceItsBlockNotTheSlotsReading) {
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
        // 0xA1's answers in its own slots look in time, but one of its answers came in 0xA0's
        // slots: an answer of an earlier cycle, with the others behind it.
        for (std::uint8_t step = 9; step <= 16; ++step)
            run.link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA1, 0x11, step, 0));
        run.clock.Advance(kCycleJudgedMs);
        run.ExpectEveryReadingOnItsOwnStep();
        EXPECT_EQ(run.ShownSteps(), Steps(1, 8)) << "0xA0's own answer is 5's, beside the stray";
        EXPECT_EQ(run.lateDevices, std::vector<std::uint8_t>{0xA1});
    }
}

// Past a block's first slot, the other device's answer where this device's is missing is no sign
// that this device runs late (a misaddressed answer, or that device very late): the slot's
// reading is lost, the others are shown. In the first slot see the case table above.
TEST_F(TrustFixture, anAnswerOfTheOtherDeviceWhereThisOnesIsMissingCostsOnlyThatSlot) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    for (std::uint8_t step = 1; step <= 16; ++step) {
        const std::uint8_t device = step == 12 ? 0xA0 : (step <= 8 ? 0xA0 : 0xA1);
        link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(device, 0x11, step, 0));
    }
    clock.Advance(kCycleJudgedMs);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(ShownSteps(), Without(Steps(1, 14), {12}));
    EXPECT_TRUE(lateDevices.empty());
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
    link->DeliverAt(start + 470,
                    PollAnswerBytes(0xA0, 0x11, 2, 0) + PollAnswerBytes(0xA0, 0x11, 3, 0));
    for (std::uint8_t step = 4; step <= 8; ++step)
        link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
    clock.Advance(kFirstBlockJudgedMs);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(ShownSteps(), (std::set<int>{1, 4, 5, 6, 7, 8}));
    EXPECT_EQ(accepted.size(), 6u) << "the repeated answer counts once";

    // Without the late answer the same block shows whole.
    TrustRig clean;
    clean.OpenAndStart();
    clean.link->DeliverAt(start + 170, answer1 + answer1);
    for (std::uint8_t step = 2; step <= 8; ++step)
        clean.link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
    clean.clock.Advance(kFirstBlockJudgedMs);
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
        run.clock.Advance(kFirstBlockJudgedMs);
        run.ExpectEveryReadingOnItsOwnStep();
        EXPECT_EQ(run.ShownSteps(), (std::set<int>{1, 4, 5, 6, 7, 8}))
            << "step 2's late answer was shown";
        EXPECT_TRUE(run.lateDevices.empty());
    }

    // Alone in its slot, a damaged answer costs only its own reading.
    TrustRig alone;
    alone.OpenAndStart();
    for (std::uint8_t step = 1; step <= 8; ++step) {
        const QByteArray answer =
            step == 3 ? badChecksum : (step == 5 ? cutShort : PollAnswerBytes(0xA0, 0x11, step, 0));
        alone.link->DeliverAt(start + 150 * step + 20, answer);
    }
    alone.clock.Advance(kFirstBlockJudgedMs);
    alone.ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(alone.accepted.size(), 6u);
    EXPECT_TRUE(alone.lateDevices.empty());
}

// Monitoring started again in the middle of 0xA0's block ends that block before its hold: past
// an empty slot nothing says whether the answers behind it were shifted.
TEST_F(TrustFixture, aBlockCutShortKeepsItsAnswersUpToItsFirstEmptySlot) {
    OpenAndStart();
    const qint64 start = testsupport::FakeClock::kStartMs;
    for (const std::uint8_t step : {1, 2, 4, 5})
        link->DeliverAt(start + 150 * step + 20, PollAnswerBytes(0xA0, 0x11, step, 0));
    clock.Advance(800);
    session->StartMonitoring();
    clock.Advance(200);
    ASSERT_EQ(SentSteps(), (std::vector<int>{1, 2, 3, 4, 5, 1}));
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(ShownSteps(), (std::set<int>{1, 2}));
    EXPECT_TRUE(lateDevices.empty());
}

// A read is handed over once no byte has followed for the read interval, so an answer that came
// in the last milliseconds of a hold reaches the session after the hold ended.
TEST_F(TrustFixture, anAnswerInTheHoldHandedOverLateStillCountsInIt) {
    // 0xA0 answers every request 290 ms late: each answer near the end of the next slot, its
    // last one near the end of the hold, handed over 20 ms later, after step 10 went out.
    link->SetDeliveryLagMs(20);
    AnswerSteps({{1, 290}, {2, 290}, {3, 290}, {4, 290}, {5, 290}, {6, 290}, {7, 290}, {8, 290}},
                false);
    RunCycles(1, 10);
    ExpectEveryReadingOnItsOwnStep();
    EXPECT_EQ(ShownSteps(), Steps(9, 14));

    // Handed over only after the block was judged, it cannot change what was released: the
    // device's next block shows nothing.
    TrustRig handedOverLate;
    handedOverLate.AnswerSteps({}, false);
    handedOverLate.link->SetDeliveryLagMs(250);
    handedOverLate.link->DeliverAt(testsupport::FakeClock::kStartMs + 1450,
                                   PollAnswerBytes(0xA0, 0x11, 8, 0));
    handedOverLate.link->SetDeliveryLagMs(0);
    handedOverLate.RunCycles(2);
    handedOverLate.ExpectEveryReadingOnItsOwnStep();
    int firstDevice = 0;
    for (const Accepted& a : handedOverLate.accepted) firstDevice += a.step <= 8;
    EXPECT_EQ(firstDevice, 8) << "0xA0's block of the second cycle was shown";
    EXPECT_EQ(handedOverLate.accepted.size(), 8u + 2u * 6u);
}

TEST_F(SessionFixture, aSetupCommandIntoAClosedPortSendsNothingAndAwaitsNoReply) {
    const Frame frame{0xA1, 0x04, 0x30, 0x00, 0x00, 0x01, 0, 0};
    EXPECT_FALSE(session->SendSetupCommand(SetupCommand::QueryDeviceInfo, frame));
    EXPECT_FALSE(session->Pending().QueryDeviceInfoPending);
    session->OpenPort(QStringLiteral("ttyFAKE"));
    link->Deliver(QByteArray::fromHex("a104300000010000"));
    EXPECT_TRUE(echoes.empty()) << "the first buffer after a later open is no reply";
}
