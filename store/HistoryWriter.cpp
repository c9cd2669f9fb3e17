#include "store/HistoryWriter.h"

#include <QCoreApplication>

#include "store/DataDir.h"

namespace store {

HistoryWriter::HistoryWriter(const QString& dataDir, QObject* parent)
    : QObject(parent),
      filePath_(HistoryFilePath(dataDir)),
      worker_(QStringLiteral("history writer"), dataDir) {
    WriterWorker* worker = worker_.Worker();
    connect(worker, &WriterWorker::HealthChanged, this,
            [this](bool writing, const QString& message) {
                healthy_ = writing;
                emit HealthChanged(writing, message);
            });
    connect(worker, &WriterWorker::Committed, this,
            [this](const threads::Handed<CommitNotice>& notice) { OnCommitted(notice.Get()); });
    connect(worker, &WriterWorker::ReadingsDeleted, this, &HistoryWriter::ReadingsDeleted);
}

HistoryWriter::~HistoryWriter() { Shutdown(); }

void HistoryWriter::Start() {
    if (started_ || stopped_) return;
    started_ = true;
    worker_.Post([](WriterWorker& w) { w.Start(); });
}

void HistoryWriter::Append(const battery::Reading& reading) {
    ++handedOver_;
    worker_.Post([reading](WriterWorker& w) { w.Take(reading); });
}

void HistoryWriter::Append(std::span<const battery::Reading> readings) {
    if (readings.empty()) return;
    handedOver_ += static_cast<qint64>(readings.size());
    worker_.Post([batch = std::vector(readings.begin(), readings.end())](WriterWorker& w) mutable {
        w.Take(std::move(batch));
    });
}

void HistoryWriter::AppendAlarm(const alarms::AlarmEvent& event) {
    alarmHandedOver_ = true;
    worker_.Post([event](WriterWorker& w) { w.Take(event); });
}

void HistoryWriter::SaveDischarge(const alarms::DischargeRecord& record) {
    alarmHandedOver_ = true;
    worker_.Post([record](WriterWorker& w) { w.Take(record); });
}

void HistoryWriter::SetRetryPeriod(std::chrono::milliseconds period) {
    worker_.Post([period](WriterWorker& w) { w.SetRetryPeriod(period); });
}

void HistoryWriter::Retry() {
    worker_.Post([](WriterWorker& w) { w.Retry(); });
}

void HistoryWriter::SetOutboxEnabled(bool enabled) {
    mqttOutbox_ = enabled;
    PostOutbox();
}

void HistoryWriter::SetNotifyChannels(const QStringList& channels) {
    notifyChannels_ = channels;
    PostOutbox();
}

void HistoryWriter::PostOutbox() {
    OutboxChannels channels;
    channels.readings = mqttOutbox_;
    if (mqttOutbox_) channels.alarmChannels.push_back(kMqttChannel);
    for (const QString& channel : notifyChannels_) channels.alarmChannels.push_back(channel);
    worker_.Post([channels](WriterWorker& w) { w.SetOutbox(channels); });
}

void HistoryWriter::MarkPublished(std::vector<qint64> readingSeqs) {
    worker_.Post([seqs = std::move(readingSeqs)](WriterWorker& w) { w.DeleteDelivered(seqs, {}); });
}

void HistoryWriter::MarkAlarmsPublished(std::vector<qint64> alarmSeqs) {
    worker_.Post([seqs = std::move(alarmSeqs)](WriterWorker& w) { w.DeleteDelivered({}, seqs); });
}

void HistoryWriter::DeleteReadingsBefore(qint64 cutoffMs) {
    worker_.Post([cutoffMs](WriterWorker& w) { w.DeleteReadingsBefore(cutoffMs); });
}

void HistoryWriter::OnCommitted(const CommitNotice& notice) {
    committed_ = notice.totalReadings;
    emit Committed(notice.totalReadings);
    if (!notice.outbox.Empty()) emit OutboxCommitted(notice.outbox);
}

void HistoryWriter::TakeReports() {
    if (QThread::currentThread() == thread())
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

bool HistoryWriter::Flush() {
    if (stopped_) return lost_.None();
    Start();
    const bool allWritten = worker_.CallAndWait([](WriterWorker& w) { return w.Flush(); });
    TakeReports();
    return allWritten;
}

Unwritten HistoryWriter::Shutdown(std::chrono::milliseconds retryFor) {
    if (stopped_) return lost_;
    stopped_ = true;
    if (started_ || handedOver_ > 0 || alarmHandedOver_) {
        lost_ =
            worker_.CallAndWait([retryFor](WriterWorker& w) { return w.FlushWithin(retryFor); });
        TakeReports();
    }
    worker_.Stop();
    return lost_;
}

}  // namespace store
