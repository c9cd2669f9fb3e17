#pragma once

#include <chrono>
#include <com/sun/star/connection/XConnection.hpp>
#include <mutex>
#include <optional>

// Time limits for calls into the office. A UNO call cannot be cancelled, but it ends at once
// with an error when its connection goes down: when a guarded call overruns its limit, the
// watchdog shuts the connection down and the call fails (the next export connects anew).
namespace calc::uno {

class CallWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    static CallWatchdog& Instance();

    // The connection a late call is cut off from.
    void Watch(const com::sun::star::uno::Reference<com::sun::star::connection::XConnection>& link);

    // Limits the calls made during its lifetime; nested guards keep the earlier deadline.
    class Guard {
    public:
        explicit Guard(std::chrono::milliseconds limit);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        Clock::time_point previous_;
        bool outermost_;
    };

    // True when the connection was cut because a call overran; cleared by the next outermost
    // Guard.
    bool Fired();
    std::chrono::milliseconds LastLimit();

    // On the alarm's thread, when its timer runs out: cuts the connection when the deadline has
    // passed. Returns the deadline to wait for next, if there is one.
    std::optional<Clock::time_point> CheckDeadline();

private:
    CallWatchdog() = default;

    std::mutex mutex_;
    com::sun::star::uno::Reference<com::sun::star::connection::XConnection> link_;
    Clock::time_point deadline_ = Clock::time_point::max();
    Clock::time_point armed_ = Clock::time_point::max();  // what the alarm's timer waits for
    std::chrono::milliseconds limit_{0};
    int depth_ = 0;
    bool fired_ = false;
};

// The limit of one call, and of reaching the office: BATMON_OFFICE_TIMEOUT_MS replaces both.
std::chrono::milliseconds CallTimeout();
std::chrono::milliseconds ConnectTimeout();

}  // namespace calc::uno
