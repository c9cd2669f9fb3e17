#include "store/HistoryWriter.h"

#include "store/WriterWorker.h"
#include "threads/TsanHandOver.h"

namespace store {

HistoryWriter::HistoryWriter(const QString& dataDir, QObject* parent)
    : QObject(parent),
      filePath_(HistoryFilePath(dataDir)),
      worker_(new WriterWorker(this, dataDir)) {
    thread_.setObjectName(QStringLiteral("history writer"));
    worker_->moveToThread(&thread_);
}

HistoryWriter::~HistoryWriter() { Shutdown(); }

void HistoryWriter::Start() {
    if (started_ || stopped_) return;
    started_ = true;
    // The thread's last act: everything it did to the worker is handed over to whoever joins
    // it (QThread::wait synchronises inside Qt, where a thread checker cannot see it).
    connect(
        &thread_, &QThread::finished, worker_, [worker = worker_] { PUBLISH_HANDOVER(worker); },
        Qt::DirectConnection);
    thread_.start();
    RunOnWriter([](WriterWorker& w) { w.Initialise(); }, false);
}

// Jobs and reports travel in queues of our own under a std::mutex; Qt's event queue only
// carries the wake-up, by method name, so nothing of ours is allocated on one thread and read on
// the other without a lock that ThreadSanitizer and the reader of this code can see.
void HistoryWriter::RunOnWriter(std::function<void(WriterWorker&)> job, bool wait) {
    if (stopped_) return;
    if (!wait) {
        {
            std::lock_guard lock(jobsMutex_);
            writerJobs_.push_back(std::move(job));
        }
        QMetaObject::invokeMethod(worker_, "RunWriterJobs", Qt::QueuedConnection);
        return;
    }
    std::condition_variable doneChanged;
    bool done = false;
    {
        std::lock_guard lock(jobsMutex_);
        writerJobs_.emplace_back([&](WriterWorker& w) {
            job(w);
            std::lock_guard doneLock(jobsMutex_);
            done = true;
            doneChanged.notify_all();
        });
    }
    QMetaObject::invokeMethod(worker_, "RunWriterJobs", Qt::QueuedConnection);
    std::unique_lock lock(jobsMutex_);
    doneChanged.wait(lock, [&] { return done; });
}

void HistoryWriter::RunOwnerJobs() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard lock(jobsMutex_);
        jobs.swap(ownerJobs_);
    }
    for (auto& job : jobs) job();
}

void HistoryWriter::Append(const battery::Reading& reading) { Append(std::span(&reading, 1)); }

void HistoryWriter::Append(std::span<const battery::Reading> readings) {
    if (readings.empty()) return;
    bool post = false;
    {
        std::lock_guard lock(handOverMutex_);
        handOverReadings_.insert(handOverReadings_.end(), readings.begin(), readings.end());
        post = !wakePosted_;
        wakePosted_ = true;
    }
    unwritten_.fetch_add(static_cast<qint64>(readings.size()), std::memory_order_relaxed);
    if (post) WakeWriter();
}

void HistoryWriter::AppendAlarm(const alarms::AlarmEvent& event) {
    bool post = false;
    {
        std::lock_guard lock(handOverMutex_);
        handOverAlarms_.push_back(event);
        post = !wakePosted_;
        wakePosted_ = true;
    }
    if (post) WakeWriter();
}

void HistoryWriter::WakeWriter() {
    RunOnWriter([](WriterWorker& w) { w.Drain(false); }, false);
}

void HistoryWriter::SetRetryPeriod(std::chrono::milliseconds period) {
    RunOnWriter([period](WriterWorker& w) { w.SetRetryPeriod(period); }, false);
}

void HistoryWriter::Retry() {
    RunOnWriter([](WriterWorker& w) { w.Drain(true); }, false);
}

void HistoryWriter::SetOutboxEnabled(bool enabled) {
    RunOnWriter([enabled](WriterWorker& w) { w.SetOutboxEnabled(enabled); }, false);
}

void HistoryWriter::MarkPublished(std::vector<qint64> outboxSeqs) {
    RunOnWriter([seqs = std::move(outboxSeqs)](WriterWorker& w) { w.MarkPublished(seqs); }, false);
}

void HistoryWriter::DeleteReadingsBefore(qint64 cutoffMs) {
    RunOnWriter([cutoffMs](WriterWorker& w) { w.DeleteReadingsBefore(cutoffMs); }, false);
}

bool HistoryWriter::Flush() {
    if (stopped_) return UnwrittenCount() == 0;
    if (!started_) Start();
    bool allWritten = false;
    RunOnWriter(
        [&allWritten](WriterWorker& w) {
            w.Drain(true);
            allWritten = w.AllWritten();
        },
        true);
    // Deliver the reports of this flush before returning, so callers see its outcome.
    if (QThread::currentThread() == thread()) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    return allWritten;
}

void HistoryWriter::Shutdown() {
    if (stopped_) return;
    if (started_) {
        Flush();
        RunOnWriter([](WriterWorker& w) { w.Close(); }, true);
        thread_.quit();
        thread_.wait();
        RECEIVE_HANDOVER(worker_);
    }
    // Its thread has ended (or never ran), so the worker is deleted here, after the join: no
    // hand-over through the event queue that a thread checker could not follow.
    delete worker_;
    worker_ = nullptr;
    stopped_ = true;
}

}  // namespace store
