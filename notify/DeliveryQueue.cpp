#include "notify/DeliveryQueue.h"

#include <algorithm>

namespace notify {

void DeliveryQueue::Add(QueuedEvent event) {
    if (event.seq <= highestSeq_) return;
    highestSeq_ = event.seq;
    waiting_.push_back(std::move(event));
}

void DeliveryQueue::ForgetOldSends(qint64 nowMs) {
    while (!sentMs_.empty() && sentMs_.front() + kHourMs <= nowMs) sentMs_.pop_front();
}

qint64 DeliveryQueue::RateOpensMs(qint64 nowMs) const {
    if (static_cast<int>(sentMs_.size()) < pacing_.maxPerHour) return nowMs;
    return sentMs_[sentMs_.size() - std::size_t(pacing_.maxPerHour)] + kHourMs;
}

std::optional<qint64> DeliveryQueue::NextDueMs() const {
    if (waiting_.empty() || inFlight_ > 0) return std::nullopt;
    qint64 due = failures_ > 0 ? retryAtMs_ : lastSentMs_.value_or(0) + pacing_.groupMs;
    if (!lastSentMs_ && failures_ == 0) due = 0;
    return std::max(due, RateOpensMs(due));
}

std::optional<Batch> DeliveryQueue::Take(qint64 nowMs) {
    ForgetOldSends(nowMs);
    const std::optional<qint64> due = NextDueMs();
    if (!due) return std::nullopt;
    if (RateOpensMs(nowMs) > nowMs) heldByRate_ = true;
    if (*due > nowMs) return std::nullopt;
    Batch batch;
    batch.summary = heldByRate_;
    const std::size_t count =
        batch.summary ? waiting_.size() : std::min(waiting_.size(), kMostPerMessage);
    batch.events.assign(waiting_.begin(), waiting_.begin() + std::ptrdiff_t(count));
    inFlight_ = count;
    return batch;
}

void DeliveryQueue::Finished(qint64 nowMs, std::size_t accepted) {
    accepted = std::min(accepted, inFlight_);
    const bool complete = accepted == inFlight_;
    waiting_.erase(waiting_.begin(), waiting_.begin() + std::ptrdiff_t(accepted));
    inFlight_ = 0;
    if (accepted > 0 || complete) {
        lastSentMs_ = nowMs;
        sentMs_.push_back(nowMs);
    }
    if (complete) {
        failures_ = 0;
        heldByRate_ = false;
        return;
    }
    ++failures_;
    qint64 delay = pacing_.retryFirstMs;
    for (int i = 1; i < failures_ && delay < pacing_.retryMaxMs; ++i) delay *= 2;
    retryAtMs_ = nowMs + std::min(delay, pacing_.retryMaxMs);
}

}  // namespace notify
