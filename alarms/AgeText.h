#pragma once

#include <QString>
#include <cstdint>

namespace alarms {

// How long ago a battery was last heard from, for its greyed row: "25秒前", "12分钟前",
// "3小时前", "2天前". Rounded down, so the text never claims a reading fresher than it is:
// "12分钟前" means at least twelve and less than thirteen minutes. A negative age (the clock was
// set back) reads as "0秒前".
QString AgeText(std::int64_t ageMs);

}  // namespace alarms
