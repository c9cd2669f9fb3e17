#pragma once

#include <cstdint>
#include <vector>

#include "trend/TrendTypes.h"

// Ten-minute digests of one battery's readings, built once from the store and extended as new
// readings are stored, so a plot of weeks or months reads a few thousand digests instead of
// every reading. A digest keeps the readings that a reduction to coarser columns needs: the
// lowest and highest voltage and temperature, the first and last abnormal reading, and how long
// the battery was silent inside it (so a caller can tell whether an outage hides in it).
class BucketSummary {
public:
    static constexpr qint64 kBucketMs = 600'000;

    struct Bucket {
        TrendSample minVoltage, maxVoltage, minTemperature, maxTemperature;
        TrendSample firstAbnormal, lastAbnormal;  // status normal when there is none
        qint64 firstMs = 0;
        qint64 lastMs = 0;
        qint64 longestSilenceMs = 0;
        std::int32_t count = 0;
    };

    // Readings must come in ascending time; returns false (and ignores it) for one that does
    // not follow the last one added.
    bool Add(const TrendSample& sample);
    void Clear();

    bool Empty() const { return buckets_.empty(); }
    qint64 FirstMs() const { return firstMs_; }
    qint64 LastMs() const { return lastMs_; }
    static qint64 BucketStart(qint64 tMs);
    // The digest of the bucket starting at `startMs`, or null when no reading fell into it.
    const Bucket* At(qint64 startMs) const;
    // The bucket's kept readings in ascending time, without repeats.
    static std::vector<TrendSample> KeptReadings(const Bucket& bucket);
    std::size_t HeldBytes() const { return buckets_.capacity() * sizeof(Bucket); }

private:
    qint64 originMs_ = 0;  // start of buckets_[0]
    qint64 firstMs_ = 0;
    qint64 lastMs_ = 0;
    std::vector<Bucket> buckets_;
};
