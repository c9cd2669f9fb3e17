#pragma once

#include <QSqlDatabase>
#include <QString>
#include <functional>

#include "store/WriterLock.h"

namespace store {

// The writer's connection to the history file: opened under the folder's lock, checked, made or
// upgraded to the current version, and set aside when it is corrupt. Every fault is reported
// once through `report` (writing or not, and one line for the operator).
class HistoryFile {
public:
    using Report = std::function<void(bool writing, const QString& message)>;

    HistoryFile(QString dataDir, Report report);
    ~HistoryFile();
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    // Opens the file unless it is open; false when it cannot be written now. A corrupt file is
    // renamed aside and a new one started.
    bool Open();
    bool IsOpen() const { return open_; }
    QSqlDatabase Db() const;
    const QString& DataDir() const { return dataDir_; }

    // Closes the connection and releases the lock. Statements prepared on the connection must be
    // gone first.
    void Close();
    // For a file that broke while open: closes it (keeping the lock) and renames it and its
    // journal files aside, never deleting them, so that the next Open starts a new one.
    // Statements prepared on the connection must be gone first.
    bool SetAsideCorrupt();

private:
    void CloseConnection();
    bool MoveAside();

    QString dataDir_;
    Report report_;
    QString connectionName_;
    WriterLock lock_;
    bool open_ = false;
};

}  // namespace store
