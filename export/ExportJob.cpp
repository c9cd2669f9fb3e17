#include "export/ExportJob.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <deque>

#include "Automation.h"
#include "MessageBox.h"

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
        QMetaObject::invokeMethod(&worker_, [this, snapshots] {
            JobResult result = Export(snapshots);
            QMetaObject::invokeMethod(this, [this, result] {
                running_ = false;
                Finish(result);
            });
        });
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
        ShowWaitCursor(!jobs_.empty());
        if (job->onFinished) job->onFinished(result);
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
    QObject worker_;  // lives on thread_: the context the exports run in
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
