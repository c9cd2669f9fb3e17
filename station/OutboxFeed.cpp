#include "station/OutboxFeed.h"

#include <algorithm>

OutboxFeed::OutboxFeed(ReadPage read, std::size_t memoryLimit)
    : read_(std::move(read)), memoryLimit_(memoryLimit) {}

void OutboxFeed::Committed(std::vector<OutboxMessage> messages) {
    if (inFile_) return;  // read from the file when the feed gets there
    for (OutboxMessage& message : messages) {
        if (message.seq <= lastKnownSeq_) continue;  // already read from the file
        if (waiting_.size() >= memoryLimit_) {
            Drop();
            return;
        }
        lastKnownSeq_ = message.seq;
        waiting_.push_back(std::move(message));
    }
}

void OutboxFeed::Reset() {
    lastSentSeq_ = 0;
    Drop();
}

void OutboxFeed::Reload() { Drop(); }

// Forgets the rows not yet sent; they are read from the file again.
void OutboxFeed::Drop() {
    waiting_.clear();
    lastKnownSeq_ = lastSentSeq_;
    inFile_ = true;
}

// Pages whose rows were all passed over (events this program does not know) are read past.
const OutboxMessage* OutboxFeed::Next(int room) {
    while (waiting_.empty() && inFile_ && room > 0) {
        ++reads_;
        std::optional<OutboxMessagePage> page = read_(lastKnownSeq_, room);
        if (!page) return nullptr;
        for (OutboxMessage& message : page->messages) {
            if (message.seq > lastKnownSeq_) waiting_.push_back(std::move(message));
        }
        lastKnownSeq_ = std::max(lastKnownSeq_, page->lastSeq);
        inFile_ = !page->complete;
    }
    return waiting_.empty() ? nullptr : &waiting_.front();
}

void OutboxFeed::Sent() {
    if (waiting_.empty()) return;
    lastSentSeq_ = waiting_.front().seq;
    waiting_.pop_front();
}
