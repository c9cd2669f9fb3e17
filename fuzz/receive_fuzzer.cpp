// libFuzzer target for the receive path: the real window, with its real tables, charts and log
// underneath, is driven by small programs that set the poll and reply state to anything at all
// and then deliver arbitrary buffers to the receive handler.
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
//                                           out, the cycle state advances, log/charts clear)
//   8 Start        -                        RzBitBtn7Click ("启动监测")
//   9 Events       -                        process pending events (layout, painting); only
//                                           the first two per input run, painting is slow
//  10 Page         u8                       show page u8 % 4, so every table gets painted
//
// Each input starts from the state of a freshly started window (poll state and pending flags at
// their initial values, empty log), while the history tables and charts carry on from earlier
// inputs as they would in a long-running program.

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "BarChart.h"
#include "Controls.h"
#include "HistoryGridModel.h"
#include "MessageBox.h"
#include "ModbusCrc.h"
#include "StringGrid.h"
#include "TForm1.h"
#include "TTimer.h"

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

// Owns the window the inputs run against. History records and chart bars accumulate from
// input to input, which is the point (long runs, full tables), but over millions of inputs they
// would grow without bound and slow every input down; past a limit the window is replaced by a
// fresh one, as if the program had been restarted.
class WindowUnderTest {
public:
    static constexpr std::uint32_t kMaxRecordsPerTable = 20000;
    static constexpr int kMaxChartBars = 5000;

    WindowUnderTest() { Build(); }

    TForm1& Form() { return *form_; }

    void ReplaceWhenFull() {
        if (IsFull()) Build();
    }

private:
    void Build() {
        form_.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        form_ = std::make_unique<TForm1>();
        form_->show();
        QCoreApplication::processEvents();
    }

    bool IsFull() const {
        for (int step = 1; step <= 14; ++step) {
            const auto* table = static_cast<HistoryGridModel*>(form_->HistoryGrid(step)->Model());
            if (table->RecordCount() > kMaxRecordsPerTable) return true;
        }
        return form_->Chart1->Series(0)->Count() > kMaxChartBars ||
               form_->Chart2->Series(0)->Count() > kMaxChartBars;
    }

    std::unique_ptr<TForm1> form_;
};

WindowUnderTest* window = nullptr;

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

// What one received buffer may do to the window, checked around every delivery so that wrong
// results count as findings too, not only crashes: the step counters stay as they are, the
// cycle flag can only be cleared, every pending flag is cleared and echoes the buffer one byte
// per log line, and at most one reading is added, to the table of the step sent last, with a
// log line of its own for a live battery (steps 9..14).
class DeliveryContract {
public:
    explicit DeliveryContract(const TForm1& form)
        : poll_(form.Poll),
          echoes_(int{form.Pending.SetDeviceInfoPending} +
                  int{form.Pending.QueryDeviceInfoPending} +
                  int{form.Pending.AuthorizeModulePending}),
          logLines_(LogLines(form)),
          records_(Records(form)) {}

    void Check(const TForm1& form, std::size_t length) const {
        const PollState& poll = form.Poll;
        Expect(poll.SentStep == poll_.SentStep && poll.PollStep == poll_.PollStep,
               "the receive handler changed the step counters");
        Expect(poll_.PollCycleActive || !poll.PollCycleActive,
               "the receive handler set the cycle flag");
        Expect(!form.Pending.SetDeviceInfoPending && !form.Pending.QueryDeviceInfoPending &&
                   !form.Pending.AuthorizeModulePending,
               "a pending flag survived a received buffer");

        const std::array<std::uint32_t, 14> records = Records(form);
        int added = 0;
        for (int step = 1; step <= 14; ++step) {
            const std::uint32_t grown = records[step - 1] - records_[step - 1];
            Expect(grown <= 1 && (grown == 0 || step == poll_.SentStep),
                   "a reading went to a table other than that of the step sent last");
            added += static_cast<int>(grown);
        }
        Expect(added == 0 || poll_.PollCycleActive, "a reading was taken outside a poll cycle");
        const bool liveLine = added == 1 && poll_.SentStep >= 9;
        Expect(LogLines(form) == logLines_ + echoes_ * static_cast<int>(length) + int{liveLine},
               "the log does not show each echoed byte and live reading on a line of its own");
    }

private:
    static void Expect(bool holds, const char* fault) {
        if (holds) return;
        std::fprintf(stderr, "receive_fuzzer: %s\n", fault);
        std::abort();
    }

    static int LogLines(const TForm1& form) {
        const QTextDocument* log = form.Memo1->document();
        return log->isEmpty() ? 0 : log->blockCount();
    }

    static std::array<std::uint32_t, 14> Records(const TForm1& form) {
        std::array<std::uint32_t, 14> counts{};
        for (int step = 1; step <= 14; ++step)
            counts[step - 1] =
                static_cast<HistoryGridModel*>(form.HistoryGrid(step)->Model())->RecordCount();
        return counts;
    }

    PollState poll_;
    int echoes_;
    int logLines_;
    std::array<std::uint32_t, 14> records_;
};

void Deliver(TForm1& form, std::span<const std::uint8_t> bytes) {
    // The port delivers a buffer it owns; a copy of exactly the delivered length lets
    // AddressSanitizer catch a read past its end.
    const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
    const DeliveryContract contract(form);
    form.Comm1ReceiveData(form.Comm1, buffer.data(), static_cast<std::uint16_t>(buffer.size()));
    contract.Check(form, buffer.size());
}

// 9 fuzzed bytes, their checksum, then `trailing` fuzzed bytes.
bool DeliverAnswer(TForm1& form, InputReader& in) {
    std::uint8_t trailingCount = 0;
    std::span<const std::uint8_t> head, trailing;
    if (!in.Byte(trailingCount) || !in.Bytes(9, head) || !in.Bytes(trailingCount % 32, trailing))
        return false;
    std::vector<std::uint8_t> answer(head.begin(), head.end());
    const std::uint16_t crc = ModbusCrc16(std::span<const std::uint8_t>(answer));
    answer.push_back(static_cast<std::uint8_t>(crc >> 8));
    answer.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    answer.insert(answer.end(), trailing.begin(), trailing.end());
    Deliver(form, answer);
    return true;
}

// A pass that paints the window takes some 20 ms under the sanitizers, a hundred times the
// rest of a typical input.
constexpr int kEventPassesPerInput = 2;

// Runs one operation; false when the input ends inside its arguments.
bool RunOperation(TForm1& form, Op op, InputReader& in, int& eventPasses) {
    std::uint8_t byte = 0;
    std::uint16_t word = 0;
    std::span<const std::uint8_t> bytes;
    switch (op) {
        case Op::SentStep:
            if (!in.Word(word)) return false;
            form.Poll.SentStep = word;
            return true;
        case Op::PollStep:
            if (!in.Word(word)) return false;
            form.Poll.PollStep = word;
            return true;
        case Op::CycleActive:
            if (!in.Byte(byte)) return false;
            form.Poll.PollCycleActive = (byte & 1) != 0;
            return true;
        case Op::Pending:
            if (!in.Byte(byte)) return false;
            form.Pending.SetDeviceInfoPending = (byte & 1) != 0;
            form.Pending.QueryDeviceInfoPending = (byte & 2) != 0;
            form.Pending.AuthorizeModulePending = (byte & 4) != 0;
            return true;
        case Op::Buffer:
            if (!in.Byte(byte) || !in.Bytes(std::size_t{byte} + 1, bytes)) return false;
            Deliver(form, bytes);
            return true;
        case Op::LongBuffer:
            if (!in.Word(word) || !in.Bytes(std::size_t{word} % 1024 + 1, bytes)) return false;
            Deliver(form, bytes);
            return true;
        case Op::Answer:
            return DeliverAnswer(form, in);
        case Op::SendNext:
            form.SendNextPollRequest();
            return true;
        case Op::Start:
            form.RzBitBtn7Click();
            // Pacing is driven by SendNext alone: running timers would make an input's effect
            // depend on how long earlier operations took, and findings would not reproduce.
            form.Timer1->SetEnabled(false);
            form.Timer3->SetEnabled(false);
            return true;
        case Op::Events:
            if (eventPasses < kEventPassesPerInput) {
                ++eventPasses;
                QCoreApplication::processEvents();
            }
            return true;
        case Op::Page:
            if (!in.Byte(byte)) return false;
            form.RzPageControl1->setCurrentIndex(byte % 4);
            return true;
        case Op::Count:
            break;
    }
    return false;
}

void ResetToStartedWindow(TForm1& form) {
    form.Poll = PollState{};
    form.Pending = PendingFlags{};
    form.Memo1->clear();
}

}  // namespace

// fontconfig drops the patterns Qt asks it to match for fallback fonts, a few hundred bytes
// the first time each text is shaped; left unsuppressed, LeakSanitizer would stop the run on
// the first input that paints. Leaks anywhere else are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt sees none of libFuzzer's options.
    static int argc = 1;
    static char name[] = "receive_fuzzer";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives for the whole run
    messagebox::SetHook([](const QString&, const QString&) {});
    window = new WindowUnderTest;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    window->ReplaceWhenFull();
    TForm1& form = window->Form();
    ResetToStartedWindow(form);

    InputReader in(std::span<const std::uint8_t>(data, size));
    std::uint8_t opByte = 0;
    int eventPasses = 0;
    while (in.Byte(opByte)) {
        const auto op = static_cast<Op>(opByte % static_cast<std::uint8_t>(Op::Count));
        if (!RunOperation(form, op, in, eventPasses)) break;
    }
    return 0;
}
