#include "app/AlarmView.h"

#include <QDBusConnection>
#include <QLabel>
#include <QMetaObject>
#include <QTabBar>
#include <utility>

#include "app/AlarmPage.h"
#include "app/Controls.h"
#include "app/LayoutKit.h"
#include "app/LiveRowMarks.h"
#include "display/HistoryGridModel.h"
#include "notify/DesktopNotifier.h"
#include "station/Station.h"

namespace {

// The count sits at the right end of the status bar's first panel, whose messages start at
// the left and rarely reach that far.
constexpr int kFirstPanelWidth = 530;
constexpr int kCountWidth = 120;

}  // namespace

AlarmView::AlarmView(Station& station, const Targets& targets, QObject* parent)
    : QObject(parent),
      station_(station),
      targets_(targets),
      page_(new AlarmPage(station.Alarms(), station.StoredAlarmEvents())),
      count_(new QLabel(targets.statusBar)),
      notifier_(new DesktopNotifier(QDBusConnection::sessionBus(), this)) {
    targets_.pages->AddPage(page_, QStringLiteral("报警记录"), QColor(0xA6, 0xCA, 0xF0));
    targets_.pages->tabBar()->setTabTextColor(targets_.pages->count() - 1, layout::kPurple);
    count_->setObjectName(QStringLiteral("AlarmCountLabel"));
    count_->setGeometry(kFirstPanelWidth - 2 - kCountWidth, 3, kCountWidth - 2,
                        layout::kStatusHeight - 4);
    count_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    count_->setAutoFillBackground(true);  // covers a long message of the panel beneath
    usualText_ = count_->palette().color(QPalette::WindowText);
    for (HistoryGridModel* table : targets_.historyTables)
        table->SetAbnormalForeground(liverows::kAlarmText);

    AlarmMonitor& monitor = station.Alarms();
    connect(&monitor, &AlarmMonitor::EventsOccurred, this, &AlarmView::ShowEvents);
    connect(&monitor, &AlarmMonitor::Ticked, this, &AlarmView::ShowState);
    monitor.SetSettings(SavedAlarmSettings());
    ShowState(monitor.NowMs());
}

void AlarmView::ShowEvents(const alarms::AlarmEvents& events) {
    if (pending_.empty())
        QMetaObject::invokeMethod(this, &AlarmView::ShowPendingEvents, Qt::QueuedConnection);
    pending_.insert(pending_.end(), events.begin(), events.end());
    ShowState(station_.Alarms().NowMs());
}

void AlarmView::ShowPendingEvents() {
    const alarms::AlarmEvents events = std::exchange(pending_, {});
    page_->ShowEvents(events);
    notifier_->NotifyRaised(events);
}

void AlarmView::ShowState(qint64 nowMs) {
    const alarms::AlarmRules& rules = station_.Alarms().Rules();
    liverows::Show(*targets_.liveTable, rules, nowMs);
    const int unacknowledged = rules.UnacknowledgedCount();
    if (unacknowledged == shownCount_) return;
    shownCount_ = unacknowledged;
    count_->setText(QStringLiteral("未确认报警: %1").arg(unacknowledged));
    // A palette, not a style sheet: it changes with every raise and acknowledgement, and a
    // style sheet would have the label's style worked out anew each time.
    QPalette palette = count_->palette();
    palette.setColor(QPalette::WindowText, unacknowledged > 0 ? layout::kRed : usualText_);
    count_->setPalette(palette);
}
