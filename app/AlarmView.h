#pragma once

#include <QColor>
#include <QObject>
#include <vector>

#include "alarms/AlarmTypes.h"

class AlarmPage;
class DesktopNotifier;
class GridModel;
class HistoryGridModel;
class PageControl;
class QLabel;
class Station;
class StatusBar;

// What the window shows of the station's alarms: the page "报警记录", the marks of the
// real-time table's rows, the red history records, the count of unacknowledged alarms in the
// status bar and a desktop notification for every raise. The row marks and the count follow
// each event at once; the page and the notification follow once the events of one pass of the
// event loop are in (a block of readings, a lost port), so the receive path only notes them.
class AlarmView : public QObject {
    Q_OBJECT
public:
    struct Targets {
        PageControl* pages;
        StatusBar* statusBar;
        GridModel* liveTable;
        std::vector<HistoryGridModel*> historyTables;
    };

    // Loads the saved alarm settings into the station's alarm monitor and shows the restored
    // alarms.
    AlarmView(Station& station, const Targets& targets, QObject* parent = nullptr);

    AlarmPage* Page() const { return page_; }

private:
    void ShowEvents(const alarms::AlarmEvents& events);
    void ShowPendingEvents();
    void ShowState(qint64 nowMs);

    Station& station_;
    Targets targets_;
    AlarmPage* page_;
    QLabel* count_;
    DesktopNotifier* notifier_;
    alarms::AlarmEvents pending_;  // not yet on the page
    int shownCount_ = -1;
    QColor usualText_;
};
