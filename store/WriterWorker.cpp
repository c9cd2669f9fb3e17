#include "store/WriterWorker.h"

#include <QDeadlineTimer>
#include <QThread>
#include <algorithm>

#include "store/FaultText.h"
#include "store/Retention.h"

namespace store {
namespace {

// At stop, how long the writer waits between attempts at a file that cannot be written.
constexpr std::chrono::milliseconds kStopRetryPause{200};

}  // namespace

WriterWorker::WriterWorker(const QString& dataDir)
    : file_(dataDir, [this](bool writing, const QString& message) { Report(writing, message); }),
      writeSoon_(this),
      retryTimer_(this) {
    writeSoon_.setSingleShot(true);
    writeSoon_.setInterval(0);
    connect(&writeSoon_, &QTimer::timeout, this, [this] {
        if (!failing_) Attempt();
    });
    retryTimer_.setInterval(std::chrono::seconds(10));
    connect(&retryTimer_, &QTimer::timeout, this, &WriterWorker::Attempt);
}

void WriterWorker::Start() {
    started_ = true;
    Attempt();
}

void WriterWorker::Take(const battery::Reading& reading) {
    heldReadings_.push_back(reading);
    WriteSoon();
}

void WriterWorker::Take(std::vector<battery::Reading> readings) {
    if (heldReadings_.empty())
        heldReadings_ = std::move(readings);
    else
        heldReadings_.insert(heldReadings_.end(), readings.begin(), readings.end());
    WriteSoon();
}

void WriterWorker::Take(const alarms::AlarmEvent& event) {
    heldAlarms_.push_back(event);
    WriteSoon();
}

// A later save of the same discharge replaces one still held: only its newest state matters.
void WriterWorker::Take(const alarms::DischargeRecord& record) {
    const auto same = std::find_if(
        heldDischarges_.begin(), heldDischarges_.end(), [&](const alarms::DischargeRecord& held) {
            return held.device == record.device && held.startMs == record.startMs;
        });
    if (same != heldDischarges_.end())
        *same = record;
    else
        heldDischarges_.push_back(record);
    WriteSoon();
}

// The write runs once the thread has taken every hand-over already queued, so readings that
// arrive while a commit runs share the next transaction.
void WriterWorker::WriteSoon() {
    if (started_ && !writeSoon_.isActive()) writeSoon_.start();
}

void WriterWorker::SetRetryPeriod(std::chrono::milliseconds period) {
    retryTimer_.setInterval(period);
}

void WriterWorker::Attempt() {
    if (!started_) return;
    if (WriteHeld()) {
        failing_ = false;
        retryTimer_.stop();
    } else {
        failing_ = true;
        if (!retryTimer_.isActive()) retryTimer_.start();
    }
}

bool WriterWorker::Flush() {
    Attempt();
    return AllWritten();
}

Unwritten WriterWorker::FlushWithin(std::chrono::milliseconds budget) {
    const QDeadlineTimer deadline(budget);
    started_ = true;
    for (Attempt(); !AllWritten() && !deadline.hasExpired(); Attempt())
        QThread::msleep(std::clamp<qint64>(deadline.remainingTime(), 0, kStopRetryPause.count()));
    return {static_cast<qint64>(heldReadings_.size()), static_cast<qint64>(heldAlarms_.size())};
}

void WriterWorker::Finish() {
    writeSoon_.stop();
    retryTimer_.stop();
    batch_.reset();
    file_.Close();
}

bool WriterWorker::OpenFile() {
    if (!file_.Open()) return false;
    if (!batch_) batch_.emplace(file_.Db());
    return true;
}

// Opens the file when needed (so a fault shows even before the first reading) and writes
// everything held.
bool WriterWorker::WriteHeld() {
    if (!OpenFile()) return false;
    if (AllWritten()) {
        if (!lastWriting_) Report(true, WritingAgainMessage());
        return true;
    }
    QSqlError error;
    CommitNotice notice;
    if (!batch_->Write(heldReadings_, heldAlarms_, heldDischarges_, outbox_, &notice.outbox,
                       &error) &&
        ClassifyError(error) == SqliteFault::Corrupt) {
        // The file broke under us: set it aside and write into a new one.
        batch_.reset();
        if (!file_.SetAsideCorrupt() || !OpenFile()) return false;
        error = {};
        batch_->Write(heldReadings_, heldAlarms_, heldDischarges_, outbox_, &notice.outbox, &error);
    }
    if (error.isValid()) {
        Report(false, FaultMessage(ClassifyError(error), error.databaseText(), file_.DataDir()));
        return false;
    }
    const auto written = static_cast<qint64>(heldReadings_.size());
    heldReadings_.clear();
    heldAlarms_.clear();
    heldDischarges_.clear();
    totalWritten_ += written;
    notice.totalReadings = totalWritten_;
    emit Committed(threads::Handed<CommitNotice>(std::move(notice)));
    if (!lastWriting_) Report(true, WritingAgainMessage(written));
    return true;
}

void WriterWorker::DeleteDelivered(const std::vector<qint64>& readingSeqs,
                                   const std::vector<qint64>& alarmSeqs) {
    if (OpenFile()) {
        QSqlDatabase db = file_.Db();
        store::DeleteDelivered(db, readingSeqs, alarmSeqs);
    }
}

void WriterWorker::DeleteReadingsBefore(qint64 cutoffMs) {
    if (!OpenFile()) return;
    QSqlDatabase db = file_.Db();
    if (const std::optional<qint64> deleted = store::DeleteReadingsBefore(db, cutoffMs))
        emit ReadingsDeleted(*deleted);
}

void WriterWorker::Report(bool writing, const QString& message) {
    if (writing == lastWriting_ && message == lastMessage_) return;
    lastWriting_ = writing;
    lastMessage_ = message;
    emit HealthChanged(writing, message);
}

}  // namespace store
