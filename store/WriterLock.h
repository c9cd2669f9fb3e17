#pragma once

#include <QString>

namespace store {

// Only one program writes a data folder: an exclusive lock on a file beside the database, held
// for as long as the file is open and released by the kernel if the program dies.
class WriterLock {
public:
    enum class Outcome { Taken, HeldByAnother, ReadOnly, Failed };

    explicit WriterLock(QString dataDir) : dataDir_(std::move(dataDir)) {}
    ~WriterLock() { Release(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    // Taken when this object holds the lock already. `failure` is the system's text for Failed.
    Outcome Take(QString* failure);
    void Release();

private:
    QString dataDir_;
    int fd_ = -1;
};

}  // namespace store
