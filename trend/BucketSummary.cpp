#include "trend/BucketSummary.h"

#include <algorithm>

namespace {

constexpr std::size_t kGrowthBuckets = std::size_t{24} * 6;

}  // namespace

qint64 BucketSummary::BucketStart(qint64 tMs) {
    qint64 index = tMs / kBucketMs;
    if (tMs < 0 && tMs % kBucketMs != 0) --index;  // floor, also before 1970
    return index * kBucketMs;
}

void BucketSummary::Clear() {
    buckets_.clear();
    buckets_.shrink_to_fit();
    originMs_ = firstMs_ = lastMs_ = 0;
}

bool BucketSummary::Add(const TrendSample& sample) {
    if (!buckets_.empty() && sample.tMs <= lastMs_) return false;
    const qint64 start = BucketStart(sample.tMs);
    if (buckets_.empty()) {
        originMs_ = start;
        firstMs_ = sample.tMs;
    }
    const auto index = std::size_t((start - originMs_) / kBucketMs);
    if (index >= buckets_.capacity()) {
        // Grow by a day of digests, not by doubling: the digests of a long history are large
        // and a doubled capacity would mostly stay empty.
        buckets_.reserve(index + 1 + kGrowthBuckets);
    }
    if (index >= buckets_.size()) buckets_.resize(index + 1);
    Bucket& bucket = buckets_[index];
    if (bucket.count == 0) {
        bucket.minVoltage = bucket.maxVoltage = sample;
        bucket.minTemperature = bucket.maxTemperature = sample;
        bucket.firstAbnormal = bucket.lastAbnormal = TrendSample{};
        bucket.firstAbnormal.status = bucket.lastAbnormal.status = kStatusNormal;
        bucket.firstMs = sample.tMs;
    } else {
        bucket.longestSilenceMs = std::max(bucket.longestSilenceMs, sample.tMs - bucket.lastMs);
        if (sample.voltageDv < bucket.minVoltage.voltageDv) bucket.minVoltage = sample;
        if (sample.voltageDv > bucket.maxVoltage.voltageDv) bucket.maxVoltage = sample;
        if (sample.temperatureDc < bucket.minTemperature.temperatureDc)
            bucket.minTemperature = sample;
        if (sample.temperatureDc > bucket.maxTemperature.temperatureDc)
            bucket.maxTemperature = sample;
    }
    if (sample.status != kStatusNormal) {
        if (bucket.firstAbnormal.status == kStatusNormal) bucket.firstAbnormal = sample;
        bucket.lastAbnormal = sample;
    }
    bucket.lastMs = sample.tMs;
    ++bucket.count;
    lastMs_ = sample.tMs;
    return true;
}

const BucketSummary::Bucket* BucketSummary::At(qint64 startMs) const {
    if (buckets_.empty() || startMs < originMs_) return nullptr;
    const auto index = std::size_t((startMs - originMs_) / kBucketMs);
    if (index >= buckets_.size() || buckets_[index].count == 0) return nullptr;
    return &buckets_[index];
}

std::vector<TrendSample> BucketSummary::KeptReadings(const Bucket& bucket) {
    std::vector<TrendSample> kept{bucket.minVoltage, bucket.maxVoltage, bucket.minTemperature,
                                  bucket.maxTemperature};
    if (bucket.firstAbnormal.status != kStatusNormal) {
        kept.push_back(bucket.firstAbnormal);
        kept.push_back(bucket.lastAbnormal);
    }
    std::sort(kept.begin(), kept.end(),
              [](const TrendSample& a, const TrendSample& b) { return a.tMs < b.tMs; });
    kept.erase(
        std::unique(kept.begin(), kept.end(),
                    [](const TrendSample& a, const TrendSample& b) { return a.tMs == b.tMs; }),
        kept.end());
    for (TrendSample& s : kept) s.breakBefore = false;
    return kept;
}
