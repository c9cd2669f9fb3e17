#pragma once

#include <termios.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

// A pseudo-terminal pair on which the test plays the device: it holds the master side (raw) and
// keeps a slave descriptor of its own to read back the line settings in force.
class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    const QString& PortPath() const { return portPath_; }
    termios PortAttributes() const;
    void SetPortAttributes(const termios& attrs) const;

    void Send(const TBytes& bytes) const;
    // Sends the parts from a thread of the device's own, pausing `gap` between them, the way a
    // device puts an answer on the wire. Joined by Join() or the destructor.
    void SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap);
    void Join();
    // Everything the port has sent so far.
    TBytes Drain() const;
    // Fills the direction port -> device until it takes no more, so that port writes stall.
    std::size_t FillPortOutput() const;
    void CloseDeviceSide();

private:
    int master_ = -1;
    int slave_ = -1;
    QString portPath_;
    std::thread shaper_;
};

TBytes Sequence(std::size_t length, std::uint8_t first = 0);
