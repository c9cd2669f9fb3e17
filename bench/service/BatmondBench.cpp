// batmond's own cost while it monitors: CPU share of one core and resident memory over a run
// against the simulated bus, with its store and, when a broker is given, publishing.
//
// bench_batmond <seconds> <period s> [mqtt URL]
// Prints RESULT lines: batmond_cpu_percent_p<period> (whole run after start-up) and
// batmond_rss_mb_p<period> (at the end), and the growth over the run as information: a minute or
// two is too short to tell a month's growth from noise, which bench_station_month measures over
// a simulated month instead.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <vector>

#include "tools/simctl/SimProcess.h"

namespace {

double CpuSeconds(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the command name.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

double RssMb(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    return -1;
}

double Slope(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = double(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double d = n * sxx - sx * sx;
    return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 90;
    const int period = argc > 2 ? atoi(argv[2]) : 10;
    const QString mqtt = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();

    SimProcess sim;
    if (!sim.StartTcp()) {
        std::fprintf(stderr, "sim: %s\n", qPrintable(sim.ErrorText()));
        return 1;
    }
    QTemporaryDir dir;
    QStringList arguments{QStringLiteral("--port"),     sim.PortPath(),
                          QStringLiteral("--period"),   QString::number(period),
                          QStringLiteral("--data-dir"), dir.path(),
                          QStringLiteral("--site"),     QStringLiteral("bench")};
    if (!mqtt.isEmpty()) arguments << QStringLiteral("--mqtt") << mqtt;

    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<QByteArray> storage{QByteArray(BATMOND_PATH)};
        for (const QString& a : arguments) storage.push_back(a.toLocal8Bit());
        std::vector<char*> args;
        for (QByteArray& s : storage) args.push_back(s.data());
        args.push_back(nullptr);
        freopen("/dev/null", "w", stderr);
        execv(args[0], args.data());
        _exit(127);
    }

    using Clock = std::chrono::steady_clock;
    // Measured from batmond's first request on the bus: its start-up (store, port) is left out.
    const auto startedBy = Clock::now() + std::chrono::seconds(10);
    const auto polling = [&sim] {
        for (const SimLogEntry& e : sim.ReadLog())
            if (e.dir == QStringLiteral("rx")) return true;
        return false;
    };
    while (!polling()) {
        if (Clock::now() > startedBy) {
            std::fprintf(stderr, "batmond sent no request within 10 s\n");
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return 1;
        }
        QThread::msleep(50);
    }
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds(pid);
    std::vector<double> times, rss;
    // A memory sample every 2 s over the measuring window.
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        QThread::sleep(2);
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        rss.push_back(RssMb(pid));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = (CpuSeconds(pid) - cpuStart) / elapsed * 100;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);

    // The slope of the second half, after the store's page cache and the allocator have settled.
    const std::size_t half = times.size() / 2;
    const double slopeMbPerS = Slope(std::vector<double>(times.begin() + half, times.end()),
                                     std::vector<double>(rss.begin() + half, rss.end()));
    std::printf(
        "batmond at a %d s period for %.0f s%s: CPU %.3f %% of a core, RSS %.1f MB at the "
        "end (%.1f at the start), growth %.1f KB/h; exit %s\n",
        period, elapsed, mqtt.isEmpty() ? "" : " with a broker", cpu, rss.back(), rss.front(),
        slopeMbPerS * 3600 * 1024,
        WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "0" : "not clean");
    std::printf("RESULT batmond_cpu_percent_p%d %.3f\n", period, cpu);
    std::printf("RESULT batmond_rss_mb_p%d %.1f\n", period, rss.back());
    return 0;
}
