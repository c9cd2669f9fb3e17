#include "notify/ChannelWorker.h"

#include "store/HistoryReader.h"

namespace notify {
namespace {

constexpr int kPageRows = 500;
constexpr int kFileRetryMs = 5000;

}  // namespace

ChannelWorker::ChannelWorker(ChannelOptions options, std::unique_ptr<Sender> sender)
    : options_(std::move(options)),
      sender_(std::move(sender)),
      queue_(options_.pacing),
      timer_(this) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &ChannelWorker::Pump);
}

ChannelWorker::~ChannelWorker() = default;

void ChannelWorker::Start() { Pump(); }

// The waiting rows are read a page at a time up to the memory's share; the rest when the queue
// has room again.
void ChannelWorker::ReadOutbox() {
    if (!reader_ || !reader_->IsOpen())
        reader_ = std::make_unique<store::HistoryReader>(options_.historyFile);
    std::vector<qint64> removable;
    while (inFile_ && reader_->IsOpen() && queue_.Waiting() < DeliveryQueue::kMostPerMessage * 4) {
        const auto page =
            reader_->ReadAlarmOutbox(options_.channel, queue_.HighestSeq(), kPageRows);
        if (!page) break;
        for (const store::AlarmOutboxEntry& entry : page->entries) Take(entry, &removable);
        inFile_ = !page->complete;
        queue_.PassOver(page->lastSeq);  // rows of events this program does not know
    }
    if (!removable.empty()) Remove(std::move(removable));
}

void ChannelWorker::Take(const store::AlarmOutboxEntry& entry, std::vector<qint64>* removable) {
    if (Wanted(entry.event, options_.minLevel, options_.acknowledged))
        queue_.Add({entry.seq, entry.event});
    else
        removable->push_back(entry.seq);
    queue_.PassOver(entry.seq);
}

void ChannelWorker::Remove(std::vector<qint64> seqs) {
    emit Removable(threads::Handed<std::vector<qint64>>(std::move(seqs)));
}

void ChannelWorker::Add(const std::vector<store::AlarmOutboxEntry>& entries) {
    if (finished_) return;  // in the file for the next start
    if (inFile_) {
        ReadOutbox();  // the file has them too, after what waits there
    } else {
        std::vector<qint64> removable;
        for (const store::AlarmOutboxEntry& entry : entries)
            if (entry.channel == options_.channel && entry.seq > queue_.HighestSeq())
                Take(entry, &removable);
        if (!removable.empty()) Remove(std::move(removable));
    }
    Pump();
}

void ChannelWorker::Pump() {
    timer_.stop();
    if (finished_) return;
    // The file could not be read before (not made yet, or busy), or the queue ran dry.
    if (inFile_ && queue_.Waiting() == 0) ReadOutbox();
    for (;;) {
        const qint64 now = clock_.MonotonicMs();
        std::optional<Batch> batch = queue_.Take(now);
        if (!batch) break;
        Notice notice;
        notice.site = options_.site;
        notice.summary = batch->summary;
        const std::size_t listed = std::min(batch->events.size(), DeliveryQueue::kMostPerMessage);
        for (std::size_t i = 0; i < listed; ++i) notice.events.push_back(batch->events[i].event);
        notice.unlisted = int(batch->events.size() - listed);
        SendResult result = sender_->Send(notice);
        // A summary's unlisted events are delivered with it.
        if (result.Ok()) result.accepted = batch->events.size();
        queue_.Finished(clock_.MonotonicMs(), result.accepted);
        std::vector<qint64> delivered;
        for (std::size_t i = 0; i < result.accepted; ++i) delivered.push_back(batch->events[i].seq);
        if (!delivered.empty()) Remove(std::move(delivered));
        emit Sent(options_.channel, result.error);
        if (!result.Ok()) break;
        if (inFile_ && queue_.Waiting() == 0) ReadOutbox();
    }
    if (const std::optional<qint64> due = queue_.NextDueMs())
        timer_.start(int(std::clamp<qint64>(*due - clock_.MonotonicMs(), 0, INT32_MAX)));
    else if (inFile_ && queue_.Waiting() == 0)
        timer_.start(kFileRetryMs);  // the file could not be read: try again
}

void ChannelWorker::SendTest(const Notice& notice) {
    if (finished_) return;
    const SendResult result = sender_->Send(notice);
    emit TestSent(options_.channel, result.error);
}

// Calls that were queued behind this one find the worker finished: the reader stays closed on
// the thread that opened it.
void ChannelWorker::Finish() {
    finished_ = true;
    timer_.stop();
    reader_.reset();
    sender_.reset();
}

}  // namespace notify
