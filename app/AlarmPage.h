#pragma once

#include <QWidget>
#include <vector>

#include "alarms/AlarmLimits.h"
#include "alarms/AlarmTypes.h"

class AlarmMonitor;
class QPushButton;
class QTableWidget;

// The page "报警记录": the active alarms on top (battery, condition, since, value,
// acknowledgement, level, shelving), the alarm history below, newest first. "确认" acknowledges
// the selected active alarms in the operator's login name; "搁置" shelves them for a chosen time
// with a reason, "取消搁置" ends that; "报警设置" opens the limits dialog and keeps what it accepts
// in the program's settings.
namespace notify {
class Notifier;
}

class AlarmPage : public QWidget {
    Q_OBJECT
public:
    // The history keeps this many of the newest events.
    static constexpr int kHistoryRows = 1000;

    // `stored` is the history as it stood before this run, oldest first.
    AlarmPage(AlarmMonitor& monitor, const alarms::AlarmEvents& stored, QWidget* parent = nullptr);

    // New events, oldest first: the active list is rebuilt and the events go to the top of the
    // history.
    void ShowEvents(const alarms::AlarmEvents& events);
    // Where the limits dialog sends its test message; none: the test is disabled.
    void SetNotifier(notify::Notifier* notifier) { notifier_ = notifier; }

private:
    void ShowActiveAlarms();
    void AddHistoryRows(alarms::AlarmEvents::const_iterator first,
                        alarms::AlarmEvents::const_iterator last);
    std::vector<alarms::AlarmKey> SelectedKeys() const;
    void AcknowledgeClick();
    void ShelveClick();
    void UnshelveClick();
    void LimitsClick();

    AlarmMonitor& monitor_;
    notify::Notifier* notifier_ = nullptr;
    QTableWidget* AlarmActiveTable = nullptr;
    QTableWidget* AlarmHistoryTable = nullptr;
    QPushButton* AlarmAckButton = nullptr;
    QPushButton* AlarmShelveButton = nullptr;
    QPushButton* AlarmUnshelveButton = nullptr;
    QPushButton* AlarmLimitsButton = nullptr;
};

// Who acknowledges and shelves: the login name ($USER, else the account of the process).
QString LoginName();

// The alarm settings kept in the program's settings (group "alarms"); the defaults when none
// are kept.
alarms::AlarmSettings SavedAlarmSettings();
void SaveAlarmSettings(const alarms::AlarmSettings& settings);
