#include "serial/SerialComm.h"

#include <termios.h>
#include <unistd.h>

#include <QTimer>
#include <cstring>
#include <new>

#include "serial/CloseSignal.h"
#include "serial/CommNotice.h"
#include "serial/CommThreads.h"
#include "serial/PortDevice.h"
#include "serial/PortName.h"
#include "serial/PortTimeouts.h"
#include "serial/TcpLink.h"
#include "serial/WriteQueue.h"
#include "threads/Worker.h"

namespace {

const char* const kAlreadyOpen = "This serial port already opened";
const char* const kOpenFailed = "Error opening serial port";

// A little beyond the connect time-out: the connector reports first unless name resolution
// hangs, which it cannot interrupt.
constexpr std::chrono::milliseconds kOpenDeadline =
    kTcpConnectTimeout + std::chrono::milliseconds(500);

}  // namespace

TComm::TComm(QObject* owner)
    : QObject(owner),
      closeSignal_(std::make_unique<TCloseSignal>()),
      notifyTarget_(
          std::make_unique<TNotifyTarget>([this](TCommNotice& notice) { DispatchNotice(notice); })),
      portTimeouts_(std::make_unique<TPortTimeouts>()) {
    openDeadline_ = new QTimer(this);
    openDeadline_->setSingleShot(true);
    connect(openDeadline_, &QTimer::timeout, this, [this] {
        if (!openPending_) return;
        AbandonOpen();
        RaiseOpenResult(false, QString::fromUtf8(kReasonTimedOut));
    });
}

TComm::~TComm() {
    CloseComm();
    // The connector posts to the notify target: it ends first. Its attempt was cancelled by the
    // close, so only a name lookup still under way is waited for.
    connector_.reset();
    // Notices still queued for the notify target are dropped (and their blocks freed) with it.
    notifyTarget_.reset();
}

std::uint32_t TComm::ComHandle() const {
    return IsOpen() ? static_cast<std::uint32_t>(portFd_) : 0;
}

void TComm::OpenComm() {
    if (IsOpen() || openPending_) throw ECommsError(kAlreadyOpen);
    ++session_;
    if (!IsTcpPortName(commName_)) {
        StartOnPort(OpenPortDevice(commName_), false);
        return;
    }
    const std::optional<TTcpEndpoint> endpoint = ParseTcpPortName(commName_);
    const TTcpConnectResult connected =
        endpoint ? ConnectTcp(*endpoint, kTcpConnectTimeout)
                 : TTcpConnectResult{-1, QString::fromUtf8(kReasonBadName)};
    if (connected.Fd < 0) {
        throw ECommsError(std::string(kOpenFailed) + ": " + connected.Reason.toStdString());
    }
    StartOnPort(connected.Fd, true);
}

void TComm::BeginOpenComm() {
    if (IsOpen() || openPending_) throw ECommsError(kAlreadyOpen);
    if (!IsTcpPortName(commName_)) {
        // Opening a tty does not wait; only the report goes through the event loop.
        QString failure;
        try {
            OpenComm();
        } catch (const ECommsError& error) {
            failure = QString::fromUtf8(error.what());
        }
        openPending_ = true;
        PostOpenResult(failure);
        return;
    }
    ++session_;
    openPending_ = true;
    const std::optional<TTcpEndpoint> endpoint = ParseTcpPortName(commName_);
    if (!endpoint) {
        PostOpenResult(QString::fromUtf8(kReasonBadName));
        return;
    }
    try {
        if (!connector_) {
            connector_ =
                std::make_unique<threads::WorkerThread<TTcpConnector>>(QStringLiteral("connect"));
        }
        connectCancel_ = std::make_shared<TConnectCancel>();
    } catch (const std::exception&) {
        connectCancel_.reset();
        PostOpenResult(QStringLiteral("Unable to create connect thread"));
        return;
    }
    connector_->Post([target = static_cast<QObject*>(notifyTarget_.get()), session = session_,
                      endpoint = *endpoint, cancel = connectCancel_](TTcpConnector& connector) {
        connector.Connect(target, session, endpoint, cancel);
    });
    openDeadline_->start(kOpenDeadline);
}

void TComm::PostOpenResult(const QString& failureReason) {
    TNoticePoster(notifyTarget_.get(), session_).OpenResult(-1, failureReason);
}

void TComm::FinishOpen(TCommNotice& notice) {
    connectCancel_.reset();
    // Its attempt has reported, so it is done: the thread ends at once and holds nothing while
    // the port is open. An attempt that was abandoned leaves it running until the next one
    // reports, or until the component goes.
    connector_.reset();
    openDeadline_->stop();
    openPending_ = false;
    const int connectedFd = notice.TakeFd();
    if (connectedFd >= 0) {
        try {
            StartOnPort(connectedFd, true);
        } catch (const ECommsError& error) {
            RaiseOpenResult(false, QString::fromUtf8(error.what()));
            return;
        }
        RaiseOpenResult(true, {});
        return;
    }
    RaiseOpenResult(notice.Reason().isEmpty() && IsOpen(), notice.Reason());
}

void TComm::AbandonOpen() {
    if (connectCancel_) connectCancel_->Cancel();
    connectCancel_.reset();
    openDeadline_->stop();
    openPending_ = false;
}

void TComm::RaiseOpenResult(bool ok, const QString& reason) {
    if (TOpenResultEvent handler = OnOpenResult) handler(this, ok, reason);
}

void TComm::StartOnPort(int fd, bool isSocket) {
    portFd_ = fd;
    isSocket_ = isSocket;
    hangupRaised_ = false;
    if (!isSocket) {
        savedPortState_ = SavePortState(fd);
        PurgePort(fd, TCIOFLUSH);
    }
    sendQueueEmpty_.store(true);
    ApplyTimeouts();
    ApplyLineSettings();

    if (!closeSignal_->Create()) {
        ReleasePort();
        throw ECommsError("Unable to create event");
    }
    StartReader();
    StartWriter();
}

TThreadContext TComm::ThreadContext() const {
    return TThreadContext{portFd_,  closeSignal_->Fd(), notifyTarget_.get(), portTimeouts_.get(),
                          session_, isSocket_};
}

void TComm::StartReader() {
    try {
        reader_ = std::make_unique<TReadThread>(ThreadContext());
        reader_->Start();
        return;
    } catch (const std::exception&) {
    }
    reader_.reset();
    closeSignal_->Close();
    ReleasePort();
    throw ECommsError("Unable to create read thread");
}

void TComm::StartWriter() {
    try {
        writeQueue_ = std::make_unique<TWriteQueue>();
        if (writeQueue_->Create()) {
            writer_ =
                std::make_unique<TWriteThread>(ThreadContext(), *writeQueue_, sendQueueEmpty_);
            writer_->Start();
            return;
        }
    } catch (const std::exception&) {
    }
    StopReader();
    writer_.reset();
    writeQueue_.reset();
    closeSignal_->Close();
    ReleasePort();
    throw ECommsError("Unable to create write thread");
}

void TComm::CloseComm() {
    AbandonOpen();
    if (!IsOpen()) return;
    StopReader();
    StopWriter();
    closeSignal_->Close();
    ReleasePort();
}

void TComm::StopReader() {
    if (!reader_) return;
    closeSignal_->Set();
    if (!isSocket_) PurgePort(portFd_, TCIFLUSH);
    // Every wait of the port threads includes the close signal and their port I/O never blocks,
    // so the join returns at once.
    reader_->Join();
    reader_.reset();
}

void TComm::StopWriter() {
    if (!writer_) return;
    closeSignal_->Set();
    if (!isSocket_) PurgePort(portFd_, TCOFLUSH);
    sendQueueEmpty_.store(true);
    writer_->Join();
    writer_.reset();
    writeQueue_.reset();  // frees the blocks that were still waiting
}

void TComm::ReleasePort() {
    if (isSocket_) {
        close(portFd_);
    } else {
        ReleaseRs485(portFd_, rs485Enabled_);
        RestorePortState(portFd_, savedPortState_);
        ClosePortDevice(portFd_);
    }
    portFd_ = -1;
}

bool TComm::WriteCommBuffer(const std::uint8_t* data, std::uint16_t length) {
    // A writer that has ended after a failure takes nothing more until the port is reopened.
    if (!writer_ || writer_->Ended() || length == 0 || data == nullptr) return false;
    TWriteBlock block;
    block.Data.reset(new (std::nothrow) std::uint8_t[length]);
    if (!block.Data) return false;
    std::memcpy(block.Data.get(), data, length);
    block.Length = length;
    sendQueueEmpty_.store(false);
    return writeQueue_->Post(block);
}

void TComm::ApplyLineSettings() {
    // A device server has its line settings configured on the server itself.
    if (!isSocket_) ApplyLineSettingsToPort(portFd_, line_, rs485Enabled_);
}

void TComm::ApplyTimeouts() { portTimeouts_->Store(timeouts_); }

void TComm::DispatchNotice(TCommNotice& notice) {
    // Data, line errors and modem changes posted by the threads of an earlier open (or after the
    // close) belong to a port that is no longer there: they are dropped.
    const bool ofThisOpen = notice.Session() == session_ && IsOpen();
    // Each handler is called through a copy, so that a handler may reassign its own slot.
    switch (notice.Kind()) {
        case TNoticeKind::ReceiveData:
            if (!ofThisOpen) break;
            if (TReceiveDataEvent handler = OnReceiveData) {
                receivedAt_ = notice.LastByteTime();
                handler(this, notice.Block(), notice.Length());
                receivedAt_.reset();
            }
            break;
        case TNoticeKind::ReceiveError:
            if (!ofThisOpen) break;
            if (TReceiveErrorEvent handler = OnReceiveError) handler(this, notice.Value());
            break;
        case TNoticeKind::ModemStateChange:
            if (!ofThisOpen) break;
            if (TModemStateChangeEvent handler = OnModemStateChange) handler(this, notice.Value());
            break;
        case TNoticeKind::RequestHangup:
            // A hang-up posted by the threads of an earlier open, handled only after the port was
            // closed and opened again, says nothing about the port now open: it is dropped. Both
            // threads may fail on the same loss (the reader at end-of-file, the writer on the
            // next write); the open reports it once.
            if (notice.Session() != session_ || hangupRaised_) break;
            hangupRaised_ = true;
            if (TNotifyEvent handler = OnRequestHangup) handler(this);
            emit HangupRequested();
            break;
        case TNoticeKind::SendDataEmpty:
            if (TSendDataEmptyEvent handler = OnSendDataEmpty) handler(this);
            break;
        case TNoticeKind::OpenResult:
            // A result of an attempt that was abandoned (and its connection) is dropped.
            if (notice.Session() != session_ || !openPending_) break;
            FinishOpen(notice);
            break;
    }
}

template <typename T>
void TComm::SetLineProperty(T TLineSettings::*member, T value) {
    if (line_.*member == value) return;
    line_.*member = value;
    if (IsOpen()) ApplyLineSettings();
}

void TComm::SetTimeoutProperty(std::uint32_t TCommTimeouts::*member, std::uint32_t value) {
    if (timeouts_.*member == value) return;
    timeouts_.*member = value;
    if (IsOpen()) ApplyTimeouts();
}

// CommName and Parity are only stored: they reach the port with the next open, or (Parity) the
// next time another line setting changes.
void TComm::SetCommName(const QString& value) { commName_ = value; }
void TComm::SetParity(TParity value) { line_.Parity = value; }

void TComm::SetBaudRate(std::uint32_t value) { SetLineProperty(&TLineSettings::BaudRate, value); }
void TComm::SetParityCheck(bool value) { SetLineProperty(&TLineSettings::ParityCheck, value); }
void TComm::SetOutx_CtsFlow(bool value) { SetLineProperty(&TLineSettings::Outx_CtsFlow, value); }
void TComm::SetOutx_DsrFlow(bool value) { SetLineProperty(&TLineSettings::Outx_DsrFlow, value); }
void TComm::SetDtrControl(TDtrControl value) { SetLineProperty(&TLineSettings::DtrControl, value); }
void TComm::SetDsrSensitivity(bool value) {
    SetLineProperty(&TLineSettings::DsrSensitivity, value);
}
void TComm::SetTxContinueOnXoff(bool value) {
    SetLineProperty(&TLineSettings::TxContinueOnXoff, value);
}
void TComm::SetOutx_XonXoffFlow(bool value) {
    SetLineProperty(&TLineSettings::Outx_XonXoffFlow, value);
}
void TComm::SetInx_XonXoffFlow(bool value) {
    SetLineProperty(&TLineSettings::Inx_XonXoffFlow, value);
}
void TComm::SetReplaceWhenParityError(bool value) {
    SetLineProperty(&TLineSettings::ReplaceWhenParityError, value);
}
void TComm::SetIgnoreNullChar(bool value) {
    SetLineProperty(&TLineSettings::IgnoreNullChar, value);
}
void TComm::SetRtsControl(TRtsControl value) { SetLineProperty(&TLineSettings::RtsControl, value); }
void TComm::SetXonLimit(std::uint16_t value) { SetLineProperty(&TLineSettings::XonLimit, value); }
void TComm::SetXoffLimit(std::uint16_t value) { SetLineProperty(&TLineSettings::XoffLimit, value); }
void TComm::SetByteSize(TByteSize value) { SetLineProperty(&TLineSettings::ByteSize, value); }
void TComm::SetStopBits(TStopBits value) { SetLineProperty(&TLineSettings::StopBits, value); }
void TComm::SetXonChar(char value) { SetLineProperty(&TLineSettings::XonChar, value); }
void TComm::SetXoffChar(char value) { SetLineProperty(&TLineSettings::XoffChar, value); }
void TComm::SetReplacedChar(char value) { SetLineProperty(&TLineSettings::ReplacedChar, value); }

void TComm::SetReadIntervalTimeout(std::uint32_t value) {
    SetTimeoutProperty(&TCommTimeouts::ReadIntervalTimeout, value);
}
void TComm::SetReadTotalTimeoutMultiplier(std::uint32_t value) {
    SetTimeoutProperty(&TCommTimeouts::ReadTotalTimeoutMultiplier, value);
}
void TComm::SetReadTotalTimeoutConstant(std::uint32_t value) {
    SetTimeoutProperty(&TCommTimeouts::ReadTotalTimeoutConstant, value);
}
void TComm::SetWriteTotalTimeoutMultiplier(std::uint32_t value) {
    SetTimeoutProperty(&TCommTimeouts::WriteTotalTimeoutMultiplier, value);
}
void TComm::SetWriteTotalTimeoutConstant(std::uint32_t value) {
    SetTimeoutProperty(&TCommTimeouts::WriteTotalTimeoutConstant, value);
}
