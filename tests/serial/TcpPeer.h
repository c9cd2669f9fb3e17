#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/common/PtyDevice.h"

// A serial device server played by the test on loopback: a listening socket on 127.0.0.1 (or
// ::1) and the one connection it accepted. Everything is non-blocking; waits go through the
// event loop (WaitUntil) so the component's notices keep flowing meanwhile.
using testsupport::TBytes;

class TTcpPeer {
public:
    // Listens on `port` (0: any free one); Listening() is false when that failed.
    explicit TTcpPeer(std::uint16_t port = 0, bool ipv6 = false);
    ~TTcpPeer();
    TTcpPeer(const TTcpPeer&) = delete;
    TTcpPeer& operator=(const TTcpPeer&) = delete;

    bool Listening() const { return listenFd_ >= 0; }
    std::uint16_t Port() const { return port_; }

    // Waits for the component's connection.
    bool Accept();
    void Send(const TBytes& bytes) const;
    // Sends the parts from a thread of its own, `gap` apart, each as a TCP segment of its own.
    void SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap);
    void Join();
    TBytes Drain() const;
    // Ends the connection with FIN, or with RST when `reset` is set.
    void CloseConnection(bool reset = false);
    void StopListening();

private:
    int listenFd_ = -1;
    int connectionFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread shaper_;
};

// A port on 127.0.0.1 where nothing listens: connections to it are refused.
std::uint16_t RefusingPort();

// A listening socket on 127.0.0.1 whose accept queue is full, so that the kernel silently drops
// further connection attempts, as with a host that does not answer.
class TBlackHole {
public:
    TBlackHole();
    ~TBlackHole();
    TBlackHole(const TBlackHole&) = delete;
    TBlackHole& operator=(const TBlackHole&) = delete;

    bool Ready() const { return ready_; }
    std::uint16_t Port() const { return port_; }

private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
    bool ready_ = false;
};
