#include "export/ExportJob.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <mutex>
#include <optional>

#include "widgets/MessageBox.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace gridexport {
namespace {

// Events between the window's thread and the export thread go through Qt's event queue, whose
// locking ThreadSanitizer cannot see in an uninstrumented Qt: the poster publishes the event it
// made, the receiver receives it before looking at it.
void PublishEvent(QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(event);
#else
    static_cast<void>(event);
#endif
}
void ReceiveEvent(QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(event);
#else
    static_cast<void>(event);
#endif
}

void Post(QObject* receiver, QEvent::Type type) {
    auto* event = new QEvent(type);
    PublishEvent(event);
    QCoreApplication::postEvent(receiver, event);
}

// Calls `handler` for every event of `type` it receives, on its own thread.
class EventHandler : public QObject {
public:
    EventHandler(QEvent::Type type, std::function<void()> handler)
        : type_(type), handler_(std::move(handler)) {}

    bool event(QEvent* event) override {
        ReceiveEvent(event);
        if (event->type() != type_) return QObject::event(event);
        handler_();
        return true;
    }

private:
    QEvent::Type type_;
    std::function<void()> handler_;
};

// One object on its way between two threads. Qt's event queue wakes the receiver; the mutex
// makes the hand-over itself visible to the receiver (and to ThreadSanitizer, which does not see
// the locking inside Qt's event queue).
template <typename T>
class HandOver {
public:
    void Put(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }
    T Take() {
        std::lock_guard lock(mutex_);
        T value = std::move(*value_);
        value_.reset();
        return value;
    }

private:
    std::mutex mutex_;
    std::optional<T> value_;
};

using Snapshots = QList<std::shared_ptr<const GridSnapshot>>;
HandOver<Snapshots>& ToWorker() {
    static HandOver<Snapshots> handOver;
    return handOver;
}
HandOver<JobResult>& FromWorker() {
    static HandOver<JobResult> handOver;
    return handOver;
}

struct Job {
    std::vector<GridSnapshotter> copies;
    std::size_t copying = 0;  // the copy under way
    bool abandoned = false;   // a grid went away before it was copied
    QPointer<QWidget> parent;
    bool hadParent = false;
    JobFinished onFinished;
};

// The jobs of the process, in order. Lives on the window's thread; owns the export thread.
class ExportQueue : public QObject {
public:
    ExportQueue() {
        thread_.setObjectName(QStringLiteral("export"));
        thread_.start();
        worker_.moveToThread(&thread_);
    }
    ~ExportQueue() override {
        thread_.quit();
        thread_.wait();
    }

    void Add(std::unique_ptr<Job> job) {
        // The first slice right away: a table of a few hundred rows goes out exactly as it was
        // when the export was pressed.
        CopySlice(*job);
        jobs_.push_back(std::move(job));
        ShowWaitCursor(true);
        SchedulePump();
    }

    int Pending() const { return int(jobs_.size()); }

private:
    void SchedulePump() {
        if (pumpScheduled_) return;
        pumpScheduled_ = true;
        QTimer::singleShot(0, this, [this] {
            pumpScheduled_ = false;
            Pump();
        });
    }

    // Copies the grids of every job in the order the exports were pressed, one slice per turn
    // of the event loop, and hands the front job to the export thread once it is copied.
    void Pump() {
        StartFrontJob();
        for (auto& job : jobs_) {
            if (job->copying == job->copies.size()) continue;
            CopySlice(*job);
            SchedulePump();
            return;
        }
    }

    static void CopySlice(Job& job) {
        QElapsedTimer clock;
        clock.start();
        const std::int64_t budgetNs = std::int64_t(kSnapshotSliceUs) * 1000;
        while (job.copying < job.copies.size() && clock.nsecsElapsed() < budgetNs) {
            GridSnapshotter& copy = job.copies[job.copying];
            if (!copy.Step(budgetNs - clock.nsecsElapsed())) return;
            if (copy.Failed()) {
                job.abandoned = true;
                job.copying = job.copies.size();
            } else {
                ++job.copying;
            }
        }
    }

    void StartFrontJob() {
        if (running_ || jobs_.empty()) return;
        Job& job = *jobs_.front();
        if (job.copying < job.copies.size()) return;
        if (job.abandoned) return Finish({JobResult::Outcome::Abandoned, {}, {}});
        QList<std::shared_ptr<const GridSnapshot>> snapshots;
        for (const GridSnapshotter& copy : job.copies) snapshots << copy.Result();
        job.copies.clear();
        job.copying = 0;
        running_ = true;
        ToWorker().Put(std::move(snapshots));
        Post(&worker_, kRunJob);
    }

    // On the export thread.
    void RunJob() {
        FromWorker().Put(Export(ToWorker().Take()));
        Post(&finished_, kJobDone);
    }

    void JobDone() {
        running_ = false;
        Finish(FromWorker().Take());
    }

    // Runs on the export thread.
    static JobResult Export(const QList<std::shared_ptr<const GridSnapshot>>& snapshots) {
        JobResult result;
        try {
            result.report = Run(snapshots);
            if (!result.report.opened) result.outcome = JobResult::Outcome::CannotOpen;
        } catch (const std::exception& error) {
            result.outcome = JobResult::Outcome::Failed;
            result.error = QString::fromUtf8(error.what());
        }
        return result;
    }

    void Finish(const JobResult& result) {
        std::unique_ptr<Job> job = std::move(jobs_.front());
        jobs_.pop_front();
        if (!jobs_.empty()) SchedulePump();
        // The next job goes on while the operator reads the message.
        ShowWaitCursor(false);
        QWidget* parent = job->hadParent ? job->parent.data() : nullptr;
        if (!job->hadParent || parent) {
            switch (result.outcome) {
                case JobResult::Outcome::CannotOpen:
                    messagebox::Show(parent, CannotOpenText());
                    break;
                case JobResult::Outcome::Failed:
                    messagebox::Show(parent, result.error, {}, messagebox::Kind::Error);
                    break;
                case JobResult::Outcome::Exported:
                    if (const QString notice = SplitNotice(result.report); !notice.isEmpty()) {
                        messagebox::Show(parent, notice);
                    }
                    break;
                case JobResult::Outcome::Abandoned:
                    break;
            }
        }
        // A follow-up export started by the callback keeps the cursor up without a flicker.
        if (job->onFinished) job->onFinished(result);
        ShowWaitCursor(!jobs_.empty());
    }

    void ShowWaitCursor(bool show) {
        if (show == cursorShown_) return;
        if (show) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            QApplication::restoreOverrideCursor();
        }
        cursorShown_ = show;
    }

    QThread thread_;
    const QEvent::Type kRunJob = QEvent::Type(QEvent::registerEventType());
    const QEvent::Type kJobDone = QEvent::Type(QEvent::registerEventType());
    EventHandler worker_{kRunJob, [this] { RunJob(); }};      // lives on thread_
    EventHandler finished_{kJobDone, [this] { JobDone(); }};  // lives on the window's thread
    std::deque<std::unique_ptr<Job>> jobs_;
    bool running_ = false;
    bool pumpScheduled_ = false;
    bool cursorShown_ = false;
};

ExportQueue& Queue() {
    // Owned by the application object, so the export thread ends before Qt goes down.
    static QPointer<ExportQueue> queue;
    if (!queue) {
        queue = new ExportQueue;
        queue->setParent(QCoreApplication::instance());
    }
    return *queue;
}

}  // namespace

void StartGridExport(const QList<const GridModel*>& grids, QWidget* parent,
                     JobFinished onFinished) {
    auto job = std::make_unique<Job>();
    for (const GridModel* grid : grids) job->copies.emplace_back(*grid);
    job->parent = parent;
    job->hadParent = parent != nullptr;
    job->onFinished = std::move(onFinished);
    Queue().Add(std::move(job));
}

int PendingGridExports() { return Queue().Pending(); }

}  // namespace gridexport
