#include "engine/MonitorSession.h"

#include <climits>

std::optional<int> SamplingPeriodMs(std::int32_t seconds) {
    const std::int64_t milliseconds = static_cast<std::int64_t>(seconds) * 1000;
    if (milliseconds < 0 || milliseconds > INT_MAX) return std::nullopt;
    return static_cast<int>(milliseconds);
}

MonitorSession::MonitorSession(std::unique_ptr<PortLink> link, Clock& clock, QObject* parent)
    : QObject(parent),
      clock_(clock),
      link_(std::move(link)),
      timer1_(clock.CreateTimer(kDefaultSamplingMs, QStringLiteral("Timer1"))),
      timer3_(clock.CreateTimer(kPacingMs, QStringLiteral("Timer3"))) {
    setObjectName(QStringLiteral("Session"));
    timer1_->OnTimer = [this] { Timer1Timer(); };
    timer3_->OnTimer = [this] { Timer3Timer(); };
    link_->OnOpenResult = [this](bool opened, const QString& reason) {
        OnOpenResult(opened, reason);
    };
    link_->OnData = [this](std::span<const std::uint8_t> bytes) { Comm1ReceiveData(bytes); };
    link_->OnHangup = [this] { OnHangup(); };
}

// Closing here, without a signal: whoever listens may already be going.
MonitorSession::~MonitorSession() {
    link_->OnOpenResult = nullptr;
    link_->OnData = nullptr;
    link_->OnHangup = nullptr;
    link_->Close();
}

void MonitorSession::OpenPort(const QString& portName) {
    openingName_ = portName;
    link_->SetReadInterval(kReadIntervalAtOpenMs);
    link_->Open(portName);
}

void MonitorSession::OnOpenResult(bool opened, const QString& reason) {
    if (opened)
        emit PortOpened(openingName_);
    else
        emit PortOpenFailed(openingName_, reason);
}

void MonitorSession::ClosePort() {
    link_->Close();
    emit PortClosed(false);
}

void MonitorSession::OnHangup() { emit PortClosed(true); }

void MonitorSession::StartMonitoring() {
    ::StartMonitoring(poll_);
    timer1_->SetEnabled(true);
    timer3_->SetEnabled(true);
}

void MonitorSession::SetSamplingPeriodMs(int ms) { timer1_->SetInterval(ms); }

void MonitorSession::SendSetupCommand(SetupCommand command, std::span<const std::uint8_t> frame) {
    switch (command) {
        case SetupCommand::SetDeviceInfo:
            pending_.SetDeviceInfoPending = true;
            break;
        case SetupCommand::QueryDeviceInfo:
            pending_.QueryDeviceInfoPending = true;
            break;
        case SetupCommand::AuthorizeModule:
            pending_.AuthorizeModulePending = true;
            break;
    }
    link_->Write(frame);
}

// A sampling period has passed: the next cycle starts, unless the current one is still being
// paced (enabling the running pacing timer does not restart it).
void MonitorSession::Timer1Timer() {
    timer3_->SetEnabled(true);
    emit SamplingTimerFired();
}

void MonitorSession::Timer3Timer() {
    link_->SetReadInterval(kReadIntervalWhilePollingMs);
    SendNextPollRequest();
}

void MonitorSession::SendNextPollRequest() {
    const PollTick tick = AdvancePoll(poll_);
    emit PollRequestDue(tick);
    if (tick.stopPacing) timer3_->SetEnabled(false);
    link_->Write(tick.frame);
}

// The receive path reports nothing: a failure ends the handling of this buffer silently.
void MonitorSession::Comm1ReceiveData(std::span<const std::uint8_t> buffer) {
    try {
        const qint64 arrivalMs = clock_.NowMs();
        EchoPendingReplies(buffer);
        const std::optional<PollAnswer> answer = AcceptPollAnswer(buffer, poll_);
        if (answer) emit ReadingAccepted(answer->step, answer->reading, arrivalMs);
    } catch (...) {
    }
}

void MonitorSession::EchoPendingReplies(std::span<const std::uint8_t> buffer) {
    const PendingFlags awaited = pending_;
    pending_ = PendingFlags{};
    const QByteArray reply(reinterpret_cast<const char*>(buffer.data()),
                           static_cast<qsizetype>(buffer.size()));
    if (awaited.SetDeviceInfoPending) emit SetupReplyEcho(SetupCommand::SetDeviceInfo, reply);
    if (awaited.QueryDeviceInfoPending) emit SetupReplyEcho(SetupCommand::QueryDeviceInfo, reply);
    if (awaited.AuthorizeModulePending) emit SetupReplyEcho(SetupCommand::AuthorizeModule, reply);
}
