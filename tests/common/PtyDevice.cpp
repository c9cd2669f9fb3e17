#include "tests/common/PtyDevice.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "tests/common/RawPty.h"
#include "tests/common/WaitFor.h"

namespace testsupport {

PtyDevice::PtyDevice() {
    const RawPty pty = OpenRawPty();
    master_ = pty.master;
    slave_ = pty.slave;
    slavePath_ = pty.slavePath;
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ReadAvailable(); });
}

PtyDevice::~PtyDevice() {
    Join();
    CloseDeviceSide();
    if (slave_ >= 0) close(slave_);
}

void PtyDevice::ReadAvailable() {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        received_.append(buf, static_cast<int>(n));
    }
    if (!responder_) return;
    while (received_.size() >= 8) {
        const QByteArray request = received_.left(8);
        received_.remove(0, 8);
        requests_.append(request);
        const QByteArray answer = responder_(request);
        if (!answer.isEmpty()) Write(answer);
    }
}

QByteArray PtyDevice::Take(int count, std::chrono::milliseconds timeout) {
    WaitUntil([&] { return received_.size() >= count; }, timeout);
    const QByteArray front = received_.left(count);
    received_.remove(0, front.size());
    return front;
}

void PtyDevice::Write(const QByteArray& bytes) {
    WriteAll(master_, bytes.constData(), bytes.size());
}

void PtyDevice::Send(const TBytes& bytes) const { WriteAll(master_, bytes.data(), bytes.size()); }

void PtyDevice::SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap) {
    Join();
    shaper_ = std::thread([this, parts = std::move(parts), gap] {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(gap);
            Send(parts[i]);
        }
    });
}

void PtyDevice::Join() {
    if (shaper_.joinable()) shaper_.join();
}

TBytes PtyDevice::Drain() {
    if (master_ >= 0) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) break;
            received_.append(chunk, static_cast<int>(n));
        }
    }
    TBytes all(received_.begin(), received_.end());
    received_.clear();
    return all;
}

std::size_t PtyDevice::FillPortOutput() const {
    const TBytes filler(4096, 0x55);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = write(slave_, filler.data(), filler.size());
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    return total;
}

void PtyDevice::CloseDeviceSide() {
    notifier_.reset();
    if (master_ >= 0) close(master_);
    master_ = -1;
}

termios PtyDevice::PortAttributes() const {
    termios attrs{};
    tcgetattr(slave_, &attrs);
    return attrs;
}

void PtyDevice::SetPortAttributes(const termios& attrs) const {
    tcsetattr(slave_, TCSANOW, &attrs);
}

TBytes Sequence(std::size_t length, std::uint8_t first) {
    TBytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
    return bytes;
}

QByteArray Hex(const char* spacedHex) {
    return QByteArray::fromHex(QByteArray(spacedHex).replace(' ', ""));
}

}  // namespace testsupport
