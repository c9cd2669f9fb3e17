#pragma once

#include <termios.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QSocketNotifier;

namespace testsupport {

using TBytes = std::vector<std::uint8_t>;

// A pseudo-terminal pair on which a test plays the bus device: the program opens SlavePath()
// like a serial port, the test reads what the program sent and writes answers on the master.
// Received bytes are collected by the event loop, so tests wait for them with WaitUntil; Drain()
// takes them without one. The test keeps a slave descriptor of its own to read back the line
// settings in force.
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
    void Send(const TBytes& bytes) const;
    // Sends the parts from a thread of the device's own, pausing `gap` between them, the way a
    // device puts an answer on the wire. Joined by Join() or the destructor.
    void SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap);
    void Join();
    // Everything the program has sent and not taken yet, without waiting.
    TBytes Drain();
    // Fills the direction program -> device until it takes no more, so that writes stall.
    std::size_t FillPortOutput() const;
    // The device hangs up: the master side closes.
    void CloseDeviceSide();

    termios PortAttributes() const;
    void SetPortAttributes(const termios& attrs) const;

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
    std::thread shaper_;
};

QByteArray Hex(const char* spacedHex);  // "A0 04 00 80" -> bytes
// `length` bytes of a recognisable pattern starting at `first`.
TBytes Sequence(std::size_t length, std::uint8_t first = 0);

}  // namespace testsupport
