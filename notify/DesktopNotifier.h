#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include "alarms/AlarmTypes.h"

// Shows raised alarms as desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). Calls are sent asynchronously: the caller's
// thread never waits for the service. Without a bus or a service the notification is simply not
// shown; the outcome arrives later as `delivered` or `failed`.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // A notification service that stops answering must not make calls pile up: beyond this many
    // unanswered calls new notifications are dropped until the service answers or the calls
    // time out.
    static constexpr int kMaxPendingCalls = 8;
    static constexpr int kCallTimeoutMs = 10'000;

    // `bus` is usually QDBusConnection::sessionBus(); tests pass a private bus.
    explicit DesktopNotifier(QDBusConnection bus, QObject* parent = nullptr);

    // Shows one notification for the raised alarms among `events` (one call of the alarm rules,
    // such as the fourteen batteries a lost port silences, gives one notification, not fourteen).
    // Cleared and acknowledged events show nothing. Returns whether a call was sent.
    bool NotifyRaised(const alarms::AlarmEvents& events);

    int PendingCalls() const { return pending_; }

    // The summary and body of the notification for the raised alarms among `events`; empty when
    // there are none.
    struct Texts {
        QString summary;
        QString body;
    };
    static Texts MakeTexts(const alarms::AlarmEvents& events);

signals:
    void Delivered(uint notificationId);
    void Failed(const QString& error);

private:
    QDBusConnection bus_;
    int pending_ = 0;
};
