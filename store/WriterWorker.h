#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>
#include <cerrno>
#include <condition_variable>
#include <optional>

#include "store/DataDir.h"
#include "store/HistoryWriter.h"
#include "store/Schema.h"

// The writer thread's side of HistoryWriter: the connection, the lock and what is not yet
// written. Only HistoryWriter.cpp includes this.
namespace store {

namespace writerdetail {

inline const QString kRetryNote = QStringLiteral(", 每个采样周期重试");

inline QString FaultMessage(SqliteFault fault, const QString& detail, const QString& dataDir) {
    switch (fault) {
        case SqliteFault::DiskFull:
            return QStringLiteral("历史记录无法写入: 磁盘已满") + kRetryNote;
        case SqliteFault::ReadOnly:
            return QStringLiteral("历史记录无法写入: 数据文件夹 %1 只读").arg(dataDir) + kRetryNote;
        case SqliteFault::Busy:
            return QStringLiteral("历史记录无法写入: 数据文件正被另一个程序使用") + kRetryNote;
        default:
            return QStringLiteral("历史记录无法写入: %1").arg(detail) + kRetryNote;
    }
}

// A free name beside `path` that says when and why the file was set aside.
inline QString AsideName(const QString& path) {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo::exists(candidate + "-wal"); ++n) {
        candidate = path + QStringLiteral(".corrupt-") + stamp + u'-' + QString::number(n);
    }
    return candidate;
}

}  // namespace writerdetail

// The writer thread's side: owns the connection, the lock and everything not yet written.
class WriterWorker : public QObject {
    Q_OBJECT
public:
    WriterWorker(HistoryWriter* owner, QString dataDir)
        : owner_(owner),
          dataDir_(std::move(dataDir)),
          connectionName_(QStringLiteral("batmon-store-writer-%1")
                              .arg(reinterpret_cast<quintptr>(this), 0, 16)) {}

    void Initialise() {
        retryTimer_ = new QTimer(this);
        retryTimer_->setInterval(retryPeriod_);
        QObject::connect(retryTimer_, &QTimer::timeout, this, [this] { Attempt(); });
        Attempt();
    }

    // Takes what was handed over; writes it unless a fault is waiting for its retry.
    void Drain(bool force) {
        TakeHandOver();
        if (failing_ && !force) return;
        Attempt();
    }

    void Attempt() {
        TakeHandOver();
        if (WritePending()) {
            failing_ = false;
            if (retryTimer_) retryTimer_->stop();
        } else {
            failing_ = true;
            if (retryTimer_ && !retryTimer_->isActive()) retryTimer_->start();
        }
    }

    void SetRetryPeriod(std::chrono::milliseconds period) {
        retryPeriod_ = period;
        if (retryTimer_) retryTimer_->setInterval(period);
    }

    void SetOutboxEnabled(bool enabled) { outboxEnabled_ = enabled; }

    bool AllWritten() const { return pendingReadings_.empty() && pendingAlarms_.empty(); }

    void MarkPublished(const std::vector<qint64>& seqs) {
        if (!EnsureOpen()) return;
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        db.transaction();
        QSqlQuery remove(db);
        remove.prepare(QStringLiteral("DELETE FROM mqtt_outbox WHERE seq = ?"));
        for (qint64 seq : seqs) {
            remove.bindValue(0, seq);
            remove.exec();
        }
        if (!db.commit()) db.rollback();
    }

    void DeleteReadingsBefore(qint64 cutoffMs) {
        if (!EnsureOpen()) return;
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        qint64 deleted = 0;
        if (!db.transaction()) return;
        QSqlQuery remove(db);
        // One range per battery, so each delete walks only the key range it removes.
        remove.prepare(
            QStringLiteral("DELETE FROM readings WHERE device = ? AND battery = ? AND t_ms < ?"));
        bool ok = true;
        for (const std::uint8_t device : battery::kDevices) {
            for (int battery = 0; battery < battery::kBatteriesPerDevice && ok; ++battery) {
                remove.bindValue(0, device);
                remove.bindValue(1, battery);
                remove.bindValue(2, cutoffMs);
                ok = remove.exec();
                deleted += remove.numRowsAffected();
            }
        }
        QSqlQuery outbox(db);
        ok = ok &&
             outbox.exec(QStringLiteral("DELETE FROM mqtt_outbox WHERE t_ms < %1").arg(cutoffMs));
        if (ok && db.commit()) {
            ToOwner([o = owner_, deleted] { emit o->ReadingsDeleted(deleted); });
        } else {
            db.rollback();
        }
    }

    void Close() {
        if (retryTimer_) {
            retryTimer_->stop();
            delete retryTimer_;
            retryTimer_ = nullptr;
        }
        CloseDatabase();
        ReleaseLock();
    }

private:
    void TakeHandOver() {
        std::vector<battery::Reading> readings;
        std::vector<alarms::AlarmEvent> alarms;
        {
            std::lock_guard lock(owner_->handOverMutex_);
            readings.swap(owner_->handOverReadings_);
            alarms.swap(owner_->handOverAlarms_);
            owner_->wakePosted_ = false;
        }
        if (pendingReadings_.empty()) {
            pendingReadings_ = std::move(readings);
        } else {
            pendingReadings_.insert(pendingReadings_.end(), readings.begin(), readings.end());
        }
        pendingAlarms_.insert(pendingAlarms_.end(), alarms.begin(), alarms.end());
    }

    // Opens the file when needed (so a fault shows even before the first reading) and writes
    // everything pending.
    bool WritePending() {
        if (!EnsureOpen()) return false;
        if (AllWritten()) {
            if (!lastWriting_) Report(true, QStringLiteral("历史记录恢复写入"));
            return true;
        }
        QSqlError error;
        if (!WriteTransaction(&error) && ClassifyError(error) == SqliteFault::Corrupt) {
            // The file broke under us: set it aside and write into a new one.
            CloseDatabase();
            if (!MoveAside() || !EnsureOpen()) return false;
            error = {};
            WriteTransaction(&error);
        }
        if (error.isValid()) {
            Report(false, writerdetail::FaultMessage(ClassifyError(error), error.databaseText(),
                                                     dataDir_));
            return false;
        }
        const qint64 written = static_cast<qint64>(pendingReadings_.size());
        pendingReadings_.clear();
        pendingAlarms_.clear();
        owner_->unwritten_.fetch_sub(written, std::memory_order_relaxed);
        totalWritten_ += written;
        if (!lastWriting_)
            Report(true, QStringLiteral("历史记录恢复写入, 已补写 %1 条").arg(written));
        ToOwner([o = owner_, total = totalWritten_] { emit o->Committed(total); });
        return true;
    }

    // Everything pending in one transaction; on failure nothing is kept from it.
    bool WriteTransaction(QSqlError* error) {
        // BEGIN and COMMIT as statements of their own: QSqlDatabase::commit() reports a failure
        // without SQLite's error code, which tells a full disk from the rest.
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        QSqlQuery control(db);
        if (!control.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            *error = control.lastError();
            return false;
        }
        auto fail = [&](const QSqlError& e) {
            *error = e;
            control.exec(QStringLiteral("ROLLBACK"));
            return false;
        };
        for (const battery::Reading& r : pendingReadings_) {
            // The file holds only the polled batteries; anything else could never be written
            // and must not hold up the readings behind it.
            if (!battery::IsBusBattery(r.Id())) continue;
            // A reading whose battery and millisecond are taken already (the clock was set
            // back) moves on by a millisecond instead of replacing or losing either one.
            qint64 t = r.t_ms;
            for (int nudge = 0;; ++nudge, ++t) {
                insertReading_->bindValue(0, r.device);
                insertReading_->bindValue(1, r.battery);
                insertReading_->bindValue(2, t);
                insertReading_->bindValue(3, r.status);
                insertReading_->bindValue(4, r.voltage_dv);
                insertReading_->bindValue(5, r.temperature_dc);
                if (!insertReading_->exec()) return fail(insertReading_->lastError());
                if (insertReading_->numRowsAffected() > 0) break;
                if (nudge >= 1000) return fail(QSqlError(QString(), QStringLiteral("时间戳冲突")));
            }
            if (outboxEnabled_) {
                insertOutbox_->bindValue(0, r.device);
                insertOutbox_->bindValue(1, r.battery);
                insertOutbox_->bindValue(2, t);
                if (!insertOutbox_->exec()) return fail(insertOutbox_->lastError());
            }
        }
        for (const alarms::AlarmEvent& a : pendingAlarms_) {
            insertAlarm_->bindValue(0, qint64{a.tMs});
            insertAlarm_->bindValue(1, a.key.battery.device);
            insertAlarm_->bindValue(2, a.key.battery.battery);
            insertAlarm_->bindValue(3, alarms::KindId(a.key.kind));
            insertAlarm_->bindValue(4, alarms::StateId(a.state));
            insertAlarm_->bindValue(5, a.value.value_or(0));
            insertAlarm_->bindValue(6, a.user.isNull() ? QStringLiteral("") : a.user);
            if (!insertAlarm_->exec()) return fail(insertAlarm_->lastError());
        }
        if (!control.exec(QStringLiteral("COMMIT"))) return fail(control.lastError());
        return true;
    }

    bool EnsureOpen() {
        if (opened_) return true;
        if (!QDir().mkpath(dataDir_)) {
            Report(false, writerdetail::FaultMessage(SqliteFault::ReadOnly, {}, dataDir_));
            return false;
        }
        if (!TakeLock()) return false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
            db.setDatabaseName(HistoryFilePath(dataDir_));
            if (!db.open()) {
                const QSqlError error = db.lastError();
                db = {};
                CloseDatabase();
                ReleaseLock();
                Report(false, writerdetail::FaultMessage(ClassifyError(error), error.databaseText(),
                                                         dataDir_));
                return false;
            }
            const SchemaStatus status = PrepareForWriting(db, true);
            if (status.kind == SchemaStatus::Kind::Ready) {
                PrepareStatements(db);
                opened_ = true;
                return true;
            }
            db = {};
            CloseDatabase();
            if (status.kind == SchemaStatus::Kind::Corrupt && attempt == 0) {
                if (!MoveAside()) return false;
                continue;
            }
            ReleaseLock();
            if (status.kind == SchemaStatus::Kind::NewerVersion) {
                Report(false, QStringLiteral("历史记录无法写入: 数据文件由更新版本的 batmon 写入 "
                                             "(版本 %1), 本程序不改动它")
                                      .arg(status.version) +
                                  writerdetail::kRetryNote);
            } else {
                Report(false, writerdetail::FaultMessage(ClassifyError(status.error),
                                                         status.error.databaseText(), dataDir_));
            }
            return false;
        }
        return false;
    }

    void PrepareStatements(QSqlDatabase& db) {
        insertReading_.emplace(db);
        insertReading_->prepare(
            QStringLiteral("INSERT OR IGNORE INTO readings (device, battery, t_ms, status, "
                           "voltage_dv, temperature_dc) VALUES (?, ?, ?, ?, ?, ?)"));
        insertOutbox_.emplace(db);
        insertOutbox_->prepare(
            QStringLiteral("INSERT INTO mqtt_outbox (device, battery, t_ms) VALUES (?, ?, ?)"));
        insertAlarm_.emplace(db);
        insertAlarm_->prepare(
            QStringLiteral("INSERT INTO alarms (t_ms, device, battery, kind, state, value, user) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)"));
    }

    // Only one program writes a data folder: an exclusive lock on a file beside the database,
    // held for as long as the file is open, released by the kernel if the program dies.
    bool TakeLock() {
        if (lockFd_ >= 0) return true;
        const QByteArray path = QFile::encodeName(LockFilePath(dataDir_));
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            const bool readOnly = errno == EROFS || errno == EACCES || errno == EPERM;
            Report(false, readOnly ? writerdetail::FaultMessage(SqliteFault::ReadOnly, {}, dataDir_)
                                   : writerdetail::FaultMessage(
                                         SqliteFault::Other,
                                         QString::fromLocal8Bit(strerror(errno)), dataDir_));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            Report(false,
                   QStringLiteral("历史记录无法写入: 数据文件正被另一个运行中的 batmon 使用") +
                       writerdetail::kRetryNote);
            return false;
        }
        lockFd_ = fd;
        return true;
    }

    void ReleaseLock() {
        if (lockFd_ < 0) return;
        ::close(lockFd_);
        lockFd_ = -1;
    }

    void CloseDatabase() {
        insertReading_.reset();
        insertOutbox_.reset();
        insertAlarm_.reset();
        opened_ = false;
        if (QSqlDatabase::contains(connectionName_)) {
            QSqlDatabase::database(connectionName_, false).close();
            QSqlDatabase::removeDatabase(connectionName_);
        }
    }

    // Renames the database and its journal files aside; never deletes them.
    bool MoveAside() {
        const QString path = HistoryFilePath(dataDir_);
        const QString aside = writerdetail::AsideName(path);
        if (!QFile::rename(path, aside)) {
            Report(false, QStringLiteral("历史记录文件已损坏, 且无法改名保存 (%1)").arg(path) +
                              writerdetail::kRetryNote);
            return false;
        }
        for (const char* suffix : {"-wal", "-shm"}) {
            if (QFileInfo::exists(path + suffix)) QFile::rename(path + suffix, aside + suffix);
        }
        Report(true, QStringLiteral("历史记录文件已损坏, 已改名保存为 %1, 已新建历史记录文件")
                         .arg(QFileInfo(aside).fileName()));
        return true;
    }

    void Report(bool writing, const QString& message) {
        if (writing == lastWriting_ && message == lastMessage_) return;
        lastWriting_ = writing;
        lastMessage_ = message;
        owner_->healthy_.store(writing, std::memory_order_relaxed);
        ToOwner([o = owner_, writing, message] { emit o->HealthChanged(writing, message); });
    }

    // The writer's signals are emitted on the thread the writer object lives on, so receivers
    // there (the window, tests) need no locking.
    void ToOwner(std::function<void()> job) {
        {
            std::lock_guard lock(owner_->jobsMutex_);
            owner_->ownerJobs_.push_back(std::move(job));
        }
        QMetaObject::invokeMethod(owner_, "RunOwnerJobs", Qt::QueuedConnection);
    }

public slots:
    void RunWriterJobs() {
        std::vector<std::function<void(WriterWorker&)>> jobs;
        {
            std::lock_guard lock(owner_->jobsMutex_);
            jobs.swap(owner_->writerJobs_);
        }
        for (auto& job : jobs) job(*this);
    }

private:
    HistoryWriter* owner_;
    QString dataDir_;
    QString connectionName_;
    QTimer* retryTimer_ = nullptr;
    std::chrono::milliseconds retryPeriod_{10000};
    bool outboxEnabled_ = false;
    bool opened_ = false;
    bool failing_ = false;
    int lockFd_ = -1;
    std::optional<QSqlQuery> insertReading_;
    std::optional<QSqlQuery> insertOutbox_;
    std::optional<QSqlQuery> insertAlarm_;
    std::vector<battery::Reading> pendingReadings_;
    std::vector<alarms::AlarmEvent> pendingAlarms_;
    qint64 totalWritten_ = 0;
    bool lastWriting_ = true;
    QString lastMessage_;
};

}  // namespace store
