// Measures, through a pseudo-terminal pair, how long after the last byte of an answer the
// component delivers it (the read interval time-out is 20 ms, so that is the floor), and how
// much CPU the component uses while the port is open and idle.
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serial/SerialComm.h"

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

void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * (values.size() - 1) + 0.5);
    return values[index];
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

    std::vector<double> delaysMs;
    delaysMs.reserve(kAnswers);
    Clock::time_point lastByteSent;
    bool delivered = false;
    comm.OnReceiveData = [&](TComm*, const std::uint8_t*, std::uint16_t) {
        delaysMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - lastByteSent).count());
        delivered = true;
    };
    comm.OpenComm();

    const std::uint8_t answer[11] = {0xA1, 0x04, 0x06, 0x00, 0x7D, 0x00,
                                     0xFA, 0x00, 0x01, 0x3C, 0x91};
    for (int i = 0; i < kAnswers; ++i) {
        delivered = false;
        lastByteSent = Clock::now();
        if (write(master, answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) return 1;
        lastByteSent = Clock::now();
        while (!delivered) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        RunEventLoopFor(std::chrono::milliseconds(2));  // a quiet line between answers
    }

    const double cpuBefore = CpuSeconds();
    RunEventLoopFor(std::chrono::seconds(kIdleSeconds));
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
    std::printf("RESULT serial_delivery_median_ms %.3f\n", median);
    std::printf("RESULT serial_delivery_p99_ms %.3f\n", p99);
    std::printf("RESULT serial_idle_cpu_ms_per_10s %.3f\n", idleCpuMs);
    return 0;
}
