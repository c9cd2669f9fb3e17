#pragma once

#include <atomic>
#include <thread>

// A thread with an overridable body, started on request and joined when stopped or destroyed.
// Built on std::thread so that its end is a real join: the body, its stack and the kernel thread
// are gone when Join() returns.
class TPortThread {
public:
    // `name` (at most 15 characters) shows in ps and /proc/<pid>/task/<tid>/comm.
    explicit TPortThread(const char* name) : name_(name) {}
    virtual ~TPortThread();
    TPortThread(const TPortThread&) = delete;
    TPortThread& operator=(const TPortThread&) = delete;

    // Throws std::system_error when the thread cannot be created.
    void Start();
    void Join();
    // True once the body has returned (after a close or a failure it reported).
    bool Ended() const { return ended_.load(); }

protected:
    virtual void Run() = 0;

private:
    const char* name_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
};
