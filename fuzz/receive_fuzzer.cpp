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
#include <functional>
#include <memory>
#include <optional>
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

// One answer of a polled device in a received buffer, found the way the receive path walks a
// buffer: a header (address 0xA0/0xA1, function 0x04, 6 bytes) opens a frame of 11 bytes; a
// frame whose checksum fails or that is cut short is a damaged answer of the header's device
// and the walk goes on 3 bytes later, except that a cut-off frame behind a sound answer is the
// start of the next read; a sound frame equal to the sound one just before it is the same answer
// sent twice.
struct FoundAnswer {
    std::uint8_t device;
    std::optional<BatteryReading> reading;  // none: damaged
};

std::vector<FoundAnswer> AnswersIn(std::span<const std::uint8_t> buffer) {
    constexpr std::size_t kLength = 11;
    std::vector<FoundAnswer> found;
    std::span<const std::uint8_t> previous;
    bool anySound = false;
    for (std::size_t at = 0; at < buffer.size();) {
        const auto rest = buffer.subspan(at);
        const bool header = rest.size() >= 3 && (rest[0] == 0xA0 || rest[0] == 0xA1) &&
                            rest[1] == 0x04 && rest[2] == 0x06;
        if (!header) {
            ++at;
            continue;
        }
        if (rest.size() < kLength || !HasValidCrc(rest.first(kLength))) {
            if (anySound && rest.size() < kLength) break;
            found.push_back({rest[0], std::nullopt});
            at += 3;
            continue;
        }
        const auto frame = rest.first(kLength);
        at += kLength;
        anySound = true;
        if (std::ranges::equal(frame, previous)) continue;
        previous = frame;
        found.push_back({frame[0], DecodeBatteryReading(frame)});
    }
    return found;
}

constexpr int kStepsPerCycle = 16;
constexpr qint64 kSlotMs = MonitorSession::kPacingMs;

// An independent account of where every answer went and of which readings can be placed with
// certainty, for checking each reading the session reports.
//
// A cycle is followed from its step 1 while its requests go out in order. An answer belongs to
// the slot of the request sent last before it; a device's block is its eight slots plus its
// hold (0xA0: the slot of step 9; 0xA1: one slot after the cycle's last). An answer outside its
// device's block and hold is a stray; one within eight slots before a block's first request
// means an earlier cycle's answers may sit in that block.
//
// A reading is certain when every way of matching the block's answers to its requests that the
// line allows gives it to the request it is reported for. The line allows: an answer never
// before its request, at most one answer per request, any request lost, and a request answered
// late only if the block shows a sign of lateness at or after that request's slot: a slot with
// two answers of the device, or an answer in the hold (or a hold that was not watched to its
// end). The session may be stricter (it also takes the other device's answer in a block's first
// slot as a sign).
class SlotOracle {
public:
    void RequestSent(int step, qint64 atMs) {
        const bool inOrder = !cycles_.empty() && !cycles_.back().broken &&
                             step == int(cycles_.back().sentAt.size()) + 1;
        if (step == 1) {
            cycles_.push_back({});
        } else if (!inOrder) {
            if (!cycles_.empty()) cycles_.back().broken = true;
            return;
        }
        Cycle& cycle = cycles_.back();
        cycle.sentAt.push_back(atMs);
        if (step == 1 || step == 9) {
            Block& block = cycle.blocks[step == 1 ? 0 : 1];
            for (const qint64 stray : strays_[step == 1 ? 0 : 1])
                block.fromEarlierCycle |= stray >= atMs - 8 * kSlotMs;
        }
    }

    void BufferArrived(std::span<const std::uint8_t> buffer, qint64 atMs) {
        for (const FoundAnswer& answer : AnswersIn(buffer)) Place(answer, atMs);
    }

    // Returns what is wrong with the reading of `step` that arrived at `arrivalMs`, reported at
    // `nowMs`, or nullptr.
    const char* CheckReading(int step, const BatteryReading& reading, qint64 arrivalMs,
                             qint64 nowMs) const {
        const int device = step <= 8 ? 0 : 1;
        bool placed = false;
        for (const Cycle& cycle : cycles_) {
            const Block& block = cycle.blocks[device];
            for (int slot = 0; slot <= kHold; ++slot) {
                const std::vector<Answer>& answers = block.own[slot];
                if (answers.empty() || !answers.front().reading ||
                    answers.front().atMs != arrivalMs || !Same(*answers.front().reading, reading) ||
                    device * 8 + std::min(slot, 7) + 1 != step)
                    continue;
                placed = true;
                if (!block.fromEarlierCycle && Certain(cycle, device, slot, nowMs)) return nullptr;
            }
        }
        if (!placed) return "a reading was recorded that no answer in its slot gave";
        return "a reading was recorded that the answer of another request may have given";
    }

private:
    static constexpr int kHold = 8;
    struct Answer {
        qint64 atMs;
        std::optional<BatteryReading> reading;
    };
    struct Block {
        std::array<std::vector<Answer>, kHold + 1> own;  // the eight slots, then the hold
        bool fromEarlierCycle = false;
    };
    struct Cycle {
        std::vector<qint64> sentAt;  // by step - 1
        bool broken = false;
        std::array<Block, 2> blocks;
    };

    static bool Same(const BatteryReading& a, const BatteryReading& b) {
        return a.StatusCode == b.StatusCode && a.RawVoltage == b.RawVoltage &&
               a.RawTemperature == b.RawTemperature;
    }

    void Place(const FoundAnswer& answer, qint64 atMs) {
        const int device = answer.device == 0xA0 ? 0 : 1;
        if (cycles_.empty() || cycles_.back().broken) return Stray(device, atMs);
        Cycle& cycle = cycles_.back();
        int step = int(cycle.sentAt.size());
        while (step > 0 && cycle.sentAt[step - 1] > atMs) --step;
        if (step == 0) return Stray(device, atMs);
        const Answer placed{atMs, answer.reading};
        if (step == kStepsPerCycle && atMs >= cycle.sentAt.back() + kSlotMs) {
            if (device == 1 && atMs < cycle.sentAt.back() + 2 * kSlotMs)
                return cycle.blocks[1].own[kHold].push_back(placed);
            return Stray(device, atMs);
        }
        if ((step <= 8) == (device == 0))
            return cycle.blocks[device].own[(step - 1) % 8].push_back(placed);
        if (device == 0 && step == 9) return cycle.blocks[0].own[kHold].push_back(placed);
        Stray(device, atMs);
    }

    void Stray(int device, qint64 atMs) { strays_[device].push_back(atMs); }

    // Whether the first answer in `slot` of `device`'s block of `cycle` answers the request of
    // that slot (the hold's: the block's last) in every matching the line allows.
    static bool Certain(const Cycle& cycle, int device, int slot, qint64 nowMs) {
        const Block& block = cycle.blocks[device];
        const bool holdWatched = device == 0 ? cycle.sentAt.size() >= 10
                                             : cycle.sentAt.size() == kStepsPerCycle &&
                                                   nowMs >= cycle.sentAt.back() + 2 * kSlotMs;
        int lastSign = holdWatched ? -1 : kHold;
        std::vector<int> slotOf;  // the slot of each answer, in slot order
        std::size_t target = 0;
        for (int k = 0; k <= kHold; ++k) {
            if (k == slot) target = slotOf.size();
            for (std::size_t i = 0; i < block.own[k].size(); ++i) slotOf.push_back(k);
            if (block.own[k].size() > (k == kHold ? 0u : 1u)) lastSign = std::max(lastSign, k);
        }
        if (slotOf.size() > 8) return false;  // more answers than requests: none is placed
        const int expected = std::min(slot, 7);
        bool any = false;
        bool certain = true;
        std::array<bool, 8> taken{};
        std::vector<int> request(slotOf.size());
        const std::function<void(std::size_t)> match = [&](std::size_t i) {
            if (!certain) return;
            if (i == slotOf.size()) {
                any = true;
                certain = request[target] == expected;
                return;
            }
            const int k = slotOf[i];
            for (int r = 0; r <= std::min(k, 7); ++r) {
                if (taken[r] || (r < k && r > lastSign)) continue;
                taken[r] = true;
                request[i] = r;
                match(i + 1);
                taken[r] = false;
            }
        };
        match(0);
        return any && certain;
    }

    std::vector<Cycle> cycles_;
    std::array<std::vector<qint64>, 2> strays_;
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
        QObject::connect(session.get(), &MonitorSession::ReadingAccepted,
                         [this](const battery::Reading& r) {
                             const int step = battery::ReadingStepOf(r.Id()).value_or(0);
                             reported.acceptedSteps.push_back(step);
                             const char* fault = oracle.CheckReading(
                                 step, ReadingFromRaw(r.status, r.voltageDv, r.temperatureDc),
                                 r.tMs, clock.MonotonicMs());
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
