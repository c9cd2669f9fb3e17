#include "tests/serial/PtyDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include "tests/common/RawPty.h"

TPtyDevice::TPtyDevice() {
    const testsupport::RawPty pty = testsupport::OpenRawPty();
    master_ = pty.master;
    slave_ = pty.slave;
    portPath_ = pty.slavePath;
    fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
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
    testsupport::WriteAll(master_, bytes.data(), bytes.size());
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
