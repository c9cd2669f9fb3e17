#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <cstring>
#include <fstream>

#include "tests/common/WaitFor.h"
#include "tests/serial/CommRecorder.h"

using namespace std::chrono_literals;
using testsupport::HoldsFor;
using testsupport::WaitUntil;

namespace {

int CountEntries(const char* directory) {
    int count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

// Reader and writer threads of all components in this process.
int CountPortThreads() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* task = tasks ? readdir(tasks) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind("batmon-", 0) == 0) ++count;
    }
    if (tasks) closedir(tasks);
    return count;
}

std::string OpenFailure(TComm& comm) {
    try {
        comm.OpenComm();
    } catch (const ECommsError& error) {
        return error.what();
    }
    return "<opened>";
}

bool RoundTrip(TComm& comm, testsupport::PtyDevice& device, TBytes bytes) {
    if (!comm.WriteCommBuffer(bytes.data(), static_cast<std::uint16_t>(bytes.size()))) return false;
    TBytes seen;
    WaitUntil([&] {
        const TBytes more = device.Drain();
        seen.insert(seen.end(), more.begin(), more.end());
        return seen.size() >= bytes.size();
    });
    return seen == bytes;
}

}  // namespace

TEST(CommLifecycle, constructionDefaultsAreTheComponentDefaults) {
    TComm comm;
    EXPECT_EQ(comm.ComHandle(), 0u);
    EXPECT_EQ(comm.CommName(), "COM2");
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_TRUE(comm.Outx_CtsFlow() && comm.Outx_DsrFlow() && comm.TxContinueOnXoff());
    EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(comm.XonChar(), 0x11);
    EXPECT_EQ(comm.XoffChar(), 0x13);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 10u);
    EXPECT_FALSE(comm.OnReceiveData);
}

TEST(CommLifecycle, opensClosesAndReopensWithFreshThreads) {
    testsupport::PtyDevice device;
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, device.SlavePath());

    comm.CloseComm();  // closed: nothing happens
    comm.OpenComm();
    EXPECT_GT(comm.ComHandle(), 2u);
    ASSERT_TRUE(WaitUntil([&] { return events.SendDataEmpty == 1; }));
    EXPECT_TRUE(RoundTrip(comm, device, Sequence(8)));

    comm.CloseComm();
    EXPECT_EQ(comm.ComHandle(), 0u);
    comm.CloseComm();
    EXPECT_FALSE(comm.WriteCommBuffer(Sequence(4).data(), 4));

    comm.OpenComm();
    EXPECT_NE(comm.ComHandle(), 0u);
    // The new writer announces itself; the old one said its last word before the close.
    ASSERT_TRUE(WaitUntil([&] { return events.SendDataEmpty == 3; }));
    EXPECT_TRUE(RoundTrip(comm, device, Sequence(8, 100)));
    device.Send(Sequence(5));
    ASSERT_TRUE(WaitUntil([&] { return events.BytesReceived() == 5; }));
    comm.CloseComm();
}

TEST(CommLifecycle, portHandleIsNeverZeroEvenWithStandardInputClosed) {
    testsupport::PtyDevice device;
    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    const int savedInput = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    comm.OpenComm();
    EXPECT_GT(comm.ComHandle(), 2u);
    EXPECT_TRUE(RoundTrip(comm, device, Sequence(3)));
    comm.CloseComm();
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
}

TEST(CommLifecycle, destroyingAnOpenComponentClosesItsPort) {
    testsupport::PtyDevice device;
    auto first = std::make_unique<TComm>();
    ApplyWindowSettings(*first, device.SlavePath());
    first->OpenComm();
    EXPECT_EQ(CountPortThreads(), 2);
    first.reset();
    EXPECT_EQ(CountPortThreads(), 0);

    TComm second;
    ApplyWindowSettings(second, device.SlavePath());
    EXPECT_NO_THROW(second.OpenComm());
}

TEST(CommOpenFailures, eachFailureHasItsMessageAndLeavesNothingBehind) {
    testsupport::PtyDevice device;
    TComm holder;
    ApplyWindowSettings(holder, device.SlavePath());
    holder.OpenComm();

    QTemporaryFile regularFile;
    ASSERT_TRUE(regularFile.open());

    TComm comm;
    const int descriptorsBefore = CountEntries("/proc/self/fd");
    comm.SetCommName("/dev/batmon-no-such-port");
    EXPECT_EQ(OpenFailure(comm), "Error opening serial port");
    comm.SetCommName(device.SlavePath());
    EXPECT_EQ(OpenFailure(comm), "Error opening serial port") << "held by another component";
    comm.SetCommName(regularFile.fileName());
    EXPECT_EQ(OpenFailure(comm), "File handle is not a comm handle ");
    comm.SetCommName("/dev/null");
    EXPECT_EQ(OpenFailure(comm), "File handle is not a comm handle ");
    EXPECT_EQ(comm.ComHandle(), 0u);
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptorsBefore);
    EXPECT_EQ(CountPortThreads(), 2) << "only the holder's reader and writer";

    EXPECT_EQ(OpenFailure(holder), "This serial port already opened");
    EXPECT_TRUE(RoundTrip(holder, device, Sequence(6))) << "the open port keeps working";

    holder.CloseComm();
    comm.SetCommName(device.SlavePath());
    EXPECT_NO_THROW(comm.OpenComm()) << "the port is free again once its holder closed it";
}

TEST(CommLineSettings, windowSettingsAreInForceOnTheOpenPort) {
    testsupport::PtyDevice device;
    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    comm.OpenComm();
    const termios attrs = device.PortAttributes();
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&attrs), static_cast<speed_t>(B9600));
    EXPECT_EQ(attrs.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(attrs.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS));
    EXPECT_EQ(attrs.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(attrs.c_iflag & (IXON | IXOFF | INPCK | ICRNL));
    EXPECT_FALSE(attrs.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(attrs.c_oflag & OPOST);
}

TEST(CommLineSettings, changedPropertiesReachTheOpenPortAtOnceExceptParity) {
    testsupport::PtyDevice device;
    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    comm.OpenComm();

    comm.SetBaudRate(19200);
    comm.SetStopBits(TStopBits::_2);
    comm.SetOutx_CtsFlow(true);
    comm.SetParityCheck(true);
    comm.SetOutx_XonXoffFlow(true);
    comm.SetInx_XonXoffFlow(true);
    comm.SetXonChar(0x01);
    comm.SetXoffChar(0x02);
    termios attrs = device.PortAttributes();
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B19200));
    EXPECT_TRUE(attrs.c_cflag & CSTOPB);
    EXPECT_TRUE(attrs.c_cflag & CRTSCTS);
    EXPECT_TRUE(attrs.c_iflag & INPCK);
    EXPECT_EQ(attrs.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(attrs.c_cc[VSTART], 0x01);
    EXPECT_EQ(attrs.c_cc[VSTOP], 0x02);

    // A pseudo-terminal keeps PARODD (it drops PARENB and forces 8 bits), which is enough to see
    // when a parity setting reaches the port.
    comm.SetParity(TParity::Odd);
    attrs = device.PortAttributes();
    EXPECT_FALSE(attrs.c_cflag & PARODD) << "Parity alone is stored, not applied";
    comm.SetBaudRate(9600);
    attrs = device.PortAttributes();
    EXPECT_TRUE(attrs.c_cflag & PARODD) << "the next application carries the stored Parity";
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B9600));

    // Assigning the current value leaves the port alone.
    cfsetspeed(&attrs, B4800);
    device.SetPortAttributes(attrs);
    comm.SetBaudRate(9600);
    comm.SetStopBits(TStopBits::_2);
    attrs = device.PortAttributes();
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B4800));

    comm.CloseComm();
    comm.SetBaudRate(38400);  // closed: stored, applied at the next open
    comm.SetParity(TParity::None);
    comm.OpenComm();
    attrs = device.PortAttributes();
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B38400));
    EXPECT_FALSE(attrs.c_cflag & PARODD);
}

TEST(CommWriting, refusesEmptyBlocksAndClosedPorts) {
    testsupport::PtyDevice device;
    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    const TBytes bytes = Sequence(4);
    EXPECT_FALSE(comm.WriteCommBuffer(bytes.data(), 4));
    comm.OpenComm();
    EXPECT_FALSE(comm.WriteCommBuffer(bytes.data(), 0));
    EXPECT_TRUE(HoldsFor([&] { return device.Drain().empty(); }, 50ms));
}

TEST(CommWriting, writesBlocksInOrderAndReportsEachTimeTheQueueRunsEmpty) {
    testsupport::PtyDevice device;
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, device.SlavePath());
    comm.OpenComm();
    ASSERT_TRUE(WaitUntil([&] { return events.SendDataEmpty == 1; }));
    EXPECT_TRUE(HoldsFor([&] { return events.SendDataEmpty == 1; }, 100ms))
        << "one notice right after open, nothing written yet";

    // With the line stalled the writer holds the first block while the others queue up behind
    // it, so the queue runs empty only once all three are out.
    const std::size_t filler = device.FillPortOutput();
    const TBytes first = Sequence(60000, 1);
    const TBytes second = Sequence(3000, 2);
    const TBytes third = Sequence(8, 3);
    ASSERT_TRUE(comm.WriteCommBuffer(first.data(), static_cast<std::uint16_t>(first.size())));
    ASSERT_TRUE(comm.WriteCommBuffer(second.data(), static_cast<std::uint16_t>(second.size())));
    ASSERT_TRUE(comm.WriteCommBuffer(third.data(), static_cast<std::uint16_t>(third.size())));
    TBytes expected(filler, 0x55);
    for (const TBytes* block : {&first, &second, &third}) {
        expected.insert(expected.end(), block->begin(), block->end());
    }
    TBytes seen;
    ASSERT_TRUE(WaitUntil([&] {
        const TBytes more = device.Drain();
        seen.insert(seen.end(), more.begin(), more.end());
        return seen.size() >= expected.size();
    }));
    EXPECT_TRUE(seen == expected);
    ASSERT_TRUE(WaitUntil([&] { return events.SendDataEmpty == 2; }));
    EXPECT_TRUE(HoldsFor([&] { return events.SendDataEmpty == 2; }, 100ms));

    EXPECT_TRUE(RoundTrip(comm, device, Sequence(5)));
    EXPECT_TRUE(WaitUntil([&] { return events.SendDataEmpty == 3; }));
}

TEST(CommWriting, closeReturnsPromptlyWhileAWriteIsStuck) {
    testsupport::PtyDevice device;
    TComm comm;
    TCommRecorder events(comm);
    ApplyWindowSettings(comm, device.SlavePath());
    comm.OpenComm();
    device.FillPortOutput();
    const TBytes block = Sequence(20000);
    ASSERT_TRUE(comm.WriteCommBuffer(block.data(), static_cast<std::uint16_t>(block.size())));
    ASSERT_TRUE(comm.WriteCommBuffer(block.data(), 100));  // still queued at close: discarded

    QElapsedTimer closing;
    closing.start();
    comm.CloseComm();
    EXPECT_LT(closing.elapsed(), 2000);
    EXPECT_EQ(comm.ComHandle(), 0u);
    EXPECT_EQ(events.Hangups, 0) << "a close is no failure";
}

TEST(CommLineSettings, closingPutsTheTerminalSettingsBackAsTheyWereFound) {
    testsupport::PtyDevice device;
    // A terminal left cooked at 4800 baud with echo, as a login or another program may leave it.
    termios found = device.PortAttributes();
    found.c_lflag |= ICANON | ECHO | ISIG;
    found.c_iflag |= ICRNL | IXON;
    found.c_oflag |= OPOST;
    found.c_cc[VMIN] = 4;
    cfsetspeed(&found, B4800);
    device.SetPortAttributes(found);
    found = device.PortAttributes();

    TComm comm;
    ApplyWindowSettings(comm, device.SlavePath());
    for (int round = 0; round < 2; ++round) {
        comm.OpenComm();
        const termios inForce = device.PortAttributes();
        EXPECT_FALSE(inForce.c_lflag & (ICANON | ECHO));
        EXPECT_EQ(cfgetospeed(&inForce), static_cast<speed_t>(B9600));
        comm.SetBaudRate(19200);  // a change while open is undone as well
        comm.CloseComm();
        comm.SetBaudRate(9600);

        const termios after = device.PortAttributes();
        EXPECT_EQ(after.c_iflag, found.c_iflag);
        EXPECT_EQ(after.c_oflag, found.c_oflag);
        EXPECT_EQ(after.c_cflag, found.c_cflag);
        EXPECT_EQ(after.c_lflag, found.c_lflag);
        EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
        EXPECT_EQ(std::memcmp(after.c_cc, found.c_cc, sizeof found.c_cc), 0);
    }
}
