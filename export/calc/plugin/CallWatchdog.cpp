#include "export/calc/plugin/CallWatchdog.h"

#include <QByteArray>

namespace calc::uno {
namespace css = com::sun::star;
using Clock = std::chrono::steady_clock;

namespace {

std::chrono::milliseconds FromEnvironment(std::chrono::milliseconds fallback) {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("BATMON_OFFICE_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? std::chrono::milliseconds(ms) : fallback;
}

}  // namespace

std::chrono::milliseconds CallTimeout() { return FromEnvironment(std::chrono::seconds(30)); }
std::chrono::milliseconds ConnectTimeout() { return FromEnvironment(std::chrono::seconds(20)); }

CallWatchdog& CallWatchdog::Instance() {
    // Never destroyed, like the office connection it watches.
    static auto* watchdog = new CallWatchdog;
    return *watchdog;
}

CallWatchdog::CallWatchdog() : thread_([this] { Run(); }) { thread_.detach(); }

void CallWatchdog::Watch(const css::uno::Reference<css::connection::XConnection>& link) {
    std::lock_guard lock(mutex_);
    link_ = link;
}

CallWatchdog::Guard::Guard(std::chrono::milliseconds limit) {
    CallWatchdog& dog = Instance();
    std::lock_guard lock(dog.mutex_);
    outermost_ = dog.depth_++ == 0;
    if (outermost_) dog.fired_ = false;
    previous_ = dog.deadline_;
    const Clock::time_point mine = Clock::now() + limit;
    if (mine < dog.deadline_) {
        dog.deadline_ = mine;
        dog.limit_ = limit;
    }
    dog.changed_.notify_all();
}

CallWatchdog::Guard::~Guard() {
    CallWatchdog& dog = Instance();
    std::lock_guard lock(dog.mutex_);
    --dog.depth_;
    dog.deadline_ = previous_;
    dog.changed_.notify_all();
}

bool CallWatchdog::Fired() {
    std::lock_guard lock(mutex_);
    return fired_;
}

std::chrono::milliseconds CallWatchdog::LastLimit() {
    std::lock_guard lock(mutex_);
    return limit_;
}

void CallWatchdog::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (deadline_ == Clock::time_point::max() || fired_) {
            changed_.wait(lock);
            continue;
        }
        if (changed_.wait_until(lock, deadline_) == std::cv_status::no_timeout) continue;
        if (Clock::now() < deadline_) continue;
        fired_ = true;
        css::uno::Reference<css::connection::XConnection> link = link_;
        lock.unlock();
        if (link.is()) {
            try {
                link->close();
            } catch (const css::uno::Exception&) {
                // Already down.
            }
        }
        lock.lock();
    }
}

}  // namespace calc::uno
