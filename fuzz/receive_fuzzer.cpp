// libFuzzer target for the receive path: the monitoring session, with its real poll state and
// reply flags, is driven by small programs that set that state to anything at all, send poll
// requests, move a manual clock and deliver arbitrary buffers to its receive handler. No window:
// what the session reports is checked directly, including which request each reading answered.
//
// Input format: a sequence of operations, each an op byte (taken modulo the number of ops)
// followed by its arguments; a truncated last operation is dropped.
//   0 SentStep     u16 (high byte first)    any value, not only 0..16
//   1 PollStep     u16 (high byte first)    the step the next request sends
//   2 CycleActive  u8                       bit 0: PollCycleActive
//   3 Pending      u8                       bits 0..2: set-up info, query info, authorise module
//   4 Buffer       u8 n, n + 1 bytes        a received buffer of 1..256 bytes
//   5 LongBuffer   u16 n, n % 1024 + 1 bytes
//   6 Answer       u8 e, 9 bytes, e % 32 bytes   9 bytes + their checksum + e trailing bytes, so
//                                           mutations reach the decoding behind the CRC check
//   7 SendNext     -                        one millisecond on, SendNextPollRequest (the request
//                                           goes to a scripted link that keeps nothing)
//   8 Start        -                        StartMonitoring ("启动监测"); its timers run on the
//                                           manual clock, so they fire only in Advance
//   9 Events       -                        process pending events
//  10 Page         u8                       no effect (kept so that older inputs still parse)
//  11 Advance      u8                       move the clock on by that many milliseconds, firing
//                                           the timers that fall due
//  12 AdvanceLong  u16                      the same, by u16 % 4096 milliseconds
//
// Each input starts from a fresh session on a fresh clock (poll state, pending flags and the
// slots of answers at their initial values).

#include <QCoreApplication>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "battery/PollRoute.h"
#include "engine/MonitorSession.h"
#include "protocol/ModbusCrc.h"
#include "tests/engine/FakeClock.h"

namespace {

// Reads the arguments of the operations; every read fails once the input is used up.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> input) : input_(input) {}

    bool AtEnd() const { return pos_ >= input_.size(); }

    bool Byte(std::uint8_t& out) {
        if (AtEnd()) return false;
        out = input_[pos_++];
        return true;
    }

    bool Word(std::uint16_t& out) {
        std::uint8_t high = 0, low = 0;
        if (!Byte(high) || !Byte(low)) return false;
        out = static_cast<std::uint16_t>((high << 8) | low);
        return true;
    }

    bool Bytes(std::size_t count, std::span<const std::uint8_t>& out) {
        if (input_.size() - pos_ < count) return false;
        out = input_.subspan(pos_, count);
        pos_ += count;
        return true;
    }

private:
    std::span<const std::uint8_t> input_;
    std::size_t pos_ = 0;
};

// An open port whose received buffers the input scripts; requests written to it go nowhere.
// Buffers are delivered the moment they arrive, so their arrival time is the clock's time.
class ScriptedLink final : public PortLink {
public:
    void Open(const QString&) override {
        if (OnOpenResult) OnOpenResult(true, {});
    }
    void Close() override {}
    bool IsOpen() const override { return true; }
    bool Write(std::span<const std::uint8_t>) override { return true; }
    void SetReadInterval(int) override {}
    int DeliveryLagMs() const override { return 0; }
};

// The answer frames of a buffer as the bus delivered them: at each offset where a polled
// device's three-register answer with a valid checksum starts, the frame is taken and the search
// goes on behind it. A frame equal to the one just before it is the same answer sent twice.
std::vector<std::vector<std::uint8_t>> AnswerFramesIn(std::span<const std::uint8_t> buffer) {
    constexpr std::size_t kLength = 11;
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t at = 0; at + kLength <= buffer.size();) {
        const auto candidate = buffer.subspan(at, kLength);
        const bool isAnswer = (candidate[0] == 0xA0 || candidate[0] == 0xA1) &&
                              candidate[1] == 0x04 && candidate[2] == 0x06 &&
                              HasValidCrc(candidate);
        if (!isAnswer) {
            ++at;
            continue;
        }
        std::vector<std::uint8_t> frame(candidate.begin(), candidate.end());
        if (frames.empty() || frames.back() != frame) frames.push_back(std::move(frame));
        at += kLength;
    }
    return frames;
}

constexpr int kStepsPerCycle = 16;

// The requests that went out and the answers that came after each, for the oracle of readings:
// a reading may be recorded only for the request in whose slot (from it to the next request)
// its answer arrived alone, and never when its device's block of the cycle showed lateness.
class SlotOracle {
public:
    void RequestSent(int step, qint64 atMs) { requests_.push_back({step, atMs, {}, {}}); }

    void BufferArrived(std::span<const std::uint8_t> buffer, qint64 atMs) {
        if (requests_.empty()) return;  // no slot yet: nothing can be recorded from it
        for (auto& frame : AnswerFramesIn(buffer)) {
            requests_.back().frames.push_back(std::move(frame));
            requests_.back().arrivals.push_back(atMs);
        }
    }

    // Returns what is wrong with the reading of `step` that arrived at `arrivalMs`, or nullptr.
    const char* CheckReading(int step, const BatteryReading& reading, qint64 arrivalMs) const {
        // The slot the answer arrived in: the last request sent at or before it.
        std::size_t slot = requests_.size();
        for (std::size_t i = requests_.size(); i-- > 0;) {
            const Request& r = requests_[i];
            for (std::size_t a = 0; a < r.arrivals.size(); ++a)
                if (r.arrivals[a] == arrivalMs && MatchesReading(r.frames[a], reading)) slot = i;
            if (slot != requests_.size()) break;
        }
        if (slot == requests_.size()) return "a reading was recorded that no answer in a slot gave";
        const Request& owner = requests_[slot];
        if (owner.step != step) return "a reading was recorded for a step other than its slot's";
        if (owner.frames.size() != 1) return "a reading was recorded from a slot with two answers";
        const std::uint8_t device = step <= 8 ? 0xA0 : 0xA1;
        if (owner.frames.front()[0] != device)
            return "a reading was recorded from another device's answer";
        return BlockShowedLateness(slot, device);
    }

private:
    struct Request {
        int step;
        qint64 atMs;
        std::vector<std::vector<std::uint8_t>> frames;
        std::vector<qint64> arrivals;
    };

    static bool MatchesReading(const std::vector<std::uint8_t>& frame, const BatteryReading& r) {
        const BatteryReading decoded = DecodeBatteryReading(frame);
        return decoded.StatusCode == r.StatusCode && decoded.RawVoltage == r.RawVoltage &&
               decoded.RawTemperature == r.RawTemperature;
    }

    // Lateness of `device`'s block in the cycle of request `slot`, judged on what has arrived so
    // far. Only a cycle sent in order (steps 1, 2, 3, ...) has blocks to judge.
    const char* BlockShowedLateness(std::size_t slot, std::uint8_t device) const {
        std::size_t first = slot;
        while (first > 0 && requests_[first].step != 1) --first;
        if (requests_[first].step != 1) return nullptr;
        for (std::size_t i = first; i < requests_.size(); ++i) {
            const Request& r = requests_[i];
            if (r.step != int(i - first) + 1) break;  // out of order: a new cycle or a jump
            const bool ownSlot = (r.step <= 8) == (device == 0xA0);
            const bool lastSlot = r.step == kStepsPerCycle;
            for (std::size_t a = 0; a < r.frames.size(); ++a) {
                if (r.frames[a][0] != device) continue;
                if (!ownSlot)
                    return "a reading was recorded from a block whose device answered in the "
                           "other device's slot";
                if (r.frames.size() > 1)
                    return "a reading was recorded from a block with two answers in a slot";
                if (lastSlot && r.arrivals[a] >= r.atMs + MonitorSession::kPacingMs)
                    return "a reading was recorded from a block answered after the cycle";
            }
        }
        return nullptr;
    }

    std::vector<Request> requests_;
};

// What the session reported for one delivered buffer.
struct Reported {
    std::vector<SetupCommand> echoes;
    std::vector<QByteArray> echoedBytes;
    std::vector<int> acceptedSteps;
};

void Expect(bool holds, const char* fault);

struct Harness {
    testsupport::FakeClock clock;
    std::unique_ptr<MonitorSession> session;
    Reported reported;
    SlotOracle oracle;

    Harness() : session(std::make_unique<MonitorSession>(std::make_unique<ScriptedLink>(), clock)) {
        QObject::connect(
            session.get(), &MonitorSession::PollRequestDue,
            [this](const PollTick& tick) { oracle.RequestSent(tick.step, clock.NowMs()); });
        QObject::connect(session.get(), &MonitorSession::SetupReplyEcho,
                         [this](SetupCommand command, const QByteArray& reply) {
                             reported.echoes.push_back(command);
                             reported.echoedBytes.push_back(reply);
                         });
        QObject::connect(
            session.get(), &MonitorSession::ReadingAccepted, [this](const battery::Reading& r) {
                const int step = battery::ReadingStepOf(r.Id()).value_or(0);
                reported.acceptedSteps.push_back(step);
                const char* fault = oracle.CheckReading(
                    step, ReadingFromRaw(r.status, r.voltageDv, r.temperatureDc), r.tMs);
                Expect(fault == nullptr, fault);
            });
    }
};

Harness* harness = nullptr;

enum class Op : std::uint8_t {
    SentStep,
    PollStep,
    CycleActive,
    Pending,
    Buffer,
    LongBuffer,
    Answer,
    SendNext,
    Start,
    Events,
    Page,
    Advance,
    AdvanceLong,
    Count
};

void Expect(bool holds, const char* fault) {
    if (holds) return;
    std::fprintf(stderr, "receive_fuzzer: %s\n", fault);
    std::abort();
}

// What one received buffer may do, checked around every delivery so that wrong results count as
// findings too, not only crashes: the step counters stay as they are, the cycle flag can only be
// cleared, every pending flag is cleared and echoes the whole buffer once, in the fixed order of
// the commands.
void Deliver(std::span<const std::uint8_t> bytes) {
    // The port delivers a buffer it owns; a copy of exactly the delivered length lets
    // AddressSanitizer catch a read past its end.
    const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
    MonitorSession& session = *harness->session;
    const PollState before = session.Poll();
    const PendingFlags pending = session.Pending();
    harness->reported = {};

    harness->oracle.BufferArrived(buffer, harness->clock.NowMs());
    session.Comm1ReceiveData(buffer);

    const PollState& after = session.Poll();
    const Reported& reported = harness->reported;
    Expect(after.SentStep == before.SentStep && after.PollStep == before.PollStep,
           "the receive handler changed the step counters");
    Expect(before.PollCycleActive || !after.PollCycleActive,
           "the receive handler set the cycle flag");
    const PendingFlags& left = session.Pending();
    Expect(
        !left.SetDeviceInfoPending && !left.QueryDeviceInfoPending && !left.AuthorizeModulePending,
        "a pending flag survived a received buffer");

    std::vector<SetupCommand> expectedEchoes;
    if (pending.SetDeviceInfoPending) expectedEchoes.push_back(SetupCommand::SetDeviceInfo);
    if (pending.QueryDeviceInfoPending) expectedEchoes.push_back(SetupCommand::QueryDeviceInfo);
    if (pending.AuthorizeModulePending) expectedEchoes.push_back(SetupCommand::AuthorizeModule);
    Expect(reported.echoes == expectedEchoes,
           "the buffer was not echoed once per awaiting command in their order");
    const QByteArray whole(reinterpret_cast<const char*>(buffer.data()),
                           static_cast<qsizetype>(buffer.size()));
    for (const QByteArray& echoed : reported.echoedBytes)
        Expect(echoed == whole, "an echo is not the whole buffer as received");

    // Readings are released once their device's block is settled, so a buffer may release
    // earlier ones; which request each answered is checked as it is reported.
    for (int step : reported.acceptedSteps)
        Expect(step >= 1 && step <= 14, "a reading was reported for a step without a battery");
}

// 9 fuzzed bytes, their checksum, then `trailing` fuzzed bytes.
bool DeliverAnswer(InputReader& in) {
    std::uint8_t trailingCount = 0;
    std::span<const std::uint8_t> head, trailing;
    if (!in.Byte(trailingCount) || !in.Bytes(9, head) || !in.Bytes(trailingCount % 32, trailing))
        return false;
    std::vector<std::uint8_t> answer(head.begin(), head.end());
    const std::uint16_t crc = ModbusCrc16(std::span<const std::uint8_t>(answer));
    answer.push_back(static_cast<std::uint8_t>(crc >> 8));
    answer.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    answer.insert(answer.end(), trailing.begin(), trailing.end());
    Deliver(answer);
    return true;
}

// Runs one operation; false when the input ends inside its arguments.
bool RunOperation(MonitorSession& session, Op op, InputReader& in) {
    std::uint8_t byte = 0;
    std::uint16_t word = 0;
    std::span<const std::uint8_t> bytes;
    switch (op) {
        case Op::SentStep:
            if (!in.Word(word)) return false;
            session.Poll().SentStep = word;
            return true;
        case Op::PollStep:
            if (!in.Word(word)) return false;
            session.Poll().PollStep = word;
            return true;
        case Op::CycleActive:
            if (!in.Byte(byte)) return false;
            session.Poll().PollCycleActive = (byte & 1) != 0;
            return true;
        case Op::Pending:
            if (!in.Byte(byte)) return false;
            session.Pending() = PendingFlags{(byte & 1) != 0, (byte & 2) != 0, (byte & 4) != 0};
            return true;
        case Op::Buffer:
            if (!in.Byte(byte) || !in.Bytes(std::size_t{byte} + 1, bytes)) return false;
            Deliver(bytes);
            return true;
        case Op::LongBuffer:
            if (!in.Word(word) || !in.Bytes(std::size_t{word} % 1024 + 1, bytes)) return false;
            Deliver(bytes);
            return true;
        case Op::Answer:
            return DeliverAnswer(in);
        case Op::SendNext:
            // Requests are paced on the bus; two in one millisecond would leave the first a slot
            // of no length, which no answer could be placed in.
            harness->clock.Advance(1);
            session.SendNextPollRequest();
            return true;
        case Op::Start:
            session.StartMonitoring();
            return true;
        case Op::Events:
            QCoreApplication::processEvents();
            return true;
        case Op::Page:
            return in.Byte(byte);
        case Op::Advance:
            if (!in.Byte(byte)) return false;
            harness->clock.Advance(byte);
            return true;
        case Op::AdvanceLong:
            if (!in.Word(word)) return false;
            harness->clock.Advance(word % 4096);
            return true;
        case Op::Count:
            break;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Qt sees none of libFuzzer's options.
    static int argc = 1;
    static char name[] = "receive_fuzzer";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh session on a fresh clock: the slots of answers of the last input must not carry
    // over.
    delete harness;
    harness = new Harness;
    MonitorSession& session = *harness->session;

    InputReader in(std::span<const std::uint8_t>(data, size));
    std::uint8_t opByte = 0;
    while (in.Byte(opByte)) {
        const auto op = static_cast<Op>(opByte % static_cast<std::uint8_t>(Op::Count));
        if (!RunOperation(session, op, in)) break;
    }
    return 0;
}
