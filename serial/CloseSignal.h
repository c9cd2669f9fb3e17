#pragma once

// The signal that ends both port threads: an eventfd that is written once and never read, so it
// stays readable (set) until it is closed, like a manual-reset event. Every wait of the port
// threads polls it first.
class TCloseSignal {
public:
    TCloseSignal() = default;
    ~TCloseSignal();
    TCloseSignal(const TCloseSignal&) = delete;
    TCloseSignal& operator=(const TCloseSignal&) = delete;

    bool Create();  // false when no eventfd could be made
    void Set();
    void Close();
    int Fd() const { return fd_; }

    // Tests the signal on `fd` without waiting.
    static bool IsSet(int fd);

private:
    int fd_ = -1;
};
