#include "alarms/AgeText.h"

namespace alarms {

QString AgeText(std::int64_t ageMs) {
    constexpr std::int64_t kSecond = 1000;
    constexpr std::int64_t kMinute = 60 * kSecond;
    constexpr std::int64_t kHour = 60 * kMinute;
    constexpr std::int64_t kDay = 24 * kHour;
    if (ageMs < 0) ageMs = 0;
    if (ageMs < kMinute) return QStringLiteral("%1秒前").arg(ageMs / kSecond);
    if (ageMs < kHour) return QStringLiteral("%1分钟前").arg(ageMs / kMinute);
    if (ageMs < kDay) return QStringLiteral("%1小时前").arg(ageMs / kHour);
    return QStringLiteral("%1天前").arg(ageMs / kDay);
}

}  // namespace alarms
