#pragma once

#include <QString>
#include <atomic>
#include <cstddef>
#include <memory>

#include "notify/NotifySettings.h"
#include "notify/NotifyText.h"

namespace notify {

// How a message fared: how many of its events the other side took, and why not all.
struct SendResult {
    std::size_t accepted = 0;
    QString error;  // empty when all were accepted

    bool Ok() const { return error.isEmpty(); }
};

// Delivers messages of one channel. Send blocks until the other side has taken the message or
// refused it (mail and webhook: all events or none; the command: event by event, in order), so
// it runs on a worker thread. Abort, from any thread, makes a Send under way return soon.
class Sender {
public:
    Sender() = default;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    virtual ~Sender() = default;

    virtual SendResult Send(const Notice& notice) = 0;
    void Abort() { aborted_ = true; }

protected:
    bool Aborted() const { return aborted_; }
    const std::atomic<bool>* AbortFlag() const { return &aborted_; }

private:
    std::atomic<bool> aborted_{false};
};

// The channel's sender for its settings; `caFile` checks the servers' TLS certificates (empty:
// the system's).
std::unique_ptr<Sender> MakeMailSender(const MailSettings& settings, const QString& caFile);
std::unique_ptr<Sender> MakeWebhookSender(const WebhookSettings& settings, const QString& caFile);
std::unique_ptr<Sender> MakeCommandSender(const CommandSettings& settings);

}  // namespace notify
