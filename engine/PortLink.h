#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <span>

// The byte link between the engine and the bus: a serial port, a serial device server over TCP,
// or a scripted link in tests. Every callback runs on the engine's thread.
class PortLink {
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    virtual ~PortLink() = default;

    // Starts opening `portName`. The outcome arrives through OnOpenResult, possibly before Open
    // returns; `reason` is empty on success and says why otherwise.
    virtual void Open(const QString& portName) = 0;
    // Closes the link; nothing is delivered for it afterwards. Closing a closed link does nothing.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // An open was started and its outcome has not come yet.
    virtual bool IsOpening() const { return false; }
    // Queues `bytes` for sending; false when the link is closed or refused them.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // A received buffer is delivered once no byte has followed for this long.
    virtual void SetReadInterval(int ms) = 0;
    // While OnData runs: how long ago the last byte of its buffer arrived (0 at other times).
    virtual int DeliveryLagMs() const = 0;

    std::function<void(bool opened, const QString& reason)> OnOpenResult;
    std::function<void(std::span<const std::uint8_t> bytes)> OnData;
    // The link ended by itself (adapter unplugged, connection lost); it is closed already.
    std::function<void()> OnHangup;
};
