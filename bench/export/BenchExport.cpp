// Exports a 5 x 1024 table through the real LibreOffice backend and reports how long reaching
// the office takes (started fresh, started with an existing profile, already running) and how
// long the routine takes from its first cell put until the workbook is shown.
#include <QApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "export/ClassRegistry.h"
#include "export/ExportGridsToExcel.h"
#include "export/calc/CalcPluginLoader.h"
#include "models/GridModel.h"
#include "widgets/MessageBox.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Timeline {
    Clock::time_point createStart, created, firstCell, shown;
};

// Passes every call through and notes when the phases of an export begin and end.
class TimingDispatch : public automation::Dispatch {
public:
    TimingDispatch(std::shared_ptr<automation::Dispatch> inner, Timeline& timeline)
        : inner_(std::move(inner)), timeline_(timeline) {}

    automation::Variant Invoke(const QString& member, automation::CallKind kind,
                               const automation::Arguments& args) override {
        if (member == u"Cells" && timeline_.firstCell == Clock::time_point{}) {
            timeline_.firstCell = Clock::now();
        }
        automation::Variant result = inner_->Invoke(member, kind, args);
        if (member == u"Visible") timeline_.shown = Clock::now();
        if (result.HeldType() == automation::Variant::Type::Object) {
            return std::shared_ptr<automation::Dispatch>(
                std::make_shared<TimingDispatch>(result.ToObject(), timeline_));
        }
        return result;
    }

private:
    std::shared_ptr<automation::Dispatch> inner_;
    Timeline& timeline_;
};

class Table : public GridModel {
public:
    int ColCount() const override { return 5; }
    int RowCount() const override { return 1024; }
    void SetRowCount(int) override {}
    QString Cell(int col, int row) const override {
        static const QStringList header{"模块地址", "采样时间", "电压V", "温度℃", "鼓包"};
        if (row == 0) return header[col];
        switch (col) {
            case 0:
                return QStringLiteral("%1#(A1-80)").arg(row);
            case 1:
                return QStringLiteral("2024/05/01 10:%1:00").arg(row % 60, 2, 10, QLatin1Char('0'));
            case 2:
                return QStringLiteral("%1.%2").arg(12 + row % 2).arg(row % 10);
            case 3:
                return QString::number(20 + row % 15);
            default:
                return QStringLiteral("正常");
        }
    }
    void SetCell(int, int, const QString&) override {}
};

struct Run {
    const char* label;
    double connect, setup, fill;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("BATMON_PLUGIN_DIR"))
        qputenv("BATMON_PLUGIN_DIR", BATMON_CALC_PLUGIN_DIR);
    QApplication app(argc, argv);
    QTemporaryDir profile;
    qputenv("BATMON_OFFICE_PROFILE", profile.path().toUtf8());
    QString failure;
    messagebox::SetHook([&](const QString& text, const QString&) { failure = text; });

    Timeline timeline;
    const automation::Factory calcFactory = automation::RegisterClass("Excel.Application", {});
    automation::RegisterClass("Excel.Application", [&]() -> std::shared_ptr<automation::Dispatch> {
        timeline.createStart = Clock::now();
        std::shared_ptr<automation::Dispatch> excel;
        try {
            excel = calcFactory();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "cannot reach the office: %s\n", error.what());
            throw;
        }
        timeline.created = Clock::now();
        return std::make_shared<TimingDispatch>(excel, timeline);
    });

    Table table;
    std::vector<Run> runs;
    auto exportOnce = [&](const char* label) {
        timeline = {};
        ExportGridsToExcel({&table});
        if (!failure.isEmpty()) return false;
        runs.push_back({label, Ms(timeline.created - timeline.createStart),
                        Ms(timeline.firstCell - timeline.created),
                        Ms(timeline.shown - timeline.firstCell)});
        calc::ConnectProbe()->CloseSpreadsheetDocuments();
        return true;
    };
    try {
        bool ok = exportOnce("office started, new profile");
        if (ok) calc::ConnectProbe()->TerminateOffice();
        ok = ok && exportOnce("office started, profile exists");
        for (int i = 0; ok && i < 5; ++i) ok = exportOnce("office running");
        if (ok) calc::ConnectProbe()->TerminateOffice();
        if (!ok) {
            std::fprintf(stderr, "export failed: %s\n", failure.toUtf8().constData());
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "export failed: %s\n", error.what());
        return 1;
    }

    std::printf("%-32s %12s %12s %12s\n", "5 x 1024 export", "connect ms", "workbook ms",
                "fill ms");
    for (const Run& run : runs) {
        std::printf("%-32s %12.1f %12.1f %12.1f\n", run.label, run.connect, run.setup, run.fill);
    }
    std::vector<double> warmFills;
    for (size_t i = 1; i < runs.size(); ++i) warmFills.push_back(runs[i].fill);
    std::sort(warmFills.begin(), warmFills.end());
    std::printf(
        "(workbook: new hidden document, caption and sheet name; fill: 5,120 Cells puts,\n"
        " one bulk write and showing the document; target for fill: under 100 ms)\n");
    std::printf("RESULT export_fill_ms %.1f\n", warmFills[warmFills.size() / 2]);
    std::printf("RESULT export_connect_ms %.1f\n", runs[1].connect);
    return 0;
}
