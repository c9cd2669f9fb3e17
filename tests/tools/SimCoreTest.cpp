// The parts of batmon-sim that need no port: framing, readings, options and log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
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
    EXPECT_GT(temperatures.size(), 10u) << "a room's temperature moves slowly";
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

// Left alone, each device is a healthy string: no battery strays from the median of its
// device's batteries by the string analysis's warning limits, and none warms by 2 ℃ within 30
// minutes even when read every second. Checked for an hour of readings of several seeds.
TEST(SimBatteries, eachDeviceIsAHealthyStringUnlessABatteryIsToldToDrift) {
    constexpr int kReadsPerHalfHour = 1800;
    for (const std::uint64_t seed : {1u, 2u, 7u, 42u}) {
        batmonsim::BatteryBank bank(seed);
        std::array<std::vector<int>, 16> temperatures;
        double worstDeviation = 0, worstWarmer = 0, worstRise = 0, lowestMedian = 100;
        for (int read = 0; read < 2 * kReadsPerHalfHour; ++read) {
            for (int device = 0; device < 2; ++device) {
                const int count = device == 0 ? 8 : 6;  // the watched batteries
                std::vector<double> volts, celsius;
                for (int b = 0; b < count; ++b) {
                    const auto r = bank.Next(device, b);
                    volts.push_back(r.voltageRaw / 10.0);
                    celsius.push_back(r.temperatureRaw / 10.0);
                    auto& history = temperatures[std::size_t(device * 8 + b)];
                    history.push_back(r.temperatureRaw);
                    const int from = std::max(0, int(history.size()) - kReadsPerHalfHour);
                    worstRise = std::max(worstRise, (history.back() - history[from]) / 10.0);
                }
                const auto median = [count](std::vector<double> v) {
                    std::sort(v.begin(), v.end());
                    return count % 2 ? v[count / 2] : (v[count / 2 - 1] + v[count / 2]) / 2;
                };
                const double medianVolts = median(volts), medianCelsius = median(celsius);
                lowestMedian = std::min(lowestMedian, medianVolts);
                for (int b = 0; b < count; ++b) {
                    worstDeviation = std::max(worstDeviation, std::fabs(volts[b] - medianVolts));
                    worstWarmer = std::max(worstWarmer, celsius[b] - medianCelsius);
                }
            }
        }
        EXPECT_LE(worstDeviation, 0.3 + 1e-9) << "seed " << seed;
        EXPECT_LT(worstWarmer, 5.0) << "seed " << seed;
        EXPECT_LT(worstRise, 2.0) << "seed " << seed;
        // On float charge: never near the level at which a discharge starts or still runs.
        EXPECT_GT(lowestMedian, 13.0) << "seed " << seed;
    }

    // Told to drift, a battery moves by its step with every reading, beyond the string's range.
    batmonsim::BatteryBank drifting(3), steady(3);
    drifting.SetVoltageDrift(0, 3, -0.02);
    drifting.SetTemperatureDrift(1, 2, 0.5);
    batmonsim::SimReading low, lowSteady, hot, hotSteady;
    for (int read = 0; read < 200; ++read) {
        low = drifting.Next(0, 3);
        lowSteady = steady.Next(0, 3);
        hot = drifting.Next(1, 2);
        hotSteady = steady.Next(1, 2);
    }
    EXPECT_NEAR(low.voltageRaw - lowSteady.voltageRaw, -40, 1) << "4 V lower after 200 readings";
    EXPECT_NEAR(hot.temperatureRaw - hotSteady.temperatureRaw, 1000, 1) << "100 ℃ warmer";
    EXPECT_EQ(drifting.Next(0, 4).voltageRaw, steady.Next(0, 4).voltageRaw) << "the others not";
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

TEST(SimOptionsDrift, namesDeviceBatteryAndStepAndRefusesAnythingElse) {
    const auto parsed = batmonsim::ParseSimOptions(
        {"--drift", "A0:3:-0.02", "--heat=a1:2:0.5", "--drift", "A1:5:0.1"});
    ASSERT_TRUE(parsed.options) << parsed.exit.text.toStdString();
    ASSERT_EQ(parsed.options->voltageDrifts.size(), 2u);
    EXPECT_EQ(parsed.options->voltageDrifts[0].device, 0);
    EXPECT_EQ(parsed.options->voltageDrifts[0].battery, 3);
    EXPECT_EQ(parsed.options->voltageDrifts[0].perReading, -0.02);
    EXPECT_EQ(parsed.options->voltageDrifts[1].device, 1);
    ASSERT_EQ(parsed.options->temperatureDrifts.size(), 1u);
    EXPECT_EQ(parsed.options->temperatureDrifts[0].battery, 2);
    EXPECT_EQ(parsed.options->temperatureDrifts[0].perReading, 0.5);
    for (const char* bad : {"A2:0:1", "A0:8:1", "A0:3:", "A0:3:x", "A0:3:inf", "A0:3:nan", "A0:3=1",
                            "A03:-1", "A0:3:1V", ""}) {
        EXPECT_FALSE(batmonsim::ParseSimOptions({"--drift", bad}).options) << bad;
        EXPECT_FALSE(batmonsim::ParseSimOptions({"--heat", bad}).options) << bad;
    }
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

// A discharge plays on the clock: nothing before it, the load step and a steady fall while it
// lasts (a weak battery falling faster), and the resting voltage back once the mains return.
TEST(SimDischarge, batteriesFallWhileTheStringsCarryTheLoadAndRecoverAfter) {
    const auto parsed =
        batmonsim::ParseSimOptions({"--discharge-at", "10", "--discharge-rate", "0.6",
                                    "--recover-after", "120", "--weak", "A0:5:2.0"});
    ASSERT_TRUE(parsed.options);
    const batmonsim::DischargePlan& plan = parsed.options->discharge;
    EXPECT_EQ(plan.DropV(0, 1, 9.9), 0);
    EXPECT_NEAR(plan.DropV(0, 1, 70), batmonsim::DischargePlan::kLoadStepV + 0.6, 1e-9);
    EXPECT_NEAR(plan.DropV(0, 5, 70), batmonsim::DischargePlan::kLoadStepV + 1.2, 1e-9);
    EXPECT_NEAR(plan.DropV(1, 5, 70), batmonsim::DischargePlan::kLoadStepV + 0.6, 1e-9);
    EXPECT_EQ(plan.DropV(0, 5, 130), 0);
    for (const char* bad : {"A0:5:0", "A0:5:-1", "A2:5:2", "A0:8:2", "A0:5:x"})
        EXPECT_FALSE(batmonsim::ParseSimOptions({"--weak", bad}).options) << bad;
    EXPECT_FALSE(batmonsim::ParseSimOptions({"--discharge-at", "-1"}).options);
    EXPECT_FALSE(batmonsim::ParseSimOptions({"--recover-after", "0"}).options);

    batmonsim::BusDevices devices(3), resting(3);
    devices.SetDischarge(plan);
    const auto volts = [](batmonsim::BusDevices& d, int battery, double atS) {
        return d.Respond(PollFrame(0xA0, battery).data(), atS)->reading->voltageRaw;
    };
    EXPECT_EQ(volts(devices, 5, 70), volts(resting, 5, 70) - 24);
    EXPECT_EQ(volts(devices, 2, 200), volts(resting, 2, 200));
}
