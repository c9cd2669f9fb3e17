#pragma once

#include "engine/PortLink.h"

class QObject;
class TComm;

// The serial port component `Comm1` as the engine's link, with the program's line settings:
// 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS on, no flow control.
class CommLink final : public PortLink {
public:
    // The component is created as a child of `owner`, so it can be found by its name.
    explicit CommLink(QObject* owner);
    ~CommLink() override;

    void Open(const QString& portName) override;
    void Close() override;
    bool IsOpen() const override;
    bool IsOpening() const override;
    bool Write(std::span<const std::uint8_t> bytes) override;
    void SetReadInterval(int ms) override;
    int DeliveryLagMs() const override;

    TComm& Comm() { return *comm_; }

private:
    TComm* comm_;
};
