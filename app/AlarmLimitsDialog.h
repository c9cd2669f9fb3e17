#pragma once

#include <QDialog>
#include <QStringList>
#include <array>
#include <map>
#include <optional>

#include "alarms/AlarmLimits.h"

namespace notify {
class Notifier;
}

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The operator's alarm settings: the voltage and temperature limits at both levels (预警,
// 严重), for every battery or, chosen in "电池", for one battery, whose own limits replace the
// common ones of the same level (an empty box: the common limit, shown greyed); the clear margins
// and the on-delay; the string analysis's limits. An empty limit box means "off". "确定" checks
// what was typed and closes only when it is valid; otherwise it says what to correct, shows the
// battery it concerns, and stays open. The accepted settings are read through Settings().
// "发送测试消息" sends a test message through every configured notification channel and shows
// how each fared; without a notifier it is disabled.
class AlarmLimitsDialog : public QDialog {
    Q_OBJECT
public:
    AlarmLimitsDialog(const alarms::AlarmSettings& current, notify::Notifier* notifier = nullptr,
                      QWidget* parent = nullptr);

    const alarms::AlarmSettings& Settings() const { return settings_; }

private:
    QWidget* BuildLimits();
    QWidget* BuildClearing();
    QWidget* BuildStringAnalysis();
    QWidget* BuildNotifyTest(notify::Notifier* notifier);
    void ShowTestResults();
    QLineEdit* Edit(alarms::SettingField field) const;
    // The battery whose limits the boxes show; nothing for every battery.
    std::optional<battery::BatteryId> ShownBattery() const;
    void KeepShownLimits();
    void ShowLimitsOf(std::optional<battery::BatteryId> battery);
    void BatteryChosen();
    void OkClick();

    QComboBox* LimitBatteryCombo = nullptr;
    std::array<QLineEdit*, alarms::kSettingFieldCount> edits_{};
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* NotifyTestButton = nullptr;
    QLabel* NotifyTestResult = nullptr;
    std::map<QString, QString> testResults_;  // channel -> what became of its test message
    QStringList testChannels_;
    alarms::AlarmSettingTexts texts_;  // as typed, the shown battery's limits excepted
    std::optional<battery::BatteryId> shown_;
    alarms::AlarmSettings settings_;
};
