// Time of Comm1ReceiveData per poll answer with history tables of 0, 100 000 and 1 000 000
// records. Each measured answer goes the whole way: gate, decode, history record, real-time
// row, both charts and the log line, on the real window (offscreen).
#include <time.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <cstdio>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
#include "display/HistoryGridModel.h"
#include "protocol/ModbusCrc.h"
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

std::array<std::uint8_t, 11> Answer(std::uint8_t address, int i) {
    std::array<std::uint8_t, 11> a{
        address, 0x04, 0x06, 0x11, std::uint8_t(120 + i % 18), 0x00, std::uint8_t(200 + i % 50),
        0,       0,    0,    0};
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
    TForm1 form;
    form.show();
    Control<PageControl>(form, "RzPageControl1")
        ->setCurrentIndex(1);  // the history page is on screen
    bench::RunEventLoopFor(50);

    std::printf("Comm1ReceiveData per answer (gate, decode, history, live row, charts, log)\n");
    std::printf("  %-12s %10s %10s %10s\n", "records", "median us", "p99 us", "max us");
    for (std::uint32_t records : {0u, 100000u, 1000000u}) {
        Prefill(form, records);
        std::vector<double> us;
        for (int i = 0; i < 3000; ++i) {
            const int step = 1 + i % 14;
            if (step == 1) {  // what each cycle does around its answers
                Control<QPlainTextEdit>(form, "Memo1")->clear();
                Control<BarSeries>(form, "Series1")->Clear();
                Control<BarSeries>(form, "BarSeries1")->Clear();
                bench::RunEventLoopFor(0);
            }
            form.Session().Poll().PollCycleActive = true;
            form.Session().Poll().SentStep = std::uint16_t(step);
            const auto answer = Answer(step <= 8 ? 0xA0 : 0xA1, i);
            const double t0 = NowUs();
            form.Session().Comm1ReceiveData(answer);
            us.push_back(NowUs() - t0);
            if (i % 14 == 13) bench::RunEventLoopFor(0);  // let the views repaint between cycles
        }
        std::printf("  %-12u %10.1f %10.1f %10.1f\n", records, bench::Percentile(us, 50),
                    bench::Percentile(us, 99), bench::Percentile(us, 100));
        const std::string key = "receive_us_p99_" + std::to_string(records);
        bench::Result(key.c_str(), bench::Percentile(us, 99));
        bench::Result(("receive_us_median_" + std::to_string(records)).c_str(),
                      bench::Percentile(us, 50));
    }
    return 0;
}
