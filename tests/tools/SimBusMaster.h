#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ModbusCrc.h"

// The test's side of the simulated bus: the port opened with plain POSIX calls, raw, the way
// the monitoring program opens it. Reads wait with poll() against a deadline.
class BusMaster {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;

    struct Chunk {
        Clock::time_point at;
        Bytes bytes;
    };

    explicit BusMaster(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~BusMaster() {
        if (fd_ >= 0) ::close(fd_);
    }
    BusMaster(const BusMaster&) = delete;
    BusMaster& operator=(const BusMaster&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Send(const Bytes& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until `count` bytes have arrived or `timeout` passes; returns the pieces as read.
    std::vector<Chunk> ReadChunks(std::size_t count,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        std::vector<Chunk> chunks;
        std::size_t total = 0;
        const Clock::time_point deadline = Clock::now() + timeout;
        while (total < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
            std::uint8_t buffer[512];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - total));
            if (n <= 0) break;
            chunks.push_back({Clock::now(), Bytes(buffer, buffer + n)});
            total += static_cast<std::size_t>(n);
        }
        return chunks;
    }

    Bytes Read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        Bytes all;
        for (const Chunk& chunk : ReadChunks(count, timeout)) {
            all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
        return all;
    }

    // Whatever has already arrived, without waiting.
    Bytes ReadAvailable() {
        Bytes all;
        std::uint8_t buffer[512];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
            all.insert(all.end(), buffer, buffer + n);
        return all;
    }

    Bytes Transact(const Bytes& request, std::size_t answerLength) {
        return Send(request) ? Read(answerLength) : Bytes{};
    }

private:
    int fd_ = -1;
};

// An eight-byte request with its CRC.
inline BusMaster::Bytes RequestFrame(std::uint8_t address, std::uint8_t function, std::uint16_t reg,
                                     std::uint16_t value) {
    Frame frame{address,
                function,
                static_cast<std::uint8_t>(reg >> 8),
                static_cast<std::uint8_t>(reg & 0xFF),
                static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value & 0xFF),
                0,
                0};
    StoreCrc(frame);
    return {frame.begin(), frame.end()};
}

inline BusMaster::Bytes PollFrame(std::uint8_t address, int battery) {
    return RequestFrame(address, 0x04, static_cast<std::uint16_t>(0x0080 + battery), 3);
}

inline bool CrcOk(const BusMaster::Bytes& bytes) {
    return bytes.size() >= 3 && HasValidCrc(std::span<const std::uint8_t>(bytes));
}
