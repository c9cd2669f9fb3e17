// The feed of one outbox: it reads the file only when it must, never skips or repeats a row,
// and keeps memory bounded.
#include <gtest/gtest.h>

#include "station/OutboxFeed.h"

namespace {

// The outbox "file": numbered rows, read in pages the way the store reads them.
struct OutboxFile {
    std::vector<qint64> rows;
    int reads = 0;
    bool readable = true;

    std::optional<OutboxMessagePage> Read(qint64 afterSeq, int limit) {
        ++reads;
        if (!readable) return std::nullopt;
        OutboxMessagePage page;
        for (qint64 seq : rows) {
            if (seq <= afterSeq) continue;
            if (static_cast<int>(page.messages.size()) == limit) break;
            page.messages.push_back({seq, "t", QByteArray::number(seq), false});
            page.lastSeq = seq;
        }
        page.complete = static_cast<int>(page.messages.size()) < limit;
        return page;
    }
    // A commit: rows appended to the file, and the notice that carries them.
    std::vector<OutboxMessage> Commit(qint64 first, qint64 count) {
        std::vector<OutboxMessage> notice;
        for (qint64 seq = first; seq < first + count; ++seq) {
            rows.push_back(seq);
            notice.push_back({seq, "t", QByteArray::number(seq), false});
        }
        return notice;
    }
};

// Sends everything the feed gives, `room` at a time; the numbers sent.
std::vector<qint64> Drain(OutboxFeed& feed, int room = 10) {
    std::vector<qint64> sent;
    while (const OutboxMessage* message = feed.Next(room)) {
        sent.push_back(message->seq);
        feed.Sent();
    }
    return sent;
}

std::vector<qint64> Range(qint64 first, qint64 last) {
    std::vector<qint64> seqs;
    for (qint64 s = first; s <= last; ++s) seqs.push_back(s);
    return seqs;
}

}  // namespace

TEST(OutboxFeed, readsTheFileAtStartThenTakesEachCommitFromItsNotice) {
    OutboxFile file;
    OutboxFeed feed([&](qint64 after, int limit) { return file.Read(after, limit); }, 100);
    file.Commit(1, 25);  // waiting from before the start
    EXPECT_EQ(Drain(feed), Range(1, 25));
    const int readsAtStart = file.reads;
    EXPECT_EQ(readsAtStart, 3) << "pages of 10, the last one short";

    // Fifty commits, each sent as it comes, as the publisher pumps after each notice.
    std::vector<qint64> sent;
    for (qint64 first = 26; first < 26 + 50 * 3; first += 3) {
        feed.Committed(file.Commit(first, 3));
        for (const qint64 seq : Drain(feed)) sent.push_back(seq);
    }
    EXPECT_EQ(sent, Range(26, 175));
    EXPECT_EQ(file.reads, readsAtStart) << "no read of the file while in step with it";
    EXPECT_EQ(feed.Reads(), file.reads);
}

TEST(OutboxFeed, aNoticeOfRowsAlreadyReadFromTheFileAddsNothing) {
    OutboxFile file;
    OutboxFeed feed([&](qint64 after, int limit) { return file.Read(after, limit); }, 100);
    // Committed while the feed was reading the file: the rows are in the file and the notice
    // arrives afterwards.
    const auto notice = file.Commit(1, 4);
    EXPECT_EQ(Drain(feed), Range(1, 4));
    feed.Committed(notice);
    feed.Committed(file.Commit(5, 2));
    EXPECT_EQ(Drain(feed), Range(5, 6));
}

TEST(OutboxFeed, afterAReconnectTheUnsentRowsComeFromTheFileInOrderAndAfterAStopAllAgain) {
    OutboxFile file;
    OutboxFeed feed([&](qint64 after, int limit) { return file.Read(after, limit); }, 100);
    feed.Committed(file.Commit(1, 5));
    EXPECT_EQ(Drain(feed), Range(1, 5));
    feed.Committed(file.Commit(6, 5));
    ASSERT_NE(feed.Next(10), nullptr);
    feed.Sent();  // 6 on its way when the connection drops
    feed.Reload();
    feed.Committed(file.Commit(11, 5));  // while away: only in the file
    const int readsBefore = file.reads;
    EXPECT_EQ(Drain(feed), Range(7, 15));
    EXPECT_GT(file.reads, readsBefore);

    // A stop forgets what was sent: what the broker never acknowledged is still in the outbox.
    file.rows.erase(file.rows.begin(), file.rows.begin() + 10);  // 1..10 acknowledged
    feed.Reset();
    EXPECT_EQ(Drain(feed), Range(11, 15));
}

TEST(OutboxFeed, moreWaitingRowsThanMemoryHoldsAreReadFromTheFileAndAFailedReadIsRetried) {
    OutboxFile file;
    OutboxFeed feed([&](qint64 after, int limit) { return file.Read(after, limit); }, 8);
    EXPECT_EQ(Drain(feed), std::vector<qint64>{});
    feed.Committed(file.Commit(1, 5));
    feed.Committed(file.Commit(6, 5));  // more than 8 wait: the feed lets the file keep them
    const int readsBefore = file.reads;
    file.readable = false;
    EXPECT_EQ(feed.Next(10), nullptr);
    file.readable = true;
    EXPECT_EQ(Drain(feed, 4), Range(1, 10));
    EXPECT_GT(file.reads, readsBefore + 1);
    feed.Committed(file.Commit(11, 2));
    EXPECT_EQ(Drain(feed), Range(11, 12));
}
