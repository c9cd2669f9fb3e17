// The parts of batmon-sim that need no port: framing, readings, options and log lines.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "tests/common/ProgramRun.h"
#include "tests/tools/SimBusMaster.h"
#include "tools/sim/BatteryBank.h"
#include "tools/sim/BusDevices.h"
#include "tools/sim/RequestFramer.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/TrafficLog.h"

namespace {

using batmonsim::RequestFramer;
using Bytes = std::vector<std::uint8_t>;

TEST(SimFramer, recoversEveryRequestFromNoiseCutAtRandomPlaces) {
    std::mt19937 random(2024);
    Bytes stream;
    std::vector<Bytes> sent;
    for (int i = 0; i < 300; ++i) {
        for (int n = static_cast<int>(random() % 12); n > 0; --n)
            stream.push_back(static_cast<std::uint8_t>(random()));
        if (i % 5 == 0) {  // a torn request, as after a cable glitch
            const Bytes torn = PollFrame(0xA0, i % 8);
            stream.insert(stream.end(), torn.begin(), torn.begin() + 1 + random() % 6);
        }
        sent.push_back(RequestFrame(i % 2 ? 0xA1 : 0xA0, static_cast<std::uint8_t>(random() % 8),
                                    static_cast<std::uint16_t>(random()),
                                    static_cast<std::uint16_t>(random())));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }

    RequestFramer framer;
    std::vector<Bytes> requests;
    std::size_t discarded = 0;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t length = std::min<std::size_t>(1 + random() % 40, stream.size() - at);
        for (auto& piece : framer.Feed(stream.data() + at, length)) {
            if (piece.kind == RequestFramer::Piece::Kind::Request) {
                requests.push_back(piece.bytes);
            } else {
                EXPECT_LE(piece.bytes.size(), RequestFramer::kMaxDiscardRun);
                discarded += piece.bytes.size();
            }
        }
        at += length;
    }
    EXPECT_EQ(requests, sent);
    EXPECT_EQ(discarded + 8 * requests.size(), stream.size());
    EXPECT_FALSE(framer.HoldsBytes());
}

TEST(SimFramer, silenceEndsAPartialFrame) {
    RequestFramer framer;
    const Bytes poll = PollFrame(0xA1, 4);
    EXPECT_TRUE(framer.Feed(poll.data(), 6).empty());
    EXPECT_TRUE(framer.HoldsBytes());
    const auto leftover = framer.EndOfSilence();
    ASSERT_TRUE(leftover);
    EXPECT_EQ(leftover->bytes, Bytes(poll.begin(), poll.begin() + 6));
    EXPECT_FALSE(framer.EndOfSilence());

    // The rest of the torn frame arrives after the silence: it cannot complete a request.
    EXPECT_TRUE(framer.Feed(poll.data() + 6, 2).empty());
    framer.EndOfSilence();
    const auto pieces = framer.Feed(poll.data(), poll.size());
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].bytes, poll);
}

TEST(SimBatteries, readingsDriftWithinTheirRangesWithOccasionalFaults) {
    batmonsim::BatteryBank bank(5);
    std::set<int> voltages, temperatures;
    std::map<int, int> statuses;
    int largestStep = 0;
    int previous = -1;
    for (int i = 0; i < 5000; ++i) {
        const auto reading = bank.Next(1, 3);
        voltages.insert(reading.voltageRaw);
        temperatures.insert(reading.temperatureRaw);
        ++statuses[reading.status];
        if (previous >= 0)
            largestStep = std::max(largestStep, std::abs(reading.voltageRaw - previous));
        previous = reading.voltageRaw;
    }
    EXPECT_GE(*voltages.begin(), 120);
    EXPECT_LE(*voltages.rbegin(), 138);
    EXPECT_GE(*temperatures.begin(), 200);
    EXPECT_LE(*temperatures.rbegin(), 350);
    EXPECT_GT(voltages.size(), 5u);
    EXPECT_GT(temperatures.size(), 20u);
    EXPECT_LE(largestStep, 4);  // a drift, not a jump
    EXPECT_GT(statuses[0x11], 4500);
    for (const int abnormal : {0x00, 0x71, 0x72, 0x73})
        EXPECT_GT(statuses[abnormal], 0) << abnormal;
    EXPECT_EQ(statuses.size(), 5u);

    // Batteries are independent: reading one does not change another's sequence.
    batmonsim::BatteryBank a(9), b(9);
    for (int i = 0; i < 10; ++i) a.Next(0, 1);
    const auto fromA = a.Next(0, 2);
    const auto fromB = b.Next(0, 2);
    EXPECT_EQ(fromA.voltageRaw, fromB.voltageRaw);
    EXPECT_EQ(fromA.temperatureRaw, fromB.temperatureRaw);
    EXPECT_EQ(fromA.status, fromB.status);
}

TEST(SimTrafficLog, linesCarryTheFieldsReadersRelyOn) {
    batmonsim::Answer answer;
    answer.request = batmonsim::Request::Parse(PollFrame(0xA0, 0).data());
    answer.reading = batmonsim::SimReading{0x71, 125, 256};
    const auto record =
        batmonsim::LogRecord::ForAnswer("tx", {0xA0, 0x04}, answer, "corrupt,split");
    EXPECT_EQ(batmonsim::TrafficLog::ToJson(record, 1700000000123456, 42),
              R"({"t_us":1700000000123456,"mono_us":42,"dir":"tx","hex":"A0 04","device":160,)"
              R"("function":4,"register":128,"status":113,"voltage_raw":125,"temperature_raw":256,)"
              R"("fault":"corrupt,split"})");
}

}  // namespace

TEST(SimOptionsForcedStatus, namesDeviceBatteryAndCodeAndRefusesAnythingElse) {
    const auto parsed = batmonsim::ParseSimOptions(
        {"--status", "A1:2=0x71", "--status=a0:7=17", "--drop-for-s", "20", "--drop-after-s", "5"});
    ASSERT_TRUE(parsed.options) << parsed.exit.text.toStdString();
    EXPECT_EQ(parsed.options->dropAfterS, 5);
    EXPECT_EQ(parsed.options->dropForS, 20);
    ASSERT_EQ(parsed.options->forcedStatus.size(), 2u);
    EXPECT_EQ(parsed.options->forcedStatus[0].device, 1);
    EXPECT_EQ(parsed.options->forcedStatus[0].battery, 2);
    EXPECT_EQ(parsed.options->forcedStatus[0].code, 0x71);
    EXPECT_EQ(parsed.options->forcedStatus[1].device, 0);
    EXPECT_EQ(parsed.options->forcedStatus[1].battery, 7);
    EXPECT_EQ(parsed.options->forcedStatus[1].code, 17);
    EXPECT_EQ(parsed.options->dropForS, 20);
    for (const char* bad : {"A2:0=0x71", "A1:8=0x71", "A1:2=0x100", "A1:2=", "A1:2=-1", "A1:2=0x7g",
                            "A12=0x71", "A1:2:0x71", ""})
        EXPECT_FALSE(batmonsim::ParseSimOptions({"--status", bad}).options) << bad;
}

TEST(SimCommandLine, answersHelpAndVersionAndNamesABadValue) {
    const QString sim = QStringLiteral(BATMON_SIM_PATH);
    testsupport::ExpectStandardCommandLine(sim, QStringLiteral("batmon-sim"));
    testsupport::ExpectRefusedWithOneLine(
        testsupport::RunWithoutDisplay(sim, {QStringLiteral("--delay-ms"), QStringLiteral("soon")}),
        QStringLiteral("batmon-sim: --delay-ms: bad value \"soon\""));
    testsupport::ExpectRefusedWithOneLine(
        testsupport::RunWithoutDisplay(sim, {QStringLiteral("--tcp-listen"), QStringLiteral(":0"),
                                             QStringLiteral("--link"), QStringLiteral("/tmp/x")}),
        QStringLiteral("batmon-sim: --tcp-listen: bad value \":0\""));
}

TEST(SimOptionsForcedStatus, theBatteryReportsTheCodeWhileItsReadingsGoOn) {
    batmonsim::BusDevices devices(3);
    devices.ForceStatus(1, 2, 0x71);
    std::set<int> voltages;
    for (int i = 0; i < 50; ++i) {
        const auto forced = devices.Respond(PollFrame(0xA1, 2).data());
        ASSERT_TRUE(forced && forced->reading);
        EXPECT_EQ(forced->reading->status, 0x71);
        EXPECT_EQ(forced->bytes[3], 0x71) << "the answer carries it";
        EXPECT_TRUE(CrcOk(forced->bytes));
        voltages.insert(forced->reading->voltageRaw);
    }
    EXPECT_GT(voltages.size(), 1u);
    int otherFaults = 0;
    for (int i = 0; i < 50; ++i)
        otherFaults += devices.Respond(PollFrame(0xA1, 3).data())->reading->status != 0x11;
    EXPECT_LT(otherFaults, 10) << "the neighbour is not forced";
}
