#include "WaitFor.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {
namespace {

// Lets the event loop run for a short slice without spinning the CPU: the loop sleeps until an
// event arrives or the slice ends.
void RunEventLoopSlice() {
    QEventLoop loop;
    QTimer::singleShot(2, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        RunEventLoopSlice();
    }
    return true;
}

bool HoldsFor(const std::function<bool()>& condition, std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        if (!condition()) return false;
        RunEventLoopSlice();
    }
    return condition();
}

}  // namespace testsupport
