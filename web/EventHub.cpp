#include "web/EventHub.h"

#include <algorithm>

namespace web {

bool StreamQueue::Push(const std::shared_ptr<const StreamEvent>& event) {
    {
        const std::lock_guard lock(mutex_);
        if (!open_) return false;
        if (bytes_ + static_cast<std::size_t>(event->frame.size()) > kMaxQueuedBytes) {
            open_ = false;
            events_.clear();
            bytes_ = 0;
        } else {
            events_.push_back(event);
            bytes_ += static_cast<std::size_t>(event->frame.size());
        }
    }
    ready_.notify_one();
    return Open();
}

void StreamQueue::Close() {
    {
        const std::lock_guard lock(mutex_);
        open_ = false;
        events_.clear();
        bytes_ = 0;
    }
    ready_.notify_one();
}

bool StreamQueue::Take(std::chrono::milliseconds wait,
                       std::vector<std::shared_ptr<const StreamEvent>>& out) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !events_.empty() || !open_; });
    out.assign(events_.begin(), events_.end());
    events_.clear();
    bytes_ = 0;
    return open_;
}

bool StreamQueue::Open() const {
    const std::lock_guard lock(mutex_);
    return open_;
}

EventHub::Joined EventHub::Join() {
    auto queue = std::make_shared<StreamQueue>();
    const std::lock_guard lock(mutex_);
    if (closed_)
        queue->Close();
    else
        queues_.push_back(queue);
    return {queue, cursor_};
}

void EventHub::Publish(const std::vector<std::shared_ptr<const StreamEvent>>& events,
                       const EventCursor& cursor) {
    const std::lock_guard lock(mutex_);
    cursor_ = cursor;
    std::erase_if(queues_, [&events](const std::weak_ptr<StreamQueue>& weak) {
        const std::shared_ptr<StreamQueue> queue = weak.lock();
        if (!queue) return true;
        for (const auto& event : events)
            if (!queue->Push(event)) return true;
        return !queue->Open();
    });
}

void EventHub::SetCursor(const EventCursor& cursor) {
    const std::lock_guard lock(mutex_);
    cursor_ = cursor;
}

void EventHub::CloseAll() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& weak : queues_)
        if (const auto queue = weak.lock()) queue->Close();
    queues_.clear();
}

std::size_t EventHub::StreamCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        queues_.begin(), queues_.end(), [](const auto& weak) { return !weak.expired(); }));
}

}  // namespace web
