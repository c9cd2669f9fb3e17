#include "notify/NotifySettings.h"

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>

namespace notify {
namespace {

// Reads one channel's settings; an empty optional with one line in `problem` when one is wrong.
class ChannelReader {
public:
    ChannelReader(const config::SettingValues& values, QString* problem)
        : values_(values), problem_(problem) {}

    bool Failed() const { return !problem_->isEmpty(); }

    void Fail(const char* key, const QString& reason) {
        if (!Failed()) *problem_ = values_.Label(key) + QStringLiteral(": ") + reason;
    }

    alarms::AlarmLevel Level(const char* key) {
        const QString text = values_.Value(key);
        if (text.isEmpty()) return alarms::AlarmLevel::Warning;
        const std::optional<alarms::AlarmLevel> level = alarms::LevelFromId(text);
        if (!level) Fail(key, QStringLiteral("must be warning or critical, not \"%1\"").arg(text));
        return level.value_or(alarms::AlarmLevel::Warning);
    }

    // An address without the characters that would end a header or an SMTP command.
    QString Address(const char* key, const QString& text) {
        static const QRegularExpression plain(QStringLiteral("^[^\\s<>,;\"]+@[^\\s<>,;\"@]+$"));
        if (!plain.match(text).hasMatch())
            Fail(key, QStringLiteral("not a mail address: \"%1\"").arg(text));
        return text;
    }

private:
    const config::SettingValues& values_;
    QString* problem_;
};

std::optional<MailSettings> ReadMail(const config::SettingValues& values, QString* problem) {
    ChannelReader read(values, problem);
    MailSettings mail;
    mail.url = values.Value("mail_smtp");
    const QUrl url(mail.url, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"smtp" && scheme != u"smtps") || url.host().isEmpty() ||
        (!url.path().isEmpty() && url.path() != u"/") || url.hasQuery())
        read.Fail("mail_smtp",
                  QStringLiteral("wants smtp://HOST[:PORT] or smtps://HOST[:PORT], not \"%1\"")
                      .arg(mail.url));
    else if (!url.userInfo().isEmpty())
        read.Fail("mail_smtp", QStringLiteral("the login belongs in mail_user and mail_password"));
    mail.user = values.Value("mail_user");
    mail.password = values.Value("mail_password");
    if (mail.user.isEmpty() != mail.password.isEmpty())
        read.Fail(mail.user.isEmpty() ? "mail_password" : "mail_user",
                  QStringLiteral("mail_user and mail_password go together"));
    mail.from = read.Address("mail_from", values.Value("mail_from"));
    for (const QString& part : values.Value("mail_to").split(u',', Qt::SkipEmptyParts)) {
        const QString address = part.trimmed();
        if (!address.isEmpty()) mail.to << read.Address("mail_to", address);
    }
    if (mail.to.isEmpty()) read.Fail("mail_to", QStringLiteral("names no recipient"));
    mail.minLevel = read.Level("mail_min_level");
    if (read.Failed()) return std::nullopt;
    return mail;
}

std::optional<WebhookSettings> ReadWebhook(const config::SettingValues& values, QString* problem) {
    ChannelReader read(values, problem);
    WebhookSettings webhook;
    webhook.url = values.Value("webhook_url");
    const QUrl url(webhook.url, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"http" && scheme != u"https") || url.host().isEmpty())
        read.Fail("webhook_url", QStringLiteral("wants http:// or https:// and a host, not \"%1\"")
                                     .arg(url.toDisplayString(QUrl::RemovePassword)));
    else if (scheme == u"http" && !url.password().isEmpty() && !IsLoopbackHost(url.host()))
        read.Fail("webhook_url",
                  QStringLiteral("refused: the password would cross the network to %1 without "
                                 "TLS (use https://)")
                      .arg(url.host()));
    const QString format = values.Value("webhook_format");
    if (format == u"ntfy")
        webhook.format = WebhookFormat::Ntfy;
    else if (!format.isEmpty() && format != u"json")
        read.Fail("webhook_format", QStringLiteral("must be json or ntfy, not \"%1\"").arg(format));
    webhook.minLevel = read.Level("webhook_min_level");
    if (read.Failed()) return std::nullopt;
    return webhook;
}

std::optional<CommandSettings> ReadCommand(const config::SettingValues& values, QString* problem) {
    ChannelReader read(values, problem);
    CommandSettings command;
    // Split like a shell would split words, but run without one: no expansion, no redirection.
    QStringList words = QProcess::splitCommand(values.Value("notify_command"));
    if (words.isEmpty()) {
        read.Fail("notify_command", QStringLiteral("names no program"));
        return std::nullopt;
    }
    command.program = words.takeFirst();
    command.arguments = words;
    const QString timeout = values.Value("notify_command_timeout_s");
    if (!timeout.isEmpty()) {
        bool ok = false;
        command.timeoutSeconds = timeout.toInt(&ok);
        if (!ok || command.timeoutSeconds < 1 || command.timeoutSeconds > 3600)
            read.Fail("notify_command_timeout_s",
                      QStringLiteral("must be 1 to 3600 seconds, not \"%1\"").arg(timeout));
    }
    command.minLevel = read.Level("notify_min_level");
    if (read.Failed()) return std::nullopt;
    return command;
}

// A whole number from `low` to `high`, `fallback` when not set; nothing when wrong.
std::optional<int> Whole(const config::SettingValues& values, const char* key, int fallback,
                         int low, int high, QStringList* problems) {
    const QString text = values.Value(key);
    if (text.isEmpty()) return fallback;
    bool ok = false;
    const int value = text.toInt(&ok);
    if (ok && value >= low && value <= high) return value;
    *problems << QStringLiteral("%1: must be %2 to %3, not \"%4\"")
                     .arg(values.Label(key))
                     .arg(low)
                     .arg(high)
                     .arg(text);
    return std::nullopt;
}

}  // namespace

QStringList NotifySettings::Channels() const {
    QStringList channels;
    if (mail) channels << kMailChannel;
    if (webhook) channels << kWebhookChannel;
    if (command) channels << kCommandChannel;
    return channels;
}

NotifySettings ReadNotifySettings(const config::SettingValues& values, QStringList* problems) {
    NotifySettings settings;
    const auto channel = [&](const char* key, auto read, auto& into) {
        if (values.Value(key).isEmpty()) return;
        QString problem;
        into = read(values, &problem);
        if (!problem.isEmpty()) *problems << problem;
    };
    channel("mail_smtp", ReadMail, settings.mail);
    channel("webhook_url", ReadWebhook, settings.webhook);
    channel("notify_command", ReadCommand, settings.command);

    const std::optional<bool> acknowledged = values.Switch("notify_acknowledged", false);
    if (acknowledged)
        settings.acknowledged = *acknowledged;
    else
        *problems << QStringLiteral("%1: must be true or false, not \"%2\"")
                         .arg(values.Label("notify_acknowledged"),
                              values.Value("notify_acknowledged"));
    settings.caFile = values.Value("notify_ca_file");
    if (!settings.caFile.isEmpty()) {
        if (const auto problem = config::ReadableFileProblem(settings.caFile)) {
            *problems << values.Label("notify_ca_file") + QStringLiteral(": ") + *problem;
            settings.caFile.clear();
        }
    }
    if (const auto most =
            Whole(values, "notify_max_per_hour", settings.pacing.maxPerHour, 1, 3600, problems))
        settings.pacing.maxPerHour = *most;
    if (const auto group =
            Whole(values, "notify_group_s", static_cast<int>(settings.pacing.groupMs / 1000), 0,
                  3600, problems))
        settings.pacing.groupMs = qint64(*group) * 1000;
    if (const auto cap =
            Whole(values, "notify_retry_max_s", static_cast<int>(settings.pacing.retryMaxMs / 1000),
                  1, 86400, problems)) {
        settings.pacing.retryMaxMs = qint64(*cap) * 1000;
        settings.pacing.retryFirstMs =
            std::min(settings.pacing.retryFirstMs, settings.pacing.retryMaxMs);
    }
    return settings;
}

bool Wanted(const alarms::AlarmEvent& event, alarms::AlarmLevel minLevel, bool acknowledged) {
    if (event.shelved) return false;
    switch (event.state) {
        case alarms::AlarmState::Raised:
        case alarms::AlarmState::Cleared:
            break;
        case alarms::AlarmState::Acknowledged:
            if (!acknowledged) return false;
            break;
        case alarms::AlarmState::Shelved:
        case alarms::AlarmState::Unshelved:
            return false;
    }
    return event.level >= minLevel;
}

bool IsLoopbackHost(const QString& host) {
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

}  // namespace notify
