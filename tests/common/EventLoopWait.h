#pragma once

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

// Waiting on the main thread while events keep flowing, for drivers of the window (the demo,
// tests, benchmarks): the loop sleeps until an event arrives, it never spins the CPU.

inline void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop in slices until `done` holds or `timeout` passes; returns done().
inline bool RunEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                              std::chrono::milliseconds slice = std::chrono::milliseconds(5)) {
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        RunEventLoopFor(slice);
    }
    return true;
}
