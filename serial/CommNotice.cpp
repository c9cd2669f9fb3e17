#include "serial/CommNotice.h"

#include <unistd.h>

#include <QCoreApplication>

#include "threads/TsanHandOver.h"

QEvent::Type TCommNotice::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TCommNotice::TCommNotice(TNoticeKind kind, std::uint32_t value)
    : QEvent(EventType()), kind_(kind), value_(value) {}

TCommNotice::TCommNotice(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length,
                         std::chrono::steady_clock::time_point lastByte)
    : QEvent(EventType()),
      kind_(TNoticeKind::ReceiveData),
      value_(length),
      block_(std::move(block)),
      length_(length),
      lastByte_(lastByte) {}

TCommNotice::TCommNotice(int connectedFd, QString failureReason)
    : QEvent(EventType()),
      kind_(TNoticeKind::OpenResult),
      fd_(connectedFd),
      reason_(std::move(failureReason)) {}

TCommNotice::~TCommNotice() {
    // A connection nobody took (the component closed or went away meanwhile) is not leaked.
    if (fd_ >= 0) close(fd_);
}

TNotifyTarget::TNotifyTarget(TDispatcher dispatcher) : dispatcher_(std::move(dispatcher)) {}

void TNotifyTarget::customEvent(QEvent* event) {
    RECEIVE_HANDOVER(event);
    if (event->type() != TCommNotice::EventType()) return;
    dispatcher_(*static_cast<TCommNotice*>(event));
}

void TNoticePoster::Post(TCommNotice* notice) const {
    notice->SetSession(session_);
    PUBLISH_HANDOVER(notice);
    QCoreApplication::postEvent(target_, notice);
}

void TNoticePoster::ReceiveData(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length,
                                std::chrono::steady_clock::time_point lastByte) const {
    Post(new TCommNotice(std::move(block), length, lastByte));
}

void TNoticePoster::ReceiveError(std::uint32_t errorFlags) const {
    Post(new TCommNotice(TNoticeKind::ReceiveError, errorFlags));
}

void TNoticePoster::ModemStateChange(std::uint32_t modemEvent) const {
    Post(new TCommNotice(TNoticeKind::ModemStateChange, modemEvent));
}

void TNoticePoster::RequestHangup() const { Post(new TCommNotice(TNoticeKind::RequestHangup, 0)); }

void TNoticePoster::SendDataEmpty() const { Post(new TCommNotice(TNoticeKind::SendDataEmpty, 0)); }

void TNoticePoster::OpenResult(int connectedFd, const QString& failureReason) const {
    Post(new TCommNotice(connectedFd, failureReason));
}
