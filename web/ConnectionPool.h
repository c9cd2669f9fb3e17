#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

// httplib's task queue is the only place its connections are handed to threads.
#include <httplib.h>

namespace web {

// The server's connections, each on a thread of its own (an event stream holds one for as long
// as the browser listens). At most `threads` are served at a time; a connection beyond them is
// handed to one refusing thread, which answers its request with 503 and closes it, so a flood
// of connections never grows the threads or queues requests without end.
class ConnectionPool : public httplib::TaskQueue {
public:
    explicit ConnectionPool(std::size_t threads);

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

    // True on the refusing thread while it answers a connection over the limit.
    static bool Refusing();

private:
    std::size_t limit_;
    std::atomic<std::size_t> taken_{0};
    httplib::ThreadPool served_;
    httplib::ThreadPool refused_;
};

}  // namespace web
