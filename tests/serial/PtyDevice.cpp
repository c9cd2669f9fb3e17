#include "PtyDevice.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

TPtyDevice::TPtyDevice() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
    portPath_ = QString::fromLocal8Bit(name);
}

TPtyDevice::~TPtyDevice() {
    Join();
    CloseDeviceSide();
    close(slave_);
}

termios TPtyDevice::PortAttributes() const {
    termios attrs{};
    tcgetattr(slave_, &attrs);
    return attrs;
}

void TPtyDevice::SetPortAttributes(const termios& attrs) const {
    tcsetattr(slave_, TCSANOW, &attrs);
}

void TPtyDevice::Send(const TBytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("device write failed");
        }
    }
}

void TPtyDevice::SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap) {
    Join();
    shaper_ = std::thread([this, parts = std::move(parts), gap] {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(gap);
            Send(parts[i]);
        }
    });
}

void TPtyDevice::Join() {
    if (shaper_.joinable()) shaper_.join();
}

TBytes TPtyDevice::Drain() const {
    TBytes all;
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n <= 0) break;
        all.insert(all.end(), chunk, chunk + n);
    }
    return all;
}

std::size_t TPtyDevice::FillPortOutput() const {
    const TBytes filler(4096, 0x55);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = write(slave_, filler.data(), filler.size());
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    return total;
}

void TPtyDevice::CloseDeviceSide() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

TBytes Sequence(std::size_t length, std::uint8_t first) {
    TBytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
    return bytes;
}
