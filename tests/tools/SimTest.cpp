// batmon-sim as the monitoring program meets it: answers, exceptions, silence and framing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <random>

#include "tests/common/WaitFor.h"
#include "tests/tools/SimBusMaster.h"
#include "tools/simctl/SimProcess.h"

namespace {

using Bytes = BusMaster::Bytes;

std::vector<SimLogEntry> EntriesIn(const std::vector<SimLogEntry>& log, const QString& dir) {
    std::vector<SimLogEntry> matching;
    std::copy_if(log.begin(), log.end(), std::back_inserter(matching),
                 [&](const SimLogEntry& entry) { return entry.dir == dir; });
    return matching;
}

QByteArray ToQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// Polls every battery of both devices in `order` and returns the answers by (device, battery).
std::map<std::pair<int, int>, Bytes> PollAll(BusMaster& master, const std::vector<int>& order) {
    std::map<std::pair<int, int>, Bytes> answers;
    for (const int device : {0xA0, 0xA1}) {
        for (const int battery : order) {
            answers[{device, battery}] =
                master.Transact(PollFrame(static_cast<std::uint8_t>(device), battery), 11);
        }
    }
    return answers;
}

TEST(SimBus, pollAnswersCarryTheReadingOfTheBatteryTheStartRegisterSelects) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--seed", "7"})) << sim.ErrorText().toStdString();
    BusMaster master(sim.PortPath().toStdString());
    ASSERT_TRUE(master.IsOpen());

    // The reference frames of the poll table must be accepted as they are.
    EXPECT_EQ(master.Transact({0xA0, 0x04, 0x00, 0x80, 0x00, 0x03, 0xA8, 0x92}, 11).size(), 11u);
    EXPECT_EQ(master.Transact({0xA1, 0x04, 0x00, 0x87, 0x00, 0x03, 0x18, 0x82}, 11).size(), 11u);

    const auto answers = PollAll(master, {0, 1, 2, 3, 4, 5, 6, 7});
    for (const auto& [key, answer] : answers) {
        SCOPED_TRACE(testing::Message() << std::hex << key.first << " battery " << key.second);
        ASSERT_EQ(answer.size(), 11u);
        EXPECT_EQ(answer[0], key.first);
        EXPECT_EQ(answer[1], 0x04);
        EXPECT_EQ(answer[2], 0x06);
        EXPECT_TRUE(CrcOk(answer));
        EXPECT_TRUE(answer[3] == 0x11 || answer[3] == 0x00 ||
                    (answer[3] >= 0x71 && answer[3] <= 0x73));
        EXPECT_GE(answer[4], 120);
        EXPECT_LE(answer[4], 138);
        const int temperature = answer[5] << 8 | answer[6];
        EXPECT_GE(temperature, 200);
        EXPECT_LE(temperature, 350);
        EXPECT_EQ(answer[7], 0);
        EXPECT_EQ(answer[8], 0);
    }

    // The log decodes each answer and names the request it belongs to.
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return EntriesIn(sim.ReadLog(), "tx").size() == 18; }));
    const auto sent = EntriesIn(sim.ReadLog(), "tx");
    const auto received = EntriesIn(sim.ReadLog(), "rx");
    ASSERT_EQ(received.size(), 18u);
    for (std::size_t i = 2; i < sent.size(); ++i) {
        const SimLogEntry& tx = sent[i];
        const Bytes& answer = answers.at({tx.device, tx.registerAddress - 0x80});
        EXPECT_EQ(tx.bytes, ToQByteArray(answer));
        EXPECT_EQ(tx.function, 4);
        EXPECT_EQ(tx.status, answer[3]);
        EXPECT_EQ(tx.voltageRaw, answer[4]);
        EXPECT_EQ(tx.temperatureRaw, answer[5] << 8 | answer[6]);
        EXPECT_EQ(received[i].registerAddress, tx.registerAddress);
        EXPECT_GE(tx.monoUs, received[i].monoUs);
        EXPECT_GT(tx.tUs, 1'600'000'000'000'000);  // wall-clock microseconds, not seconds
    }

    // With the same seed, each battery gives the same readings whatever the polling order:
    // the start register, not the position in the cycle, picks the battery.
    SimProcess twin;
    ASSERT_TRUE(twin.Start({"--seed", "7"}));
    BusMaster twinMaster(twin.PortPath().toStdString());
    twinMaster.Transact({0xA0, 0x04, 0x00, 0x80, 0x00, 0x03, 0xA8, 0x92}, 11);
    twinMaster.Transact({0xA1, 0x04, 0x00, 0x87, 0x00, 0x03, 0x18, 0x82}, 11);
    EXPECT_EQ(PollAll(twinMaster, {7, 6, 5, 4, 3, 2, 1, 0}), answers);

    SimProcess otherSeed;
    ASSERT_TRUE(otherSeed.Start({"--seed", "8"}));
    BusMaster otherMaster(otherSeed.PortPath().toStdString());
    otherMaster.Transact({0xA0, 0x04, 0x00, 0x80, 0x00, 0x03, 0xA8, 0x92}, 11);
    otherMaster.Transact({0xA1, 0x04, 0x00, 0x87, 0x00, 0x03, 0x18, 0x82}, 11);
    EXPECT_NE(PollAll(otherMaster, {0, 1, 2, 3, 4, 5, 6, 7}), answers);
}

TEST(SimBus, setupCommandsAreAnsweredAsTheStandardDefines) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());

    // Writes are echoed byte for byte.
    const Bytes setInfo{0xA1, 0x06, 0x03, 0x00, 0x01, 0xA1, 0x51, 0x06};
    const Bytes authorize{0xA0, 0x06, 0x03, 0x55, 0x00, 0x80, 0x81, 0x4F};
    EXPECT_EQ(master.Transact(setInfo, 8), setInfo);
    EXPECT_EQ(master.Transact(authorize, 8), authorize);

    // The query answers with one register: what was last written to the device information.
    const Bytes written = RequestFrame(0xA0, 0x06, 0x0300, 0x02A3);
    EXPECT_EQ(master.Transact(written, 8), written);
    const Bytes info = master.Transact({0xA0, 0x04, 0x30, 0x00, 0x00, 0x01, 0x27, 0xBB}, 7);
    ASSERT_EQ(info.size(), 7u);
    EXPECT_EQ(Bytes(info.begin(), info.begin() + 5), (Bytes{0xA0, 0x04, 0x02, 0x02, 0xA3}));
    EXPECT_TRUE(CrcOk(info));
}

TEST(SimBus, unsupportedRequestsGetExceptionAnswers) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());

    struct Case {
        Bytes request;
        std::uint8_t function;
        std::uint8_t code;
    };
    const Case cases[] = {
        {RequestFrame(0xA0, 0x03, 0x0080, 3), 0x83, 0x01},  // holding registers: no such function
        {RequestFrame(0xA1, 0x10, 0x0300, 1), 0x90, 0x01},
        {RequestFrame(0xA0, 0x04, 0x0088, 3), 0x84, 0x02},  // past the last battery
        {RequestFrame(0xA0, 0x04, 0x007F, 3), 0x84, 0x02},
        {RequestFrame(0xA1, 0x04, 0x0080, 2), 0x84, 0x02},  // a battery is three registers
        {RequestFrame(0xA1, 0x04, 0x3000, 2), 0x84, 0x02},
        {RequestFrame(0xA0, 0x06, 0x0301, 1), 0x86, 0x02},
    };
    for (const Case& c : cases) {
        const Bytes answer = master.Transact(c.request, 5);
        ASSERT_EQ(answer.size(), 5u);
        EXPECT_EQ(answer[0], c.request[0]);
        EXPECT_EQ(answer[1], c.function);
        EXPECT_EQ(answer[2], c.code);
        EXPECT_TRUE(CrcOk(answer));
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] { return EntriesIn(sim.ReadLog(), "tx").size() == 7; }));
    EXPECT_EQ(EntriesIn(sim.ReadLog(), "tx").back().exception, 2);
}

TEST(SimBus, staysSilentForOtherAddressesAndDamagedFrames) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());

    Bytes badCrc = PollFrame(0xA0, 0);
    badCrc[7] ^= 0x01;
    // Each unanswerable frame is followed by a good one: the first bytes back must be the good
    // one's answer, and nothing else may follow it.
    for (const Bytes& ignored :
         {RequestFrame(0xA2, 0x04, 0x0080, 3), RequestFrame(0x00, 0x06, 0x0300, 1),
          RequestFrame(0x9F, 0x04, 0x0080, 3), badCrc}) {
        ASSERT_TRUE(master.Send(ignored));
        const Bytes answer = master.Transact(PollFrame(0xA1, 3), 11);
        ASSERT_EQ(answer.size(), 11u);
        EXPECT_EQ(answer[0], 0xA1);
        EXPECT_TRUE(CrcOk(answer));
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] { return EntriesIn(sim.ReadLog(), "tx").size() == 4; }));
    EXPECT_TRUE(master.ReadAvailable().empty());
    const auto received = EntriesIn(sim.ReadLog(), "rx");
    ASSERT_EQ(received.size(), 8u);
    EXPECT_EQ(received[0].device, 0xA2);
    EXPECT_EQ(received[6].fault, "bad_crc");
    EXPECT_EQ(received[6].bytes, ToQByteArray(badCrc));
}

TEST(SimBus, noiseAndTornFramesDoNotStopLaterRequestsFromBeingAnswered) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());

    const Bytes poll = PollFrame(0xA0, 5);
    Bytes garbageThenPoll{0xFF, 0x00, 0xA0, 0x04};
    garbageThenPoll.insert(garbageThenPoll.end(), poll.begin(), poll.end());
    EXPECT_EQ(master.Transact(garbageThenPoll, 11).size(), 11u);

    // A frame torn off after five bytes, then the whole frame.
    ASSERT_TRUE(master.Send(Bytes(poll.begin(), poll.begin() + 5)));
    EXPECT_EQ(master.Transact(poll, 11).size(), 11u);

    // Long random noise, some of it written in one go with a request in the middle.
    std::mt19937 random(3);
    Bytes noise(700);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    Bytes burst = noise;
    burst.insert(burst.begin() + 350, poll.begin(), poll.end());
    ASSERT_TRUE(master.Send(burst));
    const Bytes answer = master.Read(11);
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_EQ(answer[0], 0xA0);
    EXPECT_TRUE(CrcOk(answer));
    EXPECT_EQ(master.Transact(PollFrame(0xA1, 0), 11).size(), 11u);

    ASSERT_TRUE(testsupport::WaitUntil([&] { return EntriesIn(sim.ReadLog(), "tx").size() == 4; }));
    const auto log = sim.ReadLog();
    const auto garbage = std::count_if(log.begin(), log.end(), [](const SimLogEntry& e) {
        return e.dir == "rx" && e.fault == "garbage";
    });
    EXPECT_GE(garbage, 3);
    EXPECT_TRUE(sim.IsRunning());
}

TEST(SimProcessControl, linkFollowsTheSimAndStaleLinksAreReplaced) {
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyBATMON");
    {
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--link", link})) << sim.ErrorText().toStdString();
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), sim.PortPath());
        BusMaster master(link.toStdString());
        EXPECT_EQ(master.Transact(PollFrame(0xA0, 0), 11).size(), 11u);
        sim.Stop();
        EXPECT_FALSE(QFileInfo::exists(link) || QFileInfo(link).isSymLink());
    }
    // A link left by a killed sim is taken over; a regular file in the way is not destroyed.
    ASSERT_TRUE(QFile::link("/nonexistent/pts", link));
    SimProcess second;
    ASSERT_TRUE(second.Start({"--link", link}));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), second.PortPath());
    second.Stop();

    const QString regular = dir.filePath("keep");
    QFile file(regular);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("data");
    file.close();
    SimProcess refused;
    EXPECT_FALSE(refused.Start({"--link", regular}));
    EXPECT_EQ(QFileInfo(regular).size(), 4);
}

TEST(SimProcessControl, killHangsUpTheLineWhileStopAndDurationEndCleanly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    BusMaster master(sim.PortPath().toStdString());
    ASSERT_EQ(master.Transact(PollFrame(0xA0, 0), 11).size(), 11u);
    sim.Kill();
    EXPECT_FALSE(sim.IsRunning());
    pollfd pfd{master.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 2000), 1);
    EXPECT_NE(pfd.revents & POLLHUP, 0);

    SimProcess timed;
    ASSERT_TRUE(timed.Start({"--duration-s", "1"}));
    EXPECT_TRUE(
        testsupport::WaitUntil([&] { return !timed.IsRunning(); }, std::chrono::seconds(10)));

    SimProcess wrong;
    EXPECT_FALSE(wrong.Start({"--drop-device", "A7"}));
    EXPECT_FALSE(wrong.Start({"--no-such-option"}));
    EXPECT_FALSE(wrong.ErrorText().isEmpty());
}

}  // namespace
