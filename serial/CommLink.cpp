#include "serial/CommLink.h"

#include <chrono>

#include "serial/PortName.h"
#include "serial/SerialComm.h"

CommLink::CommLink(QObject* owner) : comm_(new TComm(owner)) {
    comm_->setObjectName(QStringLiteral("Comm1"));
    comm_->SetCommName(QStringLiteral("COM1"));
    comm_->SetBaudRate(9600);
    comm_->SetParityCheck(false);
    comm_->SetOutx_CtsFlow(false);
    comm_->SetOutx_DsrFlow(false);
    comm_->SetDtrControl(TDtrControl::DtrEnable);
    comm_->SetDsrSensitivity(false);
    comm_->SetTxContinueOnXoff(false);
    comm_->SetOutx_XonXoffFlow(false);
    comm_->SetInx_XonXoffFlow(false);
    comm_->SetRtsControl(TRtsControl::RtsEnable);
    comm_->SetByteSize(TByteSize::_8);
    comm_->SetParity(TParity::None);
    comm_->SetStopBits(TStopBits::_1);
    comm_->SetReadIntervalTimeout(10);
    comm_->OnReceiveData = [this](TComm*, const std::uint8_t* buffer, std::uint16_t length) {
        if (OnData) OnData({buffer, length});
    };
    comm_->OnOpenResult = [this](TComm*, bool opened, const QString& reason) {
        if (OnOpenResult) OnOpenResult(opened, reason);
    };
    comm_->OnRequestHangup = [this](TComm*) {
        comm_->CloseComm();
        if (OnHangup) OnHangup();
    };
}

// The component's threads post into an object that lives on: stop them first.
CommLink::~CommLink() { comm_->CloseComm(); }

// A serial port opens at once; a serial device server over TCP connects in the background
// (up to 3 s) and reports when it is through, so the caller's thread never waits for it.
void CommLink::Open(const QString& portName) {
    try {
        comm_->SetCommName(portName);
        comm_->SetBaudRate(9600);
        if (IsTcpPortName(portName)) {
            comm_->BeginOpenComm();
            return;
        }
        comm_->OpenComm();
    } catch (const std::exception& error) {
        if (OnOpenResult) OnOpenResult(false, QString::fromUtf8(error.what()));
        return;
    }
    if (OnOpenResult) OnOpenResult(true, {});
}

void CommLink::Close() { comm_->CloseComm(); }

bool CommLink::IsOpen() const { return comm_->ComHandle() != 0 && !comm_->IsOpening(); }

bool CommLink::IsOpening() const { return comm_->IsOpening(); }

bool CommLink::Write(std::span<const std::uint8_t> bytes) {
    return comm_->WriteCommBuffer(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
}

void CommLink::SetReadInterval(int ms) {
    comm_->SetReadIntervalTimeout(static_cast<std::uint32_t>(ms));
}

int CommLink::DeliveryLagMs() const {
    const auto receivedAt = comm_->ReceivedAt();
    if (!receivedAt) return 0;
    const auto lag = std::chrono::steady_clock::now() - *receivedAt;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(lag).count());
}
