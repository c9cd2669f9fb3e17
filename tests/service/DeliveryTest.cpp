#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "notify/NotifyText.h"
#include "service/BatmonService.h"
#include "station/AlarmMonitor.h"
#include "station/Station.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MailSinks.h"
#include "tests/servers/SmtpMailSettings.h"
#include "tests/service/BatmondHarness.h"
#include "tools/simctl/SimProcess.h"

namespace {

using testservers::MailSubject;
using testservers::MailText;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

const auto kDelivery = std::chrono::seconds(30 * kSlowdown);

bool WriteFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The settings of a mail channel to `smtp`, with its login, as a configuration file has them.
QByteArray MailConfig(const testservers::SmtpServer& smtp) {
    return QStringLiteral(
               "mail_smtp = %1\nmail_user = %2\nmail_password = %3\nmail_from = "
               "batmon@example.com\nmail_to = ops@example.com, night@example.com\n"
               "notify_ca_file = %4\n")
        .arg(smtp.Url(), smtp.User(), smtp.Password(), smtp.CaFile())
        .toUtf8();
}

// The event lines of every mail received, in the order they arrived.
QStringList MailedLines(const testservers::SmtpServer& smtp) {
    QStringList lines;
    for (const QByteArray& mail : smtp.Messages())
        for (const QString& line : MailText(mail).split(u'\n'))
            if (line.startsWith(u'2')) lines << line;  // a line starts with its date
    return lines;
}

// A battery that reports 0x71 and then normal readings again: batmond mails the raise and the
// recovery through a server that demands STARTTLS and a login, posts both to the webhook, and
// runs the command (without a shell: its argument has a space) with the event in its
// environment.
TEST(Delivery, aBatteryReportingLowVoltageReachesMailWebhookAndCommandRaisedAndCleared) {
    QString error;
    testservers::SmtpServer smtp;
    ASSERT_TRUE(smtp.Start(&error)) << error.toStdString();
    testservers::HttpSink web;
    ASSERT_TRUE(web.Start(&error)) << error.toStdString();

    servicetest::BatmondProcess batmond;
    const QString runs = QDir(batmond.Folder()).filePath(QStringLiteral("command runs"));
    ASSERT_TRUE(QDir().mkpath(runs));
    const QString script = QDir(batmond.Folder()).filePath(QStringLiteral("record.sh"));
    ASSERT_TRUE(
        WriteFile(script, "#!/bin/sh\nenv | grep '^BATMON_' | sort > \"$1/$(date +%s%N).env\"\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner);
    const QString config = QDir(batmond.Folder()).filePath(QStringLiteral("batmond.conf"));
    ASSERT_TRUE(WriteFile(
        config, MailConfig(smtp) + QStringLiteral("webhook_url = %1\nnotify_command = %2 \"%3\"\n"
                                                  "notify_group_s = 1\nnotify_retry_max_s = 1\n")
                                       .arg(web.Url(QStringLiteral("/hook")), script, runs)
                                       .toUtf8()));

    const int tcpPort = testservers::FreeLoopbackPort();
    ASSERT_TRUE(batmond.Start({QStringLiteral("--config"), config, QStringLiteral("--port"),
                               QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort),
                               QStringLiteral("--period"), QStringLiteral("1"),
                               QStringLiteral("--data-dir"), batmond.DataDir(),
                               QStringLiteral("--site"), QStringLiteral("room-7")}));
    const auto mailed = [&](const QString& state) {
        return MailedLines(smtp).filter(QStringLiteral("A0-83 电压异常 严重 ") + state).size();
    };
    {
        SimProcess low;
        ASSERT_TRUE(low.StartTcp({QStringLiteral("--status"), QStringLiteral("A0:3=0x71")},
                                 quint16(tcpPort)))
            << low.ErrorText().toStdString();
        ASSERT_TRUE(WaitUntil([&] { return mailed(QStringLiteral("报警")) == 1; }, kDelivery))
            << batmond.Log().toStdString() << smtp.Log().toStdString();
    }
    SimProcess normal;
    ASSERT_TRUE(normal.StartTcp({}, quint16(tcpPort))) << normal.ErrorText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return mailed(QStringLiteral("恢复")) == 1; }, kDelivery))
        << batmond.Log().toStdString() << MailedLines(smtp).join(u'\n').toStdString();
    EXPECT_EQ(mailed(QStringLiteral("报警")), 1) << "once each";
    EXPECT_TRUE(
        MailedLines(smtp).filter(QStringLiteral("A0-83 电压异常 严重 报警，数值 0x71")).size() ==
        1);
    EXPECT_TRUE(
        smtp.Messages().front().startsWith("X-Envelope-To: ops@example.com,night@example.com\r\n"));
    EXPECT_TRUE(MailSubject(smtp.Messages().front()).startsWith(QStringLiteral("[room-7] ")));

    // The webhook's documents list the same events with their fields.
    const auto posted = [&](const QString& state) {
        int count = 0;
        for (const auto& post : web.Posts()) {
            EXPECT_EQ(post.path, QStringLiteral("/hook"));
            EXPECT_EQ(post.Header(QStringLiteral("Content-Type")),
                      QStringLiteral("application/json"));
            const QJsonObject document = QJsonDocument::fromJson(post.body).object();
            for (const QJsonValue& value : document[QStringLiteral("events")].toArray()) {
                const QJsonObject event = value.toObject();
                count += event[QStringLiteral("kind")] == QStringLiteral("status_voltage") &&
                         event[QStringLiteral("device")] == QStringLiteral("A0") &&
                         event[QStringLiteral("battery")] == 3 &&
                         event[QStringLiteral("label")] == QStringLiteral("A0-83") &&
                         event[QStringLiteral("site")] == QStringLiteral("room-7") &&
                         event[QStringLiteral("state")] == state;
            }
        }
        return count;
    };
    EXPECT_TRUE(WaitUntil([&] { return posted(QStringLiteral("cleared")) == 1; }, kDelivery));
    EXPECT_EQ(posted(QStringLiteral("raised")), 1);

    // The command ran once per event with the event in its environment.
    const auto ran = [&](const QString& state) {
        int count = 0;
        const QDir dir(runs);
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) continue;
            const QString text = QString::fromUtf8(file.readAll());
            count += text.contains(QStringLiteral("BATMON_KIND=status_voltage\n")) &&
                     text.contains(QStringLiteral("BATMON_DEVICE=A0\n")) &&
                     text.contains(QStringLiteral("BATMON_BATTERY=3\n")) &&
                     text.contains(QStringLiteral("BATMON_SITE=room-7\n")) &&
                     text.contains(QStringLiteral("BATMON_LEVEL=critical\n")) &&
                     text.contains(QStringLiteral("BATMON_TEXT=")) &&
                     text.contains(QStringLiteral("BATMON_STATE=") + state + u'\n');
        }
        return count;
    };
    EXPECT_TRUE(WaitUntil([&] { return ran(QStringLiteral("cleared")) == 1; }, kDelivery));
    EXPECT_EQ(ran(QStringLiteral("raised")), 1);
    EXPECT_EQ(batmond.Stop(SIGTERM), 0) << batmond.Log().toStdString();
}

// Options of a service whose bus never answers: alarms come only from the test.
ServiceOptions SilentBus(const QString& dir, const testservers::SmtpServer& smtp) {
    ServiceOptions options;
    options.port = QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    options.dataDir = dir;
    options.site = QStringLiteral("room-9");
    options.notify.mail = testservers::MailSettingsFor(smtp);
    options.notify.caFile = smtp.CaFile();
    options.notify.pacing.groupMs = 200;
    options.notify.pacing.retryFirstMs = 100;
    options.notify.pacing.retryMaxMs = 400;
    return options;
}

alarms::AlarmEvent Event(qint64 tMs, std::uint8_t battery, alarms::AlarmState state) {
    alarms::AlarmEvent event;
    event.tMs = tMs;
    event.key = {{0xA0, battery}, alarms::AlarmKind::StatusSwelling};
    event.state = state;
    event.value = state == alarms::AlarmState::Raised ? 0x73 : 0x11;
    return event;
}

// The mail server goes away while alarms come and go and batmond restarts meanwhile: when the
// server is back, every event arrives, in the order it happened, once.
TEST(Delivery, eventsWhileTheMailServerIsAwayArriveInOrderOnceAcrossARestart) {
    QString error;
    testservers::SmtpServer smtp;
    ASSERT_TRUE(smtp.Start(&error)) << error.toStdString();
    QTemporaryDir dir;
    QStringList expected;
    const auto report = [&](BatmonService& service, const alarms::AlarmEvent& event) {
        expected << notify::EventLine(event);
        emit service.GetStation().Alarms().EventsOccurred({event});
    };
    qint64 t = 1'765'000'000'000;
    {
        BatmonService service(SilentBus(dir.path(), smtp));
        ASSERT_TRUE(service.Start(&error)) << error.toStdString();
        report(service, Event(t, 1, alarms::AlarmState::Raised));
        ASSERT_TRUE(WaitUntil([&] { return MailedLines(smtp).size() == 1; }, kDelivery));

        smtp.Stop();
        for (std::uint8_t b = 2; b < 6; ++b)
            report(service, Event(t += 1000, b, alarms::AlarmState::Raised));
        report(service, Event(t += 1000, 1, alarms::AlarmState::Cleared));
        // Tried and failed several times meanwhile (the backoff's cap is 0.4 s).
        testsupport::RunEventLoopFor(std::chrono::milliseconds(1500));
        service.Shutdown();
    }
    BatmonService restarted(SilentBus(dir.path(), smtp));
    ASSERT_TRUE(restarted.Start(&error)) << error.toStdString();
    for (std::uint8_t b = 2; b < 4; ++b)
        report(restarted, Event(t += 1000, b, alarms::AlarmState::Cleared));
    testsupport::RunEventLoopFor(std::chrono::milliseconds(500));
    ASSERT_TRUE(smtp.Start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return MailedLines(smtp).size() >= expected.size(); }, kDelivery))
        << MailedLines(smtp).join(u'\n').toStdString();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return MailedLines(smtp).size() == expected.size(); },
                                      std::chrono::milliseconds(1000)));
    EXPECT_EQ(MailedLines(smtp), expected);
    EXPECT_LE(smtp.Messages().size(), 3u) << "what waited went out together";
    restarted.Shutdown();
}

// --test-notify sends one test message through each channel and says how each fared; one that
// fails, or one left out for its settings, makes the exit status non-zero.
TEST(Delivery, testNotifyReportsEveryChannel) {
    QString error;
    testservers::SmtpServer smtp;
    ASSERT_TRUE(smtp.Start(&error)) << error.toStdString();
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("batmond.conf"));
    const auto run = [&](const QByteArray& text, QString* output) {
        EXPECT_TRUE(WriteFile(config, text));
        static int runs = 0;
        const QString log = dir.filePath(QStringLiteral("test%1.log").arg(++runs));
        const bool ok =
            testservers::RunToEnd(QStringLiteral(BATMOND_PATH),
                                  {QStringLiteral("--config"), config, QStringLiteral("--site"),
                                   QStringLiteral("r1"), QStringLiteral("--test-notify")},
                                  log);
        QFile file(log);
        file.open(QIODevice::ReadOnly);
        *output = QString::fromUtf8(file.readAll());
        return ok;
    };
    QString output;
    EXPECT_TRUE(run(MailConfig(smtp), &output)) << output.toStdString();
    EXPECT_EQ(output, QStringLiteral("mail: test message sent\n"));
    ASSERT_EQ(smtp.Messages().size(), 1u);
    EXPECT_EQ(MailSubject(smtp.Messages()[0]),
              QStringLiteral("[r1] 【测试】A0-80 电压异常 严重 报警"));

    EXPECT_FALSE(run(MailConfig(smtp) + "notify_command = /bin/false\n"
                                        "webhook_url = http://u:pw@192.0.2.1/x\n",
                     &output));
    EXPECT_TRUE(output.contains(QStringLiteral("mail: test message sent\n")));
    EXPECT_TRUE(output.contains(
        QStringLiteral("command: test message failed: /bin/false exited with status 1\n")));
    EXPECT_TRUE(output.contains(QStringLiteral("webhook_url: refused: the password would cross")))
        << output.toStdString();
    EXPECT_EQ(output.count(u'\n'), 3) << output.toStdString();
}

}  // namespace

namespace {

// A channel whose settings are wrong is named in one line at start and again at a reload, and
// batmond runs on with the rest; a reload that mends it starts the channel.
TEST(Delivery, aWrongChannelIsOneLineAtStartAndReloadAndTheRestRuns) {
    servicetest::BatmondProcess batmond;
    const QString config = QDir(batmond.Folder()).filePath(QStringLiteral("batmond.conf"));
    const QString runs = QDir(batmond.Folder()).filePath(QStringLiteral("runs"));
    ASSERT_TRUE(QDir().mkpath(runs));
    const QByteArray command =
        QStringLiteral("notify_command = /usr/bin/touch %1/ran\n").arg(runs).toUtf8();
    ASSERT_TRUE(WriteFile(config, command + "webhook_url = http://u:pw@192.0.2.1/x\n"));
    ASSERT_TRUE(
        batmond.Start({QStringLiteral("--config"), config, QStringLiteral("--port"),
                       QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort()),
                       QStringLiteral("--data-dir"), batmond.DataDir()}));
    const QString refused = QStringLiteral(
                                "notification channel left out: %1:2: webhook_url: refused: the "
                                "password would cross the "
                                "network to 192.0.2.1 without TLS (use https://)")
                                .arg(config);
    ASSERT_TRUE(batmond.WaitForLog(refused)) << batmond.Log().toStdString();
    ASSERT_TRUE(batmond.WaitForLog(QStringLiteral("notifications: command")));
    ASSERT_TRUE(batmond.WaitForLog(QStringLiteral("batmond started")));

    ASSERT_TRUE(WriteFile(config, command + "webhook_url = http://u:pw@192.0.2.1/x\n"
                                            "notify_command_timeout_s = forever\n"));
    ::kill(batmond.Pid(), SIGHUP);
    ASSERT_TRUE(batmond.WaitForLog(QStringLiteral("configuration re-read")))
        << batmond.Log().toStdString();
    EXPECT_EQ(batmond.Log().count(refused), 2);
    EXPECT_EQ(batmond.Log().count(QStringLiteral(
                  "notify_command_timeout_s: must be 1 to 3600 seconds, not \"forever\"")),
              1);
    EXPECT_TRUE(batmond.Running()) << "the rest runs";
    EXPECT_EQ(batmond.Stop(SIGTERM), 0) << batmond.Log().toStdString();
}

}  // namespace
