#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "battery/Reading.h"

namespace store {

class WriterWorker;

// Writes readings and alarm events to the history file on a thread of its own.
//
// Append() and AppendAlarm() only copy into a short hand-over queue and post one wake-up to
// the writer thread, so the caller never waits for the disk. The writer commits everything
// handed over since its last commit in one transaction. Whatever it could not write (disk
// full, folder read-only, file held by another batmon, file of a newer version) stays in
// memory and is written on the next retry: every retry period on its own timer, or at once on
// Retry(). A corrupt file is renamed aside with a time stamp and a new one is started.
//
// Health is reported by HealthChanged: once when a fault starts (one operator message), once
// when writing works again. Its signals are emitted on the thread it lives on, which must run
// an event loop (normally the main thread, which also calls Append).
class HistoryWriter : public QObject {
    Q_OBJECT
public:
    explicit HistoryWriter(const QString& dataDir, QObject* parent = nullptr);
    ~HistoryWriter() override;  // Shutdown()

    // Opens the file on the writer thread; readings may be appended before and after.
    void Start();

    void Append(const battery::Reading& reading);
    void Append(std::span<const battery::Reading> readings);
    void AppendAlarm(const alarms::AlarmEvent& event);

    // How often unwritten readings are retried after a failure (the sampling period).
    void SetRetryPeriod(std::chrono::milliseconds period);
    void Retry();

    // When on, every reading written is also entered in the MQTT outbox until MarkPublished.
    // Set before Start().
    void SetOutboxEnabled(bool enabled);
    void MarkPublished(std::vector<qint64> outboxSeqs);

    // Deletes readings older than `cutoffMs` (and their outbox entries) on the writer thread.
    void DeleteReadingsBefore(qint64 cutoffMs);

    // Writes everything handed over so far (one attempt) and returns whether all of it is in
    // the file. Waits for the writer thread; for exit and shutdown, not for the receive path.
    bool Flush();
    // Flush, then close the file, release the lock and stop the thread. Idempotent.
    void Shutdown();

    QString FilePath() const { return filePath_; }
    // Readings handed over that are not (yet) in the file. Any thread.
    qint64 UnwrittenCount() const { return unwritten_.load(std::memory_order_relaxed); }
    bool IsHealthy() const { return healthy_.load(std::memory_order_relaxed); }

signals:
    // writing: the file takes readings. message: what the operator should know, in one line
    // (empty when there is nothing to say). Emitted on changes only.
    void HealthChanged(bool writing, const QString& message);
    // After each commit: the total of readings written by this writer so far.
    void Committed(qint64 totalReadings);
    void ReadingsDeleted(qint64 count);

private slots:
    void RunOwnerJobs();

private:
    friend class WriterWorker;
    void WakeWriter();
    // Runs `job` on the writer thread; `wait`: until it has run.
    void RunOnWriter(std::function<void(WriterWorker&)> job, bool wait);

    QString filePath_;
    QThread thread_;
    WriterWorker* worker_ = nullptr;  // lives on thread_
    bool started_ = false;
    bool stopped_ = false;

    // Hand-over queue: filled by Append, emptied by the writer thread.
    std::mutex handOverMutex_;
    std::vector<battery::Reading> handOverReadings_;
    std::vector<alarms::AlarmEvent> handOverAlarms_;
    bool wakePosted_ = false;

    // Jobs for the writer thread and reports for this object's thread.
    std::mutex jobsMutex_;
    std::vector<std::function<void(WriterWorker&)>> writerJobs_;
    std::vector<std::function<void()>> ownerJobs_;

    std::atomic<qint64> unwritten_{0};
    std::atomic<bool> healthy_{true};
};

}  // namespace store
