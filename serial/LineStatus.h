#pragma once

#include <linux/serial.h>

#include <cstdint>

// Line errors and modem-line changes, read from the driver's interrupt counters (TIOCGICOUNT).
// Drivers without counters (pseudo-terminals among them) simply report nothing.

// Error flags of a ReceiveError notice, one bit per kind of line error.
inline constexpr std::uint32_t kErrorQueueOverflow = 0x0001;
inline constexpr std::uint32_t kErrorOverrun = 0x0002;
inline constexpr std::uint32_t kErrorParity = 0x0004;
inline constexpr std::uint32_t kErrorFraming = 0x0008;
inline constexpr std::uint32_t kErrorBreak = 0x0010;

struct TLineStatusChange {
    std::uint32_t ErrorFlags = 0;  // kError... bits of the errors counted since the last look
    std::uint32_t ModemEvent = 0;  // kModemCarrierChanged and/or kModemRing
};

TLineStatusChange CompareCounters(const serial_icounter_struct& before,
                                  const serial_icounter_struct& after);

class TLineStatusWatch {
public:
    explicit TLineStatusWatch(int fd);
    // What changed since the previous call (or since construction).
    TLineStatusChange Take();

private:
    int fd_;
    bool supported_;
    serial_icounter_struct last_{};
};
