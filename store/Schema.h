#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

namespace store {

// Version of the file layout, kept in PRAGMA user_version. A file of a higher version was
// written by a later program and is never written by this one; a file of an earlier version is
// upgraded in place when it is opened for writing.
inline constexpr int kSchemaVersion = 4;

// The SQLite failure behind a Qt SQL error, as far as the store reacts to it.
enum class SqliteFault { None, DiskFull, ReadOnly, Busy, Corrupt, Other };
SqliteFault ClassifyError(const QSqlError& error);

struct SchemaStatus {
    enum class Kind { Ready, NewerVersion, Corrupt, Failed };
    Kind kind = Kind::Failed;
    int version = 0;
    QSqlError error;
};

// Sets the writing connection's pragmas (WAL, synchronous=FULL), checks the file, creates the
// tables of an empty file and upgrades a file of an earlier version, keeping every row.
// `thoroughCheck` runs PRAGMA quick_check over the whole file.
SchemaStatus PrepareForWriting(QSqlDatabase& db, bool thoroughCheck);

// Reads the version of an open file; -1 when it cannot be read.
int ReadSchemaVersion(QSqlDatabase& db);

// Makes an empty history file of the current version at `path` (or brings the one there up to
// date) and closes it again: for programs that fill a file in bulk, such as benchmarks.
bool CreateHistoryFile(const QString& path, QString* error = nullptr);

}  // namespace store
