#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "threads/Handed.h"
#include "threads/TsanHandOver.h"

namespace threads {

// Runs `call` on the thread `target` lives on, after the calls and events queued there before
// it. Calls travel as functors through Qt's event queue, handed over so that ThreadSanitizer
// sees what the call carries. A call whose target is gone before it runs is dropped with it.
template <class F>
void Post(QObject* target, F&& call) {
    QMetaObject::invokeMethod(
        target,
        [handed = Handed<std::decay_t<F>>(std::forward<F>(call))]() mutable {
            handed.Get()();
            // Qt may free the call on the posting thread, after it ran here.
            handed.HandBack();
        },
        Qt::QueuedConnection);
}

namespace detail {

// Runs `run` on `target`'s thread and returns once it ran; what it did is then visible here. The
// call is posted like any other and the caller waits on a condition variable: Qt's blocking
// connection would do the same, but it reads the waiting thread's stack after the call ran,
// where ThreadSanitizer cannot see its locking. The waiter is woken when the posted call is
// destroyed, so a call dropped unrun (its target or its thread's queue gone, as at exit) does
// not leave it waiting.
template <class F>
void RunAndWait(QObject* target, F& run) {
    struct Waiting {
        F* run;
        std::mutex mutex{};
        std::condition_variable ended{};
        bool done = false;
    } waiting{&run};
    class Wake {
    public:
        explicit Wake(Waiting* w) : waiting_(w) {}
        Wake(Wake&& other) noexcept : waiting_(std::exchange(other.waiting_, nullptr)) {}
        Wake(const Wake&) = delete;
        Wake& operator=(const Wake&) = delete;
        Wake& operator=(Wake&&) = delete;
        ~Wake() {
            if (!waiting_) return;
            const std::lock_guard lock(waiting_->mutex);
            waiting_->done = true;
            waiting_->ended.notify_one();
        }
        void Run() const { (*waiting_->run)(); }

    private:
        Waiting* waiting_;
    };
    Post(target, [wake = Wake(&waiting)] { wake.Run(); });
    std::unique_lock lock(waiting.mutex);
    waiting.ended.wait(lock, [&waiting] { return waiting.done; });
}

}  // namespace detail

// Runs `call` on `target`'s thread and waits for its result. Never for a target on the calling
// thread, and never from the receive path: for start-up, flushing and shutdown.
template <class F>
auto CallAndWait(QObject* target, F&& call) -> std::invoke_result_t<F&> {
    using Result = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<Result>) {
        detail::RunAndWait(target, call);
    } else {
        Result result{};
        auto run = [&call, &result] { result = call(); };
        detail::RunAndWait(target, run);
        return result;
    }
}

// A QObject worker on a thread of its own: the one way this program runs work off the thread
// that owns it. Calls go in with Post (or CallAndWait where the caller must wait); results come
// back as the worker's signals, which reach receivers on other threads queued (a result that is
// not one of Qt's own value types travels as a Handed<T>). Shutdown is one
// rule for every worker: Stop() lets the worker finish on its own thread (`Finish`, when the
// worker has one, stops its timers and closes what it holds), quits the thread's event loop,
// joins the thread and deletes the worker after the join.
template <class WorkerType>
class WorkerThread {
public:
    template <class... Args>
    explicit WorkerThread(const QString& name, Args&&... args)
        : worker_(std::make_unique<WorkerType>(std::forward<Args>(args)...)) {
        thread_.setObjectName(name);
        worker_->moveToThread(&thread_);
        // Whatever the thread did to the worker is handed to whoever joins it: QThread::wait
        // synchronises inside Qt, where a thread checker cannot see it.
        QObject::connect(
            &thread_, &QThread::finished, worker_.get(),
            [worker = worker_.get()] { PUBLISH_HANDOVER(worker); }, Qt::DirectConnection);
        thread_.start();
    }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { Stop(); }

    // For connecting to its signals and for Post; never call it directly from another thread.
    WorkerType* Worker() const { return worker_.get(); }
    bool Running() const { return worker_ != nullptr; }

    template <class F>
    void Post(F&& call) {
        if (!worker_) return;
        threads::Post(worker_.get(), [worker = worker_.get(),
                                      call = std::forward<F>(call)]() mutable { call(*worker); });
    }

    template <class F>
    auto CallAndWait(F&& call) {
        WorkerType* worker = worker_.get();
        return threads::CallAndWait(worker, [worker, &call] { return call(*worker); });
    }

    void Stop() {
        if (!worker_) return;
        if constexpr (requires(WorkerType & w) { w.Finish(); }) {
            CallAndWait([](WorkerType& w) { w.Finish(); });
        }
        thread_.quit();
        thread_.wait();
        RECEIVE_HANDOVER(worker_.get());
        worker_.reset();
    }

private:
    QThread thread_;
    std::unique_ptr<WorkerType> worker_;
};

}  // namespace threads
