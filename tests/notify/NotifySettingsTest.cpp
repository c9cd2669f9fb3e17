#include <gtest/gtest.h>

#include "config/BatmondConf.h"
#include "config/IniFile.h"
#include "config/SettingValues.h"
#include "notify/NotifySettings.h"

namespace {

struct Read {
    notify::NotifySettings settings;
    QStringList problems;
};

Read FromFile(const QByteArray& text) {
    QString error;
    const auto file = config::IniFile::Parse(QStringLiteral("/etc/b.conf"), text,
                                             config::kBatmondSettings, &error);
    EXPECT_TRUE(file) << error.toStdString();
    Read read;
    if (!file) return read;
    EXPECT_TRUE(file->Unknown().isEmpty());
    const config::SettingValues values(nullptr, &*file);
    read.settings = notify::ReadNotifySettings(values, &read.problems);
    return read;
}

TEST(NotifySettings, readsEveryChannelWithItsLevelAndTheirSharedSettings) {
    const Read read = FromFile(
        "mail_smtp = smtps://mail.example.com:465\nmail_user = ops\nmail_password = s3cret\n"
        "mail_from = batmon@example.com\nmail_to = a@example.com, b@example.com\n"
        "mail_min_level = critical\n"
        "webhook_url = https://ntfy.example.com/battery\nwebhook_format = ntfy\n"
        "notify_command = /usr/local/bin/page \"on call\" --now\n"
        "notify_command_timeout_s = 5\nnotify_acknowledged = yes\nnotify_max_per_hour = 7\n"
        "notify_retry_max_s = 2\nnotify_group_s = 0\n");
    EXPECT_TRUE(read.problems.isEmpty()) << read.problems.join(u'\n').toStdString();
    const auto& s = read.settings;
    ASSERT_TRUE(s.mail && s.webhook && s.command);
    EXPECT_EQ(s.mail->to,
              (QStringList{QStringLiteral("a@example.com"), QStringLiteral("b@example.com")}));
    EXPECT_EQ(s.mail->minLevel, alarms::AlarmLevel::Critical);
    EXPECT_EQ(s.webhook->format, notify::WebhookFormat::Ntfy);
    EXPECT_EQ(s.webhook->minLevel, alarms::AlarmLevel::Warning);
    EXPECT_EQ(s.command->program, QStringLiteral("/usr/local/bin/page"));
    EXPECT_EQ(s.command->arguments,
              (QStringList{QStringLiteral("on call"), QStringLiteral("--now")}));
    EXPECT_EQ(s.command->timeoutSeconds, 5);
    EXPECT_TRUE(s.acknowledged);
    EXPECT_EQ(s.pacing.maxPerHour, 7);
    EXPECT_EQ(s.pacing.retryMaxMs, 2000);
    EXPECT_EQ(s.pacing.groupMs, 0);
    EXPECT_LE(s.pacing.retryFirstMs, s.pacing.retryMaxMs);
    EXPECT_EQ(s.Channels(), (QStringList{notify::kMailChannel, notify::kWebhookChannel,
                                         notify::kCommandChannel}));
}

// One line names the key and the fault; the channel is left out and the others run.
TEST(NotifySettings, aWrongChannelIsLeftOutWithOneLineAndTheOthersAreKept) {
    const struct {
        const char* text;
        const char* problem;
    } cases[] = {
        {"mail_smtp = http://mail.example.com\nmail_from = a@b.c\nmail_to = d@e.f\n",
         "/etc/b.conf:1: mail_smtp: wants smtp://HOST[:PORT] or smtps://HOST[:PORT]"},
        {"mail_smtp = smtp://u:p@mail.example.com\nmail_from = a@b.c\nmail_to = d@e.f\n",
         "/etc/b.conf:1: mail_smtp: the login belongs in mail_user and mail_password"},
        {"mail_smtp = smtp://mail\nmail_from = a@b.c\nmail_to = d@e.f\nmail_user = u\n",
         "mail_user: mail_user and mail_password go together"},
        {"mail_smtp = smtp://mail\nmail_from = a@b.c\nmail_to = \" , \"\n", "names no recipient"},
        {"mail_smtp = smtp://mail\nmail_from = a@b.c\nmail_to = x@y.z>\\r\\nRCPT TO:<e@f.g\n",
         "not a mail address"},
        {"mail_smtp = smtp://mail\nmail_from = a@b.c\nmail_to = d@e.f\nmail_min_level = high\n",
         "mail_min_level: must be warning or critical, not \"high\""},
        {"webhook_url = http://user:pw@hooks.example.com/x\n",
         "webhook_url: refused: the password would cross the network to hooks.example.com "
         "without TLS"},
        {"webhook_url = ftp://example.com/\n", "webhook_url: wants http:// or https://"},
        {"webhook_url = https://h/x\nwebhook_format = xml\n",
         "webhook_format: must be json or ntfy, not \"xml\""},
        {"notify_command = /bin/true\nnotify_command_timeout_s = 0\n",
         "notify_command_timeout_s: must be 1 to 3600 seconds"},
        {"notify_ca_file = /nonexistent/ca.crt\n", "notify_ca_file: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        // The other channel: the webhook beside a wrong command, the command beside the rest.
        const QByteArray text(c.text);
        const bool commandWrong = text.startsWith("notify_command");
        const Read read = FromFile(
            text + (commandWrong ? "webhook_url = https://h/x\n" : "notify_command = /bin/true\n"));
        ASSERT_EQ(read.problems.size(), 1) << read.problems.join(u'\n').toStdString();
        EXPECT_TRUE(read.problems[0].contains(QString::fromUtf8(c.problem)))
            << read.problems[0].toStdString();
        EXPECT_FALSE(read.problems[0].contains(QStringLiteral("pw@"))) << "no password shown";
        EXPECT_FALSE(read.settings.mail);
        EXPECT_EQ(read.settings.webhook.has_value(), commandWrong);
        EXPECT_EQ(read.settings.command.has_value(), !commandWrong)
            << "the other channel still runs";
    }
}

TEST(NotifySettings, aPasswordToLoopbackOverPlainHttpIsAccepted) {
    const Read read = FromFile("webhook_url = http://u:p@127.0.0.1:8080/x\n");
    EXPECT_TRUE(read.problems.isEmpty());
    EXPECT_TRUE(read.settings.webhook);
    EXPECT_TRUE(notify::IsLoopbackHost(QStringLiteral("::1")));
    EXPECT_TRUE(notify::IsLoopbackHost(QStringLiteral("LOCALHOST")));
    EXPECT_FALSE(notify::IsLoopbackHost(QStringLiteral("192.0.2.1")));
}

TEST(NotifySettings, channelsGetRaisedAndClearedEventsOfTheirLevelAndAcknowledgedOnesOnRequest) {
    using alarms::AlarmLevel;
    using alarms::AlarmState;
    alarms::AlarmEvent event;
    event.level = AlarmLevel::Warning;
    for (const AlarmState state : {AlarmState::Raised, AlarmState::Cleared}) {
        event.state = state;
        EXPECT_TRUE(notify::Wanted(event, AlarmLevel::Warning, false));
        EXPECT_FALSE(notify::Wanted(event, AlarmLevel::Critical, false));
    }
    event.state = AlarmState::Acknowledged;
    EXPECT_FALSE(notify::Wanted(event, AlarmLevel::Warning, false));
    EXPECT_TRUE(notify::Wanted(event, AlarmLevel::Warning, true));
    for (const AlarmState state : {AlarmState::Shelved, AlarmState::Unshelved}) {
        event.state = state;
        EXPECT_FALSE(notify::Wanted(event, AlarmLevel::Warning, true));
    }
    event.state = AlarmState::Raised;
    event.shelved = true;
    EXPECT_FALSE(notify::Wanted(event, AlarmLevel::Warning, true)) << "a shelved alarm is quiet";
}

}  // namespace
