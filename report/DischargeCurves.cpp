#include "report/DischargeCurves.h"

#include <QDateTime>
#include <algorithm>

#include "store/RangeReader.h"
#include "trend/TrendPlot.h"
#include "trend/TrendQuery.h"

namespace report {
namespace {

// Some time either side, so the fall at the start and the recovery at the end show.
constexpr qint64 kMarginMs = 60'000;

}  // namespace

bool ShowDischargeCurves(TrendPlot& plot, const alarms::DischargeRecord& record,
                         const QString& historyFile, QString* error) {
    const qint64 endMs = record.endMs.value_or(QDateTime::currentMSecsSinceEpoch());
    TrendRequest request;
    for (const alarms::BatteryDischarge& b : record.batteries)
        request.batteries.push_back(b.battery);
    const qint64 margin = std::max<qint64>(kMarginMs, (endMs - record.startMs) / 20);
    request.range = {record.startMs - margin, endMs + margin};
    request.columns = std::max(1, plot.ColumnCount());
    request.gapMs = plot.GapMs();
    plot.SetChosenRange(request.range);
    store::RangeReader reader(historyFile);
    if (!reader.IsOpen()) {
        if (error) *error = reader.ErrorText();
        plot.Clear();
        return false;
    }
    const TrendResult result = ReadTrend(reader, request);
    if (!result.error.isEmpty()) {
        if (error) *error = result.error;
        plot.Clear();
        return false;
    }
    plot.SetData(result);
    return true;
}

QImage DischargeCurvesImage(const alarms::DischargeRecord& record, const QString& historyFile,
                            QSize size, QString* error) {
    TrendPlot plot;
    plot.resize(size);
    plot.setAttribute(Qt::WA_DontShowOnScreen);
    plot.show();  // lays the plot out at its size
    ShowDischargeCurves(plot, record, historyFile, error);
    return plot.Render();
}

}  // namespace report
