#include "serial/PortDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "serial/PortName.h"

// Settings stored by the component that Linux has no counterpart for, and which are therefore
// ignored: Outx_DsrFlow, DsrSensitivity and DtrHandshake (no DTR/DSR handshake; DTR is simply
// raised), TxContinueOnXoff, XonLimit and XoffLimit (the driver picks its own thresholds),
// ReplaceWhenParityError with ReplacedChar and IgnoreNullChar (no byte replacement or NUL
// stripping in the line discipline). The driver's queue sizes cannot be chosen either.

namespace {

const char* const kOpenFailed = "Error opening serial port";
const char* const kNotATerminal = "File handle is not a comm handle ";

speed_t SpeedCode(std::uint32_t baudRate) {
    static constexpr std::array<std::pair<std::uint32_t, speed_t>, 30> kSpeeds{{
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, code] : kSpeeds) {
        if (rate == baudRate) return code;
    }
    return B0;
}

tcflag_t DataBitsFlag(TByteSize size) {
    switch (size) {
        case TByteSize::_5:
            return CS5;
        case TByteSize::_6:
            return CS6;
        case TByteSize::_7:
            return CS7;
        case TByteSize::_8:
            return CS8;
    }
    return CS8;
}

tcflag_t ParityFlags(TParity parity) {
    switch (parity) {
        case TParity::None:
            return 0;
        case TParity::Odd:
            return PARENB | PARODD;
        case TParity::Even:
            return PARENB;
        case TParity::Mark:
            return PARENB | CMSPAR | PARODD;
        case TParity::Space:
            return PARENB | CMSPAR;
    }
    return 0;
}

void ApplyRs485(int fd, bool wanted, bool& enabled) {
    if (wanted == enabled) return;
    serial_rs485 rs485{};
    if (wanted) {
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        enabled = ioctl(fd, TIOCSRS485, &rs485) == 0;
        return;
    }
    if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
        rs485.flags &= ~SER_RS485_ENABLED;
        ioctl(fd, TIOCSRS485, &rs485);
    }
    enabled = false;
}

}  // namespace

int MoveAboveStandardStreams(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

int OpenPortDevice(const QString& name) {
    const QByteArray path = ResolvePortName(name).toLocal8Bit();
    int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fd = MoveAboveStandardStreams(fd);
    if (fd < 0) throw ECommsError(kOpenFailed);
    // TIOCEXCL keeps other users out, but root passes it; the advisory lock holds for everyone
    // who opens ports the same way.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        throw ECommsError(kOpenFailed);
    }
    if (!isatty(fd)) {
        close(fd);
        throw ECommsError(kNotATerminal);
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

void ClosePortDevice(int fd) {
    // Discarding unsent output first keeps close() from waiting for a line held by flow control.
    tcflush(fd, TCOFLUSH);
    ioctl(fd, TIOCNXCL);
    close(fd);
}

void PurgePort(int fd, int queueSelector) { tcflush(fd, queueSelector); }

void BuildTermios(const TLineSettings& settings, termios& attrs) {
    cfmakeraw(&attrs);
    attrs.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    attrs.c_cflag |=
        CLOCAL | CREAD | DataBitsFlag(settings.ByteSize) | ParityFlags(settings.Parity);
    // One and a half stop bits do not exist on Linux; two is the nearest setting.
    if (settings.StopBits != TStopBits::_1) attrs.c_cflag |= CSTOPB;
    // Linux has one flag for both directions of RTS/CTS handshaking.
    if (settings.Outx_CtsFlow || settings.RtsControl == TRtsControl::RtsHandshake) {
        attrs.c_cflag |= CRTSCTS;
    }

    attrs.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (settings.ParityCheck) attrs.c_iflag |= INPCK;
    if (settings.Outx_XonXoffFlow) attrs.c_iflag |= IXON;
    if (settings.Inx_XonXoffFlow) attrs.c_iflag |= IXOFF;
    attrs.c_cc[VSTART] = static_cast<cc_t>(settings.XonChar);
    attrs.c_cc[VSTOP] = static_cast<cc_t>(settings.XoffChar);
    attrs.c_cc[VMIN] = 1;
    attrs.c_cc[VTIME] = 0;

    // A rate outside the standard table leaves the speed as it was.
    const speed_t speed = SpeedCode(settings.BaudRate);
    if (speed != B0) cfsetspeed(&attrs, speed);
}

TModemLineRequest ModemLinesFor(const TLineSettings& settings) {
    TModemLineRequest request;
    if (settings.DtrControl == TDtrControl::DtrDisable) {
        request.Drop |= TIOCM_DTR;
    } else {
        request.Raise |= TIOCM_DTR;
    }
    switch (settings.RtsControl) {
        case TRtsControl::RtsEnable:
        case TRtsControl::RtsHandshake:
            request.Raise |= TIOCM_RTS;
            break;
        case TRtsControl::RtsDisable:
            request.Drop |= TIOCM_RTS;
            break;
        case TRtsControl::RtsTransmissionAvailable:
            break;  // the RS-485 driver drives RTS
    }
    return request;
}

void ApplyLineSettingsToPort(int fd, const TLineSettings& settings, bool& rs485Enabled) {
    termios attrs{};
    if (tcgetattr(fd, &attrs) == 0) {
        BuildTermios(settings, attrs);
        tcsetattr(fd, TCSANOW, &attrs);
    }
    const TModemLineRequest lines = ModemLinesFor(settings);
    if (lines.Raise != 0) ioctl(fd, TIOCMBIS, &lines.Raise);
    if (lines.Drop != 0) ioctl(fd, TIOCMBIC, &lines.Drop);
    ApplyRs485(fd, settings.RtsControl == TRtsControl::RtsTransmissionAvailable, rs485Enabled);
}

void ReleaseRs485(int fd, bool& rs485Enabled) { ApplyRs485(fd, false, rs485Enabled); }

TSavedPortState SavePortState(int fd) {
    TSavedPortState saved;
    saved.HasTermios = tcgetattr(fd, &saved.Attrs) == 0;
    saved.HasModemLines = ioctl(fd, TIOCMGET, &saved.ModemLines) == 0;
    return saved;
}

void RestorePortState(int fd, const TSavedPortState& saved) {
    if (saved.HasTermios) tcsetattr(fd, TCSANOW, &saved.Attrs);
    if (!saved.HasModemLines) return;
    // Only the lines this component drives go back; the others were never touched.
    const int driven = TIOCM_DTR | TIOCM_RTS;
    const int raise = saved.ModemLines & driven;
    const int drop = ~saved.ModemLines & driven;
    if (raise != 0) ioctl(fd, TIOCMBIS, &raise);
    if (drop != 0) ioctl(fd, TIOCMBIC, &drop);
}
