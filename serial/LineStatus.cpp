#include "serial/LineStatus.h"

#include <sys/ioctl.h>

#include "serial/CommNotice.h"

TLineStatusChange CompareCounters(const serial_icounter_struct& before,
                                  const serial_icounter_struct& after) {
    TLineStatusChange change;
    if (after.buf_overrun != before.buf_overrun) change.ErrorFlags |= kErrorQueueOverflow;
    if (after.overrun != before.overrun) change.ErrorFlags |= kErrorOverrun;
    if (after.parity != before.parity) change.ErrorFlags |= kErrorParity;
    if (after.frame != before.frame) change.ErrorFlags |= kErrorFraming;
    if (after.brk != before.brk) change.ErrorFlags |= kErrorBreak;
    if (after.dcd != before.dcd) change.ModemEvent |= kModemCarrierChanged;
    if (after.rng != before.rng) change.ModemEvent |= kModemRing;
    return change;
}

TLineStatusWatch::TLineStatusWatch(int fd)
    : fd_(fd), supported_(ioctl(fd, TIOCGICOUNT, &last_) == 0) {}

TLineStatusChange TLineStatusWatch::Take() {
    if (!supported_) return {};
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return {};
    const TLineStatusChange change = CompareCounters(last_, now);
    last_ = now;
    return change;
}
