#include "trend/BatteryColors.h"

#include <array>

QColor BatteryColor(battery::BatteryId id) {
    static constexpr std::array<QRgb, battery::kWatchedCount> kColors = {
        0x1f77b4, 0xff7f0e, 0x2ca02c, 0xd62728, 0x9467bd, 0x8c564b, 0xe377c2,
        0x7f7f7f, 0xbcbd22, 0x17becf, 0x393b79, 0xad494a, 0x637939, 0xce6dbd,
    };
    const auto index = battery::WatchedIndex(id);
    if (!index) return QColor(0xa0, 0xa0, 0xa0);
    return QColor(kColors[std::size_t(*index)]);
}
