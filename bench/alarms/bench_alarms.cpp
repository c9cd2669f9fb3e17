// Time the alarm rules take per accepted reading, with every limit set at both levels and the
// string analysis on. Readings run through the fourteen batteries in poll cycles, each cycle
// ending with the string analysis; every few hundred cycles a battery turns abnormal, crosses a
// limit or drifts away from its string and back, so the raising and clearing paths are timed
// too. A reading's cost counts its share of its cycle's analysis (a fourteenth). Also the
// periodic silence check.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "alarms/AlarmRules.h"

namespace {

double NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * double(values.size() - 1));
    return values[index];
}

}  // namespace

int main() {
    using namespace alarms;
    constexpr int kCycles = 100'000;
    constexpr std::int64_t kT0 = 1'765'000'000'000;
    constexpr std::int64_t kStepMs = 150;
    constexpr int kPerCycle = battery::kWatchedCount;

    AlarmRules rules;
    rules.SetSamplingPeriodMs(kStepMs * 16);
    AlarmSettings settings;
    settings.limits = {{11.5, 11.0}, {14.0, 14.4}, {40.0, 50.0}};
    settings.batteryLimits[battery::WatchedBattery(3)] = {{}, {}, {35.0, 45.0}};
    rules.SetSettings(settings, kT0);
    rules.OnMonitoringStarted(kT0);

    std::vector<double> readingNs;   // each reading with its share of the cycle's analysis
    std::vector<double> changeNs;    // readings that raised or cleared something
    std::vector<double> analysisNs;  // the string analysis of a whole cycle
    readingNs.reserve(std::size_t{kCycles} * kPerCycle);
    analysisNs.reserve(kCycles);
    std::size_t events = 0;
    std::int64_t now = kT0;
    std::vector<double> cycleNs(kPerCycle);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const int phase = cycle % 300;
        const bool abnormal = phase >= 7 && phase < 10;     // status and limit alarms
        const bool drifting = phase >= 100 && phase < 110;  // one battery leaves its string
        for (int i = 0; i < kPerCycle; ++i) {
            const battery::BatteryId battery = battery::WatchedBattery(i);
            const bool odd = abnormal && i == 5;
            const std::uint8_t status = odd && cycle % 2 ? 0x71 : 0x11;
            double voltage = odd ? 10.5 : 12.6 + ((cycle + i) % 5) / 100.0;
            if (drifting && i == 2) voltage -= 0.1 * (phase - 99);
            const double temperature = odd ? 55.0 : 25.0 + ((cycle + i) % 7) / 10.0;
            now += kStepMs;
            const double t0 = NowNs();
            const AlarmEvents out = rules.OnReading(battery, status, voltage, temperature, now);
            cycleNs[std::size_t(i)] = NowNs() - t0;
            if (!out.empty()) changeNs.push_back(cycleNs[std::size_t(i)]);
            events += out.size();
        }
        now += kStepMs * 2;
        const double t0 = NowNs();
        const AlarmEvents out = rules.OnCycleEnded(now);
        const double analysis = NowNs() - t0;
        analysisNs.push_back(analysis);
        if (!out.empty()) changeNs.push_back(analysis);
        events += out.size();
        for (const double ns : cycleNs) readingNs.push_back(ns + analysis / kPerCycle);
    }

    std::vector<double> tickNs;
    for (int i = 0; i < 100'000; ++i) {
        const double t0 = NowNs();
        const AlarmEvents out = rules.Tick(now + i);
        tickNs.push_back(NowNs() - t0);
        events += out.size();
    }

    std::printf(
        "Alarm rules per accepted reading, string analysis on (%d cycles of %d readings, "
        "%zu events)\n",
        kCycles, kPerCycle, events);
    std::printf("  %-10s %10s %10s %10s\n", "input", "median ns", "p99 ns", "max ns");
    const auto line = [](const char* name, const std::vector<double>& ns) {
        std::printf("  %-10s %10.0f %10.0f %10.0f\n", name, Percentile(ns, 50), Percentile(ns, 99),
                    Percentile(ns, 100));
    };
    line("reading", readingNs);
    line("change", changeNs);
    line("analysis", analysisNs);
    line("tick", tickNs);
    std::printf("RESULT alarms_reading_us_p99 %.3f\n", Percentile(readingNs, 99) / 1000.0);
    std::printf("RESULT alarms_reading_us_median %.3f\n", Percentile(readingNs, 50) / 1000.0);
    std::printf("RESULT alarms_change_us_p99 %.3f\n", Percentile(changeNs, 99) / 1000.0);
    std::printf("RESULT alarms_analysis_us_p99 %.3f\n", Percentile(analysisNs, 99) / 1000.0);
    std::printf("RESULT alarms_tick_us_p99 %.3f\n", Percentile(tickNs, 99) / 1000.0);
    return 0;
}
