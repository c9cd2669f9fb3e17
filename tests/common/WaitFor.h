#pragma once

#include <chrono>
#include <functional>

// The one way tests and benchmarks wait: the Qt event loop runs, and sleeps until an event
// arrives or the next look at the condition is due. Never a fixed sleep, never a busy loop.
namespace testsupport {

// Sanitizer builds run several times slower; time limits in tests are multiplied by this.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif

// How often a waiting loop looks at its condition.
inline constexpr std::chrono::milliseconds kWaitSlice(2);

// Runs the event loop until `condition` holds or `timeout` passes; returns the condition's
// final value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5),
               std::chrono::milliseconds slice = kWaitSlice);

// Runs the event loop for `duration` while checking that `condition` keeps holding; returns
// false as soon as it does not. For asserting that something does NOT happen within a window.
bool HoldsFor(const std::function<bool()>& condition, std::chrono::milliseconds duration);

// Runs the event loop for `duration`, for drivers that measure the program while it runs.
void RunEventLoopFor(std::chrono::milliseconds duration);

}  // namespace testsupport
