#pragma once

#include <QByteArray>
#include <QObject>
#include <memory>
#include <optional>
#include <span>

#include "battery/Reading.h"
#include "engine/AnswerCounts.h"
#include "engine/AnswerSlots.h"
#include "engine/Clock.h"
#include "engine/PortLink.h"
#include "protocol/PollCycle.h"
#include "protocol/ResponseDecoder.h"

// The sampling timer's interval for a period in seconds, or nullopt when the interval in
// milliseconds would be negative or beyond what a timer accepts. 0 is valid: no further cycles.
std::optional<int> SamplingPeriodMs(std::int32_t seconds);

// Set-up commands whose reply is awaited: the next received buffer is echoed for each.
struct PendingFlags {
    bool SetDeviceInfoPending = false;
    bool QueryDeviceInfoPending = false;
    bool AuthorizeModulePending = false;
};

// The three set-up commands whose raw reply is echoed, in the order their echoes are written.
enum class SetupCommand { SetDeviceInfo, QueryDeviceInfo, AuthorizeModule };

// One monitoring session on one bus: the port link, the sampling timer `Timer1` (one poll cycle
// per period), the pacing timer `Timer3` (one request every 150 ms), the poll state, the
// set-up commands awaiting their reply and the read-interval rules. Operators and services
// call its commands; it reports what happened as signals and knows nothing of how it is shown.
class MonitorSession : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultSamplingMs = 10000;
    static constexpr int kPacingMs = 150;
    static constexpr int kReadIntervalAtOpenMs = 500;
    static constexpr int kReadIntervalWhilePollingMs = 20;
    // How long a poll cycle takes: sixteen requests kPacingMs apart from the period's start, the
    // last one's slot and the slot after it, in which its device's block is judged.
    static constexpr int kPollCycleMs = (16 + 2) * kPacingMs;
    // The shortest period, in the whole seconds an operator sets, in which a cycle finishes
    // before the next begins.
    static constexpr int kFastestSamplingMs = (kPollCycleMs + 999) / 1000 * 1000;

    MonitorSession(std::unique_ptr<PortLink> link, Clock& clock, QObject* parent = nullptr);
    ~MonitorSession() override;

    // Port commands. The outcome of OpenPort arrives as PortOpened or PortOpenFailed.
    void OpenPort(const QString& portName);
    void ClosePort();
    bool PortOpen() const { return link_->IsOpen(); }
    bool PortOpening() const { return link_->IsOpening(); }

    // Starts the poll cycle now and the sampling timer; decoding of answers begins.
    void StartMonitoring();
    // A new sampling period; 0 stops further cycles.
    // The operator's sampling period; 0 stops the cycles.
    void SetSamplingPeriodMs(int ms);
    // While set, cycles run at this shorter period instead of the operator's (never longer than
    // the operator's, and not while the operator stopped the cycles); SamplingPeriodChanged
    // reports the period in force.
    void SetShortenedPeriodMs(std::optional<int> ms);
    int OperatorPeriodMs() const { return operatorPeriodMs_; }
    // Sends a set-up command frame and awaits its reply: the next received buffer is echoed.
    // With the port closed nothing is sent, no reply is awaited, and it returns false.
    bool SendSetupCommand(SetupCommand command, std::span<const std::uint8_t> frame);

    // The one path of a frame to the link: `data` and `length` are handed over unchanged and the
    // link's answer returned (false while the port is closed; nothing is sent then).
    bool SendFrame(const std::uint8_t* data, std::uint16_t length);

    // The rules the timers and the port drive.
    void Timer1Timer();
    void Timer3Timer();
    void SendNextPollRequest();
    void Comm1ReceiveData(std::span<const std::uint8_t> buffer);

    PollState& Poll() { return poll_; }
    PendingFlags& Pending() { return pending_; }
    PeriodicTimer& SamplingTimer() { return *timer1_; }
    PeriodicTimer& PacingTimer() { return *timer3_; }
    PortLink& Link() { return *link_; }
    const AnswerCounts& Counts() const { return counts_; }

signals:
    void PortOpened(const QString& portName);
    void PortOpenFailed(const QString& portName, const QString& reason);
    // The port was closed by ClosePort, or it hung up by itself (`hungUp`).
    void PortClosed(bool hungUp);
    void SamplingTimerFired();
    // StartMonitoring was called: the poll cycle runs from now on.
    void MonitoringStarted();
    // The sampling period changed (0: no further cycles).
    void SamplingPeriodChanged(int ms);
    // A poll request is about to go out; the tick says where in the cycle it stands.
    void PollRequestDue(const PollTick& tick);
    // The first request of a cycle is about to go out.
    void CycleStarted();
    // Everything a cycle's answers gave has been reported (its last block released or
    // discarded).
    void CycleEnded();
    // A reading of a watched battery, stamped with the wall time its answer arrived, from an
    // answer that certainly answered the request for that battery. Readings come once their
    // device's block of the cycle has been judged, one slot after its hold.
    void ReadingAccepted(const battery::Reading& reading);
    // The block of `device` (0xA0 or 0xA1) in this cycle gave no reading because the device
    // answered too late to tell which request an answer belongs to.
    void DeviceAnsweredLate(std::uint8_t device);
    // The raw reply to a set-up command that awaited it; once per awaiting command.
    void SetupReplyEcho(SetupCommand command, const QByteArray& reply);

private:
    void OnOpenResult(bool opened, const QString& reason);
    void OnHangup();
    void EchoPendingReplies(std::span<const std::uint8_t> buffer);
    void Report(const AnswerSlots::Outcome& outcome);
    void OnHoldEnded();
    void CountLostAnswers();
    void CountUnrecognised(std::span<const std::uint8_t> buffer);

    Clock& clock_;
    std::unique_ptr<PortLink> link_;
    void ApplyPeriod(bool always);

    std::unique_ptr<PeriodicTimer> timer1_;
    int operatorPeriodMs_ = kDefaultSamplingMs;
    std::optional<int> shortenedPeriodMs_;
    std::unique_ptr<PeriodicTimer> timer3_;
    std::unique_ptr<PeriodicTimer> holdTimer_;  // ends the hold of a cycle's last block
    AnswerSlots slots_;
    PollState poll_;
    PendingFlags pending_;
    QString openingName_;
    AnswerCounts counts_;
    int sentInCycle_ = 0;  // requests of the cycle not yet counted as answered or lost
    int answeredInCycle_ = 0;
};
