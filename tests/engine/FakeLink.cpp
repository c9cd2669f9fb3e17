#include "tests/engine/FakeLink.h"

namespace testsupport {

void FakeLink::Open(const QString& portName) {
    const std::optional<QString> failure = std::exchange(failReason_, std::nullopt);
    open_ = !failure;
    if (open_) openedName_ = portName;
    if (OnOpenResult) OnOpenResult(open_, failure.value_or(QString()));
}

bool FakeLink::Write(std::span<const std::uint8_t> bytes) {
    if (!open_) return false;
    const QByteArray frame(reinterpret_cast<const char*>(bytes.data()),
                           static_cast<qsizetype>(bytes.size()));
    sent_.push_back({clock_.Elapsed(), frame});
    if (responder_) {
        if (const std::optional<Answer> answer = responder_(frame))
            DeliverAt(clock_.MonotonicMs() + answer->delayMs, answer->bytes);
    }
    return true;
}

void FakeLink::Deliver(const QByteArray& bytes) { HandOver(bytes, 0); }

void FakeLink::DeliverAt(qint64 atMs, const QByteArray& bytes) {
    const int lagMs = deliveryLagMs_;
    clock_.At(atMs + lagMs, [this, bytes, lagMs] { HandOver(bytes, lagMs); });
}

void FakeLink::HandOver(const QByteArray& bytes, int lagMs) {
    if (!open_ || !OnData) return;
    handingOverLagMs_ = lagMs;
    OnData({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())});
    handingOverLagMs_ = 0;
}

void FakeLink::HangUp() {
    if (!open_) return;
    open_ = false;
    if (OnHangup) OnHangup();
}

}  // namespace testsupport
