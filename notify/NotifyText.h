#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <vector>

#include "alarms/AlarmTypes.h"

namespace notify {

// One message of a channel: the events it reports, oldest first.
struct Notice {
    QString site;
    alarms::AlarmEvents events;
    // Events of the message beyond those listed: a summary after the hourly limit lists the
    // first ones and counts the rest.
    int unlisted = 0;
    bool summary = false;  // the hourly limit held these events back
    bool test = false;     // a test of the channel, not a real alarm
};

// A message to test a channel with: one made-up event of the first battery.
Notice TestNotice(const QString& site, qint64 nowMs);

// One line per event, as the operator reads it: the local time, the battery's label as the
// window shows it, the kind's text, the level, the state, the value and the limit.
// "2026-12-09 15:30:01 A0-80 电压过低 严重 报警，数值 11.2 V，限值 11.5 V"
QString EventLine(const alarms::AlarmEvent& event);

// The subject of a mail, the title of a push: "[站点] A0-80 电压过低 严重 报警" for one event,
// "[站点] 3 条报警通知" for more.
QString Title(const Notice& notice);
// The plain-text body: a heading line with the site and one line per event.
QString PlainText(const Notice& notice);
// The same as a small HTML part (the lines as a list, escaped).
QString HtmlText(const Notice& notice);

// The webhook's JSON document: the fields of the message's first event (site, device, battery,
// label, kind, level, state, value, limit, time, text), where `text` is the whole message, plus
// `events` with the fields of every event listed, `count`, and `summary`/`test` when they hold.
QByteArray WebhookJson(const Notice& notice);
// ntfy's priority for the message: 5 with a critical raise, 4 with a warning raise, else 3.
int PushPriority(const Notice& notice);

// The environment a command runs with for one event: BATMON_SITE, BATMON_DEVICE,
// BATMON_BATTERY, BATMON_KIND, BATMON_LEVEL, BATMON_STATE, BATMON_VALUE, BATMON_TEXT, and
// BATMON_TEST=1 for a test, added to `base`.
QProcessEnvironment CommandEnvironment(const QString& site, const alarms::AlarmEvent& event,
                                       bool test, QProcessEnvironment base);

// The mail as it goes to the server (RFC 5322, UTF-8 headers encoded), with a plain and an HTML
// part. `messageId` must be unique to the message.
QByteArray MailMessage(const Notice& notice, const QString& from, const QStringList& to,
                       const QString& messageId, qint64 nowMs);

}  // namespace notify
