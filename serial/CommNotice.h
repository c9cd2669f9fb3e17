#pragma once

#include <QEvent>
#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

// Notices from the port threads to the main thread. A thread posts a TCommNotice to the
// component's hidden notify object; Qt queues posted events in order and never blocks the poster,
// and the notify object hands each one to the component's dispatcher on the main thread.

enum class TNoticeKind {
    ReceiveData,
    ReceiveError,
    RequestHangup,
    ModemStateChange,
    SendDataEmpty,
    OpenResult
};

// Modem value of a ModemStateChange notice.
inline constexpr std::uint32_t kModemCarrierChanged = 8;
inline constexpr std::uint32_t kModemRing = 4;

class TCommNotice : public QEvent {
public:
    static QEvent::Type EventType();

    TCommNotice(TNoticeKind kind, std::uint32_t value);
    // A received block: `length` bytes followed by one zero byte, the notice owns it; the last
    // of them was read at `lastByte`.
    TCommNotice(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length,
                std::chrono::steady_clock::time_point lastByte);
    // The end of a connection attempt: the connected descriptor (the notice owns it until it is
    // taken) or -1 with the reason it failed.
    TCommNotice(int connectedFd, QString failureReason);
    ~TCommNotice() override;
    TCommNotice(const TCommNotice&) = delete;
    TCommNotice& operator=(const TCommNotice&) = delete;

    TNoticeKind Kind() const { return kind_; }
    // The open of the component whose threads posted the notice.
    std::uint32_t Session() const { return session_; }
    void SetSession(std::uint32_t session) { session_ = session; }
    std::uint32_t Value() const { return value_; }
    const std::uint8_t* Block() const { return block_.get(); }
    std::uint16_t Length() const { return length_; }
    std::chrono::steady_clock::time_point LastByteTime() const { return lastByte_; }
    const QString& Reason() const { return reason_; }
    // Hands the connected descriptor over to the caller (-1 when there is none or it was taken).
    int TakeFd() { return std::exchange(fd_, -1); }

private:
    TNoticeKind kind_;
    std::uint32_t value_ = 0;
    std::unique_ptr<std::uint8_t[]> block_;
    std::uint16_t length_ = 0;
    std::chrono::steady_clock::time_point lastByte_;
    std::uint32_t session_ = 0;
    int fd_ = -1;
    QString reason_;
};

// The hidden object of a component, living on the thread that constructed the component.
class TNotifyTarget : public QObject {
public:
    using TDispatcher = std::function<void(TCommNotice&)>;
    explicit TNotifyTarget(TDispatcher dispatcher);

protected:
    void customEvent(QEvent* event) override;

private:
    TDispatcher dispatcher_;
};

// What the port threads use to post: safe from any thread, never waits.
class TNoticePoster {
public:
    TNoticePoster(QObject* target, std::uint32_t session) : target_(target), session_(session) {}

    void ReceiveData(std::unique_ptr<std::uint8_t[]> block, std::uint16_t length,
                     std::chrono::steady_clock::time_point lastByte) const;
    void ReceiveError(std::uint32_t errorFlags) const;
    void ModemStateChange(std::uint32_t modemEvent) const;
    void RequestHangup() const;
    void SendDataEmpty() const;
    void OpenResult(int connectedFd, const QString& failureReason) const;

private:
    void Post(TCommNotice* notice) const;
    QObject* target_;
    std::uint32_t session_;
};
