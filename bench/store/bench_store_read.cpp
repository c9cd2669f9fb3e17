// Reading the history back: the start-up restore of 24 h out of a million readings, and
// batmon-export of all million to a file (time and peak memory of the program).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench/store/BenchReadings.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        const auto readings = CycleReadings(1'000'000, 10'000, now);
        writer.Append(readings);
        writer.Flush();
    }

    std::vector<double> restoreMs;
    std::size_t restored = 0;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        store::HistoryReader reader(store::HistoryFilePath(dir.path()));
        restored = reader.LoadRecentHours(24, now).size();
        restoreMs.push_back(Ms(Clock::now() - t0));
    }
    std::sort(restoreMs.begin(), restoreMs.end());
    std::printf(
        "Restore of 24 h (%zu of 1000000 readings), open included: median %.1f ms, "
        "max %.1f ms\n",
        restored, restoreMs[2], restoreMs.back());
    std::printf("RESULT store_restore_24h_ms %.1f\n", restoreMs[2]);

    const QByteArray dataDir = dir.path().toLocal8Bit();
    const QByteArray out = dir.filePath("all.csv").toLocal8Bit();
    std::vector<const char*> args = {BATMON_EXPORT, "--data-dir",    dataDir.constData(),
                                     "-o",          out.constData(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto t0 = Clock::now();
    if (posix_spawn(&pid, BATMON_EXPORT, &actions, nullptr, const_cast<char**>(args.data()),
                    environ) != 0) {
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double exportMs = Ms(Clock::now() - t0);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    std::printf("batmon-export of 1000000 readings: %.0f ms, %lld bytes of CSV, peak RSS %.1f MB\n",
                exportMs, static_cast<long long>(QFileInfo(QString::fromLocal8Bit(out)).size()),
                usage.ru_maxrss / 1024.0);
    std::printf("RESULT store_export_1m_ms %.0f\n", exportMs);
    std::printf("RESULT store_export_rss_mb %.1f\n", usage.ru_maxrss / 1024.0);
    return 0;
}
