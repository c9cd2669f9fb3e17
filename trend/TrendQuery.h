#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "battery/BatteryId.h"
#include "store/RangeReader.h"
#include "threads/Worker.h"
#include "trend/BucketSummary.h"
#include "trend/MinMaxReducer.h"

// What the plot asks of the history store: some batteries over a time range, reduced for a
// plot `columns` pixels wide, with lines broken after silences longer than `gapMs`.
// With `wholeHistory` the range is that of everything stored for the batteries (the result's
// request carries it).
struct TrendRequest {
    std::vector<battery::BatteryId> batteries;
    TimeRange range;
    int columns = 1;
    qint64 gapMs = 30'000;
    bool wholeHistory = false;
};

struct BatteryTrend {
    battery::BatteryId battery;
    ReducedBattery reduced;
};

struct TrendResult {
    std::uint64_t requestId = 0;
    TrendRequest request;
    std::vector<BatteryTrend> batteries;  // in the order of the request
    qint64 rowsRead = 0;
    QString error;  // empty on success
};
Q_DECLARE_METATYPE(TrendResult)

// Ten-minute digests of every battery (BucketSummary), kept by a reader between requests.
class TrendSummaries {
public:
    // Null for a battery the program does not poll.
    BucketSummary* For(battery::BatteryId battery);
    std::size_t HeldBytes() const;

private:
    std::array<BucketSummary, battery::kWatchedCount> summaries_;
};

// Reads the request through the store's range reader, per battery, over the store's
// (device, battery, time) order, reducing as the rows arrive: memory is bounded by the column
// count whatever the range holds. Grouping by pixel column in SQL would make SQLite sort every
// row of the range and need a query per extreme to learn its time; walking the index once is
// faster and keeps each extreme's own reading.
// With `summaries`, ranges whose pixel columns are at least ten minutes wide are read from the
// digests (brought up to date with the rows stored since, and rebuilt when old rows were
// deleted), with raw rows only for the partial digests at the range's ends and for digests
// that hide an outage. Every spike is still a kept reading at its own time.
// `cancelled` is polled between rows; a cancelled read returns with the error "cancelled".
TrendResult ReadTrend(store::RangeReader& store, const TrendRequest& request,
                      const std::function<bool()>& cancelled = {},
                      TrendSummaries* summaries = nullptr);

// Brings the digests of `battery` up to date a part at a time, for a reader that builds them
// before they are asked for: reads about `maxRows` of the rows stored after what the digests
// hold. True once they are up to date, false while more remains, nothing on a read error.
std::optional<bool> BuildDigest(store::RangeReader& store, battery::BatteryId battery,
                                qint64 maxRows, TrendSummaries& summaries);

// The query thread's worker: reads each request with a store reader of its own (opened on its
// first request) and keeps the digests between requests. A request that a newer one superseded
// (`latest` moved past its id) is not read, or stops reading, and gives no result.
class TrendReader : public QObject {
    Q_OBJECT
public:
    TrendReader(QString storePath, std::shared_ptr<const std::atomic<std::uint64_t>> latest);
    ~TrendReader() override;

    void Read(std::uint64_t id, const TrendRequest& request);
    void Finish();

signals:
    void Done(const threads::Handed<TrendResult>& result);

private:
    QString storePath_;
    std::shared_ptr<const std::atomic<std::uint64_t>> latest_;
    std::unique_ptr<store::RangeReader> store_;
    TrendSummaries summaries_;
};

// Runs trend requests on a thread of its own (a TrendReader worker). Results arrive as
// `resultReady` on the thread that owns this object; a newer request supersedes an older one
// (the older one stops reading and its result is never delivered), so a slow query never holds
// up the caller and never lands after a newer answer.
class TrendQuery : public QObject {
    Q_OBJECT
public:
    explicit TrendQuery(const QString& storePath, QObject* parent = nullptr);
    ~TrendQuery() override;

    // Returns the request's id, which its result carries.
    std::uint64_t Request(const TrendRequest& request);
    // Drops the pending request, if any: no result comes for it.
    void Cancel();
    bool Busy() const { return busy_; }

signals:
    void ResultReady(const TrendResult& result);
    void BusyChanged(bool busy);

private:
    void Receive(const TrendResult& result);
    void SetBusy(bool busy);

    std::shared_ptr<std::atomic<std::uint64_t>> latest_;  // the newest request's id
    threads::WorkerThread<TrendReader> reader_;
    bool busy_ = false;
};
