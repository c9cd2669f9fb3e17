// A long run of the real window against a simulated bus that injects every kind of fault it
// knows, with the bus unplugged and replaced part-way. The run length comes from the
// environment variable BATMON_SOAK_SECONDS (default 60); scripts/soak.sh runs it for longer.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "display/HistoryGridModel.h"
#include "display/TextFormats.h"
#include "engine/MonitorSession.h"
#include "engine/TTimer.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tests/e2e/ShownReadings.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/BarChart.h"
#include "widgets/StringGrid.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

using namespace std::chrono_literals;
using testsupport::HoldsFor;
using testsupport::WaitUntil;

namespace {

std::chrono::seconds SoakDuration() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("BATMON_SOAK_SECONDS", &ok);
    // Below half a minute there is no room for a warm-up, an unplugged bus and a recovery.
    return std::chrono::seconds(ok ? std::max(seconds, 30) : 60);
}

// Resident set size of this process. Free heap pages are handed back to the system first, so
// the figure follows the memory in use rather than what the allocator happens to keep cached.
std::size_t ResidentBytes() {
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2) return 0;
    return fields[1].toULongLong() * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

double Megabytes(double bytes) { return bytes / (1024.0 * 1024.0); }

using shown::Register;
using shown::RegisterOfStep;
using shown::RowShowsAnswer;
using shown::StatusText;

// One answer frame the simulator put on the wire with a valid checksum, with its faults.
struct SentAnswer : shown::SentAnswer {
    QString fault;
    // A late answer whose successor (the next register's answer) never arrived whole: dropped,
    // or torn with its start in the late answer's read. Alone in the next request's slot, at a
    // time an answer in time could have come, it cannot be told from that request's answer.
    bool successorLost = false;
};

using SentAnswers = std::map<Register, std::vector<SentAnswer>>;

// Counts of one simulator's traffic, for the report of the run.
struct TrafficCounts {
    int requests = 0;
    int answerFrames = 0;  // a doubled answer counts twice, as it went twice over the wire
    int dropped = 0;
    int corrupt = 0;
    int split = 0;
    int doubled = 0;
    int noise = 0;
    int late = 0;

    void Add(const TrafficCounts& o) {
        requests += o.requests, answerFrames += o.answerFrames, dropped += o.dropped;
        corrupt += o.corrupt, split += o.split, doubled += o.doubled, noise += o.noise;
        late += o.late;
    }
};

// Marks the late answers among `answers` (one register's) whose successor was lost: the
// next register of the device has a dropped or torn answer within one pacing interval of it.
void MarkLostSuccessors(std::vector<SentAnswer>& answers, const std::vector<qint64>& lostNextUs) {
    constexpr qint64 kPacingUs = 150'000;
    for (SentAnswer& a : answers) {
        if (!a.fault.contains(QStringLiteral("late"))) continue;
        a.successorLost = std::any_of(lostNextUs.begin(), lostNextUs.end(),
                                      [&](qint64 t) { return std::abs(t - a.tUs) < kPacingUs; });
    }
}

// Appends the answers of one simulator's log (in sending order) and returns its traffic counts.
// Corrupted answers are left out: their checksum is wrong, so nothing in them may be shown.
TrafficCounts CollectAnswers(const std::vector<SimLogEntry>& log, SentAnswers& answers) {
    TrafficCounts counts;
    SentAnswers logAnswers;
    std::map<Register, std::vector<qint64>> lostAtUs;  // dropped or torn answers
    for (const SimLogEntry& e : log) {
        if (e.dir == QStringLiteral("rx")) ++counts.requests;
        if (e.dir == QStringLiteral("drop")) ++counts.dropped;
        if (e.dir != QStringLiteral("tx")) continue;
        if (e.device < 0) {  // the random bytes sent ahead of an answer
            counts.noise += e.HasFault(QStringLiteral("noise"));
            continue;
        }
        ++counts.answerFrames;
        counts.split += e.HasFault(QStringLiteral("split"));
        counts.doubled += e.HasFault(QStringLiteral("double"));
        counts.late += e.HasFault(QStringLiteral("late"));
        if (e.HasFault(QStringLiteral("corrupt"))) {
            ++counts.corrupt;
            continue;
        }
        if (e.voltageRaw < 0) continue;
        logAnswers[{e.device, e.registerAddress}].push_back(
            {{e.tUs, e.voltageRaw, e.temperatureRaw, e.status}, e.fault});
    }
    for (const SimLogEntry& e : log) {
        const bool torn = e.dir == QStringLiteral("tx") && e.HasFault(QStringLiteral("split"));
        if (e.device >= 0 && (e.dir == QStringLiteral("drop") || torn))
            lostAtUs[{e.device, e.registerAddress}].push_back(e.tUs);
    }
    for (auto& [reg, list] : logAnswers) {
        MarkLostSuccessors(list, lostAtUs[{reg.first, reg.second + 1}]);
        auto& all = answers[reg];
        all.insert(all.end(), list.begin(), list.end());
    }
    counts.doubled /= 2;  // both copies carry the mark
    return counts;
}

int RecordCount(const StringGrid* grid) { return shown::RecordCount(*grid); }

// Records held by the history tables of poll steps first..last.
int RecordsOfSteps(const TForm1& form, int first, int last) {
    int total = 0;
    for (int step = first; step <= last; ++step) total += RecordCount(HistoryGrid(form, step));
    return total;
}

int TotalRecords(const TForm1& form) { return RecordsOfSteps(form, 1, 14); }

// The records of every history table as their cells' texts (time, voltage, temperature,
// status), oldest first; index 0 holds poll step 1.
using ShownRecords = std::vector<std::vector<QStringList>>;

ShownRecords RecordsShown(const TForm1& form) {
    ShownRecords shown(14);
    for (int step = 1; step <= 14; ++step) {
        const StringGrid* grid = HistoryGrid(form, step);
        for (int row = 1; row <= RecordCount(grid); ++row)
            shown[step - 1].push_back({grid->Cells(0, row), grid->Cells(1, row),
                                       grid->Cells(2, row), grid->Cells(3, row)});
    }
    return shown;
}

// The store holds exactly the records the tables showed: each battery's readings, in order,
// with the texts its table showed for them. Returns the first difference, empty when none.
QString StoreDisagreement(const ShownRecords& shown, const std::vector<battery::Reading>& stored) {
    ShownRecords onDisk(14);
    for (const battery::Reading& r : stored) {
        const int step = r.device == 0xA0 ? r.battery + 1 : r.battery + 9;
        if (step < 1 || step > 14) return QStringLiteral("a reading of no polled battery");
        onDisk[step - 1].push_back({TimeStampText(QDateTime::fromSecsSinceEpoch(r.t_ms / 1000)),
                                    NumberText(r.voltage_dv / 10.0),
                                    NumberText(r.temperature_dc / 10.0), StatusText(r.status)});
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (onDisk[i] == shown[i]) continue;
        const std::size_t common = std::min(onDisk[i].size(), shown[i].size());
        std::size_t first = 0;
        while (first < common && onDisk[i][first] == shown[i][first]) ++first;
        return QStringLiteral(
                   "step %1: %2 records shown, %3 stored; first difference at %4: "
                   "shown '%5', stored '%6'")
            .arg(i + 1)
            .arg(shown[i].size())
            .arg(onDisk[i].size())
            .arg(first + 1)
            .arg(first < shown[i].size() ? shown[i][first].join(u' ') : QString(),
                 first < onDisk[i].size() ? onDisk[i][first].join(u' ') : QString());
    }
    return {};
}

// Result of matching one history table against the answers of its register.
struct TableMatch {
    int records = 0;
    std::vector<int> unmatchedRows;
    int lateOfPreviousBattery = 0;        // see MatchTable
    std::vector<int> rowsWithStrayText;   // rows below the newest record that are not empty
    std::map<QString, int> shownByFault;  // matched records by the faults of their answer
    std::optional<SentAnswer> newestShown;
};

// Every record must show a distinct answer sent for its device and register, in sending order:
// record n is matched to the earliest answer after record n-1's that it shows. Taking the
// earliest fitting answer never loses a match a later record could have needed.
//
// One case is told apart: a late answer of the battery polled just before (`previous`) whose
// successor never arrived whole (see SentAnswer::successorLost); such rows are counted, not
// matched. A successor that arrived with a bad checksum took its slot, so that case is not.
TableMatch MatchTable(const StringGrid& grid, const std::vector<SentAnswer>& sent,
                      const std::vector<SentAnswer>& previous) {
    TableMatch match;
    match.records = RecordCount(&grid);
    std::size_t next = 0;
    for (int row = 1; row <= match.records; ++row) {
        std::size_t i = next;
        while (i < sent.size() && !RowShowsAnswer(grid, row, sent[i])) ++i;
        if (i == sent.size()) {
            const bool lateFromPrevious =
                std::any_of(previous.begin(), previous.end(), [&](const SentAnswer& a) {
                    return a.successorLost && RowShowsAnswer(grid, row, a);
                });
            if (lateFromPrevious) {
                ++match.lateOfPreviousBattery;
                match.newestShown.reset();  // the live row shows this one now
            } else {
                match.unmatchedRows.push_back(row);
            }
            continue;
        }
        ++match.shownByFault[sent[i].fault.isEmpty() ? QStringLiteral("none") : sent[i].fault];
        match.newestShown = sent[i];
        next = i + 1;
    }
    for (int row = match.records + 1; row < grid.RowCount(); ++row) {
        for (int col = 0; col < 4; ++col) {
            if (!grid.Cells(col, row).isEmpty()) {
                match.rowsWithStrayText.push_back(row);
                break;
            }
        }
    }
    return match;
}

// The real-time table and both charts show each battery's newest reading: row k and the bars
// in slot k agree with the last record of the battery's history table (poll step k + 8).
// Returns what disagrees, empty when all agree.
QString LiveViewDisagreement(const TForm1& form) {
    for (int k = 1; k <= 6; ++k) {
        const StringGrid* history = HistoryGrid(form, k + 8);
        const int last = RecordCount(history);
        const QString voltage = last > 0 ? history->Cells(1, last) : QString();
        const QString temperature = last > 0 ? history->Cells(2, last) : QString();
        const QString status = last > 0 ? history->Cells(3, last) : QString();
        const StringGrid* live = Control<::StringGrid>(form, "StringGrid");
        if (live->Cells(2, k) != voltage || live->Cells(3, k) != temperature ||
            live->Cells(4, k) != status) {
            return QStringLiteral("row %1 shows %2 %3 %4, its newest record is %5 %6 %7")
                .arg(k)
                .arg(live->Cells(2, k), live->Cells(3, k), live->Cells(4, k), voltage, temperature,
                     status);
        }
        for (const BarPoint& bar : Control<BarSeries>(form, "Series1")->Points()) {
            if (bar.x == k && bar.label != voltage)
                return QStringLiteral("voltage bar %1 shows %2, not %3")
                    .arg(k)
                    .arg(bar.label, voltage);
        }
        for (const BarPoint& bar : Control<BarSeries>(form, "BarSeries1")->Points()) {
            if (bar.x == k && bar.label != temperature)
                return QStringLiteral("temperature bar %1 shows %2, not %3")
                    .arg(k)
                    .arg(bar.label, temperature);
        }
    }
    return {};
}

// Runs the program for `span`, checking the live views whenever a new record has arrived.
// Returns the first disagreement, empty when there was none.
QString RunAndWatchLiveViews(const TForm1& form, std::chrono::milliseconds span) {
    QString disagreement;
    int recordsSeen = -1;
    HoldsFor(
        [&] {
            const int records = TotalRecords(form);
            if (records != recordsSeen) {
                recordsSeen = records;
                disagreement = LiveViewDisagreement(form);
            }
            return disagreement.isEmpty();
        },
        span);
    return disagreement;
}

// Every fault the simulator injects, mixed. Drops are random; the periodic faults use periods
// prime to the sixteen requests of a cycle so that they wander over all poll steps. Most answers
// stay inside the 150 ms between requests even with the longest pause and a second copy; every
// late-every-th comes 180 ms after its request, after the next request went out, and
// the noise puts stray bytes on the line just ahead of an answer, as a turning RS-485 line does.
QStringList FaultOptions(int seed, int splitPauseMs) {
    return {QStringLiteral("--seed"),           QString::number(seed),
            QStringLiteral("--drop-rate"),      QStringLiteral("0.05"),
            QStringLiteral("--delay-ms"),       QStringLiteral("20"),
            QStringLiteral("--corrupt-every"),  QStringLiteral("7"),
            QStringLiteral("--split-every"),    QStringLiteral("5"),
            QStringLiteral("--split-pause-ms"), QString::number(splitPauseMs),
            QStringLiteral("--double-every"),   QStringLiteral("11"),
            QStringLiteral("--noise-every"),    QStringLiteral("13"),
            QStringLiteral("--late-every"),     QStringLiteral("29"),
            QStringLiteral("--late-ms"),        QStringLiteral("160"),
            QStringLiteral("--wire-time")};
}

const QColor kLampSilver(192, 192, 192);

// Takes the program's message boxes into a list while it exists, instead of showing them.
}  // namespace

TEST(SoakTest, faultsNeverCorruptTheScreenAndThePortRecovers) {
    const std::chrono::milliseconds duration = SoakDuration();
    const std::chrono::milliseconds warmUp = std::min<std::chrono::milliseconds>(60s, duration / 4);
    const std::chrono::milliseconds unplugAt = duration * 2 / 3;
    QElapsedTimer clock;

    testsupport::WindowRig window;
    TForm1* form = &window.Form();

    // The first bus pauses inside answers for less than the 20 ms read interval, the second
    // for more: the first kind must arrive whole, the second is lost but must show nothing.
    SimProcess firstBus;
    ASSERT_TRUE(window.OpenOnSimulatedBus(firstBus, FaultOptions(101, 8)))
        << window.ErrorText().toStdString();
    clock.start();
    ASSERT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("关闭串口"));
    window.StartMonitoring(QStringLiteral("1"));
    ASSERT_EQ(form->Session().SamplingTimer().Interval(), 1000);
    ASSERT_TRUE(WaitUntil([&] { return TotalRecords(*form) > 0; }, 10s));

    const auto remainingUntil = [&](std::chrono::milliseconds at) {
        return std::max(0ms, at - std::chrono::milliseconds(clock.elapsed()));
    };
    QString disagreement = RunAndWatchLiveViews(*form, remainingUntil(warmUp));
    ASSERT_TRUE(disagreement.isEmpty()) << disagreement.toStdString();
    const std::size_t residentAfterWarmUp = ResidentBytes();
    const int recordsAfterWarmUp = TotalRecords(*form);

    disagreement = RunAndWatchLiveViews(*form, remainingUntil(unplugAt));
    ASSERT_TRUE(disagreement.isEmpty()) << disagreement.toStdString();

    // Unplugged: the port closes on its own and the lamp goes out; the timers keep running.
    firstBus.Kill();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Control<QPushButton>(*form, "Button1")->text() == QStringLiteral("打开串口");
        },
        5s));
    EXPECT_EQ(Control<CircleShape>(*form, "Shape1")->BrushColor(), kLampSilver);
    EXPECT_TRUE(form->Session().SamplingTimer().Enabled());

    // A new bus on a new port: the operator opens it and the traffic resumes without
    // starting the monitoring again.
    SimProcess secondBus;
    ASSERT_TRUE(window.OpenOnSimulatedBus(secondBus, FaultOptions(202, 40)))
        << window.ErrorText().toStdString();
    ASSERT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("关闭串口"));
    const int firstDeviceRecordsAtReopen = RecordsOfSteps(*form, 1, 8);
    const int secondDeviceRecordsAtReopen = RecordsOfSteps(*form, 9, 14);
    const int totalAtReopen = TotalRecords(*form);
    ASSERT_TRUE(WaitUntil([&] { return TotalRecords(*form) > totalAtReopen; }, 10s));

    disagreement = RunAndWatchLiveViews(*form, remainingUntil(duration));
    ASSERT_TRUE(disagreement.isEmpty()) << disagreement.toStdString();
    // Readings are shown when their device's block of the cycle is settled: let the running
    // cycle end before the port closes, so what was on the wire has had its chance.
    QSignalSpy cycleEnded(&form->Session(), &MonitorSession::CycleEnded);
    EXPECT_TRUE(WaitUntil([&] { return cycleEnded.count() > 0; }, 5s));
    const std::size_t residentAtEnd = ResidentBytes();
    const int recordsAtEnd = TotalRecords(*form);
    EXPECT_GT(RecordsOfSteps(*form, 1, 8), firstDeviceRecordsAtReopen);
    EXPECT_GT(RecordsOfSteps(*form, 9, 14), secondDeviceRecordsAtReopen);
    QTest::mouseClick(Control<QPushButton>(*form, "Button1"),
                      Qt::LeftButton);  // closed: the tables stop changing

    // Memory. A record costs 16 bytes in its table plus the grid's per-row bookkeeping (about
    // 24 bytes) and the store's reserve: 64 bytes per record is ample. The slack covers the
    // port threads and the process handle of the second bus and allocator noise (about 0.1 MB
    // measured). Pacing makes a cycle 2.4 s long, so at a 1 s period a cycle starts every 3 s
    // and ten minutes bring some 2900 requests after the warm-up: a leak of 300 bytes per
    // answer (0.8 MB) breaks this bound. A 60 s run only proves that the growth stays bounded.
    constexpr std::size_t kBytesPerRecord = 64;
    constexpr std::size_t kSlackBytes = 512 * 1024;
    const std::size_t newRecords = static_cast<std::size_t>(recordsAtEnd - recordsAfterWarmUp);
    const double growth = double(residentAtEnd) - double(residentAfterWarmUp);
    EXPECT_LT(growth, double(newRecords * kBytesPerRecord + kSlackBytes))
        << "resident memory grew by " << Megabytes(growth) << " MB for " << newRecords
        << " records";

    // Everything the history tables show was sent, for that device and register, in order.
    SentAnswers sent;
    TrafficCounts traffic = CollectAnswers(firstBus.ReadLog(), sent);
    const TrafficCounts secondBusTraffic = CollectAnswers(secondBus.ReadLog(), sent);
    traffic.Add(secondBusTraffic);
    EXPECT_GE(secondBusTraffic.requests, 2 * 16)
        << "the poll cycles stopped after the port was opened again";
    int shown = 0;
    int lateShifted = 0;
    std::map<QString, int> shownByFault;
    for (int step = 1; step <= 14; ++step) {
        SCOPED_TRACE(step);
        const StringGrid& grid = *HistoryGrid(*form, step);
        const std::vector<SentAnswer> none;
        const bool firstOfDevice = step == 1 || step == 9;
        const TableMatch match = MatchTable(grid, sent[RegisterOfStep(step)],
                                            firstOfDevice ? none : sent[RegisterOfStep(step - 1)]);
        shown += match.records;
        lateShifted += match.lateOfPreviousBattery;
        if (step >= 9 && match.newestShown) {
            // The live views of the battery show its newest answer, exactly as sent.
            const int k = step - 8;
            const QString voltage = NumberText(match.newestShown->voltageRaw / 10.0);
            const QString temperature = NumberText(match.newestShown->temperatureRaw / 10.0);
            EXPECT_EQ(Control<::StringGrid>(*form, "StringGrid")->Cells(2, k), voltage);
            EXPECT_EQ(Control<::StringGrid>(*form, "StringGrid")->Cells(3, k), temperature);
            EXPECT_EQ(Control<::StringGrid>(*form, "StringGrid")->Cells(4, k),
                      StatusText(match.newestShown->status));
            for (const BarPoint& bar : Control<BarSeries>(*form, "Series1")->Points()) {
                if (bar.x == k) {
                    EXPECT_EQ(bar.label, voltage);
                }
            }
            for (const BarPoint& bar : Control<BarSeries>(*form, "BarSeries1")->Points()) {
                if (bar.x == k) {
                    EXPECT_EQ(bar.label, temperature);
                }
            }
        }
        for (const auto& [fault, n] : match.shownByFault) shownByFault[fault] += n;
        QString sentElsewhere;
        if (!match.unmatchedRows.empty()) {
            for (const auto& [reg, answers] : sent) {
                for (const SentAnswer& a : answers) {
                    if (RowShowsAnswer(grid, match.unmatchedRows.front(), a))
                        sentElsewhere += QStringLiteral(" (sent by %1 register %2, fault '%3')")
                                             .arg(reg.first, 0, 16)
                                             .arg(reg.second, 0, 16)
                                             .arg(a.fault);
                }
            }
        }
        EXPECT_TRUE(match.unmatchedRows.empty())
            << match.unmatchedRows.size() << " of " << match.records
            << " records were never sent; first: row " << match.unmatchedRows.front() << " "
            << (grid.Cells(0, match.unmatchedRows.front()) + u' ' +
                grid.Cells(1, match.unmatchedRows.front()) + u' ' +
                grid.Cells(2, match.unmatchedRows.front()) + u' ' +
                grid.Cells(3, match.unmatchedRows.front()) + sentElsewhere)
                   .toStdString();
        EXPECT_TRUE(match.rowsWithStrayText.empty())
            << "text below the newest record in row " << match.rowsWithStrayText.front();
    }
    EXPECT_LE(lateShifted, traffic.late);
    // Answers paused for less than the read interval arrive whole; so most answers are shown.
    EXPECT_GT(shownByFault[QStringLiteral("split")], 0);
    EXPECT_GT(shown, traffic.requests / 3);
    for (const testsupport::WindowRig::ShownMessage& m : window.Messages())
        ADD_FAILURE() << m.text.toStdString();

    // A reading is shown once it is in the file: wait until the last ones handed over are.
    const auto storedCount = [&] {
        return store::HistoryReader(store::HistoryFilePath(window.DataDir())).LoadSince(0).size();
    };
    EXPECT_TRUE(WaitUntil([&] { return storedCount() == std::size_t(TotalRecords(*form)); }, 5s));
    const ShownRecords shownAtEnd = RecordsShown(*form);
    window.Close();
    const std::vector<battery::Reading> stored =
        store::HistoryReader(store::HistoryFilePath(window.DataDir())).LoadSince(0);
    const QString storeDisagreement = StoreDisagreement(shownAtEnd, stored);
    EXPECT_TRUE(storeDisagreement.isEmpty()) << storeDisagreement.toStdString();

    std::cout << "soak " << duration.count() / 1000 << " s: " << traffic.requests << " requests, "
              << traffic.answerFrames << " answer frames, faults: " << traffic.dropped
              << " dropped, " << traffic.corrupt << " corrupt, " << traffic.split << " split, "
              << traffic.doubled << " doubled, " << traffic.noise << " noise bursts, "
              << traffic.late << " late\n"
              << "shown: " << shown << " history records, stored: " << stored.size() << " (";
    for (const auto& [fault, n] : shownByFault) std::cout << fault.toStdString() << ' ' << n << ' ';
    std::cout << ")\nlate answers shown for the next battery after its own answer was lost: "
              << lateShifted << "\nresident: " << Megabytes(residentAfterWarmUp)
              << " MB after warm-up (" << recordsAfterWarmUp << " records), "
              << Megabytes(residentAtEnd) << " MB at end (" << recordsAtEnd << " records)\n";
}
