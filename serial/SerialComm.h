#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "serial/CommTypes.h"
#include "serial/PortDevice.h"

class TComm;
class TCommNotice;
class TNotifyTarget;
class TReadThread;
class TWriteThread;
class TWriteQueue;
class TCloseSignal;
class TPortTimeouts;
class TConnectCancel;
class TTcpConnector;
namespace threads {
template <class WorkerType>
class WorkerThread;
}
struct TThreadContext;
class QTimer;

using TReceiveDataEvent =
    std::function<void(TComm* Sender, const std::uint8_t* Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, std::uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;
using TSendDataEmptyEvent = TNotifyEvent;
using TOpenResultEvent = std::function<void(TComm* Sender, bool Ok, const QString& Reason)>;

// A serial port with a reader and a writer thread. OpenComm opens the port named by CommName and
// starts both threads; received data, line errors, modem changes, hang-ups and an empty send queue
// come back as events raised on the thread that constructed the component. Line settings and
// time-outs are applied to an open port as soon as they change, except Parity and CommName,
// which wait for the next time the settings are applied or the port is opened.
//
// A CommName of the form "tcp://HOST:PORT" (host name, IPv4, or IPv6 in brackets) opens a TCP
// connection to a serial device server instead: the same threads read and write the socket with
// the same delivery rule, line settings do not apply, and the server closing the connection, a
// reset or a failed keep-alive end the threads with a hang-up like an unplugged adapter. The
// terminal settings and modem lines of a tty are put back as they were when the port closes.
class TComm : public QObject {
    Q_OBJECT

public:
    explicit TComm(QObject* owner = nullptr);
    ~TComm() override;  // closes an open port first

    // Throws ECommsError when the port cannot be opened; a failed open leaves nothing behind.
    // For a tcp:// name this waits for the connection (at most 3 s) and the error text carries
    // the reason; a thread that must not wait uses BeginOpenComm.
    void OpenComm();
    // Starts opening the port and returns at once; the outcome is raised as OnOpenResult from
    // the event loop (a tty is opened right here, a TCP connection is made on a thread of its
    // own within 3 s). The port counts as open once OnOpenResult reports success. Throws
    // ECommsError only when the port is already open or being opened.
    void BeginOpenComm();
    // True from BeginOpenComm until its result is raised or the attempt is abandoned.
    bool IsOpening() const { return openPending_; }
    // Stops both threads (discarding output still queued) and closes the port. Never fails.
    // An open still under way is abandoned and reports nothing.
    void CloseComm();
    // Queues a copy of the bytes for the writer and returns at once; false when the port is
    // closed, `length` is 0 or the queue is full.
    bool WriteCommBuffer(const std::uint8_t* data, std::uint16_t length);

    // The port descriptor while open, 0 while closed.
    std::uint32_t ComHandle() const;
    // While OnReceiveData runs: when the last byte of its buffer was read off the port.
    std::optional<std::chrono::steady_clock::time_point> ReceivedAt() const { return receivedAt_; }

    QString CommName() const { return commName_; }
    void SetCommName(const QString& value);

    std::uint32_t BaudRate() const { return line_.BaudRate; }
    void SetBaudRate(std::uint32_t value);
    bool ParityCheck() const { return line_.ParityCheck; }
    void SetParityCheck(bool value);
    bool Outx_CtsFlow() const { return line_.Outx_CtsFlow; }
    void SetOutx_CtsFlow(bool value);
    bool Outx_DsrFlow() const { return line_.Outx_DsrFlow; }
    void SetOutx_DsrFlow(bool value);
    TDtrControl DtrControl() const { return line_.DtrControl; }
    void SetDtrControl(TDtrControl value);
    bool DsrSensitivity() const { return line_.DsrSensitivity; }
    void SetDsrSensitivity(bool value);
    bool TxContinueOnXoff() const { return line_.TxContinueOnXoff; }
    void SetTxContinueOnXoff(bool value);
    bool Outx_XonXoffFlow() const { return line_.Outx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool value);
    bool Inx_XonXoffFlow() const { return line_.Inx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool value);
    bool ReplaceWhenParityError() const { return line_.ReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool value);
    bool IgnoreNullChar() const { return line_.IgnoreNullChar; }
    void SetIgnoreNullChar(bool value);
    TRtsControl RtsControl() const { return line_.RtsControl; }
    void SetRtsControl(TRtsControl value);
    std::uint16_t XonLimit() const { return line_.XonLimit; }
    void SetXonLimit(std::uint16_t value);
    std::uint16_t XoffLimit() const { return line_.XoffLimit; }
    void SetXoffLimit(std::uint16_t value);
    TByteSize ByteSize() const { return line_.ByteSize; }
    void SetByteSize(TByteSize value);
    TParity Parity() const { return line_.Parity; }
    void SetParity(TParity value);
    TStopBits StopBits() const { return line_.StopBits; }
    void SetStopBits(TStopBits value);
    char XonChar() const { return line_.XonChar; }
    void SetXonChar(char value);
    char XoffChar() const { return line_.XoffChar; }
    void SetXoffChar(char value);
    char ReplacedChar() const { return line_.ReplacedChar; }
    void SetReplacedChar(char value);

    std::uint32_t ReadIntervalTimeout() const { return timeouts_.ReadIntervalTimeout; }
    void SetReadIntervalTimeout(std::uint32_t value);
    std::uint32_t ReadTotalTimeoutMultiplier() const {
        return timeouts_.ReadTotalTimeoutMultiplier;
    }
    void SetReadTotalTimeoutMultiplier(std::uint32_t value);
    std::uint32_t ReadTotalTimeoutConstant() const { return timeouts_.ReadTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(std::uint32_t value);
    std::uint32_t WriteTotalTimeoutMultiplier() const {
        return timeouts_.WriteTotalTimeoutMultiplier;
    }
    void SetWriteTotalTimeoutMultiplier(std::uint32_t value);
    std::uint32_t WriteTotalTimeoutConstant() const { return timeouts_.WriteTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(std::uint32_t value);

    // Events; an empty slot is skipped. The Buffer of OnReceiveData is valid during the call only.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;
    // The outcome of BeginOpenComm: Reason says why not when Ok is false ("连接被拒绝",
    // "连接超时", a resolver error, or the message OpenComm would have thrown).
    TOpenResultEvent OnOpenResult;

signals:
    // Raised together with OnRequestHangup: a port thread failed and ended.
    void HangupRequested();

private:
    bool IsOpen() const { return portFd_ >= 0; }
    void StartOnPort(int fd, bool isSocket);
    void PostOpenResult(const QString& failureReason);
    void FinishOpen(TCommNotice& notice);
    void AbandonOpen();
    void RaiseOpenResult(bool ok, const QString& reason);
    void ApplyLineSettings();
    void ApplyTimeouts();
    void StartReader();
    void StartWriter();
    void StopReader();
    void StopWriter();
    void ReleasePort();
    void DispatchNotice(TCommNotice& notice);
    TThreadContext ThreadContext() const;

    template <typename T>
    void SetLineProperty(T TLineSettings::*member, T value);
    void SetTimeoutProperty(std::uint32_t TCommTimeouts::*member, std::uint32_t value);

    std::unique_ptr<TReadThread> reader_;
    std::unique_ptr<TWriteThread> writer_;
    int portFd_ = -1;
    std::unique_ptr<TCloseSignal> closeSignal_;
    std::unique_ptr<TNotifyTarget> notifyTarget_;
    std::atomic<bool> sendQueueEmpty_{true};
    std::uint32_t session_ = 0;  // counts the opens; notices carry the one they belong to
    bool hangupRaised_ = false;  // the current open has reported its hang-up
    bool isSocket_ = false;
    std::optional<std::chrono::steady_clock::time_point> receivedAt_;
    TSavedPortState savedPortState_;
    bool openPending_ = false;
    std::shared_ptr<TConnectCancel> connectCancel_;                    // of the attempt under way
    std::unique_ptr<threads::WorkerThread<TTcpConnector>> connector_;  // while attempts last
    QTimer* openDeadline_ = nullptr;
    std::unique_ptr<TWriteQueue> writeQueue_;
    std::unique_ptr<TPortTimeouts> portTimeouts_;
    bool rs485Enabled_ = false;

    QString commName_ = QStringLiteral("COM2");
    TLineSettings line_;
    TCommTimeouts timeouts_;
};
