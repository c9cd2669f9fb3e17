#include "tests/engine/SessionFixture.h"

using testsupport::FakeLink;
using testsupport::PollAnswerBytes;

namespace {

int StepOfRequest(const QByteArray& request) {
    const int battery = static_cast<std::uint8_t>(request[3]) - 0x80;
    return static_cast<std::uint8_t>(request[0]) == 0xA0 ? battery + 1 : battery + 9;
}

// A session whose devices answer each request as `answer` decides, 20 ms after it.
struct CountsRig : testsupport::SessionRig {
    void Answer(
        std::function<std::optional<QByteArray>(int step, const QByteArray& request)> answer) {
        link->SetResponder([answer](const QByteArray& request) -> std::optional<FakeLink::Answer> {
            const auto bytes = answer(StepOfRequest(request), request);
            if (!bytes) return std::nullopt;
            return FakeLink::Answer{20, *bytes};
        });
    }
    // Runs `cycles` cycles, 3 s apart, the last one's hold included.
    void RunCycles(int cycles) {
        session->SetSamplingPeriodMs(3000);
        OpenAndStart();
        clock.Advance((cycles - 1) * 3000 + kCycleJudgedMs);
    }
    const AnswerCounts& Counts() const { return session->Counts(); }
};

QByteArray GoodAnswer(const QByteArray& request) {
    return PollAnswerBytes(static_cast<std::uint8_t>(request[0]), 0x11, 120, 250);
}

TEST(AnswerCounts, EveryRequestAnsweredInTimeCountsAsAccepted) {
    CountsRig rig;
    rig.Answer([](int, const QByteArray& request) { return GoodAnswer(request); });
    rig.RunCycles(3);
    EXPECT_EQ(rig.Counts().requests, 48u);
    EXPECT_EQ(rig.Counts().accepted, rig.accepted.size());
    EXPECT_EQ(rig.Counts().accepted, 42u);  // 14 batteries a cycle
    EXPECT_EQ(rig.Counts().lost + rig.Counts().crc + rig.Counts().address + rig.Counts().late, 0u);
}

TEST(AnswerCounts, SilenceDamageAndForeignAddressesAreCountedApart) {
    CountsRig rig;
    rig.Answer([](int step, const QByteArray& request) -> std::optional<QByteArray> {
        if (step == 2) return std::nullopt;  // lost
        QByteArray answer = GoodAnswer(request);
        if (step == 4) answer[5] = char(answer[5] ^ 0x40);  // checksum no longer matches
        if (step == 6) answer = PollAnswerBytes(0xB3, 0x11, 120, 250);  // not a polled device
        return answer;
    });
    rig.RunCycles(2);
    const AnswerCounts& c = rig.Counts();
    EXPECT_EQ(c.requests, 32u);
    EXPECT_EQ(c.crc, 2u);
    EXPECT_EQ(c.address, 2u);
    // Steps 2, 4 and 6 took no answer in their slot.
    EXPECT_EQ(c.lost, 6u);
    EXPECT_EQ(c.accepted, 2u * (14 - 3));
    EXPECT_EQ(c.accepted, rig.accepted.size());
}

TEST(AnswerCounts, LateBlocksAndSetupRepliesAreNotMistakenForDamage) {
    CountsRig rig;
    // 0xA1 always answers two slots late: each of its blocks is discarded.
    rig.link->SetResponder([](const QByteArray& request) -> std::optional<FakeLink::Answer> {
        const bool slow = static_cast<std::uint8_t>(request[0]) == 0xA1;
        return FakeLink::Answer{slow ? 320 : 20, GoodAnswer(request)};
    });
    rig.RunCycles(2);
    EXPECT_EQ(rig.Counts().late, rig.lateDevices.size());
    EXPECT_GE(rig.Counts().late, 2u);
    EXPECT_EQ(rig.Counts().accepted, 16u);  // 0xA0's eight batteries in each cycle

    const std::uint8_t frame[] = {0xA0, 0x10, 0x00};
    ASSERT_TRUE(rig.session->SendSetupCommand(SetupCommand::QueryDeviceInfo, frame));
    const auto crcBefore = rig.Counts().crc;
    rig.link->Deliver(QByteArray("\x01\x02\x03", 3));  // the set-up reply, echoed, not damage
    EXPECT_EQ(rig.Counts().crc, crcBefore);
    rig.link->Deliver(QByteArray("\x01\x02\x03", 3));  // nothing awaited it: damage
    EXPECT_EQ(rig.Counts().crc, crcBefore + 1);
}

}  // namespace

namespace {

TEST(AnswerCounts, RequestsIntoAClosedPortAreNeitherSentNorLost) {
    CountsRig rig;
    rig.Answer([](int, const QByteArray& request) { return GoodAnswer(request); });
    rig.RunCycles(1);
    const AnswerCounts before = rig.Counts();
    rig.link->HangUp();
    rig.clock.Advance(3 * 3000);
    EXPECT_EQ(rig.Counts().requests, before.requests);
    EXPECT_EQ(rig.Counts().lost, before.lost);
}

}  // namespace
