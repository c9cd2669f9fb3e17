#include "notify/NotifyText.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <algorithm>
#include <cstdlib>

#include "battery/BatteryId.h"

namespace notify {
namespace {

constexpr int kPriorityCritical = 5;
constexpr int kPriorityWarning = 4;
constexpr int kPriorityDefault = 3;

QString LocalTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(
        QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The local time with its offset from UTC spelled out.
QDateTime WithOffset(qint64 ms) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc());
}

// "Wed, 09 Dec 2026 23:30:01 +0800"
QByteArray MailDate(qint64 ms) {
    const QDateTime local = WithOffset(ms);
    const int minutes = local.offsetFromUtc() / 60;
    return (QLocale::c().toString(local, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss ")) +
            QStringLiteral("%1%2%3")
                .arg(QLatin1Char(minutes < 0 ? '-' : '+'))
                .arg(std::abs(minutes) / 60, 2, 10, QLatin1Char('0'))
                .arg(std::abs(minutes) % 60, 2, 10, QLatin1Char('0')))
        .toLatin1();
}

QString Heading(const Notice& notice) {
    QString heading = QStringLiteral("站点 %1").arg(notice.site);
    if (notice.test) heading += QStringLiteral("：报警通知测试，这不是真实报警");
    if (notice.summary) heading += QStringLiteral("：每小时消息数已达上限，期间的报警事件汇总如下");
    return heading;
}

// RFC 2047 encoded-word for a header that is not plain ASCII.
QByteArray HeaderText(const QString& text) {
    bool ascii = true;
    for (const QChar c : text) ascii = ascii && c.unicode() >= 0x20 && c.unicode() < 0x7F;
    if (ascii) return text.toLatin1();
    return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

QJsonObject EventObject(const QString& site, const alarms::AlarmEvent& event) {
    QJsonObject object;
    object[QStringLiteral("site")] = site;
    object[QStringLiteral("device")] = battery::DeviceName(event.key.battery.device);
    object[QStringLiteral("battery")] = event.key.battery.battery;
    object[QStringLiteral("label")] = battery::BatteryLabel(event.key.battery);
    object[QStringLiteral("kind")] = alarms::KindId(event.key.kind);
    object[QStringLiteral("level")] = alarms::LevelId(event.level);
    object[QStringLiteral("state")] = alarms::StateId(event.state);
    object[QStringLiteral("value")] = event.value ? QJsonValue(*event.value) : QJsonValue();
    object[QStringLiteral("limit")] = event.limit ? QJsonValue(*event.limit) : QJsonValue();
    object[QStringLiteral("time")] = WithOffset(event.tMs).toString(Qt::ISODateWithMs);
    object[QStringLiteral("text")] = EventLine(event);
    return object;
}

}  // namespace

Notice TestNotice(const QString& site, qint64 nowMs) {
    alarms::AlarmEvent event;
    event.tMs = nowMs;
    event.key = {battery::WatchedBattery(0), alarms::AlarmKind::StatusVoltage};
    event.state = alarms::AlarmState::Raised;
    event.level = alarms::AlarmLevel::Critical;
    event.value = 0x71;
    Notice notice;
    notice.site = site;
    notice.events.push_back(event);
    notice.test = true;
    return notice;
}

QString EventLine(const alarms::AlarmEvent& event) {
    QString line = QStringLiteral("%1 %2 %3 %4 %5")
                       .arg(LocalTime(event.tMs), battery::BatteryLabel(event.key.battery),
                            alarms::KindText(event.key.kind), alarms::LevelText(event.level),
                            alarms::StateText(event.state));
    const QString value = alarms::ValueText(event.key.kind, event.value);
    if (!value.isEmpty()) line += QStringLiteral("，数值 ") + value;
    const QString limit = alarms::ValueText(event.key.kind, event.limit);
    if (!limit.isEmpty()) line += QStringLiteral("，限值 ") + limit;
    if (!event.user.isEmpty()) line += QStringLiteral("，操作员 ") + event.user;
    return line;
}

QString Title(const Notice& notice) {
    QString title = QStringLiteral("[%1] ").arg(notice.site);
    if (notice.test) title += QStringLiteral("【测试】");
    const qsizetype count = notice.events.size() + notice.unlisted;
    if (count == 1) {
        const alarms::AlarmEvent& event = notice.events.front();
        return title + QStringLiteral("%1 %2 %3 %4")
                           .arg(battery::BatteryLabel(event.key.battery),
                                alarms::KindText(event.key.kind), alarms::LevelText(event.level),
                                alarms::StateText(event.state));
    }
    return title + QStringLiteral("%1 条报警通知%2")
                       .arg(count)
                       .arg(notice.summary ? QStringLiteral("（汇总）") : QString());
}

QString PlainText(const Notice& notice) {
    QString text = Heading(notice) + QStringLiteral("\n\n");
    for (const alarms::AlarmEvent& event : notice.events) text += EventLine(event) + u'\n';
    if (notice.unlisted > 0) text += QStringLiteral("……另有 %1 条未列出\n").arg(notice.unlisted);
    return text;
}

QString HtmlText(const Notice& notice) {
    QString html =
        QStringLiteral("<html><body><p>%1</p><ul>\n").arg(Heading(notice).toHtmlEscaped());
    for (const alarms::AlarmEvent& event : notice.events)
        html += QStringLiteral("<li>%1</li>\n").arg(EventLine(event).toHtmlEscaped());
    html += QStringLiteral("</ul>");
    if (notice.unlisted > 0)
        html += QStringLiteral("<p>……另有 %1 条未列出</p>").arg(notice.unlisted);
    return html + QStringLiteral("</body></html>\n");
}

QByteArray WebhookJson(const Notice& notice) {
    QJsonObject document =
        notice.events.empty() ? QJsonObject() : EventObject(notice.site, notice.events.front());
    document[QStringLiteral("site")] = notice.site;
    document[QStringLiteral("text")] = PlainText(notice);
    QJsonArray events;
    for (const alarms::AlarmEvent& event : notice.events)
        events.append(EventObject(notice.site, event));
    document[QStringLiteral("events")] = events;
    document[QStringLiteral("count")] = qint64(notice.events.size()) + notice.unlisted;
    if (notice.summary) document[QStringLiteral("summary")] = true;
    if (notice.test) document[QStringLiteral("test")] = true;
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

int PushPriority(const Notice& notice) {
    int priority = kPriorityDefault;
    for (const alarms::AlarmEvent& event : notice.events) {
        if (event.state != alarms::AlarmState::Raised) continue;
        priority =
            std::max(priority, event.level == alarms::AlarmLevel::Critical ? kPriorityCritical
                                                                           : kPriorityWarning);
    }
    return priority;
}

QProcessEnvironment CommandEnvironment(const QString& site, const alarms::AlarmEvent& event,
                                       bool test, QProcessEnvironment base) {
    base.insert(QStringLiteral("BATMON_SITE"), site);
    base.insert(QStringLiteral("BATMON_DEVICE"), battery::DeviceName(event.key.battery.device));
    base.insert(QStringLiteral("BATMON_BATTERY"), QString::number(event.key.battery.battery));
    base.insert(QStringLiteral("BATMON_KIND"), alarms::KindId(event.key.kind));
    base.insert(QStringLiteral("BATMON_LEVEL"), alarms::LevelId(event.level));
    base.insert(QStringLiteral("BATMON_STATE"), alarms::StateId(event.state));
    base.insert(QStringLiteral("BATMON_VALUE"),
                event.value ? QString::number(*event.value) : QString());
    base.insert(QStringLiteral("BATMON_TEXT"), EventLine(event));
    if (test) base.insert(QStringLiteral("BATMON_TEST"), QStringLiteral("1"));
    return base;
}

QByteArray MailMessage(const Notice& notice, const QString& from, const QStringList& to,
                       const QString& messageId, qint64 nowMs) {
    const QByteArray boundary = "batmon-" + messageId.toLatin1().toHex().left(24);
    QByteArray mail;
    mail += "Date: " + MailDate(nowMs) + "\r\n";
    mail += "From: " + from.toLatin1() + "\r\n";
    mail += "To: " + to.join(QStringLiteral(", ")).toLatin1() + "\r\n";
    mail += "Subject: " + HeaderText(Title(notice)) + "\r\n";
    mail += "Message-ID: <" + messageId.toLatin1() + ">\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
    const auto part = [&](const char* type, const QString& text) {
        mail += "--" + boundary + "\r\n";
        mail += QByteArray("Content-Type: ") + type + "; charset=UTF-8\r\n";
        mail += "Content-Transfer-Encoding: base64\r\n\r\n";
        const QByteArray encoded = text.toUtf8().toBase64();
        for (qsizetype at = 0; at < encoded.size(); at += 76) mail += encoded.mid(at, 76) + "\r\n";
    };
    part("text/plain", PlainText(notice));
    part("text/html", HtmlText(notice));
    mail += "--" + boundary + "--\r\n";
    return mail;
}

}  // namespace notify
