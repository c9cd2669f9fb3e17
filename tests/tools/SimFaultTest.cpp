// The fault options of batmon-sim: each one visible on the line and in the traffic log.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/common/WaitFor.h"
#include "tests/tools/SimBusMaster.h"
#include "tools/simctl/SimProcess.h"

namespace {

using Bytes = BusMaster::Bytes;
using namespace std::chrono_literals;

std::size_t CountIf(const std::vector<SimLogEntry>& log,
                    const std::function<bool(const SimLogEntry&)>& match) {
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), match));
}

bool IsAnswerRecord(const SimLogEntry& entry) { return entry.dir == "tx" && entry.device >= 0; }

std::vector<SimLogEntry> AnswerRecords(const SimProcess& sim) {
    std::vector<SimLogEntry> answers;
    for (const SimLogEntry& entry : sim.ReadLog()) {
        if (IsAnswerRecord(entry)) answers.push_back(entry);
    }
    return answers;
}

double Milliseconds(BusMaster::Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

TEST(SimFaults, droppedDevicesAndDroppedAnswersStaySilentButAreLogged) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--drop-device", "A0"}));
    BusMaster master(sim.PortPath().toStdString());
    ASSERT_TRUE(master.Send(PollFrame(0xA0, 0)));
    const Bytes answer = master.Transact(PollFrame(0xA1, 0), 11);
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_EQ(answer[0], 0xA1);
    const auto log = sim.ReadLog();
    EXPECT_EQ(CountIf(log,
                      [](const SimLogEntry& e) {
                          return e.dir == "drop" && e.device == 0xA0 && e.fault == "drop_device";
                      }),
              1u);

    // A burst of forty requests: answers go out one after the other, about half are dropped.
    SimProcess lossy;
    ASSERT_TRUE(lossy.Start({"--drop-rate", "0.5", "--seed", "11"}));
    BusMaster lossyMaster(lossy.PortPath().toStdString());
    Bytes burst;
    for (int i = 0; i < 40; ++i) {
        const Bytes frame = PollFrame(i % 2 ? 0xA1 : 0xA0, i % 8);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(lossyMaster.Send(burst));
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        const auto entries = lossy.ReadLog();
        return CountIf(entries, [](const SimLogEntry& e) {
                   return IsAnswerRecord(e) || e.dir == "drop";
               }) == 40;
    }));
    const std::size_t sent = AnswerRecords(lossy).size();
    EXPECT_GT(sent, 8u);
    EXPECT_LT(sent, 32u);
    const Bytes received = lossyMaster.Read(sent * 11);
    EXPECT_EQ(received.size(), sent * 11);
    for (std::size_t at = 0; at + 11 <= received.size(); at += 11) {
        EXPECT_TRUE(CrcOk(Bytes(received.begin() + at, received.begin() + at + 11)));
    }
}

TEST(SimFaults, everyNthAnswerIsCorruptedDoubledOrPrecededByNoise) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--corrupt-every", "3", "--double-every", "4", "--noise-every", "5"}));
    BusMaster master(sim.PortPath().toStdString());
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(master.Send(PollFrame(0xA1, n)));
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] { return AnswerRecords(sim).size() >= static_cast<std::size_t>(n + (n >= 4)); }));
        const auto log = sim.ReadLog();
        Bytes expected;
        std::size_t noiseLength = 0;
        for (const SimLogEntry& entry : log) {
            if (entry.dir == "tx" && entry.device < 0) noiseLength = entry.bytes.size();
        }
        const SimLogEntry last = AnswerRecords(sim).back();
        const Bytes line = master.Read((n == 5 ? noiseLength : 0) + (n == 4 ? 22 : 11));
        const Bytes answer(line.end() - 11, line.end());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(answer.data()), 11), last.bytes);
        EXPECT_EQ(CrcOk(answer), n % 3 != 0);
        EXPECT_EQ(last.HasFault("corrupt"), n % 3 == 0);
        EXPECT_EQ(last.HasFault("double"), n == 4);
        EXPECT_EQ(last.HasFault("noise"), n == 5);
        if (n == 4) {
            EXPECT_EQ(Bytes(line.begin(), line.begin() + 11), answer);
        }
        if (n == 5) {
            EXPECT_GE(noiseLength, 1u);
            EXPECT_LE(noiseLength, 4u);
            EXPECT_EQ(line.size(), noiseLength + 11);
        }
    }
    EXPECT_TRUE(master.ReadAvailable().empty());
}

TEST(SimFaults, splitAnswersPauseInTheMiddle) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--split-every", "2", "--split-pause-ms", "150", "--corrupt-every", "2",
                           "--double-every", "2"}));
    BusMaster master(sim.PortPath().toStdString());
    ASSERT_TRUE(master.Send(PollFrame(0xA0, 1)));
    EXPECT_EQ(master.Read(11).size(), 11u);

    const auto requestAt = BusMaster::Clock::now();
    ASSERT_TRUE(master.Send(PollFrame(0xA0, 2)));
    const auto chunks = master.ReadChunks(22);
    Bytes all;
    for (const auto& chunk : chunks) all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
    ASSERT_EQ(all.size(), 22u);
    // Five bytes, the pause, the rest; then the copy, split the same way.
    EXPECT_EQ(chunks.front().bytes.size(), 5u);
    EXPECT_GE(Milliseconds(chunks.back().at - requestAt), 2 * 150.0);

    ASSERT_TRUE(testsupport::WaitUntil([&] { return AnswerRecords(sim).size() == 3; }));
    const auto answers = AnswerRecords(sim);
    EXPECT_EQ(answers[1].fault, "corrupt,split,double");
    EXPECT_EQ(answers[2].fault, "corrupt,split,double");
    // The pieces keep their schedule: a first write that was late shortens the next gap by as
    // much, so the pause is checked with a few milliseconds' leeway.
    EXPECT_GE(answers[2].monoUs - answers[1].monoUs, 140'000);
    EXPECT_FALSE(CrcOk(Bytes(all.begin(), all.begin() + 11)));
}

TEST(SimFaults, answersKeepTheirDelayAndWirePacing) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());
    ASSERT_EQ(master.Transact(PollFrame(0xA0, 0), 11).size(), 11u);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return sim.ReadLog().size() == 2; }));
    auto log = sim.ReadLog();
    // The default delay is a realistic few milliseconds.
    EXPECT_GE(log[1].monoUs - log[0].monoUs, 2'500);
    EXPECT_LT(log[1].monoUs - log[0].monoUs, 500'000);

    SimProcess slow;
    ASSERT_TRUE(slow.Start({"--delay-ms", "150", "--wire-time", "--double-every", "1"}));
    BusMaster slowMaster(slow.PortPath().toStdString());
    const auto requestAt = BusMaster::Clock::now();
    ASSERT_TRUE(slowMaster.Send(PollFrame(0xA1, 2)));
    const auto chunks = slowMaster.ReadChunks(22);
    ASSERT_FALSE(chunks.empty());
    EXPECT_GE(Milliseconds(chunks.front().at - requestAt), 150.0);
    // The answer and its copy, 22 bytes at 9600 baud: the last byte cannot leave earlier than
    // 21 byte times (about 22 ms) after the first.
    EXPECT_GE(Milliseconds(chunks.back().at - requestAt), 150.0 + 21 * 1.04);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return slow.ReadLog().size() == 3; }));
    log = slow.ReadLog();
    EXPECT_GE(log[1].monoUs - log[0].monoUs, 150'000);
    EXPECT_GE(log[2].monoUs - log[1].monoUs, 10 * 1'040);
}

TEST(SimFaults, everyNthAnswerComesLateByTheGivenTime) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--late-every", "3", "--late-ms", "120", "--delay-ms", "5"}));
    BusMaster master(sim.PortPath().toStdString());
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        const auto requestAt = BusMaster::Clock::now();
        ASSERT_EQ(master.Transact(PollFrame(0xA0, n), 11).size(), 11u);
        const double took = Milliseconds(BusMaster::Clock::now() - requestAt);
        if (n == 3) {
            EXPECT_GE(took, 125.0);
        } else {
            EXPECT_LT(took, 100.0);
        }
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] { return AnswerRecords(sim).size() == 4; }));
    const auto answers = AnswerRecords(sim);
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(answers[i].HasFault("late"), i == 2) << i;
}

}  // namespace
