#include "tests/store/StoreTestSupport.h"

#include <sys/mount.h>
#include <unistd.h>

#include <QSqlError>
#include <QSqlQuery>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "battery/PollRoute.h"
#include "store/DataDir.h"
#include "store/Schema.h"

namespace storetest {

battery::Reading SequenceReading(qint64 i) {
    const int step = static_cast<int>(i % 14) + 1;
    return battery::MakeReading(battery::BatteryOfStep(step), kBaseMs + i / 14 * 100, 0x11,
                                static_cast<std::uint8_t>(i % 200),
                                static_cast<std::uint16_t>(i % 1000));
}

std::vector<battery::Reading> Sequence(qint64 first, qint64 count) {
    std::vector<battery::Reading> readings;
    readings.reserve(static_cast<std::size_t>(count));
    for (qint64 i = first; i < first + count; ++i) readings.push_back(SequenceReading(i));
    return readings;
}

namespace {
std::atomic<int> probeCounter{0};
}

FileProbe::FileProbe(const QString& filePath)
    : name_(QStringLiteral("store-test-probe-%1").arg(probeCounter.fetch_add(1))) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    db.setDatabaseName(filePath);
    if (!db.open()) throw std::runtime_error(db.lastError().text().toStdString());
}

FileProbe::~FileProbe() {
    QSqlDatabase::database(name_, false).close();
    QSqlDatabase::removeDatabase(name_);
}

QSqlDatabase FileProbe::Db() { return QSqlDatabase::database(name_, false); }

qint64 FileProbe::CountReadings() {
    QSqlQuery q(Db());
    if (!q.exec(QStringLiteral("SELECT count(*) FROM readings")) || !q.next()) return -1;
    return q.value(0).toLongLong();
}

qint64 FileProbe::CountAlarms() {
    QSqlQuery q(Db());
    if (!q.exec(QStringLiteral("SELECT count(*) FROM alarms")) || !q.next()) return -1;
    return q.value(0).toLongLong();
}

bool FileProbe::Contains(const battery::Reading& r) {
    QSqlQuery q(Db());
    q.prepare(
        QStringLiteral("SELECT status, voltage_dv, temperature_dc FROM readings "
                       "WHERE device = ? AND battery = ? AND t_ms = ?"));
    q.addBindValue(r.device);
    q.addBindValue(r.battery);
    q.addBindValue(r.tMs);
    if (!q.exec() || !q.next()) return false;
    return q.value(0).toUInt() == r.status && q.value(1).toUInt() == r.voltageDv &&
           q.value(2).toUInt() == r.temperatureDc;
}

std::vector<battery::Reading> FileProbe::AllReadings() {
    std::vector<battery::Reading> all;
    QSqlQuery q(Db());
    q.exec(
        QStringLiteral("SELECT t_ms, device, battery, status, voltage_dv, temperature_dc "
                       "FROM readings ORDER BY device, battery, t_ms"));
    while (q.next()) {
        all.push_back({q.value(0).toLongLong(), static_cast<std::uint8_t>(q.value(1).toUInt()),
                       static_cast<std::uint8_t>(q.value(2).toUInt()),
                       static_cast<std::uint8_t>(q.value(3).toUInt()),
                       static_cast<std::uint8_t>(q.value(4).toUInt()),
                       static_cast<std::uint16_t>(q.value(5).toUInt())});
    }
    return all;
}

QString FileProbe::IntegrityCheck() {
    QSqlQuery q(Db());
    if (!q.exec(QStringLiteral("PRAGMA integrity_check")) || !q.next()) {
        return q.lastError().text();
    }
    return q.value(0).toString();
}

void BulkLoad(const QString& dataDir, qint64 first, qint64 count) {
    const QString name = QStringLiteral("store-test-bulk-%1").arg(probeCounter.fetch_add(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(store::HistoryFilePath(dataDir));
        if (!db.open()) throw std::runtime_error("cannot open for bulk load");
        if (store::PrepareForWriting(db, false).kind != store::SchemaStatus::Kind::Ready) {
            throw std::runtime_error("cannot prepare for bulk load");
        }
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA synchronous = OFF"));
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("INSERT INTO readings VALUES (?, ?, ?, ?, ?, ?)"));
        for (qint64 i = first; i < first + count; ++i) {
            const battery::Reading r = SequenceReading(i);
            insert.bindValue(0, r.device);
            insert.bindValue(1, r.battery);
            insert.bindValue(2, r.tMs);
            insert.bindValue(3, r.status);
            insert.bindValue(4, r.voltageDv);
            insert.bindValue(5, r.temperatureDc);
            if (!insert.exec()) throw std::runtime_error("bulk insert failed");
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

SmallTmpfs::SmallTmpfs(int kilobytes) {
    if (geteuid() != 0) {
        skipReason_ = QStringLiteral("mounting a tmpfs needs root");
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
    if (::mount("tmpfs", dir_.path().toLocal8Bit().constData(), "tmpfs", 0, options.constData()) !=
        0) {
        skipReason_ = QStringLiteral("mount tmpfs failed: %1").arg(strerror(errno));
        return;
    }
    mounted_ = true;
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_) ::umount2(dir_.path().toLocal8Bit().constData(), MNT_DETACH);
}

bool SmallTmpfs::Remount(const QString& options) {
    unsigned long flags = MS_REMOUNT;
    QByteArray data;
    if (options == u"ro") {
        flags |= MS_RDONLY;
    } else if (options != u"rw") {
        data = options.toLatin1();
    }
    return ::mount("tmpfs", dir_.path().toLocal8Bit().constData(), "tmpfs", flags,
                   data.isEmpty() ? nullptr : data.constData()) == 0;
}

}  // namespace storetest
