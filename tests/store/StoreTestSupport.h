#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "battery/Reading.h"

namespace storetest {

// Reading number i of the sequence the writer child and the tests use: the fourteen polled
// batteries in turn, one cycle every 100 ms from kBaseMs.
inline constexpr qint64 kBaseMs = 1'700'000'000'000;
battery::Reading SequenceReading(qint64 i);
std::vector<battery::Reading> Sequence(qint64 first, qint64 count);

// A connection of the test's own to a history file, independent of the writer's.
class FileProbe {
public:
    explicit FileProbe(const QString& filePath);
    ~FileProbe();
    qint64 CountReadings();
    bool Contains(const battery::Reading& reading);
    std::vector<battery::Reading> AllReadings();  // by device, battery, time
    qint64 CountAlarms();
    QString IntegrityCheck();
    QSqlDatabase Db();

private:
    QString name_;
};

// Writes `count` readings of the sequence straight into a new history file (fast bulk load
// for the reader, export and memory tests).
void BulkLoad(const QString& dataDir, qint64 first, qint64 count);

// A tmpfs of `kilobytes` mounted on a fresh folder for the life of the object; Mounted() is
// false (and SkipReason() says why) where mounting is not possible.
class SmallTmpfs {
public:
    explicit SmallTmpfs(int kilobytes);
    ~SmallTmpfs();
    bool Mounted() const { return mounted_; }
    QString SkipReason() const { return skipReason_; }
    QString Path() const { return dir_.path(); }
    bool Remount(const QString& options);  // e.g. "size=4m", "ro", "rw"

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    QString skipReason_;
};

}  // namespace storetest
