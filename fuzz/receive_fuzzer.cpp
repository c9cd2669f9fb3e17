// libFuzzer target for the receive path: the monitoring session, with its real poll state and
// reply flags, is driven by small programs that set that state to anything at all and then
// deliver arbitrary buffers to its receive handler. No window: what the session reports is
// checked directly.
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
//   7 SendNext     -                        SendNextPollRequest (the port is closed: no bytes go
//                                           out, the cycle state advances)
//   8 Start        -                        StartMonitoring ("启动监测")
//   9 Events       -                        process pending events
//  10 Page         u8                       no effect (kept so that older inputs still parse)
//
// Each input starts from the state of a fresh session (poll state and pending flags at their
// initial values).

#include <QCoreApplication>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "engine/MonitorSession.h"
#include "protocol/ModbusCrc.h"

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

// A port that never opens: requests are dropped, as with the window's port closed.
class ClosedLink final : public PortLink {
public:
    void Open(const QString&) override {
        if (OnOpenResult) OnOpenResult(false, QStringLiteral("closed"));
    }
    void Close() override {}
    bool IsOpen() const override { return false; }
    bool Write(std::span<const std::uint8_t>) override { return false; }
    void SetReadInterval(int) override {}
    int DeliveryLagMs() const override { return 0; }
};

// What the session reported for one delivered buffer.
struct Reported {
    std::vector<SetupCommand> echoes;
    std::vector<QByteArray> echoedBytes;
    std::vector<int> acceptedSteps;
};

struct Harness {
    SystemClock clock;
    std::unique_ptr<MonitorSession> session;
    Reported reported;

    Harness() : session(std::make_unique<MonitorSession>(std::make_unique<ClosedLink>(), clock)) {
        QObject::connect(session.get(), &MonitorSession::SetupReplyEcho,
                         [this](SetupCommand command, const QByteArray& reply) {
                             reported.echoes.push_back(command);
                             reported.echoedBytes.push_back(reply);
                         });
        QObject::connect(session.get(), &MonitorSession::ReadingAccepted,
                         [this](int step, const BatteryReading&, qint64) {
                             reported.acceptedSteps.push_back(step);
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
// the commands, and at most one reading is accepted, for the step sent last, while a cycle runs.
void Deliver(std::span<const std::uint8_t> bytes) {
    // The port delivers a buffer it owns; a copy of exactly the delivered length lets
    // AddressSanitizer catch a read past its end.
    const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
    MonitorSession& session = *harness->session;
    const PollState before = session.Poll();
    const PendingFlags pending = session.Pending();
    harness->reported = {};

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

    Expect(reported.acceptedSteps.size() <= 1, "one buffer gave more than one reading");
    for (int step : reported.acceptedSteps) {
        Expect(before.PollCycleActive, "a reading was taken outside a poll cycle");
        Expect(step == before.SentStep && step >= 1 && step <= 14,
               "a reading was accepted for a step other than the one sent last");
    }
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
            session.SendNextPollRequest();
            return true;
        case Op::Start:
            session.StartMonitoring();
            // Pacing is driven by SendNext alone: running timers would make an input's effect
            // depend on how long earlier operations took, and findings would not reproduce.
            session.SamplingTimer().SetEnabled(false);
            session.PacingTimer().SetEnabled(false);
            return true;
        case Op::Events:
            QCoreApplication::processEvents();
            return true;
        case Op::Page:
            return in.Byte(byte);
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
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MonitorSession& session = *harness->session;
    session.Poll() = PollState{};
    session.Pending() = PendingFlags{};

    InputReader in(std::span<const std::uint8_t>(data, size));
    std::uint8_t opByte = 0;
    while (in.Byte(opByte)) {
        const auto op = static_cast<Op>(opByte % static_cast<std::uint8_t>(Op::Count));
        if (!RunOperation(session, op, in)) break;
    }
    return 0;
}
