#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the Qt event loop until `condition` holds or `timeout` passes; returns the condition's
// final value. This is how tests wait: never by sleeping for a fixed time.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Runs the event loop for `duration` while checking that `condition` keeps holding; returns
// false as soon as it does not. For asserting that something does NOT happen within a window.
bool HoldsFor(const std::function<bool()>& condition, std::chrono::milliseconds duration);

}  // namespace testsupport

namespace testsupport {

// Sanitizer builds run several times slower; time limits in tests are multiplied by this.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 10;
#else
inline constexpr int kSlowdown = 1;
#endif

}  // namespace testsupport
