#include "CommNotice.h"

#include <QCoreApplication>

// Qt's event queue hands a posted event over under its own lock, which ThreadSanitizer cannot see
// in an uninstrumented Qt build. Tell it about that hand-over so that a notice filled on a port
// thread and read on the main thread is not taken for a race.
#if defined(__SANITIZE_THREAD__)
#define BATMON_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BATMON_TSAN 1
#endif
#endif

#ifdef BATMON_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define PUBLISH_NOTICE(notice) __tsan_release(notice)
#define RECEIVE_NOTICE(notice) __tsan_acquire(notice)
#else
#define PUBLISH_NOTICE(notice) static_cast<void>(notice)
#define RECEIVE_NOTICE(notice) static_cast<void>(notice)
#endif

QEvent::Type TCommNotice::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TCommNotice::TCommNotice(TNoticeKind kind, std::uint32_t value)
    : QEvent(EventType()), kind_(kind), value_(value) {}

TCommNotice::TCommNotice(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length)
    : QEvent(EventType()),
      kind_(TNoticeKind::ReceiveData),
      value_(length),
      block_(std::move(block)),
      length_(length) {}

TNotifyTarget::TNotifyTarget(TDispatcher dispatcher) : dispatcher_(std::move(dispatcher)) {}

void TNotifyTarget::customEvent(QEvent* event) {
    RECEIVE_NOTICE(event);
    if (event->type() != TCommNotice::EventType()) return;
    dispatcher_(*static_cast<TCommNotice*>(event));
}

void TNoticePoster::Post(TCommNotice* notice) const {
    PUBLISH_NOTICE(notice);
    QCoreApplication::postEvent(target_, notice);
}

void TNoticePoster::ReceiveData(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length) const {
    Post(new TCommNotice(std::move(block), length));
}

void TNoticePoster::ReceiveError(std::uint32_t errorFlags) const {
    Post(new TCommNotice(TNoticeKind::ReceiveError, errorFlags));
}

void TNoticePoster::ModemStateChange(std::uint32_t modemEvent) const {
    Post(new TCommNotice(TNoticeKind::ModemStateChange, modemEvent));
}

void TNoticePoster::RequestHangup() const { Post(new TCommNotice(TNoticeKind::RequestHangup, 0)); }

void TNoticePoster::SendDataEmpty() const { Post(new TCommNotice(TNoticeKind::SendDataEmpty, 0)); }
