#include "PtyDevice.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <stdexcept>

#include "WaitFor.h"

namespace testsupport {

PtyDevice::PtyDevice() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = QString::fromLocal8Bit(name);
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
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
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.constData() + done, bytes.size() - done);
        if (n < 0) throw std::runtime_error("pty write failed");
        done += n;
    }
}

QByteArray Hex(const char* spacedHex) {
    return QByteArray::fromHex(QByteArray(spacedHex).replace(' ', ""));
}

}  // namespace testsupport
