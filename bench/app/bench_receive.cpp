// Time of Comm1ReceiveData per poll answer with history tables of 0, 100 000 and 1 000 000
// records. Each measured answer goes the whole way on the real window (offscreen): the frame
// search and its slot when it arrives, then history record, real-time row, both charts and the
// log line when its device's block is released. Requests go out through SendNextPollRequest a
// few milliseconds apart, each answered in its own slot; the block is released by the request
// one slot after its hold (step 11 for 0xA0, the next cycle's step 1 for 0xA1), and that
// request's time beyond a plain request's is shared out over the block's answers.
// Usage: bench_receive [store|alarms]
//   store   the window keeps its history store in a temporary folder, so every released reading
//           is also handed to the store's writer thread
//   alarms  alarm limits are set and the readings cross them now and then, and one battery in
//           fifty reports a fault, so alarms are raised and cleared all along
#include <time.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
#include "display/HistoryGridModel.h"
#include "engine/Clock.h"
#include "engine/MonitorSession.h"
#include "protocol/ModbusCrc.h"
#include "station/Station.h"
#include "tests/common/FormControls.h"
#include "widgets/BarChart.h"
#include "widgets/EventDispatcher.h"
#include "widgets/StringGrid.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

namespace {

double NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Plain answers stay well inside any limits. With alarms, voltages run 12.0..13.7 V against
// limits of 12.2 and 13.5 V, temperatures 20..34.9 ℃ against 33 ℃.
std::array<std::uint8_t, 11> Answer(std::uint8_t address, int i, bool alarms) {
    const std::uint8_t status = alarms && i % 50 == 7 ? 0x71 : 0x11;
    const int temperature = alarms ? 200 + (i * 7) % 150 : 200 + i % 50;
    const int voltage = alarms ? 120 + (i / 14) % 18 : 120 + i % 18;
    std::array<std::uint8_t, 11> a{address,
                                   0x04,
                                   0x06,
                                   status,
                                   std::uint8_t(voltage),
                                   std::uint8_t(temperature >> 8),
                                   std::uint8_t(temperature & 0xFF),
                                   0,
                                   0,
                                   0,
                                   0};
    const std::uint16_t crc = ModbusCrc16(a.data(), 9);
    a[9] = std::uint8_t(crc >> 8);
    a[10] = std::uint8_t(crc & 0xFF);
    return a;
}

void Prefill(TForm1& form, std::uint32_t records) {
    for (int step = 1; step <= 14; ++step) {
        auto* model = static_cast<HistoryGridModel*>(HistoryGrid(form, step)->Model());
        BatteryReading reading{12.5, 25, 0x11, 125, 250};
        while (model->RecordCount() < records)
            model->AppendRecord(1765000000 + model->RecordCount(), reading);
        model->SetRowCount(int(records) + 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    const std::string_view mode = argc > 1 ? argv[1] : "";
    const bool withStore = mode == "store";
    const bool withAlarms = mode == "alarms";
    QTemporaryDir dataDir;
    StationOptions options;
    if (withStore) options.dataDir = dataDir.path();
    TForm1 form(options);
    form.show();
    Control<PageControl>(form, "RzPageControl1")
        ->setCurrentIndex(1);  // the history page is on screen
    bench::RunEventLoopFor(50);

    MonitorSession& session = form.Session();
    AlarmMonitor& alarms = form.Monitoring().Alarms();
    int alarmEvents = 0;
    if (withAlarms) {
        alarms::AlarmLimits limits;
        limits.lowVoltage.warning = 12.2;
        limits.highVoltage.warning = 13.5;
        limits.highTemperature.warning = 33.0;
        alarms.SetLimits(limits);
    }
    QObject::connect(&alarms, &AlarmMonitor::EventsOccurred,
                     [&](const alarms::AlarmEvents& e) { alarmEvents += int(e.size()); });
    const auto startCycles = [&session] {
        session.StartMonitoring();
        // The requests are sent below, by hand: the timers would send some of their own.
        session.SamplingTimer().SetEnabled(false);
        session.PacingTimer().SetEnabled(false);
    };
    int released = 0;
    QObject::connect(&session, &MonitorSession::ReadingAccepted,
                     [&released](const battery::Reading&) { ++released; });
    // Handed over straight, a buffer is dated when it is handed over: each answer comes a
    // millisecond after its request, in the request's slot.
    SystemClock clock;
    qint64 lastSentMs = clock.NowMs();
    const auto waitUntil = [&clock](qint64 ms) {
        while (clock.NowMs() < ms) {
        }
    };
    const auto sendNext = [&] {
        waitUntil(lastSentMs + 1);
        const double t0 = NowUs();
        session.SendNextPollRequest();
        lastSentMs = clock.NowMs();
        return NowUs() - t0;
    };

    std::printf(
        "Comm1ReceiveData per answer (frame search, slot, release: history, live row, "
        "charts, log)\n");
    std::printf("  (history store %s, alarm limits %s)\n", withStore ? "on" : "off",
                withAlarms ? "set" : "off");
    std::printf("  %-12s %10s %10s %10s %10s %12s\n", "records", "median us", "p99 us", "max us",
                "shown", "alarm events");
    constexpr int kCycles = 60;
    const std::vector<std::uint32_t> tableSizes =
        mode.empty() ? std::vector<std::uint32_t>{0u, 100000u, 1000000u}
                     : std::vector<std::uint32_t>{0u};
    const std::string key = withAlarms ? "receive_alarms_us_" : "receive_us_";
    const std::string suffix = withStore ? "_store" : "";
    for (std::uint32_t records : tableSizes) {
        Prefill(form, records);
        startCycles();
        std::vector<double> us;
        std::vector<double> plainSends;
        std::array<double, 16> receiveUs{};
        double releaseA1Us = -1;  // 0xA1's block of the previous cycle, released by step 1
        released = 0;
        alarmEvents = 0;
        for (int cycle = 0; cycle <= kCycles; ++cycle) {
            Control<QPlainTextEdit>(form, "Memo1")->clear();
            Control<BarSeries>(form, "Series1")->Clear();
            Control<BarSeries>(form, "BarSeries1")->Clear();
            bench::RunEventLoopFor(0);
            std::array<double, 16> sendUs{};
            for (int step = 1; step <= 16; ++step) {
                sendUs[step - 1] = sendNext();
                if (step == 1 && cycle > 0) releaseA1Us = sendUs[0];
                if (step == 11) {
                    // 0xA0's block of this cycle was released by this request.
                    const double share = (sendUs[10] - bench::Percentile(plainSends, 50)) / 8;
                    for (int s = 0; s < 8; ++s) us.push_back(receiveUs[s] + std::max(0.0, share));
                }
                if (step == 1 && cycle > 0) {
                    const double share = (releaseA1Us - bench::Percentile(plainSends, 50)) / 8;
                    for (int s = 8; s < 16; ++s) us.push_back(receiveUs[s] + std::max(0.0, share));
                }
                if (cycle == kCycles) break;  // that request only released the last block
                if (step != 1 && step != 11) plainSends.push_back(sendUs[step - 1]);
                const auto answer = Answer(step <= 8 ? 0xA0 : 0xA1, cycle * 16 + step, withAlarms);
                waitUntil(lastSentMs + 1);
                const double t0 = NowUs();
                session.Comm1ReceiveData(answer);
                receiveUs[step - 1] = NowUs() - t0;
            }
            bench::RunEventLoopFor(0);  // let the views repaint between cycles
        }
        std::printf("  %-12u %10.1f %10.1f %10.1f %10d %12d\n", records, bench::Percentile(us, 50),
                    bench::Percentile(us, 99), bench::Percentile(us, 100), released, alarmEvents);
        if (released != 14 * kCycles)
            std::printf("  (expected %d readings: some answers missed their slot)\n", 14 * kCycles);
        const std::string size = std::to_string(records) + suffix;
        bench::Result((key + "p99_" + size).c_str(), bench::Percentile(us, 99));
        bench::Result((key + "median_" + size).c_str(), bench::Percentile(us, 50));
    }
    return 0;
}
