#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <functional>
#include <optional>
#include <utility>

#include "serial/CommNotice.h"
#include "tests/common/WaitFor.h"
#include "tests/serial/CommRecorder.h"
#include "threads/TsanHandOver.h"

using namespace std::chrono_literals;
using testsupport::HoldsFor;
using testsupport::WaitUntil;

namespace {

TBytes Concat(const TBytes& a, const TBytes& b) {
    TBytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

// An open port with the interval time-out of the poll cycle.
struct TReceiveRig {
    explicit TReceiveRig(std::uint32_t interval) : events(comm) {
        ApplyWindowSettings(comm, device.SlavePath());
        comm.SetReadIntervalTimeout(interval);
        comm.OpenComm();
    }

    // Waits for `bytes` bytes in all and then for the interval to pass without another buffer.
    bool Receive(std::size_t bytes) {
        const bool arrived = WaitUntil([&] { return events.BytesReceived() >= bytes; });
        device.Join();
        return arrived && HoldsFor([&] { return events.BytesReceived() == bytes; }, 80ms);
    }

    testsupport::PtyDevice device;
    TComm comm;
    TCommRecorder events;
};

const TBytes kAnswer = {0xA1, 0x04, 0x06, 0x00, 0x7D, 0x00, 0xFA, 0x00, 0x01, 0x3C, 0x91};

}  // namespace

TEST(ReceiveBoundaries, oneAnswerIsOneBufferFollowedByAZeroByte) {
    TReceiveRig rig(20);
    rig.device.Send(kAnswer);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 1u);
    EXPECT_EQ(rig.events.Buffers[0], kAnswer);
    EXPECT_EQ(rig.events.BuffersWithoutTerminator, 0);
}

TEST(ReceiveBoundaries, gapsShorterThanTheIntervalJoinAndLongerOnesSplit) {
    TReceiveRig rig(20);
    const TBytes head(kAnswer.begin(), kAnswer.begin() + 5);
    const TBytes tail(kAnswer.begin() + 5, kAnswer.end());

    rig.device.SendShaped({kAnswer, kAnswer}, 5ms);
    ASSERT_TRUE(rig.Receive(2 * kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 1u) << "two answers 5 ms apart";
    EXPECT_EQ(rig.events.Buffers[0], Concat(kAnswer, kAnswer));

    rig.events.Buffers.clear();
    rig.device.SendShaped({head, tail}, 60ms);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 2u) << "one answer with a 60 ms pause inside";
    EXPECT_EQ(rig.events.Buffers[0], head);
    EXPECT_EQ(rig.events.Buffers[1], tail);
}

TEST(ReceiveBoundaries, aLongBurstArrivesInBuffersOfAtMost1024InOrder) {
    TReceiveRig rig(20);
    const TBytes burst = Sequence(3000);
    rig.device.Send(burst);
    ASSERT_TRUE(rig.Receive(burst.size()));
    EXPECT_GE(rig.events.Buffers.size(), 3u);
    for (const TBytes& buffer : rig.events.Buffers) EXPECT_LE(buffer.size(), 1024u);
    EXPECT_TRUE(rig.events.Joined() == burst);
    EXPECT_EQ(rig.events.BuffersWithoutTerminator, 0);
}

TEST(ReceiveBoundaries, aNewIntervalTakesEffectWhileThePortIsOpen) {
    TReceiveRig rig(500);
    const TBytes head(kAnswer.begin(), kAnswer.begin() + 5);
    const TBytes tail(kAnswer.begin() + 5, kAnswer.end());

    rig.device.SendShaped({head, tail}, 60ms);
    ASSERT_TRUE(WaitUntil([&] { return rig.events.BytesReceived() == kAnswer.size(); }));
    EXPECT_EQ(rig.events.Buffers.size(), 1u) << "the 60 ms pause is inside the 500 ms interval";

    rig.events.Buffers.clear();
    rig.comm.SetReadIntervalTimeout(20);
    rig.device.SendShaped({head, tail}, 60ms);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    EXPECT_EQ(rig.events.Buffers.size(), 2u);
}

TEST(ReceiveEnd, closingDuringAPendingReadDeliversNothingAndDiscardsTheInput) {
    TReceiveRig rig(500);
    rig.device.Send(Sequence(5));
    EXPECT_TRUE(HoldsFor([&] { return rig.events.Buffers.empty(); }, 100ms))
        << "the read waits out its 500 ms interval";

    QElapsedTimer closing;
    closing.start();
    rig.comm.CloseComm();
    EXPECT_LT(closing.elapsed(), 400) << "the close signal ends the wait";
    EXPECT_TRUE(HoldsFor([&] { return rig.events.Buffers.empty(); }, 600ms));

    rig.comm.SetReadIntervalTimeout(20);
    rig.comm.OpenComm();
    rig.device.Send(kAnswer);
    ASSERT_TRUE(rig.Receive(kAnswer.size()));
    ASSERT_EQ(rig.events.Buffers.size(), 1u);
    EXPECT_EQ(rig.events.Buffers[0], kAnswer) << "nothing from before the close";
    EXPECT_EQ(rig.events.Hangups, 0);
}

TEST(ReceiveEnd, theFarEndClosingEndsTheReaderWithOneHangup) {
    testsupport::PtyDevice device;
    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    comm.SetReadIntervalTimeout(20);
    int hangups = 0;
    comm.OnRequestHangup = [&](TComm* sender) {
        EXPECT_EQ(sender, &comm);
        ++hangups;
    };
    QSignalSpy hangupSignal(&comm, &TComm::HangupRequested);
    comm.OpenComm();
    device.Send(kAnswer);  // no OnReceiveData: the block is simply freed

    device.CloseDeviceSide();
    ASSERT_TRUE(WaitUntil([&] { return hangups == 1; }));
    EXPECT_TRUE(HoldsFor([&] { return hangups == 1; }, 200ms)) << "the reader ended; no loop";
    EXPECT_EQ(hangupSignal.count(), 1);
    EXPECT_NE(comm.ComHandle(), 0u) << "the component stays open until it is closed";

    QElapsedTimer closing;
    closing.start();
    comm.CloseComm();
    EXPECT_LT(closing.elapsed(), 2000);
}

namespace {

// Runs `action` once, right before the first notice of `kind` is delivered.
class BeforeNoticeDelivery : public QObject {
public:
    BeforeNoticeDelivery(TNoticeKind kind, std::function<void()> action)
        : kind_(kind), action_(std::move(action)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (!action_) return false;
        RECEIVE_HANDOVER(event);  // a notice is filled on a port thread
        if (event->type() == TCommNotice::EventType() &&
            static_cast<TCommNotice*>(event)->Kind() == kind_)
            std::exchange(action_, nullptr)();
        return false;
    }

private:
    TNoticeKind kind_;
    std::function<void()> action_;
};

}  // namespace

TEST(ReceiveEnd, aHangupOfAnEarlierOpenIsNotRaisedOnThePortOpenedSince) {
    testsupport::PtyDevice first;
    testsupport::PtyDevice second;
    TComm comm;
    ApplyWindowSettings(comm, first.SlavePath());
    int hangups = 0;
    comm.OnRequestHangup = [&](TComm*) { ++hangups; };
    comm.OpenComm();

    // The first device goes away; before its hang-up reaches the component, the operator has
    // closed the port and opened another one.
    bool reopened = false;
    BeforeNoticeDelivery reopen(TNoticeKind::RequestHangup, [&] {
        comm.CloseComm();
        comm.SetCommName(second.SlavePath());
        comm.OpenComm();
        reopened = true;
    });
    QCoreApplication::instance()->installEventFilter(&reopen);
    first.CloseDeviceSide();
    ASSERT_TRUE(WaitUntil([&] { return reopened; }));
    QCoreApplication::instance()->removeEventFilter(&reopen);

    EXPECT_TRUE(HoldsFor([&] { return hangups == 0; }, 200ms));
    second.CloseDeviceSide();
    EXPECT_TRUE(WaitUntil([&] { return hangups == 1; })) << "the new open still reports its own";
    comm.CloseComm();
}

TEST(ReceiveEnd, dataOfAnEarlierOpenIsNotDeliveredAfterAReopen) {
    testsupport::PtyDevice first;
    testsupport::PtyDevice second;
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, first.SlavePath());
    comm.SetReadIntervalTimeout(20);
    comm.OpenComm();

    // An answer of the first device is on its way to the main thread when the operator closes
    // the port and opens another one.
    bool reopened = false;
    BeforeNoticeDelivery reopen(TNoticeKind::ReceiveData, [&] {
        comm.CloseComm();
        comm.SetCommName(second.SlavePath());
        comm.OpenComm();
        reopened = true;
    });
    QCoreApplication::instance()->installEventFilter(&reopen);
    first.Send(kAnswer);
    ASSERT_TRUE(WaitUntil([&] { return reopened; }));
    QCoreApplication::instance()->removeEventFilter(&reopen);

    EXPECT_TRUE(HoldsFor([&] { return events.Buffers.empty(); }, 200ms));
    const TBytes fresh = Sequence(6);
    second.Send(fresh);
    ASSERT_TRUE(WaitUntil([&] { return events.BytesReceived() == fresh.size(); }));
    ASSERT_EQ(events.Buffers.size(), 1u);
    EXPECT_EQ(events.Buffers[0], fresh) << "only the data of the port open now";
}

TEST(ReceiveEnd, dataStillQueuedAtCloseIsNotDelivered) {
    testsupport::PtyDevice device;
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, device.SlavePath());
    comm.SetReadIntervalTimeout(20);
    comm.OpenComm();
    bool closed = false;
    BeforeNoticeDelivery close(TNoticeKind::ReceiveData, [&] {
        comm.CloseComm();
        closed = true;
    });
    QCoreApplication::instance()->installEventFilter(&close);
    device.Send(kAnswer);
    ASSERT_TRUE(WaitUntil([&] { return closed; }));
    QCoreApplication::instance()->removeEventFilter(&close);
    EXPECT_TRUE(HoldsFor([&] { return events.Buffers.empty(); }, 100ms));
}

TEST(ReceiveBoundaries, aBufferKnowsWhenItsLastByteWasReadHoweverLateItIsHandled) {
    using Clock = std::chrono::steady_clock;
    TReceiveRig rig(20);
    std::optional<Clock::time_point> receivedAt;
    Clock::time_point handledAt;
    rig.comm.OnReceiveData = [&](TComm* comm, const std::uint8_t*, std::uint16_t) {
        receivedAt = comm->ReceivedAt();
        handledAt = Clock::now();
    };
    const Clock::time_point sent = Clock::now();
    rig.device.Send(kAnswer);
    // A window thread busy for 300 ms: the buffer waits in its queue meanwhile.
    while (Clock::now() - sent < 300ms) {
    }
    ASSERT_TRUE(WaitUntil([&] { return receivedAt.has_value(); }));
    EXPECT_GE(*receivedAt, sent);
    EXPECT_GE(handledAt - *receivedAt, 100ms) << "the buffer is dated when it was handled";
    EXPECT_FALSE(rig.comm.ReceivedAt()) << "outside a delivery there is no buffer to date";
}
