#pragma once

#include <QtGlobal>
#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "notify/NotifySettings.h"

namespace notify {

// An event waiting for a channel, by its outbox number.
struct QueuedEvent {
    qint64 seq = 0;
    alarms::AlarmEvent event;
};

// What a channel sends as one message.
struct Batch {
    std::vector<QueuedEvent> events;
    bool summary = false;  // the first message after the hourly limit held events back
};

// The order and pace of one channel's messages, on a monotonic clock given with each call.
// Events go out in the order of their numbers, each in exactly one accepted message. A message
// goes out at once when the channel has been quiet for the grouping time; events that come
// sooner wait for it to pass and then go out together. After the hourly number of messages, the
// events wait until the oldest message of the hour is an hour old and go out as one summary.
// A failed message is tried again, with what came meanwhile, after a delay that doubles with
// each failure up to the cap.
class DeliveryQueue {
public:
    static constexpr std::size_t kMostPerMessage = 50;  // events per message; summaries take all
    static constexpr qint64 kHourMs = 3'600'000;

    explicit DeliveryQueue(PacingSettings pacing) : pacing_(pacing) {}

    // Adds an event; one numbered at or below the highest added is known already and dropped.
    void Add(QueuedEvent event);
    // Rows up to `seq` were looked at: none of them is added later.
    void PassOver(qint64 seq) { highestSeq_ = std::max(highestSeq_, seq); }
    qint64 HighestSeq() const { return highestSeq_; }
    std::size_t Waiting() const { return waiting_.size(); }

    // The message due at `nowMs`, or nothing. It is on its way until Finished.
    std::optional<Batch> Take(qint64 nowMs);
    // The message taken ended: its first `accepted` events were delivered. When that is fewer
    // than it held, the rest is tried again after the backoff.
    void Finished(qint64 nowMs, std::size_t accepted);
    // When Take will next give a message, when something waits and none is on its way.
    std::optional<qint64> NextDueMs() const;

    int Failures() const { return failures_; }

private:
    // When the hourly limit lets the next message go; `nowMs` when it does now.
    qint64 RateOpensMs(qint64 nowMs) const;
    void ForgetOldSends(qint64 nowMs);

    PacingSettings pacing_;
    std::deque<QueuedEvent> waiting_;  // the message on its way is the front of it
    std::size_t inFlight_ = 0;
    qint64 highestSeq_ = 0;
    std::optional<qint64> lastSentMs_;
    std::deque<qint64> sentMs_;  // accepted messages of the last hour
    bool heldByRate_ = false;
    int failures_ = 0;
    qint64 retryAtMs_ = 0;
};

}  // namespace notify
