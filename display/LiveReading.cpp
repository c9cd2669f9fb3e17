#include "display/LiveReading.h"

#include "display/TextFormats.h"

QString BatteryLabel(int battery) { return QStringLiteral("%1#").arg(battery); }

QString LiveSummaryLine(int battery, const BatteryReading& reading) {
    const QString registerText = QString::number(0x80 + battery - 1, 16).toUpper();
    return QStringLiteral("%1(A1-%2)--电压：").arg(BatteryLabel(battery), registerText) +
           NumberText(reading.Voltage) + QStringLiteral("  温度：") +
           NumberText(reading.Temperature);
}
