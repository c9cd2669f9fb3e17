#pragma once

#include <type_traits>
#include <utility>

#include "threads/TsanHandOver.h"

namespace threads {

// A value that crosses threads through Qt's event queue: a queued signal's argument, or a call
// posted to another thread. Qt copies the value into its queue on the sending thread and the
// receiver reads that copy on its own; the queue's locking is invisible to ThreadSanitizer in an
// uninstrumented Qt. Every copy publishes itself once it is complete and every read receives
// the copy first, so the hand-over shows without marks at the sender or the receiver.
// Costs nothing outside ThreadSanitizer builds.
template <class T>
class Handed {
public:
    explicit Handed(T value) : value_(std::move(value)) { PUBLISH_HANDOVER(this); }
    Handed(const Handed& other) : value_(Received(other).value_) { PUBLISH_HANDOVER(this); }
    // Exactly as noexcept as moving T is.
    // NOLINTNEXTLINE(performance-noexcept-move-constructor)
    Handed(Handed&& other) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(Received(other).value_)) {
        PUBLISH_HANDOVER(this);
    }
    Handed& operator=(const Handed&) = delete;
    Handed& operator=(Handed&&) = delete;
    ~Handed() { RECEIVE_HANDOVER(this); }

    const T& Get() const { return Received(*this).value_; }
    T& Get() { return Received(*this).value_; }

    // For a value another thread may destroy after this one read it (Qt frees a posted call on
    // whichever thread drops it last): this thread is done with it.
    void HandBack() const { PUBLISH_HANDOVER(const_cast<Handed*>(this)); }

private:
    template <class Self>
    static Self& Received(Self& handed) {
        RECEIVE_HANDOVER(const_cast<std::remove_const_t<Self>*>(&handed));
        return handed;
    }

    T value_;
};

}  // namespace threads
