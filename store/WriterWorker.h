#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "alarms/Discharge.h"
#include "battery/Reading.h"
#include "store/BatchWriter.h"
#include "store/HistoryFile.h"
#include "store/Outbox.h"
#include "store/WriterReports.h"
#include "threads/Handed.h"

namespace store {

// The history writer's worker, on the writer's thread (threads::WorkerThread): holds what was
// handed over until it is in the file, writes it in one transaction as soon as the thread gets
// to it, and retries on a timer while the file cannot be written. Reports through its signals.
class WriterWorker : public QObject {
    Q_OBJECT
public:
    explicit WriterWorker(const QString& dataDir);

    // Opens the file and writes what is held; until then everything handed over is only held.
    void Start();
    void Take(const battery::Reading& reading);
    void Take(std::vector<battery::Reading> readings);
    void Take(const alarms::AlarmEvent& event);
    void Take(const alarms::DischargeRecord& record);

    void SetRetryPeriod(std::chrono::milliseconds period);
    void SetOutbox(OutboxChannels channels) { outbox_ = std::move(channels); }
    // Writes now, even while a fault waits for its retry.
    void Retry() { Attempt(); }
    void DeleteDelivered(const std::vector<qint64>& readingSeqs,
                         const std::vector<qint64>& alarmSeqs);
    void DeleteReadingsBefore(qint64 cutoffMs);

    // One attempt; whether everything handed over is in the file.
    bool Flush();
    // Attempts until everything handed over is in the file or `budget` has passed, and returns
    // what could not be written.
    Unwritten FlushWithin(std::chrono::milliseconds budget);
    // Stops retrying and closes the file (the worker's last call on its thread).
    void Finish();

signals:
    // writing: the file takes readings. message: one line for the operator (empty when there
    // is nothing to say). Emitted on changes only.
    void HealthChanged(bool writing, const QString& message);
    void Committed(const threads::Handed<CommitNotice>& notice);
    void ReadingsDeleted(qint64 count);

private:
    void WriteSoon();
    void Attempt();
    bool OpenFile();
    bool WriteHeld();
    bool AllWritten() const {
        return heldReadings_.empty() && heldAlarms_.empty() && heldDischarges_.empty();
    }
    void Report(bool writing, const QString& message);

    HistoryFile file_;
    std::optional<BatchWriter> batch_;  // on file_'s open connection
    OutboxChannels outbox_;
    QTimer writeSoon_;  // everything handed over before the thread gets to it: one transaction
    QTimer retryTimer_;
    bool started_ = false;
    bool failing_ = false;
    std::vector<battery::Reading> heldReadings_;
    std::vector<alarms::AlarmEvent> heldAlarms_;
    std::vector<alarms::DischargeRecord> heldDischarges_;
    qint64 totalWritten_ = 0;
    bool lastWriting_ = true;
    QString lastMessage_;
};

}  // namespace store
