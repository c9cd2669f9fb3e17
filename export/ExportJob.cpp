#include "export/ExportJob.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <deque>

#include "export/ExportWorker.h"
#include "threads/Worker.h"
#include "widgets/MessageBox.h"

namespace gridexport {
namespace {

struct Job {
    std::vector<GridSnapshotter> copies;
    std::size_t copying = 0;  // the copy under way
    bool abandoned = false;   // a grid went away before it was copied
    QPointer<QWidget> parent;
    bool hadParent = false;
    JobFinished onFinished;
};

// The jobs of the process, in order. Lives on the window's thread, owned by the application
// object (so the export thread ends before Qt goes down); owns the export thread.
class ExportQueue : public QObject {
    Q_OBJECT
public:
    ExportQueue() {
        connect(exporter_.Worker(), &ExportWorker::Exported, this,
                [this](const threads::Handed<JobResult>& result) { JobDone(result.Get()); });
    }

    // The application's queue, made on first use.
    static ExportQueue& Instance() {
        QCoreApplication* application = QCoreApplication::instance();
        auto* queue = application->findChild<ExportQueue*>(QString(), Qt::FindDirectChildrenOnly);
        if (!queue) {
            queue = new ExportQueue;
            queue->setParent(application);
        }
        return *queue;
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
        exporter_.Post(
            [snapshots = std::move(snapshots)](ExportWorker& worker) { worker.Export(snapshots); });
    }

    void JobDone(const JobResult& result) {
        running_ = false;
        Finish(result);
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

    std::deque<std::unique_ptr<Job>> jobs_;
    bool running_ = false;
    bool pumpScheduled_ = false;
    bool cursorShown_ = false;
    // Last, so that it is stopped first: an export still running is waited for.
    threads::WorkerThread<ExportWorker> exporter_{QStringLiteral("export")};
};

}  // namespace

void StartGridExport(const QList<const GridModel*>& grids, QWidget* parent,
                     JobFinished onFinished) {
    auto job = std::make_unique<Job>();
    for (const GridModel* grid : grids) job->copies.emplace_back(*grid);
    job->parent = parent;
    job->hadParent = parent != nullptr;
    job->onFinished = std::move(onFinished);
    ExportQueue::Instance().Add(std::move(job));
}

int PendingGridExports() { return ExportQueue::Instance().Pending(); }

}  // namespace gridexport

#include "ExportJob.moc"
