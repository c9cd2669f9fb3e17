// Time the receive path spends per poll answer with alarms on, on the real window (offscreen).
// Readings are released a device block at a time (A0's when step 10 is sent, A1's when the next
// cycle starts), so each answer is charged its own Comm1ReceiveData call plus the handling of
// its reading when its block is released: the alarm rules, the station, the alarm page, the
// marked real-time row, the history record, charts and log. Limits are set and the readings cross
// them now and then, and one battery in fifty reports a fault, so alarms are raised and cleared all
// along.
#include <time.h>

#include <QApplication>
#include <cstdio>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
#include "display/HistoryGridModel.h"
#include "protocol/ModbusCrc.h"
#include "station/Station.h"
#include "tests/common/FormControls.h"
#include "widgets/EventDispatcher.h"
#include "widgets/StringGrid.h"

using testsupport::Control;
using testsupport::HistoryGrid;

namespace {

// Wall time, or the time this thread ran: on a busy machine the wall time of a few answers in a
// hundred includes waiting for a core, which the thread's own time leaves out.
clockid_t measuredClock = CLOCK_MONOTONIC;

double NowUs() {
    timespec ts{};
    clock_gettime(measuredClock, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Voltages 12.0..13.7 V against limits of 12.2 and 13.5 V, temperatures 20..34.9 ℃ against 33 ℃.
std::array<std::uint8_t, 11> Answer(std::uint8_t address, int i) {
    const std::uint8_t status =
        i % 50 == 7 && !qEnvironmentVariableIsSet("BENCH_NO_ALARMS") ? 0x71 : 0x11;
    const int temperature = 200 + (i * 7) % 150;
    std::array<std::uint8_t, 11> a{address,
                                   0x04,
                                   0x06,
                                   status,
                                   std::uint8_t(120 + (i / 14) % 18),
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

void SleepMs(int ms) {
    const timespec ts{ms / 1000, (ms % 1000) * 1'000'000L};
    nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    TForm1 form;
    form.show();
    MonitorSession& session = form.Session();
    AlarmMonitor& alarms = form.Monitoring().Alarms();
    if (!qEnvironmentVariableIsSet("BENCH_NO_ALARMS")) alarms.SetLimits({12.2, 13.5, 33.0});
    int released = 0;
    int events = 0;
    QObject::connect(&session, &MonitorSession::ReadingAccepted, [&] { ++released; });
    QObject::connect(&alarms, &AlarmMonitor::EventsOccurred,
                     [&](const alarms::AlarmEvents& e) { events += int(e.size()); });
    // Each reading's release is timed from the end of the handlers of the request that
    // released it (or of the reading before) to the end of its own handlers, this one last.
    double mark = 0;
    std::array<double, 17> release{};
    QObject::connect(&session, &MonitorSession::PollRequestDue, [&] { mark = NowUs(); });
    QObject::connect(&session, &MonitorSession::ReadingAccepted, [&](int step) {
        const double now = NowUs();
        release[step] = now - mark;
        mark = now;
    });
    // The cycle is driven by hand, request by request, with no timer in between.
    session.StartMonitoring();
    session.SamplingTimer().SetEnabled(false);
    session.PacingTimer().SetEnabled(false);
    bench::RunEventLoopFor(50);
    const int lagMs = session.Link().DeliveryLagMs() + 2;

    std::printf(
        "Receive path per answer with alarms on (arrival + share of its block's release)\n");
    std::printf("  %-6s %-12s %10s %10s %10s %12s\n", "clock", "records", "median us", "p99 us",
                "max us", "alarm events");
    for (const bool threadTime : {false, true})
        for (std::uint32_t records : {0u, 1000000u}) {
            measuredClock = threadTime ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
            const char* clockName = threadTime ? "thread" : "wall";
            Prefill(form, records);
            std::vector<double> us;
            std::array<double, 17> arrival{};
            release.fill(0);
            const int cycles = 100;
            const int releasedBefore = released;
            const int eventsBefore = events;
            int i = 0;
            for (int cycle = 0; cycle <= cycles; ++cycle) {
                for (int step = 1; step <= 16; ++step) {
                    session.SendNextPollRequest();
                    // Step 1 released A1's block of the cycle before, step 10 A0's block.
                    if (step == 1 && cycle > 0)
                        for (int s = 9; s <= 14; ++s) us.push_back(arrival[s] + release[s]);
                    if (step == 10)
                        for (int s = 1; s <= 8; ++s) us.push_back(arrival[s] + release[s]);
                    if (step > 14 || cycle == cycles) continue;
                    // The answer is taken to have arrived the link's delivery lag before it is
                    // handed over: wait that long after the request so it falls in its slot.
                    SleepMs(lagMs);
                    const auto answer = Answer(step <= 8 ? 0xA0 : 0xA1, i++);
                    const double t1 = NowUs();
                    session.Comm1ReceiveData(answer);
                    arrival[step] = NowUs() - t1;
                }
                bench::RunEventLoopFor(0);  // the views repaint between cycles
            }
            std::printf("  %-6s %-12u %10.1f %10.1f %10.1f %12d\n", clockName, records,
                        bench::Percentile(us, 50), bench::Percentile(us, 99),
                        bench::Percentile(us, 100), events - eventsBefore);
            if (released - releasedBefore != cycles * 14)
                std::printf("  (only %d of %d readings were released)\n", released - releasedBefore,
                            cycles * 14);
            bench::Result(
                (std::string(threadTime ? "receive_alarms_cpu_us_p99_" : "receive_alarms_us_p99_") +
                 std::to_string(records))
                    .c_str(),
                bench::Percentile(us, 99));
        }
    return 0;
}
