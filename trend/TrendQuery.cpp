#include "trend/TrendQuery.h"

#include <sqlite3.h>

#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <climits>

namespace {

constexpr char kReadBatterySql[] =
    "SELECT t_ms, status, voltage_dv, temperature_dc FROM readings "
    "WHERE device = ?1 AND battery = ?2 AND t_ms BETWEEN ?3 AND ?4 ORDER BY t_ms";
constexpr int kBusyTimeoutMs = 2000;
constexpr int kCancelCheckRows = 4096;

sqlite3* NativeHandle(QSqlDatabase& db) {
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) return nullptr;
    return *static_cast<sqlite3* const*>(handle.constData());
}

// Store values are raw register contents; anything outside the 16-bit sample fields is clamped
// rather than wrapped, so a damaged row cannot show up as a plausible reading.
std::int16_t ClampToInt16(sqlite3_int64 value) {
    return std::int16_t(std::clamp<sqlite3_int64>(value, INT16_MIN, INT16_MAX));
}

struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

}  // namespace

TrendResult ReadTrend(QSqlDatabase& db, const TrendRequest& request,
                      const std::function<bool()>& cancelled) {
    TrendResult result;
    result.request = request;
    sqlite3* native = NativeHandle(db);
    if (native == nullptr) {
        result.error = QStringLiteral("no SQLite connection");
        return result;
    }
    Statement statement;
    if (sqlite3_prepare_v2(native, kReadBatterySql, -1, &statement.handle, nullptr) != SQLITE_OK) {
        result.error = QString::fromUtf8(sqlite3_errmsg(native));
        return result;
    }
    const ReductionSpec spec{request.range, request.columns, request.gapMs};
    for (const BatteryId& battery : request.batteries) {
        sqlite3_reset(statement.handle);
        sqlite3_bind_int(statement.handle, 1, battery.device);
        sqlite3_bind_int(statement.handle, 2, battery.battery);
        sqlite3_bind_int64(statement.handle, 3, request.range.fromMs);
        sqlite3_bind_int64(statement.handle, 4, request.range.toMs);
        MinMaxReducer reducer(spec);
        int rc = SQLITE_ROW;
        qint64 rows = 0;
        while ((rc = sqlite3_step(statement.handle)) == SQLITE_ROW) {
            TrendSample sample;
            sample.tMs = sqlite3_column_int64(statement.handle, 0);
            sample.status = std::uint8_t(sqlite3_column_int(statement.handle, 1));
            sample.voltageDv = ClampToInt16(sqlite3_column_int64(statement.handle, 2));
            sample.temperatureDc = ClampToInt16(sqlite3_column_int64(statement.handle, 3));
            reducer.Add(sample);
            if (++rows % kCancelCheckRows == 0 && cancelled && cancelled()) {
                result.rowsRead += rows;
                result.error = QStringLiteral("cancelled");
                return result;
            }
        }
        result.rowsRead += rows;
        if (rc != SQLITE_DONE) {
            result.error = QString::fromUtf8(sqlite3_errmsg(native));
            return result;
        }
        result.batteries.push_back({battery, reducer.Finish()});
    }
    return result;
}

QString OpenReadOnlyStore(const QString& path, const QString& connectionName) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(path);
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db.open()) return db.lastError().text();
    return {};
}

// Lives on the query thread and owns the connection there.
class TrendQueryWorker : public QObject {
public:
    TrendQueryWorker(QString path, std::shared_ptr<std::atomic<std::uint64_t>> latest)
        : path_(std::move(path)),
          latest_(std::move(latest)),
          connectionName_(QStringLiteral("trend-") + QUuid::createUuid().toString()) {}

    ~TrendQueryWorker() override {
        if (opened_) {
            QSqlDatabase::database(connectionName_, false).close();
            QSqlDatabase::removeDatabase(connectionName_);
        }
    }

    // Runs on the query thread; returns false when a newer request made this one moot.
    bool Run(std::uint64_t id, const TrendRequest& request, TrendResult& result) {
        if (latest_->load() != id) return false;
        if (!opened_) {
            const QString error = OpenReadOnlyStore(path_, connectionName_);
            if (!error.isEmpty()) {
                QSqlDatabase::removeDatabase(connectionName_);
                result.request = request;
                result.error = error;
                result.requestId = id;
                return true;
            }
            opened_ = true;
        }
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        result = ReadTrend(db, request, [this, id] { return latest_->load() != id; });
        result.requestId = id;
        return latest_->load() == id;
    }

private:
    QString path_;
    std::shared_ptr<std::atomic<std::uint64_t>> latest_;
    QString connectionName_;
    bool opened_ = false;
};

TrendQuery::TrendQuery(const QString& storePath, QObject* parent)
    : QObject(parent), latest_(std::make_shared<std::atomic<std::uint64_t>>(0)) {
    qRegisterMetaType<TrendResult>();
    thread_ = new QThread(this);
    thread_->setObjectName(QStringLiteral("trend query"));
    worker_ = new TrendQueryWorker(storePath, latest_);
    worker_->moveToThread(thread_);
    connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_->start();
}

TrendQuery::~TrendQuery() {
    latest_->store(0);  // stops a read in progress at its next check
    thread_->quit();
    thread_->wait();
}

std::uint64_t TrendQuery::Request(const TrendRequest& request) {
    const std::uint64_t id = latest_->fetch_add(1) + 1;
    SetBusy(true);
    TrendQueryWorker* worker = worker_;
    QMetaObject::invokeMethod(
        worker_,
        [this, worker, id, request] {
            TrendResult result;
            if (!worker->Run(id, request, result)) return;
            QMetaObject::invokeMethod(
                this, [this, result] { Deliver(result); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return id;
}

void TrendQuery::Cancel() {
    latest_->fetch_add(1);
    SetBusy(false);
}

void TrendQuery::Deliver(const TrendResult& result) {
    if (result.requestId != latest_->load()) return;  // a newer request went out since
    SetBusy(false);
    emit resultReady(result);
}

void TrendQuery::SetBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    emit busyChanged(busy);
}
