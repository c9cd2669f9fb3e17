#pragma once

#include <QByteArray>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "web/EventCursor.h"

namespace web {

// One Server-Sent Event, framed ("id: …\nevent: …\ndata: …\n\n"), with the store key it stands
// for so that a stream resuming from the store can tell what it already sent.
struct StreamEvent {
    enum class Kind { Reading, Alarm };
    Kind kind = Kind::Reading;
    ReadingKey reading;  // for a reading
    qint64 alarmId = 0;  // for an alarm event
    QByteArray frame;
};

// What one connected event stream has yet to send. Bounded: a client that stops reading while
// events keep coming is cut off once kMaxQueuedBytes wait, and its queue is freed.
class StreamQueue {
public:
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{256} * 1024;

    // False once the queue overflowed or was closed.
    bool Push(const std::shared_ptr<const StreamEvent>& event);
    void Close();
    // Waits up to `wait` for events; returns what is queued (empty on time-out) and whether the
    // stream is still wanted.
    bool Take(std::chrono::milliseconds wait, std::vector<std::shared_ptr<const StreamEvent>>& out);
    bool Open() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<const StreamEvent>> events_;
    std::size_t bytes_ = 0;
    bool open_ = true;
};

// Hands every new event to every connected stream. Publish is called by the store's tail, Join
// by the server's threads; the hub's cursor is where the tail stands, taken together with the
// subscription so that a new stream misses nothing between the two.
class EventHub {
public:
    struct Joined {
        std::shared_ptr<StreamQueue> queue;
        EventCursor cursor;
    };
    Joined Join();
    void Publish(const std::vector<std::shared_ptr<const StreamEvent>>& events,
                 const EventCursor& cursor);
    void SetCursor(const EventCursor& cursor);
    // Closes every stream (at shutdown) and refuses new ones.
    void CloseAll();
    std::size_t StreamCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<StreamQueue>> queues_;
    EventCursor cursor_;
    bool closed_ = false;
};

}  // namespace web
