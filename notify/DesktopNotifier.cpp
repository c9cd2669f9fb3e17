#include "notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("batmon");
const QString kIcon = QStringLiteral("dialog-warning");
constexpr uchar kUrgencyCritical = 2;
constexpr int kServerDefaultExpiry = -1;
constexpr int kMaxBodyLines = 8;

QString DescribeAlarm(const alarms::AlarmEvent& event) {
    QString text = battery::BatteryLabel(event.key.battery) + QLatin1Char(' ') +
                   alarms::KindText(event.key.kind);
    const QString value = alarms::ValueText(event.key.kind, event.value);
    if (!value.isEmpty()) text += QStringLiteral(" (") + value + QLatin1Char(')');
    return text;
}

}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

DesktopNotifier::Texts DesktopNotifier::MakeTexts(const alarms::AlarmEvents& events) {
    QStringList lines;
    std::int64_t firstMs = 0;
    int raised = 0;
    for (const auto& event : events) {
        if (event.state != alarms::AlarmState::Raised) continue;
        if (raised++ == 0) firstMs = event.tMs;
        if (lines.size() < kMaxBodyLines) lines << DescribeAlarm(event);
    }
    if (raised == 0) return {};
    if (raised > lines.size()) lines << QStringLiteral("……共%1项").arg(raised);
    const QString time =
        QDateTime::fromMSecsSinceEpoch(firstMs).toString(QStringLiteral("HH:mm:ss"));
    const QString summary = raised == 1 ? QStringLiteral("电池报警: ") + lines.first()
                                        : QStringLiteral("电池报警: %1项").arg(raised);
    return {summary, time + QLatin1Char('\n') + lines.join(QLatin1Char('\n'))};
}

bool DesktopNotifier::NotifyRaised(const alarms::AlarmEvents& events) {
    const Texts texts = MakeTexts(events);
    if (texts.summary.isEmpty()) return false;
    if (!bus_.isConnected()) {
        emit Failed(QStringLiteral("no session bus"));
        return false;
    }
    if (pending_ >= kMaxPendingCalls) {
        emit Failed(QStringLiteral("notification service does not answer"));
        return false;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue(kUrgencyCritical)}};
    call << kAppName << uint(0) << kIcon << texts.summary << texts.body << QStringList() << hints
         << kServerDefaultExpiry;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    ++pending_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                --pending_;
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError()) {
                    emit Failed(reply.error().message());
                } else {
                    emit Delivered(reply.value());
                }
                finished->deleteLater();
            });
    return true;
}
