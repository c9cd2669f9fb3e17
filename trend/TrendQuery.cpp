#include "trend/TrendQuery.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <optional>

namespace {

// Store values are raw register contents; anything outside the 16-bit sample fields is clamped
// rather than wrapped, so a damaged row cannot show up as a plausible reading.
std::int16_t ClampToInt16(qint64 value) {
    return std::int16_t(std::clamp<qint64>(value, INT16_MIN, INT16_MAX));
}

TrendSample SampleOf(const store::StoredRow& row) {
    TrendSample sample;
    sample.tMs = row.tMs;
    sample.status = std::uint8_t(row.status);
    sample.voltageDv = ClampToInt16(row.voltageDv);
    sample.temperatureDc = ClampToInt16(row.temperatureDc);
    return sample;
}

struct Cancelled {};

// One battery's stored rows in a time range as trend samples. Throws Cancelled when the caller
// no longer wants the answer.
class SampleReader {
public:
    SampleReader(store::RangeReader& store, const std::function<bool()>& cancelled)
        : store_(store), cancelled_(cancelled) {}

    // Calls `take` for every row in [fromMs, toMs] in ascending time; false on a read error.
    template <typename Take>
    bool Read(battery::BatteryId battery, qint64 fromMs, qint64 toMs, Take&& take) {
        const auto outcome = store_.Read(
            battery, fromMs, toMs,
            [&take](std::span<const store::StoredRow> rows) {
                for (const store::StoredRow& row : rows) take(SampleOf(row));
            },
            cancelled_);
        if (outcome == store::RangeReader::Outcome::Cancelled) throw Cancelled{};
        return outcome == store::RangeReader::Outcome::Done;
    }
    std::optional<qint64> FirstTime(battery::BatteryId battery) {
        return store_.FirstTime(battery);
    }
    std::optional<qint64> LastTime(battery::BatteryId battery) { return store_.LastTime(battery); }

private:
    store::RangeReader& store_;
    const std::function<bool()>& cancelled_;
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
bool CatchUp(SampleReader& reader, battery::BatteryId battery, BucketSummary& summary) {
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

bool ReadFromDigests(SampleReader& reader, const TrendRequest& request, battery::BatteryId battery,
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

TrendResult ReadTrend(store::RangeReader& store, const TrendRequest& request,
                      const std::function<bool()>& cancelled, TrendSummaries* summaries) {
    TrendResult result;
    result.request = request;
    if (!store.IsOpen()) {
        result.error = store.ErrorText();
        return result;
    }
    SampleReader reader(store, cancelled);
    const qint64 rowsBefore = store.RowsRead();
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
                result.error = store.ErrorText();
                break;
            }
            result.batteries.push_back({battery, feeder.Finish()});
        }
    } catch (const Cancelled&) {
        result.error = QStringLiteral("cancelled");
    }
    result.rowsRead = store.RowsRead() - rowsBefore;
    return result;
}

std::optional<bool> BuildDigest(store::RangeReader& store, battery::BatteryId battery,
                                qint64 maxRows, TrendSummaries& summaries) {
    BucketSummary* summary = summaries.For(battery);
    if (summary == nullptr) return true;
    const std::function<bool()> enough = [&store, start = store.RowsRead(), maxRows] {
        return store.RowsRead() - start >= maxRows;
    };
    SampleReader reader(store, enough);
    try {
        if (!CatchUp(reader, battery, *summary)) return std::nullopt;
    } catch (const Cancelled&) {
        return false;  // the digest keeps what was read; the next call goes on from there
    }
    return true;
}

TrendReader::TrendReader(QString storePath,
                         std::shared_ptr<const std::atomic<std::uint64_t>> latest)
    : storePath_(std::move(storePath)), latest_(std::move(latest)) {}

TrendReader::~TrendReader() = default;

void TrendReader::Read(std::uint64_t id, const TrendRequest& request) {
    const auto superseded = [this, id] { return latest_->load() != id; };
    if (superseded()) return;
    // A store that could not be opened (not made yet) is tried again on the next request.
    if (!store_ || !store_->IsOpen()) store_ = std::make_unique<store::RangeReader>(storePath_);
    TrendResult result = ReadTrend(*store_, request, superseded, &summaries_);
    result.requestId = id;
    if (!superseded()) emit Done(threads::Handed<TrendResult>(std::move(result)));
}

void TrendReader::Finish() { store_.reset(); }

TrendQuery::TrendQuery(const QString& storePath, QObject* parent)
    : QObject(parent),
      latest_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      reader_(QStringLiteral("trend query"), storePath, latest_) {
    qRegisterMetaType<TrendResult>();
    connect(reader_.Worker(), &TrendReader::Done, this,
            [this](const threads::Handed<TrendResult>& result) { Receive(result.Get()); });
}

// A read in progress stops at its next check, and requests still queued are passed over.
TrendQuery::~TrendQuery() {
    latest_->store(0);
    reader_.Stop();
}

std::uint64_t TrendQuery::Request(const TrendRequest& request) {
    const std::uint64_t id = latest_->fetch_add(1) + 1;
    reader_.Post([id, request](TrendReader& reader) { reader.Read(id, request); });
    SetBusy(true);
    return id;
}

void TrendQuery::Cancel() {
    latest_->fetch_add(1);
    SetBusy(false);
}

void TrendQuery::Receive(const TrendResult& result) {
    if (result.requestId != latest_->load()) return;
    SetBusy(false);
    emit ResultReady(result);
}

void TrendQuery::SetBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    emit BusyChanged(busy);
}
