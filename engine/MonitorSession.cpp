#include "engine/MonitorSession.h"

#include <algorithm>
#include <climits>

#include "protocol/PollTable.h"

namespace {

// Address, function, byte count, three registers, checksum.
constexpr std::size_t kAnswerFrameLength = 11;
constexpr std::size_t kAnswerHeaderLength = 3;  // address, function, byte count

}  // namespace

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
      timer3_(clock.CreateTimer(kPacingMs, QStringLiteral("Timer3"))),
      holdTimer_(clock.CreateTimer(2 * kPacingMs, QStringLiteral("HoldTimer"))),
      slots_(kPacingMs) {
    setObjectName(QStringLiteral("Session"));
    timer1_->OnTimer = [this] { Timer1Timer(); };
    timer3_->OnTimer = [this] { Timer3Timer(); };
    holdTimer_->OnTimer = [this] { OnHoldEnded(); };
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
    emit MonitoringStarted();
}

void MonitorSession::SetSamplingPeriodMs(int ms) {
    operatorPeriodMs_ = ms;
    ApplyPeriod(true);
}

void MonitorSession::SetShortenedPeriodMs(std::optional<int> ms) {
    shortenedPeriodMs_ = ms;
    ApplyPeriod(false);
}

void MonitorSession::ApplyPeriod(bool always) {
    int ms = operatorPeriodMs_;
    if (shortenedPeriodMs_ && ms > 0) ms = std::min(ms, *shortenedPeriodMs_);
    if (!always && ms == timer1_->Interval()) return;
    timer1_->SetInterval(ms);
    emit SamplingPeriodChanged(ms);
}

bool MonitorSession::SendSetupCommand(SetupCommand command, std::span<const std::uint8_t> frame) {
    // Awaiting a reply to a frame that never went out would take the next buffer after a later
    // open for it.
    if (!link_->IsOpen()) return false;
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
    return SendFrame(frame.data(), static_cast<std::uint16_t>(frame.size()));
}

bool MonitorSession::SendFrame(const std::uint8_t* data, std::uint16_t length) {
    return link_->Write(std::span(data, length));
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
    if (tick.step == 1) emit CycleStarted();
    emit PollRequestDue(tick);
    if (tick.stopPacing) timer3_->SetEnabled(false);
    const bool written =
        SendFrame(tick.frame.data(), static_cast<std::uint16_t>(tick.frame.size()));
    if (tick.step == 1) CountLostAnswers();
    Report(slots_.RequestSent(tick.step, clock_.MonotonicMs()));
    // A request into a closed port is neither sent nor lost.
    if (written) {
        ++counts_.requests;
        ++sentInCycle_;
    }
    if (const std::optional<qint64> holdEnd = slots_.NextDeadline()) {
        holdTimer_->SetEnabled(false);
        holdTimer_->SetInterval(
            static_cast<int>(std::max<qint64>(1, *holdEnd - clock_.MonotonicMs())));
        holdTimer_->SetEnabled(true);
    }
}

void MonitorSession::OnHoldEnded() {
    holdTimer_->SetEnabled(false);
    Report(slots_.TimePassed(clock_.MonotonicMs()));
}

// The receive path reports nothing: a failure ends the handling of this buffer silently. The
// time the buffer's last byte arrived (its delivery lag before now, as the link measured it)
// decides the slot an answer belongs to, however long the buffer waited to be handled.
void MonitorSession::Comm1ReceiveData(std::span<const std::uint8_t> buffer) {
    try {
        const int lagMs = link_->DeliveryLagMs();
        const battery::Instant arrival{clock_.NowMs() - lagMs, clock_.MonotonicMs() - lagMs};
        const bool replyAwaited = pending_.SetDeviceInfoPending ||
                                  pending_.QueryDeviceInfoPending ||
                                  pending_.AuthorizeModulePending;
        EchoPendingReplies(buffer);
        // Each answer in the buffer takes a slot, one with a bad checksum or cut short too. A late
        // answer and the next one can reach the port together, or the next one can come damaged;
        // counting only sound ones would hide the lateness and show the late reading on the next
        // battery. A repeat of the frame just before it is one answer sent twice and counts once.
        std::span<const std::uint8_t> previous;
        bool anyAnswer = false;
        for (std::size_t at = 0; at < buffer.size();) {
            const auto rest = buffer.subspan(at);
            const std::optional<std::uint8_t> device = AnswerHeaderDevice(rest);
            if (!device) {
                ++at;
                continue;
            }
            const auto candidate = rest.first(std::min(rest.size(), kAnswerFrameLength));
            const std::optional<AnswerFrame> answer = FindAnswerFrame(candidate);
            if (!answer) {
                // A frame cut off at the end of a read behind a sound answer does not hide that
                // answer: adapters often hand over the start of whatever follows with it.
                if (anyAnswer && rest.size() < kAnswerFrameLength) break;
                at += kAnswerHeaderLength;
                Report(slots_.DamagedAnswerArrived(*device, arrival.monoMs));
                continue;
            }
            at += kAnswerFrameLength;
            anyAnswer = true;
            if (std::ranges::equal(candidate, previous)) continue;
            previous = candidate;
            const AnswerSlots::Outcome outcome = slots_.AnswerArrived(*answer, arrival);
            if (outcome.answeredStep) ++answeredInCycle_;
            if (outcome.answeredStep == static_cast<int>(PollTable().size()))
                poll_.PollCycleActive = false;
            Report(outcome);
        }
        if (!anyAnswer && !replyAwaited && !buffer.empty()) CountUnrecognised(buffer);
    } catch (...) {
    }
}

void MonitorSession::Report(const AnswerSlots::Outcome& outcome) {
    counts_.late += outcome.lateDevices.size();
    counts_.accepted += outcome.released.size();
    if (outcome.cycleSettled) CountLostAnswers();
    for (const std::uint8_t device : outcome.lateDevices) emit DeviceAnsweredLate(device);
    for (const battery::Reading& reading : outcome.released) emit ReadingAccepted(reading);
    if (outcome.cycleSettled) emit CycleEnded();
}

// A cycle is over: its requests that took no answer are lost.
void MonitorSession::CountLostAnswers() {
    if (sentInCycle_ > answeredInCycle_)
        counts_.lost += static_cast<std::uint64_t>(sentInCycle_ - answeredInCycle_);
    sentInCycle_ = 0;
    answeredInCycle_ = 0;
}

void MonitorSession::CountUnrecognised(std::span<const std::uint8_t> buffer) {
    if (ClassifyUnrecognised(buffer) == UnrecognisedBuffer::ForeignAddress)
        ++counts_.address;
    else
        ++counts_.crc;
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
