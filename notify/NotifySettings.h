#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "alarms/AlarmTypes.h"
#include "config/SettingValues.h"

namespace notify {

// The outbox channel names of the three deliveries.
inline const QString kMailChannel = QStringLiteral("mail");
inline const QString kWebhookChannel = QStringLiteral("webhook");
inline const QString kCommandChannel = QStringLiteral("command");

struct MailSettings {
    QString url;  // smtp://HOST[:PORT] or smtps://HOST[:PORT]
    QString user;
    QString password;
    QString from;
    QStringList to;
    alarms::AlarmLevel minLevel = alarms::AlarmLevel::Warning;

    bool operator==(const MailSettings&) const = default;
};

enum class WebhookFormat : std::uint8_t { Json, Ntfy };

struct WebhookSettings {
    QString url;
    WebhookFormat format = WebhookFormat::Json;
    alarms::AlarmLevel minLevel = alarms::AlarmLevel::Warning;

    bool operator==(const WebhookSettings&) const = default;
};

struct CommandSettings {
    QString program;
    QStringList arguments;
    int timeoutSeconds = 30;
    alarms::AlarmLevel minLevel = alarms::AlarmLevel::Warning;

    bool operator==(const CommandSettings&) const = default;
};

// How a channel paces its messages.
struct PacingSettings {
    qint64 groupMs = 30'000;  // events this close to the last message go out together
    int maxPerHour = 20;      // messages per hour and channel, then one summary
    qint64 retryFirstMs = 5'000;
    qint64 retryMaxMs = 300'000;  // the backoff's cap

    bool operator==(const PacingSettings&) const = default;
};

// Where alarms are delivered besides the screen and the broker. A channel that is not
// configured, or whose settings are wrong, is absent.
struct NotifySettings {
    std::optional<MailSettings> mail;
    std::optional<WebhookSettings> webhook;
    std::optional<CommandSettings> command;
    bool acknowledged = false;  // acknowledged events are delivered too
    QString caFile;             // CA certificate for mail and webhook TLS; empty: the system's
    PacingSettings pacing;

    bool Any() const { return mail || webhook || command; }
    // The outbox channels of the configured deliveries.
    QStringList Channels() const;
    bool operator==(const NotifySettings&) const = default;
};

// The notification settings of `values`. A channel whose settings are wrong is left out, with
// one line in `problems` naming the setting and its fault; the other channels are kept.
NotifySettings ReadNotifySettings(const config::SettingValues& values, QStringList* problems);

// Whether an event of `level` and `state` goes to a channel whose minimum level is `minLevel`.
// Raised and cleared events go, acknowledged ones when `acknowledged`; shelving does not.
bool Wanted(const alarms::AlarmEvent& event, alarms::AlarmLevel minLevel, bool acknowledged);

// True for a host name or address that stays on this machine.
bool IsLoopbackHost(const QString& host);

}  // namespace notify
