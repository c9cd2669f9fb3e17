#include "store/HistoryFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "store/DataDir.h"
#include "store/FaultText.h"
#include "store/Schema.h"

namespace store {
namespace {

// A free name beside `path` that says when and why the file was set aside.
QString AsideName(const QString& path) {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo::exists(candidate + "-wal"); ++n) {
        candidate = path + QStringLiteral(".corrupt-") + stamp + u'-' + QString::number(n);
    }
    return candidate;
}

}  // namespace

HistoryFile::HistoryFile(QString dataDir, Report report)
    : dataDir_(std::move(dataDir)),
      report_(std::move(report)),
      connectionName_(QStringLiteral("batmon-store-writer-") + QUuid::createUuid().toString()),
      lock_(dataDir_) {}

HistoryFile::~HistoryFile() { Close(); }

QSqlDatabase HistoryFile::Db() const { return QSqlDatabase::database(connectionName_, false); }

bool HistoryFile::Open() {
    if (open_) return true;
    if (!QDir().mkpath(dataDir_)) {
        report_(false, FaultMessage(SqliteFault::ReadOnly, {}, dataDir_));
        return false;
    }
    QString lockFailure;
    switch (lock_.Take(&lockFailure)) {
        case WriterLock::Outcome::Taken:
            break;
        case WriterLock::Outcome::HeldByAnother:
            report_(false, HeldByAnotherMessage());
            return false;
        case WriterLock::Outcome::ReadOnly:
            report_(false, FaultMessage(SqliteFault::ReadOnly, {}, dataDir_));
            return false;
        case WriterLock::Outcome::Failed:
            report_(false, FaultMessage(SqliteFault::Other, lockFailure, dataDir_));
            return false;
    }
    // A corrupt file is set aside once; a new file that fails its check too is a fault.
    for (int attempt = 0; attempt < 2; ++attempt) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
        db.setDatabaseName(HistoryFilePath(dataDir_));
        if (!db.open()) {
            const QSqlError error = db.lastError();
            db = {};
            Close();
            report_(false, FaultMessage(ClassifyError(error), error.databaseText(), dataDir_));
            return false;
        }
        const SchemaStatus status = PrepareForWriting(db, true);
        db = {};
        if (status.kind == SchemaStatus::Kind::Ready) {
            open_ = true;
            return true;
        }
        CloseConnection();
        if (status.kind == SchemaStatus::Kind::Corrupt && attempt == 0) {
            if (!MoveAside()) return false;
            continue;
        }
        lock_.Release();
        if (status.kind == SchemaStatus::Kind::NewerVersion) {
            report_(false, NewerVersionMessage(status.version));
        } else {
            report_(false, FaultMessage(ClassifyError(status.error), status.error.databaseText(),
                                        dataDir_));
        }
        return false;
    }
    return false;
}

void HistoryFile::Close() {
    CloseConnection();
    lock_.Release();
}

void HistoryFile::CloseConnection() {
    open_ = false;
    if (!QSqlDatabase::contains(connectionName_)) return;
    QSqlDatabase::database(connectionName_, false).close();
    QSqlDatabase::removeDatabase(connectionName_);
}

bool HistoryFile::SetAsideCorrupt() {
    CloseConnection();
    return MoveAside();
}

// Renames the database and its journal files aside; never deletes them.
bool HistoryFile::MoveAside() {
    const QString path = HistoryFilePath(dataDir_);
    const QString aside = AsideName(path);
    if (!QFile::rename(path, aside)) {
        report_(false, CorruptNotMovedMessage(path));
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        if (QFileInfo::exists(path + suffix)) QFile::rename(path + suffix, aside + suffix);
    }
    report_(true, CorruptMovedAsideMessage(QFileInfo(aside).fileName()));
    return true;
}

}  // namespace store
