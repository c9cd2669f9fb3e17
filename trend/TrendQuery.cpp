#include "trend/TrendQuery.h"

#include <sqlite3.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>

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

BucketSummary* TrendSummaries::For(battery::BatteryId battery) {
    const auto index = battery::WatchedIndex(battery);
    return index ? &summaries_[std::size_t(*index)] : nullptr;
}

std::size_t TrendSummaries::HeldBytes() const {
    std::size_t bytes = 0;
    for (const BucketSummary& summary : summaries_) bytes += summary.HeldBytes();
    return bytes;
}

namespace {

constexpr char kFirstTimeSql[] =
    "SELECT min(t_ms) FROM readings WHERE device = ?1 AND battery = ?2";
constexpr char kLastTimeSql[] = "SELECT max(t_ms) FROM readings WHERE device = ?1 AND battery = ?2";

struct Cancelled {};

// Steps through one battery's rows in a time range, checking for cancellation as it goes.
class RowReader {
public:
    RowReader(sqlite3* db, const std::function<bool()>& cancelled)
        : db_(db), cancelled_(cancelled) {}

    bool Prepare() {
        return sqlite3_prepare_v2(db_, kReadBatterySql, -1, &rows_.handle, nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(db_, kFirstTimeSql, -1, &first_.handle, nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(db_, kLastTimeSql, -1, &last_.handle, nullptr) == SQLITE_OK;
    }
    QString Error() const { return QString::fromUtf8(sqlite3_errmsg(db_)); }
    qint64 RowsRead() const { return rowsRead_; }

    // Calls `take` for every row in [fromMs, toMs] in ascending time; false on a read error.
    // Throws Cancelled when the caller no longer wants the answer.
    template <typename Take>
    bool Read(battery::BatteryId battery, qint64 fromMs, qint64 toMs, Take&& take) {
        if (fromMs > toMs) return true;
        sqlite3_reset(rows_.handle);
        sqlite3_bind_int(rows_.handle, 1, battery.device);
        sqlite3_bind_int(rows_.handle, 2, battery.battery);
        sqlite3_bind_int64(rows_.handle, 3, fromMs);
        sqlite3_bind_int64(rows_.handle, 4, toMs);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(rows_.handle)) == SQLITE_ROW) {
            TrendSample sample;
            sample.tMs = sqlite3_column_int64(rows_.handle, 0);
            sample.status = std::uint8_t(sqlite3_column_int(rows_.handle, 1));
            sample.voltageDv = ClampToInt16(sqlite3_column_int64(rows_.handle, 2));
            sample.temperatureDc = ClampToInt16(sqlite3_column_int64(rows_.handle, 3));
            take(sample);
            if (++rowsRead_ % kCancelCheckRows == 0 && cancelled_ && cancelled_()) {
                sqlite3_reset(rows_.handle);
                throw Cancelled{};
            }
        }
        sqlite3_reset(rows_.handle);
        return rc == SQLITE_DONE;
    }

    // Time of the battery's oldest and newest stored row, if any.
    std::optional<qint64> FirstTime(battery::BatteryId battery) { return TimeOf(first_, battery); }
    std::optional<qint64> LastTime(battery::BatteryId battery) { return TimeOf(last_, battery); }

private:
    static std::optional<qint64> TimeOf(Statement& statement, battery::BatteryId battery) {
        sqlite3_reset(statement.handle);
        sqlite3_bind_int(statement.handle, 1, battery.device);
        sqlite3_bind_int(statement.handle, 2, battery.battery);
        std::optional<qint64> t;
        if (sqlite3_step(statement.handle) == SQLITE_ROW &&
            sqlite3_column_type(statement.handle, 0) != SQLITE_NULL)
            t = sqlite3_column_int64(statement.handle, 0);
        sqlite3_reset(statement.handle);
        return t;
    }

    sqlite3* db_;
    const std::function<bool()>& cancelled_;
    Statement rows_;
    Statement first_;
    Statement last_;
    qint64 rowsRead_ = 0;
};

// Feeds readings and digests to the reducer in time order and decides the line breaks itself,
// from the real times of the readings on either side (digested readings are sparse in time, so
// their own spacing says nothing about outages).
class LineFeeder {
public:
    LineFeeder(const TrendRequest& request)
        : reducer_({request.range, request.columns, request.gapMs, true}), gapMs_(request.gapMs) {}

    void Reading(TrendSample sample) {
        sample.breakBefore = last_ && IsGap(*last_, sample.tMs, gapMs_);
        last_ = sample.tMs;
        reducer_.Add(sample);
    }
    void Digest(const BucketSummary::Bucket& bucket) {
        std::vector<TrendSample> kept = BucketSummary::KeptReadings(bucket);
        kept.front().breakBefore = last_ && IsGap(*last_, bucket.firstMs, gapMs_);
        for (const TrendSample& sample : kept) reducer_.Add(sample);
        last_ = bucket.lastMs;
    }
    ReducedBattery Finish() { return reducer_.Finish(); }

private:
    MinMaxReducer reducer_;
    qint64 gapMs_;
    std::optional<qint64> last_;
};

constexpr qint64 kEndOfTime = std::numeric_limits<qint64>::max();

// Brings a digest up to the rows stored since it was last read; starts it over when the oldest
// rows it holds were deleted from the store.
bool CatchUp(RowReader& reader, battery::BatteryId battery, BucketSummary& summary) {
    const std::optional<qint64> first = reader.FirstTime(battery);
    if (!first) {
        summary.Clear();
        return true;
    }
    if (!summary.Empty() && *first != summary.FirstMs()) summary.Clear();
    const qint64 from = summary.Empty() ? *first : summary.LastMs() + 1;
    return reader.Read(battery, from, kEndOfTime,
                       [&summary](const TrendSample& s) { summary.Add(s); });
}

bool ReadFromDigests(RowReader& reader, const TrendRequest& request, battery::BatteryId battery,
                     BucketSummary& summary, LineFeeder& feeder) {
    constexpr qint64 w = BucketSummary::kBucketMs;
    const TimeRange& range = request.range;
    const auto raw = [&](qint64 from, qint64 to) {
        return reader.Read(battery, from, to,
                           [&feeder](const TrendSample& s) { feeder.Reading(s); });
    };
    const qint64 firstWhole = BucketSummary::BucketStart(range.fromMs - 1) + w;
    const qint64 endWhole = BucketSummary::BucketStart(range.toMs + 1);
    if (firstWhole >= endWhole) return raw(range.fromMs, range.toMs);
    if (!raw(range.fromMs, firstWhole - 1)) return false;
    for (qint64 start = firstWhole; start < endWhole; start += w) {
        const BucketSummary::Bucket* bucket = summary.At(start);
        if (bucket == nullptr) continue;
        if (bucket->longestSilenceMs > request.gapMs) {
            if (!raw(start, start + w - 1)) return false;
        } else {
            feeder.Digest(*bucket);
        }
    }
    return raw(endWhole, range.toMs);
}

}  // namespace

TrendResult ReadTrend(QSqlDatabase& db, const TrendRequest& request,
                      const std::function<bool()>& cancelled, TrendSummaries* summaries) {
    TrendResult result;
    result.request = request;
    sqlite3* native = NativeHandle(db);
    if (native == nullptr) {
        result.error = QStringLiteral("no SQLite connection");
        return result;
    }
    RowReader reader(native, cancelled);
    if (!reader.Prepare()) {
        result.error = reader.Error();
        return result;
    }
    if (request.wholeHistory) {
        std::optional<qint64> first, last;
        for (const battery::BatteryId& battery : request.batteries) {
            const auto f = reader.FirstTime(battery);
            const auto l = reader.LastTime(battery);
            if (f) first = first ? std::min(*first, *f) : *f;
            if (l) last = last ? std::max(*last, *l) : *l;
        }
        if (!first) {
            result.request.range = {};  // nothing stored: an empty range, no lines
            for (const battery::BatteryId& battery : request.batteries)
                result.batteries.push_back({battery, {}});
            return result;
        }
        result.request.range = {*first, std::max(*last, *first + 1)};
    }
    const TrendRequest& resolved = result.request;
    const bool wideColumns =
        resolved.range.Span() / std::max(1, resolved.columns) >= BucketSummary::kBucketMs;
    try {
        for (const battery::BatteryId& battery : resolved.batteries) {
            LineFeeder feeder(resolved);
            BucketSummary* summary = summaries ? summaries->For(battery) : nullptr;
            bool ok = true;
            if (summary != nullptr && wideColumns) {
                ok = CatchUp(reader, battery, *summary) &&
                     ReadFromDigests(reader, resolved, battery, *summary, feeder);
            } else {
                ok = reader.Read(battery, resolved.range.fromMs, resolved.range.toMs,
                                 [&feeder](const TrendSample& s) { feeder.Reading(s); });
            }
            if (!ok) {
                result.error = reader.Error();
                break;
            }
            result.batteries.push_back({battery, feeder.Finish()});
        }
    } catch (const Cancelled&) {
        result.error = QStringLiteral("cancelled");
    }
    result.rowsRead = reader.RowsRead();
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

namespace {

const auto kResultEvent = QEvent::Type(QEvent::registerEventType());

}  // namespace

struct TrendQuery::Mailbox {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<std::pair<std::uint64_t, TrendRequest>> pending;  // newest request only
    std::optional<TrendResult> result;
    bool stopping = false;
    // The newest request's id, read by the reader between rows to notice it was superseded.
    std::atomic<std::uint64_t> latest{0};
};

// The query thread: waits for a request, reads it with its own connection, leaves the result
// in the mailbox and wakes the owner.
class TrendQuery::Reader : public QThread {
public:
    Reader(QString path, std::shared_ptr<Mailbox> mailbox, QObject* owner)
        : path_(std::move(path)), mailbox_(std::move(mailbox)), owner_(owner) {
        setObjectName(QStringLiteral("trend query"));
    }

    ~Reader() override {
        {
            const std::lock_guard lock(mailbox_->mutex);
            mailbox_->stopping = true;
        }
        mailbox_->latest.store(0);  // a read in progress stops at its next check
        mailbox_->wake.notify_all();
        wait();
        // The thread's last act is to take the mailbox lock; taking it here too makes its end
        // visible to ThreadSanitizer, which cannot see QThread::wait in an uninstrumented Qt.
        const std::lock_guard lock(mailbox_->mutex);
    }

protected:
    void run() override {
        const QString connection = QStringLiteral("trend-") + QUuid::createUuid().toString();
        bool opened = false;
        TrendSummaries summaries;
        while (true) {
            std::pair<std::uint64_t, TrendRequest> job;
            {
                std::unique_lock lock(mailbox_->mutex);
                mailbox_->wake.wait(lock,
                                    [this] { return mailbox_->stopping || mailbox_->pending; });
                if (mailbox_->stopping) break;
                job = std::move(*mailbox_->pending);
                mailbox_->pending.reset();
            }
            const std::uint64_t id = job.first;
            TrendResult result;
            if (!opened) {
                const QString error = OpenReadOnlyStore(path_, connection);
                opened = error.isEmpty();
                if (!opened) {
                    QSqlDatabase::removeDatabase(connection);
                    result.request = job.second;
                    result.error = error;
                }
            }
            if (opened) {
                QSqlDatabase db = QSqlDatabase::database(connection, false);
                result = ReadTrend(
                    db, job.second, [this, id] { return mailbox_->latest.load() != id; },
                    &summaries);
            }
            result.requestId = id;
            if (mailbox_->latest.load() != id) continue;  // superseded while reading
            {
                const std::lock_guard lock(mailbox_->mutex);
                mailbox_->result = std::move(result);
            }
            QCoreApplication::postEvent(owner_, new QEvent(kResultEvent));
        }
        if (opened) {
            QSqlDatabase::database(connection, false).close();
            QSqlDatabase::removeDatabase(connection);
        }
        const std::lock_guard lock(mailbox_->mutex);
    }

private:
    QString path_;
    std::shared_ptr<Mailbox> mailbox_;
    QObject* owner_;
};

TrendQuery::TrendQuery(const QString& storePath, QObject* parent)
    : QObject(parent), mailbox_(std::make_shared<Mailbox>()) {
    qRegisterMetaType<TrendResult>();
    reader_ = std::make_unique<Reader>(storePath, mailbox_, this);
    reader_->start();
}

// The reader is stopped and joined before the QObject part goes, so no wake-up can be posted to
// a destroyed object; wake-ups already posted are dropped with it.
TrendQuery::~TrendQuery() { reader_.reset(); }

std::uint64_t TrendQuery::Request(const TrendRequest& request) {
    std::uint64_t id = 0;
    {
        const std::lock_guard lock(mailbox_->mutex);
        id = mailbox_->latest.fetch_add(1) + 1;
        mailbox_->pending.emplace(id, request);
        mailbox_->result.reset();  // an older answer not yet taken is stale now
    }
    mailbox_->wake.notify_one();
    SetBusy(true);
    return id;
}

void TrendQuery::Cancel() {
    {
        const std::lock_guard lock(mailbox_->mutex);
        mailbox_->latest.fetch_add(1);
        mailbox_->pending.reset();
        mailbox_->result.reset();
    }
    SetBusy(false);
}

// Only the reader posts events to this object, and only to say a result is waiting. The event
// is not looked at: it carries nothing, and its memory was written on the other thread.
void TrendQuery::customEvent(QEvent*) {
    std::optional<TrendResult> result;
    {
        const std::lock_guard lock(mailbox_->mutex);
        result.swap(mailbox_->result);
    }
    if (!result || result->requestId != mailbox_->latest.load()) return;
    SetBusy(false);
    emit resultReady(*result);
}

void TrendQuery::SetBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    emit busyChanged(busy);
}
