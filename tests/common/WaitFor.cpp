#include "tests/common/WaitFor.h"

#include <QDeadlineTimer>

#include "tests/common/EventLoopWait.h"

namespace testsupport {
namespace {

constexpr std::chrono::milliseconds kSlice(2);

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return RunEventLoopUntil(condition, timeout, kSlice);
}

bool HoldsFor(const std::function<bool()>& condition, std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        if (!condition()) return false;
        RunEventLoopFor(kSlice);
    }
    return condition();
}

}  // namespace testsupport
