#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "engine/PortLink.h"
#include "tests/engine/FakeClock.h"

namespace testsupport {

// A scripted bus on a fake clock: it records what the engine sends and when, and delivers the
// buffers the test (or its responder) schedules.
class FakeLink final : public PortLink {
public:
    struct Sent {
        qint64 atMs;  // since the clock started
        QByteArray bytes;
    };
    // What a device answers to a request: the bytes and how long after the request they arrive
    // as one delivered buffer.
    struct Answer {
        qint64 delayMs;
        QByteArray bytes;
    };
    using Responder = std::function<std::optional<Answer>(const QByteArray& request)>;

    explicit FakeLink(FakeClock& clock) : clock_(clock) {}

    void Open(const QString& portName) override;
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    bool Write(std::span<const std::uint8_t> bytes) override;
    void SetReadInterval(int ms) override { readIntervals_.push_back(ms); }
    int DeliveryLagMs() const override { return handingOverLagMs_; }

    // The next Open fails with `reason`.
    void FailNextOpen(const QString& reason) { failReason_ = reason; }
    void SetResponder(Responder responder) { responder_ = std::move(responder); }
    // Delivers `bytes` now, or at `atMs` on the clock, as one received buffer.
    void Deliver(const QByteArray& bytes);
    void DeliverAt(qint64 atMs, const QByteArray& bytes);
    // Buffers scheduled from now on are handed over `ms` after their last byte arrived (DeliverAt's
    // time), as a port does once no byte has followed for its read interval.
    void SetDeliveryLagMs(int ms) { deliveryLagMs_ = ms; }
    // The line ends by itself, the way an unplugged adapter does.
    void HangUp();

    const std::vector<Sent>& SentFrames() const { return sent_; }
    const std::vector<int>& ReadIntervals() const { return readIntervals_; }
    const QString& OpenedName() const { return openedName_; }

private:
    void HandOver(const QByteArray& bytes, int lagMs);

    FakeClock& clock_;
    bool open_ = false;
    QString openedName_;
    std::optional<QString> failReason_;
    Responder responder_;
    std::vector<Sent> sent_;
    std::vector<int> readIntervals_;
    int deliveryLagMs_ = 0;
    int handingOverLagMs_ = 0;  // the lag of the buffer being handed over
};

}  // namespace testsupport
