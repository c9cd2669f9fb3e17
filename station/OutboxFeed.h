#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

// One outbox row as a message for the broker.
struct OutboxMessage {
    qint64 seq = 0;
    QByteArray topic;
    QByteArray payload;
    bool retain = false;
};

// A page of an outbox read from the file: its messages, the highest number looked at, and
// whether nothing follows it.
struct OutboxMessagePage {
    std::vector<OutboxMessage> messages;
    qint64 lastSeq = 0;
    bool complete = false;
};

// The rows of one outbox that a sender has yet to send, in order, read from the file as seldom
// as possible. Numbers are never reused, so the highest number known is all the feed needs to
// tell new rows from old ones. While it is in step with the file, the rows of each commit come
// from the commit notice (Committed) and the file is not read. It reads the file (a page at a
// time, through `read`) after Reset or Reload, and when more rows wait than it keeps in memory.
class OutboxFeed {
public:
    // Reads up to `limit` rows numbered after `afterSeq`; nothing when the file cannot be read
    // now (the feed tries again on the next Next).
    using ReadPage = std::function<std::optional<OutboxMessagePage>(qint64 afterSeq, int limit)>;

    OutboxFeed(ReadPage read, std::size_t memoryLimit);

    // The rows a commit added, in order.
    void Committed(std::vector<OutboxMessage> messages);
    // Everything still in the outbox is unsent again (start, stop).
    void Reset();
    // The rows not on their way yet are read from the file next (a reconnect: those on their
    // way are the client's to resend).
    void Reload();

    // The next message to send; null when none waits or the file cannot be read now. Reads at
    // most `room` rows when it has to read.
    const OutboxMessage* Next(int room);
    // The message Next gave is on its way.
    void Sent();

    // Reads of the file so far.
    qint64 Reads() const { return reads_; }

private:
    void Drop();

    ReadPage read_;
    std::size_t memoryLimit_;
    std::deque<OutboxMessage> waiting_;
    qint64 lastKnownSeq_ = 0;  // queued, sent or acknowledged
    qint64 lastSentSeq_ = 0;
    bool inFile_ = true;  // rows after lastKnownSeq_ may be in the file and not in memory
    qint64 reads_ = 0;
};
