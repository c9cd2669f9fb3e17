#include "display/LiveReading.h"

#include "battery/BatteryId.h"
#include "display/TextFormats.h"

QString LiveSummaryLine(int row, const BatteryReading& reading) {
    const battery::BatteryId id{battery::kDeviceA1, static_cast<std::uint8_t>(row - 1)};
    return QStringLiteral("%1(%2)--电压：")
               .arg(battery::BatteryLabel(id), battery::RegisterName(id)) +
           NumberText(reading.Voltage) + QStringLiteral("  温度：") +
           NumberText(reading.Temperature);
}
