#pragma once
// Matching what the window shows against what batmon-sim logged that it sent.

#include <QDateTime>
#include <QString>
#include <map>
#include <vector>

#include "display/HistoryGridModel.h"
#include "display/TextFormats.h"
#include "tests/common/FormControls.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/StringGrid.h"

namespace shown {

// One answer the simulator put on the wire with a valid checksum.
struct SentAnswer {
    qint64 tUs = 0;
    int voltageRaw = 0;
    int temperatureRaw = 0;
    int status = 0;
};

using Register = std::pair<int, int>;  // device, start register
using SentAnswers = std::map<Register, std::vector<SentAnswer>>;

inline Register RegisterOfStep(int step) {
    return {step <= 8 ? 0xA0 : 0xA1, 0x80 + (step - 1) % 8};
}

// The answers of a log by device and register, in sending order; corrupted ones are left out.
inline SentAnswers AnswersSent(const std::vector<SimLogEntry>& log) {
    SentAnswers answers;
    for (const SimLogEntry& e : log) {
        if (e.dir != QStringLiteral("tx") || e.voltageRaw < 0 ||
            e.HasFault(QStringLiteral("corrupt")))
            continue;
        answers[{e.device, e.registerAddress}].push_back(
            {e.tUs, e.voltageRaw, e.temperatureRaw, e.status});
    }
    return answers;
}

// The operator's text for each status code a device can report; other codes show in hex.
inline QString StatusText(int code) {
    static const std::map<int, QString> kTexts = {{0x00, QStringLiteral("无此设备")},
                                                  {0x11, QStringLiteral("正常")},
                                                  {0x71, QStringLiteral("电压异常")},
                                                  {0x72, QStringLiteral("温度异常")},
                                                  {0x73, QStringLiteral("鼓包异常")}};
    const auto found = kTexts.find(code);
    if (found != kTexts.end()) return found->second;
    return QStringLiteral("0x%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

inline int RecordCount(const StringGrid& grid) {
    return int(static_cast<const HistoryGridModel*>(grid.Model())->RecordCount());
}

// Does history row `row` show this answer? Values and status must agree, and the record's time
// (when the answer arrived) must lie within `graceS` seconds after the simulator sent it: a
// late answer of the same register one cycle earlier is then still told apart.
inline bool RowShowsAnswer(const StringGrid& grid, int row, const SentAnswer& sent,
                           int graceS = 2) {
    if (grid.Cells(1, row) != NumberText(sent.voltageRaw / 10.0) ||
        grid.Cells(2, row) != NumberText(sent.temperatureRaw / 10.0) ||
        grid.Cells(3, row) != StatusText(sent.status))
        return false;
    const qint64 sentSeconds = sent.tUs / 1000000;
    for (qint64 late = 0; late <= graceS; ++late) {
        if (grid.Cells(0, row) == TimeStampText(QDateTime::fromSecsSinceEpoch(sentSeconds + late)))
            return true;
    }
    return false;
}

// Rows of the history table of `step` that show no answer sent for that step's device and
// register, matched in sending order (each answer backs at most one row). Described for a
// failure message; empty when every row was sent for its battery.
inline QStringList RowsNotSentForTheirBattery(const QObject& form, int step,
                                              const SentAnswers& sent) {
    const StringGrid& grid = *testsupport::HistoryGrid(form, step);
    const auto found = sent.find(RegisterOfStep(step));
    const std::vector<SentAnswer> none;
    const std::vector<SentAnswer>& answers = found == sent.end() ? none : found->second;
    QStringList wrong;
    std::size_t next = 0;
    for (int row = 1; row <= RecordCount(grid); ++row) {
        std::size_t i = next;
        while (i < answers.size() && !RowShowsAnswer(grid, row, answers[i])) ++i;
        if (i == answers.size()) {
            QString sentFor;
            for (const auto& [reg, others] : sent) {
                for (const SentAnswer& other : others) {
                    if (RowShowsAnswer(grid, row, other))
                        sentFor += QStringLiteral(" sent by %1 register %2 at %3 ms;")
                                       .arg(reg.first, 0, 16)
                                       .arg(reg.second, 0, 16)
                                       .arg(other.tUs / 1000 % 100000);
                }
            }
            wrong << QStringLiteral("table %1 row %2: %3 %4 %5 %6:%7")
                         .arg(step)
                         .arg(row)
                         .arg(grid.Cells(0, row), grid.Cells(1, row), grid.Cells(2, row),
                              grid.Cells(3, row), sentFor);
            continue;
        }
        next = i + 1;
    }
    return wrong;
}

// Live row k shows battery k's newest record (history table k + 8), or nothing when it has none.
inline QStringList LiveRowsNotTheirBattery(const QObject& form) {
    QStringList wrong;
    const auto* live = testsupport::Control<::StringGrid>(form, "StringGrid");
    for (int k = 1; k <= 6; ++k) {
        const StringGrid& history = *testsupport::HistoryGrid(form, k + 8);
        const int last = RecordCount(history);
        for (int col = 1; col <= 3; ++col) {
            const QString expected = last > 0 ? history.Cells(col, last) : QString();
            if (live->Cells(col + 1, k) != expected) {
                wrong << QStringLiteral("live row %1 column %2 shows %3, battery's newest is %4")
                             .arg(k)
                             .arg(col + 1)
                             .arg(live->Cells(col + 1, k), expected);
            }
        }
    }
    return wrong;
}

}  // namespace shown
