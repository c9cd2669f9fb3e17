#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "notify/NotifyText.h"

namespace {

using alarms::AlarmKind;
using alarms::AlarmLevel;
using alarms::AlarmState;

alarms::AlarmEvent LowVoltage(AlarmState state) {
    alarms::AlarmEvent event;
    event.tMs = 1'700'000'000'000;
    event.key = {battery::BatteryId{battery::kDeviceA1, 2}, AlarmKind::LowVoltage};
    event.state = state;
    event.level = AlarmLevel::Critical;
    event.value = 11.2;
    event.limit = 11.5;
    return event;
}

notify::Notice Notice(alarms::AlarmEvents events) {
    notify::Notice notice;
    notice.site = QStringLiteral("机房1");
    notice.events = std::move(events);
    return notice;
}

TEST(NotifyText, aLineNamesTheBatteryAsTheWindowDoesTheKindLevelStateValueLimitAndLocalTime) {
    const QString line = notify::EventLine(LowVoltage(AlarmState::Raised));
    const QString local = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000)
                              .toLocalTime()
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(line, local + QStringLiteral(" 3# ") + alarms::KindText(AlarmKind::LowVoltage) +
                        QStringLiteral(" 严重 报警，数值 11.2 V，限值 11.5 V"));
    EXPECT_TRUE(
        notify::EventLine(LowVoltage(AlarmState::Cleared)).contains(QStringLiteral("恢复")));

    const notify::Notice one = Notice({LowVoltage(AlarmState::Raised)});
    EXPECT_EQ(notify::Title(one), QStringLiteral("[机房1] 3# ") +
                                      alarms::KindText(AlarmKind::LowVoltage) +
                                      QStringLiteral(" 严重 报警"));
    notify::Notice summary =
        Notice({LowVoltage(AlarmState::Raised), LowVoltage(AlarmState::Cleared)});
    summary.summary = true;
    summary.unlisted = 3;
    EXPECT_EQ(notify::Title(summary), QStringLiteral("[机房1] 5 条报警通知（汇总）"));
    EXPECT_TRUE(notify::PlainText(summary).contains(QStringLiteral("另有 3 条未列出")));
    EXPECT_EQ(notify::PlainText(summary).count(u'\n'), 2 + 2 + 1);
}

TEST(NotifyText, theWebhookDocumentCarriesTheDocumentedFieldsOfEveryEvent) {
    const notify::Notice notice =
        Notice({LowVoltage(AlarmState::Raised), LowVoltage(AlarmState::Cleared)});
    const QJsonObject document = QJsonDocument::fromJson(notify::WebhookJson(notice)).object();
    for (const char* field : {"site", "device", "battery", "label", "kind", "level", "state",
                              "value", "limit", "time", "text"})
        EXPECT_TRUE(document.contains(QLatin1String(field))) << field;
    EXPECT_EQ(document[QStringLiteral("site")].toString(), QStringLiteral("机房1"));
    EXPECT_EQ(document[QStringLiteral("device")].toString(), QStringLiteral("A1"));
    EXPECT_EQ(document[QStringLiteral("battery")].toInt(), 2);
    EXPECT_EQ(document[QStringLiteral("label")].toString(), QStringLiteral("3#"));
    EXPECT_EQ(document[QStringLiteral("kind")].toString(), alarms::KindId(AlarmKind::LowVoltage));
    EXPECT_EQ(document[QStringLiteral("level")].toString(), QStringLiteral("critical"));
    EXPECT_DOUBLE_EQ(document[QStringLiteral("value")].toDouble(), 11.2);
    EXPECT_DOUBLE_EQ(document[QStringLiteral("limit")].toDouble(), 11.5);
    EXPECT_EQ(QDateTime::fromString(document[QStringLiteral("time")].toString(), Qt::ISODateWithMs)
                  .toMSecsSinceEpoch(),
              1'700'000'000'000);
    const QJsonArray events = document[QStringLiteral("events")].toArray();
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[1].toObject()[QStringLiteral("state")].toString(), QStringLiteral("cleared"));
    EXPECT_EQ(document[QStringLiteral("count")].toInt(), 2);
    EXPECT_EQ(notify::PushPriority(notice), 5);
    EXPECT_EQ(notify::PushPriority(Notice({LowVoltage(AlarmState::Cleared)})), 3);
}

TEST(NotifyText, theCommandSeesTheEventInItsEnvironment) {
    const QProcessEnvironment environment = notify::CommandEnvironment(
        QStringLiteral("room"), LowVoltage(AlarmState::Raised), false, QProcessEnvironment());
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_SITE")), QStringLiteral("room"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_DEVICE")), QStringLiteral("A1"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_BATTERY")), QStringLiteral("2"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_KIND")),
              alarms::KindId(AlarmKind::LowVoltage));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_LEVEL")), QStringLiteral("critical"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_STATE")), QStringLiteral("raised"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_VALUE")), QStringLiteral("11.2"));
    EXPECT_EQ(environment.value(QStringLiteral("BATMON_TEXT")),
              notify::EventLine(LowVoltage(AlarmState::Raised)));
    EXPECT_FALSE(environment.contains(QStringLiteral("BATMON_TEST")));
}

// The subject is Chinese, so it travels encoded; every line stays within what SMTP allows.
TEST(NotifyText, theMailHasEncodedHeadersAndAPlainAndAnHtmlPart) {
    const QByteArray mail = notify::MailMessage(
        Notice({LowVoltage(AlarmState::Raised)}), QStringLiteral("b@example.com"),
        {QStringLiteral("x@example.com"), QStringLiteral("y@example.com")},
        QStringLiteral("id1@batmon"), 1'700'000'000'000);
    EXPECT_TRUE(mail.contains("Subject: =?UTF-8?B?"));
    EXPECT_TRUE(mail.contains("To: x@example.com, y@example.com\r\n"));
    EXPECT_TRUE(mail.contains("Content-Type: text/plain; charset=UTF-8"));
    EXPECT_TRUE(mail.contains("Content-Type: text/html; charset=UTF-8"));
    EXPECT_TRUE(QRegularExpression(
                    QStringLiteral(
                        "Date: \\w{3}, \\d\\d \\w{3} \\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\r\n"))
                    .match(QString::fromLatin1(mail))
                    .hasMatch());
    for (const QByteArray& line : mail.split('\n')) {
        EXPECT_LE(line.size(), 998);
        for (const char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x09);
        for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    }
}

}  // namespace
