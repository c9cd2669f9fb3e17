// Time the alarm rules take per accepted reading, the share they add to the receive path's
// 100 us budget per answer. Readings run through the fourteen batteries with all three limits
// set; every few hundred readings a battery turns abnormal or crosses a limit and back, so the
// raising and clearing paths are timed too. Also the periodic silence check.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "alarms/AlarmRules.h"

namespace {

double NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + double(ts.tv_nsec);
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * double(values.size() - 1));
    return values[index];
}

}  // namespace

int main() {
    using namespace alarms;
    constexpr int kReadings = 1'000'000;
    constexpr std::int64_t kT0 = 1'765'000'000'000;
    constexpr std::int64_t kStepMs = 150;

    AlarmRules rules;
    rules.SetSamplingPeriodMs(10'000);
    rules.SetLimits({11.0, 14.0, 50.0}, kT0);
    rules.OnMonitoringStarted(kT0);

    std::vector<double> readingNs;
    std::vector<double> changeNs;  // readings that raised or cleared something
    readingNs.reserve(kReadings);
    std::size_t events = 0;
    for (int i = 0; i < kReadings; ++i) {
        const battery::BatteryId battery = battery::WatchedBattery(i % battery::kWatchedCount);
        const bool abnormal = (i / 14) % 300 == 7;
        const std::uint8_t status = abnormal && i % 3 == 0 ? 0x71 : 0x11;
        const double voltage = abnormal ? 10.5 : 12.0 + (i % 17) / 10.0;
        const double temperature = abnormal ? 55.0 : 25.0 + (i % 9) / 10.0;
        const std::int64_t now = kT0 + std::int64_t(i) * kStepMs;
        const double t0 = NowNs();
        const AlarmEvents out = rules.OnReading(battery, status, voltage, temperature, now);
        const double ns = NowNs() - t0;
        readingNs.push_back(ns);
        if (!out.empty()) changeNs.push_back(ns);
        events += out.size();
    }

    std::vector<double> tickNs;
    for (int i = 0; i < 100'000; ++i) {
        const double t0 = NowNs();
        const AlarmEvents out = rules.Tick(kT0 + std::int64_t(kReadings) * kStepMs + i);
        tickNs.push_back(NowNs() - t0);
        events += out.size();
    }

    std::printf("Alarm rules per accepted reading (%d readings, %zu events)\n", kReadings, events);
    std::printf("  %-10s %10s %10s %10s\n", "input", "median ns", "p99 ns", "max ns");
    std::printf("  %-10s %10.0f %10.0f %10.0f\n", "reading", Percentile(readingNs, 50),
                Percentile(readingNs, 99), Percentile(readingNs, 100));
    std::printf("  %-10s %10.0f %10.0f %10.0f\n", "change", Percentile(changeNs, 50),
                Percentile(changeNs, 99), Percentile(changeNs, 100));
    std::printf("  %-10s %10.0f %10.0f %10.0f\n", "tick", Percentile(tickNs, 50),
                Percentile(tickNs, 99), Percentile(tickNs, 100));
    std::printf("RESULT alarms_reading_us_p99 %.3f\n", Percentile(readingNs, 99) / 1000.0);
    std::printf("RESULT alarms_reading_us_median %.3f\n", Percentile(readingNs, 50) / 1000.0);
    std::printf("RESULT alarms_change_us_p99 %.3f\n", Percentile(changeNs, 99) / 1000.0);
    std::printf("RESULT alarms_tick_us_p99 %.3f\n", Percentile(tickNs, 99) / 1000.0);
    return 0;
}
