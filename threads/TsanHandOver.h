#pragma once

// Some hand-overs between threads go through channels that ThreadSanitizer cannot see in this
// build (Qt's event queue in an uninstrumented Qt, a pipe carrying block addresses). These mark
// them: the sending side publishes the object before handing it over, the receiving side
// receives it after taking it, so the object's contents are not taken for a race.
#if defined(__SANITIZE_THREAD__)
#define BATMON_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BATMON_TSAN 1
#endif
#endif

#ifdef BATMON_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define PUBLISH_HANDOVER(object) __tsan_release(object)
#define RECEIVE_HANDOVER(object) __tsan_acquire(object)
#else
#define PUBLISH_HANDOVER(object) static_cast<void>(object)
#define RECEIVE_HANDOVER(object) static_cast<void>(object)
#endif

namespace threads {
// For the few tests that cannot run under ThreadSanitizer as they are.
#ifdef BATMON_TSAN
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
}  // namespace threads
