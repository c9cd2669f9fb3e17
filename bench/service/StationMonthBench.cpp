// A month of monitoring at a 1 s period in a few minutes: the service's station (engine and
// history store) on a scripted bus and a clock that is advanced instead of waited for. Resident
// memory is sampled after every simulated day, so growth over a month shows directly instead of
// being extrapolated from a short real-time run.
//
// bench_station_month [days] [period s]
// RESULT lines: station_month_readings, station_month_rss_mb_start (after the first day),
// station_month_rss_mb_end, station_month_rss_mb_max.

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "service/MetricsText.h"
#include "station/Station.h"
#include "store/HistoryWriter.h"
#include "tests/common/PollAnswers.h"
#include "tests/engine/FakeClock.h"

namespace {

// A bus on the simulated clock whose two devices answer every request 20 ms later. Unlike the
// tests' link it keeps no record of what was sent, which would grow with the month.
class AnsweringBus final : public PortLink {
public:
    explicit AnsweringBus(testsupport::FakeClock& clock) : clock_(clock) {}
    void Open(const QString&) override {
        open_ = true;
        if (OnOpenResult) OnOpenResult(true, {});
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    bool Write(std::span<const std::uint8_t> bytes) override {
        if (!open_ || bytes.empty()) return false;
        const QByteArray answer = testsupport::PollAnswerBytes(bytes[0], 0x11, 125, 250);
        clock_.At(clock_.NowMs() + 20, [this, answer] {
            if (open_ && OnData)
                OnData({reinterpret_cast<const std::uint8_t*>(answer.constData()),
                        static_cast<std::size_t>(answer.size())});
        });
        return true;
    }
    void SetReadInterval(int) override {}
    int DeliveryLagMs() const override { return 0; }

private:
    testsupport::FakeClock& clock_;
    bool open_ = false;
};

double RssMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int days = argc > 1 ? atoi(argv[1]) : 30;
    const int period = argc > 2 ? atoi(argv[2]) : 1;

    QTemporaryDir dir;
    testsupport::FakeClock clock;
    auto link = std::make_unique<AnsweringBus>(clock);
    StationOptions options;
    options.dataDir = dir.path();
    options.restoreHours = 0;
    options.mqttOutbox = false;
    Station station(std::move(link), clock, options);
    StationMetrics metrics;
    qint64 readings = 0;
    QObject::connect(&station.Session(), &MonitorSession::ReadingAccepted,
                     [&](const battery::Reading& reading) {
                         ++readings;
                         metrics.RecordReading(reading);
                     });
    station.Session().SetSamplingPeriodMs(period * 1000);
    station.Session().OpenPort(QStringLiteral("bench"));
    station.Session().StartMonitoring();

    const auto started = std::chrono::steady_clock::now();
    double first = 0, last = 0, peak = 0;
    for (int day = 1; day <= days; ++day) {
        for (int hour = 0; hour < 24; ++hour) {
            clock.Advance(3600 * 1000);
            QCoreApplication::processEvents();
            station.Writer()->Flush();  // the writer keeps pace, as it does in real time
            metrics.SetCounts(station.Session().Counts());
            (void)metrics.Render();
        }
        last = RssMb();
        if (day == 1) first = last;
        peak = std::max(peak, last);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "%d simulated days at a %d s period: %lld readings in %.0f s; RSS %.1f MB after "
        "day 1, %.1f MB at the end, %.1f MB at most; store %lld readings unwritten\n",
        days, period, static_cast<long long>(readings), wall, first, last, peak,
        static_cast<long long>(station.Writer()->UnwrittenCount()));
    std::printf("RESULT station_month_readings %lld\n", static_cast<long long>(readings));
    std::printf("RESULT station_month_rss_mb_start %.1f\n", first);
    std::printf("RESULT station_month_rss_mb_end %.1f\n", last);
    std::printf("RESULT station_month_rss_mb_max %.1f\n", peak);
    station.Shutdown();
    return 0;
}
