#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <QString>
#include <cstdio>
#include <fstream>
#include <random>

#include "trend/Batteries.h"

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

// Thirty days of readings of all fourteen batteries at a 10 s period (3,628,800 rows), in the
// store's table layout, with an occasional abnormal status and a few outages. Returns rows.
inline qint64 FillStore(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                 "CREATE TABLE readings (t_ms INTEGER NOT NULL, device INTEGER NOT NULL,"
                 " battery INTEGER NOT NULL, status INTEGER NOT NULL, voltage_dv INTEGER NOT NULL,"
                 " temperature_dc INTEGER NOT NULL, PRIMARY KEY (device, battery, t_ms))"
                 " WITHOUT ROWID; BEGIN",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO readings VALUES (?1, ?2, ?3, ?4, ?5, ?6)", -1, &insert,
                       nullptr);
    std::mt19937 random(1);
    std::uniform_int_distribution<int> noise(-3, 3);
    qint64 rows = 0;
    for (const BatteryId& id : AllBatteries()) {
        int voltage = 125;
        int temperature = 250;
        for (qint64 t = kStartMs; t < kEndMs; t += kPeriodMs) {
            voltage = std::clamp(voltage + noise(random), 100, 150);
            temperature = std::clamp(temperature + noise(random), 150, 450);
            const int status = random() % 5000 == 0 ? 0x71 : 0x11;
            sqlite3_bind_int64(insert, 1, t);
            sqlite3_bind_int(insert, 2, id.device);
            sqlite3_bind_int(insert, 3, id.battery);
            sqlite3_bind_int(insert, 4, status);
            sqlite3_bind_int(insert, 5, voltage);
            sqlite3_bind_int(insert, 6, temperature);
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
