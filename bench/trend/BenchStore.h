#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>

#include "battery/BatteryId.h"
#include "store/Schema.h"
#include "trend/TrendTypes.h"

namespace benchstore {

constexpr qint64 kPeriodMs = 10'000;
constexpr qint64 kDays = 30;
constexpr qint64 kStartMs = 1'780'000'000'000;
constexpr qint64 kEndMs = kStartMs + kDays * 24 * 3600 * 1000;

inline long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * sysconf(_SC_PAGESIZE);
}

// One battery's reading at `t`: voltage and temperature follow a daily cycle with a little noise
// around it, the way a battery bank in a room behaves; one reading in 5000 is abnormal.
// With `noisy`, a random walk over the whole scale instead: the worst case for drawing, as every
// pixel column then spans a tall band.
struct ReadingGenerator {
    explicit ReadingGenerator(int battery, bool noisy = false)
        : random(std::uint32_t(battery + 1)), noisy_(noisy), phase_(battery * 0.4) {}

    TrendSample At(qint64 t) {
        if (noisy_) {
            voltage_ = std::clamp(voltage_ + step_(random), 100, 150);
            temperature_ = std::clamp(temperature_ + step_(random), 150, 450);
        } else {
            const double day = 2 * 3.14159265358979 * double(t % 86'400'000) / 86'400'000.0;
            voltage_ = 125 + int(std::lround(3 * std::sin(day + phase_))) + small_(random);
            temperature_ = 250 + int(std::lround(40 * std::sin(day + phase_))) + 2 * small_(random);
        }
        const int status = random() % 5000 == 0 ? 0x71 : 0x11;
        return {t, std::int16_t(voltage_), std::int16_t(temperature_), std::uint8_t(status), false};
    }

    std::mt19937 random;

private:
    bool noisy_;
    double phase_;
    int voltage_ = 125;
    int temperature_ = 250;
    std::uniform_int_distribution<int> step_{-3, 3};
    std::uniform_int_distribution<int> small_{-1, 1};
};

// Thirty days of readings of all fourteen batteries at a 10 s period (3,628,800 rows), in the
// history file the store makes, with an occasional abnormal status and a few outages. Returns
// rows. Readings from `fromMs` to `toMs`, with no readings inside `outage` (empty by default),
// of `only` one battery when it is given.
inline qint64 FillStore(const QString& path, qint64 fromMs = kStartMs, qint64 toMs = kEndMs,
                        TimeRange outage = {},
                        std::optional<battery::BatteryId> only = std::nullopt) {
    QString error;
    if (!store::CreateHistoryFile(path, &error)) {
        std::fprintf(stderr, "cannot make the store: %s\n", qPrintable(error));
        return 0;
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO readings (t_ms, device, battery, status, voltage_dv,"
                       " temperature_dc) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                       -1, &insert, nullptr);
    qint64 rows = 0;
    for (const battery::BatteryId& id : battery::WatchedBatteries()) {
        if (only && id != *only) continue;
        ReadingGenerator generator(*battery::WatchedIndex(id));
        for (qint64 t = fromMs; t < toMs; t += kPeriodMs) {
            const TrendSample reading = generator.At(t);
            if (outage.Span() > 0 && outage.Contains(t)) continue;
            sqlite3_bind_int64(insert, 1, t);
            sqlite3_bind_int(insert, 2, id.device);
            sqlite3_bind_int(insert, 3, id.battery);
            sqlite3_bind_int(insert, 4, reading.status);
            sqlite3_bind_int(insert, 5, reading.voltageDv);
            sqlite3_bind_int(insert, 6, reading.temperatureDc);
            sqlite3_step(insert);
            sqlite3_reset(insert);
            ++rows;
        }
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rows;
}

}  // namespace benchstore
