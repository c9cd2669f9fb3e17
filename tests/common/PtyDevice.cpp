#include "tests/common/PtyDevice.h"

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
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ReadAvailable(); });
}

PtyDevice::~PtyDevice() {
    notifier_.reset();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
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

QByteArray Hex(const char* spacedHex) {
    return QByteArray::fromHex(QByteArray(spacedHex).replace(' ', ""));
}

}  // namespace testsupport
