#include <gtest/gtest.h>

#include "notify/DeliveryQueue.h"

namespace {

using notify::Batch;
using notify::DeliveryQueue;
using notify::PacingSettings;

constexpr qint64 kSecond = 1000;

notify::QueuedEvent Event(qint64 seq) {
    notify::QueuedEvent queued;
    queued.seq = seq;
    queued.event.tMs = seq;
    return queued;
}

std::vector<qint64> Seqs(const Batch& batch) {
    std::vector<qint64> seqs;
    for (const auto& queued : batch.events) seqs.push_back(queued.seq);
    return seqs;
}

PacingSettings Pacing(int maxPerHour = 20) {
    PacingSettings pacing;
    pacing.maxPerHour = maxPerHour;
    pacing.retryFirstMs = 5 * kSecond;
    pacing.retryMaxMs = 20 * kSecond;
    return pacing;
}

// Delivers everything due at `now`, accepting each message; returns the messages sent.
std::vector<Batch> DeliverDue(DeliveryQueue& queue, qint64 now) {
    std::vector<Batch> sent;
    while (auto batch = queue.Take(now)) {
        queue.Finished(now, batch->events.size());
        sent.push_back(*batch);
    }
    return sent;
}

TEST(DeliveryQueue, theFirstEventGoesAtOnceAndThoseWithinTheGroupingTimeGoTogetherAfterIt) {
    DeliveryQueue queue(Pacing());
    queue.Add(Event(1));
    auto sent = DeliverDue(queue, 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Seqs(sent[0]), std::vector<qint64>{1});

    queue.Add(Event(2));
    EXPECT_TRUE(DeliverDue(queue, 10 * kSecond).empty());
    queue.Add(Event(3));
    EXPECT_TRUE(DeliverDue(queue, 20 * kSecond).empty());
    EXPECT_EQ(queue.NextDueMs(), 30 * kSecond);
    sent = DeliverDue(queue, 30 * kSecond);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Seqs(sent[0]), (std::vector<qint64>{2, 3}));
    EXPECT_FALSE(sent[0].summary);

    // A quiet channel sends the next event at once again; a number seen before is dropped.
    queue.Add(Event(3));
    queue.Add(Event(4));
    sent = DeliverDue(queue, 100 * kSecond);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Seqs(sent[0]), std::vector<qint64>{4});
    EXPECT_FALSE(queue.NextDueMs());
}

TEST(DeliveryQueue, aFailedMessageIsRetriedWithDoublingDelayUpToTheCapWithWhatCameMeanwhile) {
    DeliveryQueue queue(Pacing());
    queue.Add(Event(1));
    auto batch = queue.Take(0);
    ASSERT_TRUE(batch);
    EXPECT_FALSE(queue.Take(0)) << "one message on its way at a time";
    queue.Finished(0, 0);
    EXPECT_EQ(queue.NextDueMs(), 5 * kSecond);
    queue.Add(Event(2));
    qint64 now = 5 * kSecond;
    for (const qint64 delay : {10, 20, 20}) {  // doubling, then the cap
        batch = queue.Take(now);
        ASSERT_TRUE(batch);
        EXPECT_EQ(Seqs(*batch), (std::vector<qint64>{1, 2}));
        queue.Finished(now, 0);
        EXPECT_EQ(queue.NextDueMs(), now + delay * kSecond);
        now += delay * kSecond;
    }
    const auto sent = DeliverDue(queue, now);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Seqs(sent[0]), (std::vector<qint64>{1, 2}));
    EXPECT_EQ(queue.Failures(), 0);
    EXPECT_EQ(queue.Waiting(), 0u);
}

// The command takes events one by one: those it took are never sent again.
TEST(DeliveryQueue, aPartlyAcceptedMessageResendsOnlyTheRestInOrder) {
    DeliveryQueue queue(Pacing());
    for (qint64 seq = 1; seq <= 3; ++seq) queue.Add(Event(seq));
    auto batch = queue.Take(0);
    ASSERT_TRUE(batch);
    queue.Finished(0, 1);
    batch = queue.Take(5 * kSecond);
    ASSERT_TRUE(batch);
    EXPECT_EQ(Seqs(*batch), (std::vector<qint64>{2, 3}));
}

TEST(DeliveryQueue, afterTheHourlyLimitEventsWaitAndGoOutAsOneSummary) {
    DeliveryQueue queue(Pacing(3));
    qint64 seq = 0;
    for (int i = 0; i < 3; ++i) {
        queue.Add(Event(++seq));
        ASSERT_EQ(DeliverDue(queue, i * 60 * kSecond).size(), 1u);
    }
    for (int i = 0; i < 120; ++i) queue.Add(Event(++seq));
    EXPECT_TRUE(DeliverDue(queue, 10 * 60 * kSecond).empty());
    EXPECT_EQ(queue.NextDueMs(), DeliveryQueue::kHourMs);
    auto sent = DeliverDue(queue, DeliveryQueue::kHourMs);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].summary);
    EXPECT_EQ(sent[0].events.size(), 120u) << "the summary takes every held event";
    EXPECT_EQ(sent[0].events.front().seq, 4);
    // The limit counts the summary; the next message is an ordinary one.
    queue.Add(Event(++seq));
    sent = DeliverDue(queue, DeliveryQueue::kHourMs + 60 * kSecond);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].summary);
}

TEST(DeliveryQueue, aLongBacklogGoesOutInMessagesOfBoundedSizeInOrder) {
    DeliveryQueue queue(Pacing(1000));
    for (qint64 seq = 1; seq <= 120; ++seq) queue.Add(Event(seq));
    std::vector<qint64> delivered;
    qint64 now = 0;
    while (queue.NextDueMs()) {
        now = *queue.NextDueMs();
        for (const Batch& batch : DeliverDue(queue, now)) {
            EXPECT_LE(batch.events.size(), DeliveryQueue::kMostPerMessage);
            for (const qint64 s : Seqs(batch)) delivered.push_back(s);
        }
    }
    ASSERT_EQ(delivered.size(), 120u);
    for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], qint64(i + 1));
}

}  // namespace
