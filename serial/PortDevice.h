#pragma once

#include <termios.h>

#include <QString>

#include "serial/CommTypes.h"

// The Linux side of a serial port: opening with exclusive access, line settings through termios
// and the modem-control ioctls, purging, closing. Everything here works on a plain descriptor so
// that the component and both port threads can share it.

// Moves a descriptor that landed on 0, 1 or 2 (possible when standard streams are closed) above
// them: a port handle of 0 means "closed", and 1 and 2 would be clobbered by stray output.
// Closes `fd` and returns -1 when no other descriptor can be had.
int MoveAboveStandardStreams(int fd);

// Opens the device behind `name` (see ResolvePortName) for reading and writing, non-blocking,
// exclusively. Returns a descriptor above 2, so that it never reads as the "closed" handle 0.
// Throws ECommsError "Error opening serial port" when the device cannot be opened or another
// user holds it, and "File handle is not a comm handle " when it is not a terminal device.
int OpenPortDevice(const QString& name);

// Discards queued output and closes the descriptor; the exclusive lock goes with it.
void ClosePortDevice(int fd);

// Discards the driver's queued input, output or both (TCIFLUSH, TCOFLUSH, TCIOFLUSH).
void PurgePort(int fd, int queueSelector);

// Rewrites `attrs` (as read from the port) to carry `settings`; fields without a counterpart in
// the settings keep their value.
void BuildTermios(const TLineSettings& settings, termios& attrs);

// Modem-control lines (TIOCM_DTR, TIOCM_RTS) to raise and to drop for `settings`.
struct TModemLineRequest {
    int Raise = 0;
    int Drop = 0;
};
TModemLineRequest ModemLinesFor(const TLineSettings& settings);

// Writes `settings` to the port: termios, DTR and RTS, and RS-485 RTS-on-send for
// RtsTransmissionAvailable where the driver has it. `rs485Enabled` remembers whether this
// component switched RS-485 on, so that it is switched off again only then. A setting the port
// refuses is silently not in force.
void ApplyLineSettingsToPort(int fd, const TLineSettings& settings, bool& rs485Enabled);

// Switches RS-485 mode off again if this component switched it on, so that the port is left as
// it was found.
void ReleaseRs485(int fd, bool& rs485Enabled);

// The terminal settings and the modem-control lines a port had before this component changed
// them, put back when the component closes it, so that the device is left as it was found.
struct TSavedPortState {
    bool HasTermios = false;
    termios Attrs{};
    bool HasModemLines = false;
    int ModemLines = 0;
};
TSavedPortState SavePortState(int fd);
void RestorePortState(int fd, const TSavedPortState& saved);
