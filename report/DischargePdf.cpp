#include "report/DischargePdf.h"

#include <QDateTime>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include "report/DischargeCsv.h"
#include "report/DischargeCurves.h"

namespace report {
namespace {

constexpr int kDpi = 150;
constexpr QColor kWeakestColor(0xc0, 0x20, 0x20);

// Writes lines down the page from `y`, returning the y below the last.
class PageWriter {
public:
    PageWriter(QPainter& painter, int left, int width) : p_(painter), left_(left), width_(width) {}

    void Line(const QString& text, int pointSize = 10, bool bold = false,
              const QColor& color = Qt::black) {
        QFont font = p_.font();
        font.setPointSize(pointSize);
        font.setBold(bold);
        p_.setFont(font);
        p_.setPen(color);
        const QRect box(left_, y_, width_, p_.fontMetrics().height());
        p_.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, text);
        y_ += box.height() + p_.fontMetrics().height() / 4;
    }

    // One table row of cells at the given column starts (fractions of the width).
    void Row(const QStringList& cells, const std::vector<double>& columns, bool bold,
             const QColor& color) {
        QFont font = p_.font();
        font.setPointSize(9);
        font.setBold(bold);
        p_.setFont(font);
        p_.setPen(color);
        const int height = p_.fontMetrics().height() * 3 / 2;
        for (int i = 0; i < cells.size(); ++i) {
            const int x = left_ + int(columns[std::size_t(i)] * width_);
            const int next = i + 1 < cells.size()
                                 ? left_ + int(columns[std::size_t(i) + 1] * width_)
                                 : left_ + width_;
            p_.drawText(QRect(x, y_, next - x, height), Qt::AlignLeft | Qt::AlignVCenter, cells[i]);
        }
        p_.setPen(QColor(0xc0, 0xc0, 0xc0));
        p_.drawLine(left_, y_ + height, left_ + width_, y_ + height);
        y_ += height;
    }

    void Skip(int pixels) { y_ += pixels; }
    int Y() const { return y_; }

private:
    QPainter& p_;
    int left_;
    int width_;
    int y_ = 0;
};

QString Volts(double v) { return QString::number(v, 'f', 2); }

}  // namespace

bool WriteDischargePdf(const alarms::DischargeRecord& record, const QString& site,
                       const QString& historyFile, const QString& pdfPath, QString* error) {
    QSaveFile file(pdfPath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const qint64 endMs = record.endMs.value_or(QDateTime::currentMSecsSinceEpoch());
    {
        QPdfWriter pdf(&file);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        pdf.setResolution(kDpi);
        pdf.setTitle(
            QStringLiteral("放电记录 %1 %2").arg(site, battery::DeviceName(record.device)));
        pdf.setCreator(QStringLiteral("batmon"));
        QPainter painter(&pdf);
        const QRect page = painter.viewport();
        PageWriter out(painter, 0, page.width());

        out.Line(QStringLiteral("放电记录"), 16, true);
        out.Line(
            QStringLiteral("站点: %1    设备: %2").arg(site, battery::DeviceName(record.device)));
        out.Line(QStringLiteral("开始: %1    结束: %2")
                     .arg(LocalTime(record.startMs),
                          record.endMs ? LocalTime(*record.endMs) : QStringLiteral("放电中")));
        out.Line(
            QStringLiteral("时长: %1    终止电压: %2 V")
                .arg(alarms::DurationText(record.DurationMs(endMs)), Volts(record.endVoltageV)));
        out.Line(QStringLiteral("最弱电池: %1").arg(WeakestText(record)), 10, true, kWeakestColor);
        if (const QString capacity = CapacityText(record, endMs); !capacity.isEmpty())
            out.Line(QStringLiteral("核容结果: %1").arg(capacity), 10, true);
        out.Skip(page.height() / 60);

        const std::vector<double> columns = {0, 0.14, 0.28, 0.42, 0.68, 0.84};
        out.Row({QStringLiteral("电池"), QStringLiteral("开始电压"), QStringLiteral("最低电压"),
                 QStringLiteral("到达终止电压"), QStringLiteral("最高温度"),
                 QStringLiteral("偏离中位数")},
                columns, true, Qt::black);
        const alarms::BatteryDischarge* weakest = record.Weakest();
        for (const alarms::BatteryDischarge& b : record.batteries) {
            const bool isWeakest = weakest && weakest->battery == b.battery;
            out.Row(
                {battery::BatteryLabel(b.battery) + (isWeakest ? QStringLiteral(" ★") : QString()),
                 Volts(b.startV) + QStringLiteral(" V"), Volts(b.minV) + QStringLiteral(" V"),
                 b.endReachedMs ? LocalTime(*b.endReachedMs) : QStringLiteral("-"),
                 QString::number(b.maxTemperatureC, 'f', 1) + QStringLiteral(" ℃"),
                 Volts(b.deviationV) + QStringLiteral(" V")},
                columns, isWeakest, isWeakest ? kWeakestColor : Qt::black);
        }
        out.Skip(page.height() / 60);

        // The curves at screen size, scaled onto the rest of the page's width.
        const QSize curvesSize(900, 560);
        const QImage curves = DischargeCurvesImage(record, historyFile, curvesSize);
        const int width = page.width();
        const int height =
            std::min(page.height() - out.Y(), width * curvesSize.height() / curvesSize.width());
        if (height > 0) painter.drawImage(QRect(0, out.Y(), width, height), curves);
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace report
