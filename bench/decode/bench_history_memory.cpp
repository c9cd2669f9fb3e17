// Appends 1,000,000 readings to a history table and reports the resident-set growth per
// record, the record store's own size per record, and the append and cell-read speeds.
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

#include "display/HistoryGridModel.h"
#include "display/HistoryTables.h"

namespace {

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * sysconf(_SC_PAGESIZE);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using Clock = std::chrono::steady_clock;
    constexpr int kRecords = 1'000'000;

    HistoryGridModel table;
    table.Cell(0, 0);
    const long before = ResidentBytes();

    const auto appendStart = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
        const auto raw = static_cast<std::uint16_t>(i % 65536);
        const BatteryReading reading{(i % 256) / 10.0, raw / 10.0, 0x11,
                                     static_cast<std::uint8_t>(i % 256), raw};
        AppendHistoryRecord(table, 9, reading, 1'700'000'000 + i);
    }
    const double appendNs =
        std::chrono::duration<double, std::nano>(Clock::now() - appendStart).count() / kRecords;
    const long after = ResidentBytes();

    std::mt19937 random(1);
    std::uniform_int_distribution<int> anyRow(1, kRecords);
    constexpr int kReads = 200'000;
    qsizetype characters = 0;
    const auto readStart = Clock::now();
    for (int i = 0; i < kReads; ++i) characters += table.Cell(i % 4, anyRow(random)).size();
    const double readNs =
        std::chrono::duration<double, std::nano>(Clock::now() - readStart).count() / kReads;

    const double rssPerRecord = static_cast<double>(after - before) / kRecords;
    const double storePerRecord = static_cast<double>(table.RecordStorageBytes()) / kRecords;
    std::printf("records                 %d\n", kRecords);
    std::printf("resident growth         %ld bytes\n", after - before);
    std::printf("resident per record     %.2f bytes\n", rssPerRecord);
    std::printf("record store per record %.2f bytes\n", storePerRecord);
    std::printf("append                  %.1f ns per record\n", appendNs);
    std::printf("cell read               %.1f ns per cell (%lld chars)\n", readNs,
                static_cast<long long>(characters));
    std::printf("RESULT history_bytes_per_record %.2f\n", rssPerRecord);
    return 0;
}
