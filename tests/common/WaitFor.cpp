#include "tests/common/WaitFor.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds slice) {
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        RunEventLoopFor(slice);
    }
    return true;
}

bool HoldsFor(const std::function<bool()>& condition, std::chrono::milliseconds duration) {
    const QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        if (!condition()) return false;
        RunEventLoopFor(kWaitSlice);
    }
    return condition();
}

}  // namespace testsupport
