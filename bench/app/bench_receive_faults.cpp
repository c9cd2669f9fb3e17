// How many of the readings batmon-sim sent reach the screen and the history store when about
// one answer in 33 meets each fault: dropped, damaged, 300 ms late, behind a noise byte, split.
// The real window (offscreen, with its store in a temporary folder) monitors the simulated bus
// at a 1 s period for the given number of cycles; then its history tables and store are compared
// with the simulator's log. Usage: bench_receive_faults [cycles]   (default 60)
#include <QApplication>
#include <QDateTime>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "bench/app/BenchSupport.h"
#include "engine/MonitorSession.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/FormControls.h"
#include "tests/common/WindowRig.h"
#include "tests/e2e/ShownReadings.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/EventDispatcher.h"

namespace {

const QStringList kFaultMix = QStringLiteral(
                                  "--seed 33 --drop-rate 0.03 --corrupt-every 33 --late-every 33 "
                                  "--late-ms 300 --noise-every 33 --split-every 33")
                                  .split(u' ');

// Answers the simulator put on the wire for the fourteen watched batteries up to `untilUs`.
struct SentCounts {
    int all = 0;       // every answer sent, a damaged one too
    int readable = 0;  // with a valid checksum
    int late = 0;
};

SentCounts CountSent(const std::vector<SimLogEntry>& log, qint64 untilUs) {
    SentCounts counts;
    for (const SimLogEntry& e : log) {
        if (e.dir != QStringLiteral("tx") || e.device < 0 || e.voltageRaw < 0 || e.tUs > untilUs)
            continue;
        const int battery = e.registerAddress - 0x80;
        if (battery < 0 || battery >= (e.device == 0xA0 ? 8 : 6)) continue;
        ++counts.all;
        counts.readable += !e.HasFault(QStringLiteral("corrupt"));
        counts.late += e.HasFault(QStringLiteral("late"));
    }
    return counts;
}

// Stored readings that a history table does not show, matched by battery and values.
int StoredButNotShown(const TForm1& form, const std::vector<battery::Reading>& stored) {
    using Key = std::tuple<int, int, int, QString>;  // step, voltage, temperature, status
    std::map<Key, int> shownRows;
    for (int step = 1; step <= 14; ++step) {
        const StringGrid& grid = *testsupport::HistoryGrid(form, step);
        for (int row = 1; row <= shown::RecordCount(grid); ++row)
            ++shownRows[{step, qRound(grid.Cells(1, row).toDouble() * 10),
                         qRound(grid.Cells(2, row).toDouble() * 10), grid.Cells(3, row)}];
    }
    int missing = 0;
    for (const battery::Reading& r : stored) {
        const int step = r.device == 0xA0 ? r.battery + 1 : r.battery + 9;
        auto found =
            shownRows.find({step, r.voltageDv, r.temperatureDc, shown::StatusText(r.status)});
        if (found == shownRows.end() || found->second == 0)
            ++missing;
        else
            --found->second;
    }
    return missing;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;

    SimProcess sim;
    testsupport::WindowRig window;  // with its history store in a temporary folder
    TForm1& form = window.Form();
    if (!window.OpenOnSimulatedBus(sim, kFaultMix)) {
        std::fprintf(stderr, "%s\n", qPrintable(window.ErrorText()));
        return 1;
    }
    qint64 lastEndedUs = 0;
    QObject::connect(&form.Session(), &MonitorSession::CycleEnded, [&] {
        if (window.CyclesEnded() == cycles)
            lastEndedUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    });
    window.StartMonitoring(QStringLiteral("1"));
    if (!bench::RunUntil([&] { return window.CyclesEnded() >= cycles; }, cycles * 4000 + 5000)) {
        std::fprintf(stderr, "only %d of %d cycles ended\n", window.CyclesEnded(), cycles);
        return 1;
    }
    // Port closed: the tables hold still. A reading is shown once the store has committed it.
    testsupport::Control<QPushButton>(form, "Button1")->click();
    sim.Stop();
    window.WaitUntilShown();

    const auto shownRecords = [&form] {
        int records = 0;
        for (int step = 1; step <= 14; ++step)
            records += shown::RecordCount(*testsupport::HistoryGrid(form, step));
        return records;
    };
    const std::vector<battery::Reading> stored =
        store::HistoryReader(store::HistoryFilePath(window.DataDir())).LoadSince(0);

    const std::vector<SimLogEntry> log = sim.ReadLog();
    const SentCounts sent = CountSent(log, lastEndedUs);
    const shown::SentAnswers answers = shown::AnswersSent(log);
    const int shownCount = shownRecords();
    int wrong = 0;
    for (int step = 1; step <= 14; ++step)
        wrong += int(shown::RowsNotSentForTheirBattery(form, step, answers).size());
    const int storedNotShown = StoredButNotShown(form, stored);
    const int storedCount = int(stored.size()) - storedNotShown;

    const auto percent = [](int part, int whole) { return whole > 0 ? 100.0 * part / whole : 0; };
    std::printf("Readings shown and stored under a fault mix (%s), period 1 s, %d cycles\n",
                qPrintable(kFaultMix.join(u' ')), cycles);
    std::printf(
        "  sent by the simulator for the 14 batteries: %d (%d with a valid checksum, %d late)\n",
        sent.all, sent.readable, sent.late);
    std::printf("  shown: %d (%.1f %% of those sent, %.1f %% of those with a valid checksum)\n",
                shownCount, percent(shownCount, sent.all), percent(shownCount, sent.readable));
    std::printf("  stored: %d (%.1f %% of those sent); stored but not shown: %d\n", storedCount,
                percent(storedCount, sent.all), storedNotShown);
    std::printf("  shown on a battery that was not sent them: %d\n", wrong);
    bench::Result("fault_mix_shown_percent", percent(shownCount, sent.all));
    bench::Result("fault_mix_stored_percent", percent(storedCount, sent.all));
    bench::Result("fault_mix_wrong_readings", wrong + storedNotShown);
    return 0;
}
