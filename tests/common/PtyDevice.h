#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace testsupport {

// A pseudo-terminal pair on which a test plays the bus device: the program opens SlavePath()
// like a serial port, the test reads what the program sent and writes answers on the master.
// Received bytes are collected by the event loop, so tests wait for them with WaitUntil.
class PtyDevice {
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    QString SlavePath() const { return slavePath_; }
    // Everything the program has written so far (and not taken).
    const QByteArray& Received() const { return received_; }
    // Waits until `count` bytes are there and removes them from the front.
    QByteArray Take(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void ClearReceived() { received_.clear(); }
    void Write(const QByteArray& bytes);

    // Plays a device that answers every 8-byte request at once: each request is recorded in
    // Requests() and `answer` gives the bytes to send back (empty: stay silent).
    using Responder = std::function<QByteArray(const QByteArray& request)>;
    void SetResponder(Responder answer) { responder_ = std::move(answer); }
    const QList<QByteArray>& Requests() const { return requests_; }

private:
    void ReadAvailable();

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QByteArray received_;
    Responder responder_;
    QList<QByteArray> requests_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

QByteArray Hex(const char* spacedHex);  // "A0 04 00 80" -> bytes

}  // namespace testsupport
