#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

#include "web/EventCursor.h"
#include "web/EventHub.h"

namespace store {
class HistoryReader;
}

namespace web {

using StreamEvents = std::vector<std::shared_ptr<const StreamEvent>>;

struct TailRead {
    bool ok = false;
    StreamEvents events;    // in time order, each with the cursor after it as its id
    EventCursor cursor;     // after the last event read
    bool complete = false;  // nothing more after `cursor` when it was read
};

// The readings and alarm events the store holds after `cursor`, at most `limit` of each kind,
// framed as events of the stream.
TailRead ReadAfter(store::HistoryReader& reader, const EventCursor& cursor, int limit);
// The store's newest reading and alarm event: where a stream that asks for nothing old starts.
EventCursor NewestCursor(store::HistoryReader& reader);

// Follows the history file as the writer commits to it and hands every new reading and alarm
// event to the hub, in the order of their keys. Runs on a worker thread of its own with its own
// read connection; Poke may be called from any thread and costs nothing while a read is due.
class StoreTail : public QObject {
    Q_OBJECT
public:
    StoreTail(QString historyPath, std::shared_ptr<EventHub> hub);
    ~StoreTail() override;

    void Start();
    void Poll();
    void Finish();

    // Marks a read as due; returns true when the caller should post Poll.
    bool MarkDue() { return !due_.exchange(true); }

    static constexpr int kBatch = 2000;

private:
    QString historyPath_;
    std::shared_ptr<EventHub> hub_;
    std::unique_ptr<store::HistoryReader> reader_;
    EventCursor cursor_;
    std::atomic<bool> due_{false};
};

}  // namespace web
