// Measures, through a pseudo-terminal pair and through a loopback TCP connection (a serial
// device server), how long after the last byte of an answer the component delivers it (the read
// interval time-out is 20 ms, so that is the floor), and how much CPU the component uses while
// the port is open and idle.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serial/SerialComm.h"
#include "tests/common/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswers = 1000;
constexpr std::uint32_t kIntervalMs = 20;
constexpr int kIdleSeconds = 10;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * (values.size() - 1) + 0.5);
    return values[index];
}

// Sends kAnswers answers on `deviceFd` and returns, for each, the time from its last byte to
// its delivery by `comm`.
std::vector<double> MeasureDelivery(TComm& comm, int deviceFd) {
    std::vector<double> delaysMs;
    delaysMs.reserve(kAnswers);
    Clock::time_point lastByteSent;
    bool delivered = false;
    comm.OnReceiveData = [&](TComm*, const std::uint8_t*, std::uint16_t) {
        delaysMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - lastByteSent).count());
        delivered = true;
    };
    const std::uint8_t answer[11] = {0xA1, 0x04, 0x06, 0x00, 0x7D, 0x00,
                                     0xFA, 0x00, 0x01, 0x3C, 0x91};
    for (int i = 0; i < kAnswers; ++i) {
        delivered = false;
        if (write(deviceFd, answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) break;
        lastByteSent = Clock::now();
        while (!delivered) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        testsupport::RunEventLoopFor(std::chrono::milliseconds(2));  // a quiet line between answers
    }
    comm.OnReceiveData = nullptr;
    return delaysMs;
}

// The same figures over TCP: a loopback listener plays the device server.
std::vector<double> MeasureTcpDelivery() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return {};
    }
    TComm comm;
    comm.SetCommName(QStringLiteral("tcp://127.0.0.1:%1").arg(ntohs(address.sin_port)));
    comm.SetReadIntervalTimeout(kIntervalMs);
    comm.OpenComm();
    const int server = accept(listener, nullptr, nullptr);
    const int on = 1;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<double> delaysMs = MeasureDelivery(comm, server);
    comm.CloseComm();
    close(server);
    close(listener);
    return delaysMs;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);

    TComm comm;
    comm.SetCommName(QString::fromLocal8Bit(name));
    comm.SetOutx_CtsFlow(false);
    comm.SetOutx_DsrFlow(false);
    comm.SetReadIntervalTimeout(kIntervalMs);

    comm.OpenComm();
    const std::vector<double> delaysMs = MeasureDelivery(comm, master);

    const double cpuBefore = CpuSeconds();
    testsupport::RunEventLoopFor(std::chrono::seconds(kIdleSeconds));
    const double idleCpuMs = (CpuSeconds() - cpuBefore) * 1000.0;
    comm.CloseComm();
    close(master);
    close(slave);

    const double median = Percentile(delaysMs, 0.5);
    const double p99 = Percentile(delaysMs, 0.99);
    std::printf("%-44s %-16s %10s\n", "figure", "target", "measured");
    std::printf("%-44s %-16s %8.2f ms\n", "delivery delay after last byte, median", "20 ms +/- 2",
                median);
    std::printf("%-44s %-16s %8.2f ms\n", "delivery delay after last byte, p99", "20 ms +/- 2",
                p99);
    std::printf("%-44s %-16s %8.2f ms\n", "CPU time, port open and idle for 10 s", "near 0",
                idleCpuMs);
    const std::vector<double> tcpDelaysMs = MeasureTcpDelivery();
    if (tcpDelaysMs.size() != static_cast<std::size_t>(kAnswers)) return 1;
    const double tcpMedian = Percentile(tcpDelaysMs, 0.5);
    const double tcpP99 = Percentile(tcpDelaysMs, 0.99);
    std::printf("%-44s %-16s %8.2f ms\n", "over TCP, delivery delay, median", "20 ms +/- 2",
                tcpMedian);
    std::printf("%-44s %-16s %8.2f ms\n", "over TCP, delivery delay, p99", "20 ms +/- 2", tcpP99);
    std::printf("RESULT serial_delivery_median_ms %.3f\n", median);
    std::printf("RESULT serial_delivery_p99_ms %.3f\n", p99);
    std::printf("RESULT serial_idle_cpu_ms_per_10s %.3f\n", idleCpuMs);
    std::printf("RESULT serial_tcp_delivery_median_ms %.3f\n", tcpMedian);
    std::printf("RESULT serial_tcp_delivery_p99_ms %.3f\n", tcpP99);
    return 0;
}
