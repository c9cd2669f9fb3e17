#pragma once

#include <cstdint>
#include <stdexcept>

// Settings vocabulary of the serial component, shared by the component and its port layer.

class ECommsError : public std::runtime_error {
public:
    using runtime_error::runtime_error;
};

enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize { _5, _6, _7, _8 };
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };

// Everything that makes up the line settings of a port. The defaults are the values a freshly
// constructed component carries.
struct TLineSettings {
    std::uint32_t BaudRate = 9600;
    bool ParityCheck = false;
    bool Outx_CtsFlow = true;
    bool Outx_DsrFlow = true;
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = true;
    bool Outx_XonXoffFlow = false;
    bool Inx_XonXoffFlow = false;
    bool ReplaceWhenParityError = false;
    bool IgnoreNullChar = false;
    TRtsControl RtsControl = TRtsControl::RtsEnable;
    std::uint16_t XonLimit = 10;
    std::uint16_t XoffLimit = 10;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    TStopBits StopBits = TStopBits::_1;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ReplacedChar = 0x00;
};

// The five time-outs in milliseconds, with the classic serial-port meaning: an interval limit
// between two received bytes, a total read limit of multiplier * requested bytes + constant, and
// the same total limit for writes. 0 switches a limit off; kMaxTimeout has special meanings for
// reads (see ReadWaitMs in PortTimeouts.h).
struct TCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 10;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;
