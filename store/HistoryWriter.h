#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <span>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "alarms/Discharge.h"
#include "battery/Reading.h"
#include "store/Outbox.h"
#include "store/WriterWorker.h"
#include "threads/Worker.h"

namespace store {

// Writes readings and alarm events to the history file on a thread of its own.
//
// Append() and AppendAlarm() only post what they are given to the writer's thread, so the
// caller never waits for the disk. The writer commits everything handed over since its last
// commit in one transaction. Whatever it could not write (disk full, folder read-only, file
// held by another batmon, file of a newer version) stays in memory and is written on the next
// retry: every retry period on its own timer, or at once on Retry(). A corrupt file is renamed
// aside with a time stamp and a new one is started.
//
// Health is reported by HealthChanged: once when a fault starts (one operator message), once
// when writing works again. Its signals are emitted on the thread that made it, which must run
// an event loop (normally the main thread, which also calls Append) and is the only thread that
// calls it.
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
    // Saves a discharge record, running or ended, replacing an earlier save of it.
    void SaveDischarge(const alarms::DischargeRecord& record);

    // How often unwritten readings are retried after a failure (the sampling period).
    void SetRetryPeriod(std::chrono::milliseconds period);
    void Retry();

    // When on, every reading and alarm event written is also entered in the broker's outbox
    // (OutboxCommitted tells which) until MarkPublished. Set before Start().
    void SetOutboxEnabled(bool enabled);
    // Every alarm event written is also entered once for each of `channels` (the notification
    // channels), except the events of a shelved alarm, until MarkAlarmsPublished.
    void SetNotifyChannels(const QStringList& channels);
    void MarkPublished(std::vector<qint64> readingSeqs);
    void MarkAlarmsPublished(std::vector<qint64> alarmSeqs);

    // Deletes readings older than `cutoffMs` (and their outbox entries) on the writer thread.
    void DeleteReadingsBefore(qint64 cutoffMs);

    // Writes everything handed over so far (one attempt) and returns whether all of it is in
    // the file. Waits for the writer thread; for exit and shutdown, not for the receive path.
    bool Flush();
    // Writes what is held, trying again for up to `retryFor` while the file cannot be written,
    // then closes the file, releases the lock and stops the thread. Returns what could not be
    // written and is lost with the program. Idempotent.
    Unwritten Shutdown(std::chrono::milliseconds retryFor = std::chrono::milliseconds(0));

    QString FilePath() const { return filePath_; }
    // Readings handed over that are not in the file as far as the commit notices received so
    // far tell (Flush delivers the notices of its write before it returns).
    qint64 UnwrittenCount() const { return handedOver_ - committed_; }
    bool IsHealthy() const { return healthy_; }

signals:
    // writing: the file takes readings. message: what the operator should know, in one line
    // (empty when there is nothing to say). Emitted on changes only.
    void HealthChanged(bool writing, const QString& message);
    // After each commit: the total of readings written by this writer so far.
    void Committed(qint64 totalReadings);
    // Right after Committed, when the commit added outbox rows: those rows.
    void OutboxCommitted(const store::OutboxBatch& added);
    void ReadingsDeleted(qint64 count);

private:
    void OnCommitted(const CommitNotice& notice);
    void PostOutbox();
    // Delivers the worker's reports already queued for this object, so a caller that waited
    // for the worker sees their outcome.
    void TakeReports();

    QString filePath_;
    threads::WorkerThread<WriterWorker> worker_;
    bool started_ = false;
    bool stopped_ = false;
    Unwritten lost_;
    qint64 handedOver_ = 0;
    bool alarmHandedOver_ = false;
    bool mqttOutbox_ = false;
    QStringList notifyChannels_;
    qint64 committed_ = 0;
    bool healthy_ = true;
};

}  // namespace store
