#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <vector>

#include "engine/Clock.h"
#include "notify/DeliveryQueue.h"
#include "notify/NotifySettings.h"
#include "notify/Senders.h"
#include "store/Outbox.h"
#include "threads/Handed.h"

namespace store {
class HistoryReader;
}

namespace notify {

// What a channel is, apart from how it sends.
struct ChannelOptions {
    QString channel;  // its name in the outbox: kMailChannel, ...
    QString site;
    alarms::AlarmLevel minLevel = alarms::AlarmLevel::Warning;
    bool acknowledged = false;
    PacingSettings pacing;
    QString historyFile;
};

// Delivers one channel's outbox on a worker thread of its own (the sender blocks): reads what
// waits in the file at start, then takes the rows of each commit as the writer reports them,
// and sends them paced by a DeliveryQueue. Rows delivered, or not meant for this channel, are
// reported with Removable for the writer to delete.
class ChannelWorker : public QObject {
    Q_OBJECT
public:
    ChannelWorker(ChannelOptions options, std::unique_ptr<Sender> sender);
    ~ChannelWorker() override;

    void Start();
    void Add(const std::vector<store::AlarmOutboxEntry>& entries);
    // Sends `notice` now, beside the queue, and reports with TestSent.
    void SendTest(const Notice& notice);
    void Finish();

signals:
    void Removable(const threads::Handed<std::vector<qint64>>& seqs);
    // Each message's outcome; `error` is empty when it was accepted.
    void Sent(const QString& channel, const QString& error);
    void TestSent(const QString& channel, const QString& error);

private:
    void ReadOutbox();
    void Take(const store::AlarmOutboxEntry& entry, std::vector<qint64>* removable);
    void Pump();
    void Remove(std::vector<qint64> seqs);

    ChannelOptions options_;
    std::unique_ptr<Sender> sender_;
    SystemClock clock_;
    DeliveryQueue queue_;
    std::unique_ptr<store::HistoryReader> reader_;
    bool finished_ = false;
    bool inFile_ = true;  // rows may wait in the file that the queue has not seen
    QTimer timer_;
};

}  // namespace notify
