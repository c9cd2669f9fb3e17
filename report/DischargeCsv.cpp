#include "report/DischargeCsv.h"

#include <QDateTime>
#include <QStringList>

namespace report {
namespace {

QString Field(QString text) {
    if (text.contains(u',') || text.contains(u'"') || text.contains(u'\n'))
        return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return text;
}

QString Volts(double v) { return QString::number(v, 'f', 2); }

}  // namespace

QString LocalTime(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString WeakestText(const alarms::DischargeRecord& record) {
    const alarms::BatteryDischarge* weakest = record.Weakest();
    if (!weakest) return {};
    const QString label = battery::BatteryLabel(weakest->battery);
    return record.firstAtEnd ? label + QStringLiteral("（第一个到达终止电压）")
                             : label + QStringLiteral("（最低电压）");
}

QString CapacityText(const alarms::DischargeRecord& record, std::int64_t nowMs) {
    const std::optional<alarms::CapacityResult> capacity = record.Capacity(nowMs);
    if (!capacity) return {};
    return QStringLiteral("%1 (%2%, %3 / %4)")
        .arg(capacity->reached ? QStringLiteral("达到") : QStringLiteral("未达到"))
        .arg(capacity->percent, 0, 'f', 1)
        .arg(alarms::DurationText(capacity->actualMs), alarms::DurationText(capacity->requiredMs));
}

bool WriteDischargeCsv(const alarms::DischargeRecord& record, const QString& site, QIODevice& out) {
    const std::int64_t endMs = record.endMs.value_or(QDateTime::currentMSecsSinceEpoch());
    QStringList lines;
    lines << QStringLiteral("站点,设备,开始,结束,时长,最弱电池,核容结果");
    lines << QStringList{Field(site),
                         battery::DeviceName(record.device),
                         LocalTime(record.startMs),
                         record.endMs ? LocalTime(*record.endMs) : QStringLiteral("放电中"),
                         alarms::DurationText(record.DurationMs(endMs)),
                         Field(WeakestText(record)),
                         Field(CapacityText(record, endMs))}
                 .join(u',');
    lines << QStringLiteral("电池,开始电压(V),最低电压(V),到达终止电压,最高温度(℃),偏离中位数(V)");
    for (const alarms::BatteryDischarge& b : record.batteries) {
        lines << QStringList{battery::BatteryLabel(b.battery),
                             Volts(b.startV),
                             Volts(b.minV),
                             b.endReachedMs ? LocalTime(*b.endReachedMs) : QString(),
                             QString::number(b.maxTemperatureC, 'f', 1),
                             Volts(b.deviationV)}
                     .join(u',');
    }
    const QByteArray bytes =
        "\xEF\xBB\xBF" + (lines.join(QStringLiteral("\r\n")) + "\r\n").toUtf8();
    return out.write(bytes) == bytes.size();
}

}  // namespace report
