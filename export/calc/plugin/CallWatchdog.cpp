#include "export/calc/plugin/CallWatchdog.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <algorithm>

#include "threads/Worker.h"

namespace calc::uno {
namespace css = com::sun::star;
using Clock = CallWatchdog::Clock;

namespace {

std::chrono::milliseconds FromEnvironment(std::chrono::milliseconds fallback) {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("BATMON_OFFICE_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? std::chrono::milliseconds(ms) : fallback;
}

// The watchdog's timer, on a thread of its own: wakes at the earliest deadline of a guarded
// call and lets the watchdog cut the connection when the call is still running then.
class CallAlarm : public QObject {
public:
    CallAlarm() {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, &CallAlarm::Rearm);
    }

    void Rearm() {
        const std::optional<Clock::time_point> next = CallWatchdog::Instance().CheckDeadline();
        if (!next) {
            timer_.stop();
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
        timer_.start(std::max(left, std::chrono::milliseconds(0)));
    }

    void Finish() { timer_.stop(); }

private:
    QTimer timer_{this};
};

// Started on the first guarded call; stopped when the program ends, after the threads that
// make calls (the export thread ends with the application object, before this).
threads::WorkerThread<CallAlarm>& Alarm() {
    static threads::WorkerThread<CallAlarm> alarm(QStringLiteral("office-watchdog"));
    return alarm;
}

}  // namespace

std::chrono::milliseconds CallTimeout() { return FromEnvironment(std::chrono::seconds(30)); }
std::chrono::milliseconds ConnectTimeout() { return FromEnvironment(std::chrono::seconds(20)); }

CallWatchdog& CallWatchdog::Instance() {
    // Never destroyed, like the office connection it watches.
    static auto* watchdog = new CallWatchdog;
    return *watchdog;
}

void CallWatchdog::Watch(const css::uno::Reference<css::connection::XConnection>& link) {
    std::lock_guard lock(mutex_);
    link_ = link;
}

CallWatchdog::Guard::Guard(std::chrono::milliseconds limit) {
    CallWatchdog& dog = Instance();
    bool wakeAlarm = false;
    {
        std::lock_guard lock(dog.mutex_);
        outermost_ = dog.depth_++ == 0;
        if (outermost_) dog.fired_ = false;
        previous_ = dog.deadline_;
        const Clock::time_point mine = Clock::now() + limit;
        if (mine < dog.deadline_) {
            dog.deadline_ = mine;
            dog.limit_ = limit;
        }
        // The alarm is woken only when it would otherwise sleep past this deadline; a later
        // deadline is picked up when its timer runs out.
        if (dog.deadline_ < dog.armed_) {
            dog.armed_ = dog.deadline_;
            wakeAlarm = true;
        }
    }
    if (wakeAlarm) Alarm().Post([](CallAlarm& alarm) { alarm.Rearm(); });
}

CallWatchdog::Guard::~Guard() {
    CallWatchdog& dog = Instance();
    std::lock_guard lock(dog.mutex_);
    --dog.depth_;
    dog.deadline_ = previous_;
}

bool CallWatchdog::Fired() {
    std::lock_guard lock(mutex_);
    return fired_;
}

std::chrono::milliseconds CallWatchdog::LastLimit() {
    std::lock_guard lock(mutex_);
    return limit_;
}

std::optional<Clock::time_point> CallWatchdog::CheckDeadline() {
    std::unique_lock lock(mutex_);
    if (deadline_ == Clock::time_point::max() || fired_) {
        armed_ = Clock::time_point::max();
        return std::nullopt;
    }
    if (Clock::now() < deadline_) {
        armed_ = deadline_;
        return deadline_;
    }
    fired_ = true;
    armed_ = Clock::time_point::max();
    css::uno::Reference<css::connection::XConnection> link = link_;
    lock.unlock();
    if (link.is()) {
        try {
            link->close();
        } catch (const css::uno::Exception&) {
            // Already down.
        }
    }
    return std::nullopt;
}

}  // namespace calc::uno
