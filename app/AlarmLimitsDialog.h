#pragma once

#include <QDialog>
#include <array>
#include <optional>

#include "alarms/AlarmLimits.h"

class QComboBox;
class QLineEdit;
class QPushButton;

// The operator's alarm settings: the voltage and temperature limits at both levels (预警,
// 严重), for every battery or, chosen in "电池", for one battery, whose own limits replace the
// common ones of the same level (an empty box: the common limit, shown greyed); the clear margins
// and the on-delay; the string analysis's limits. An empty limit box means "off". "确定" checks
// what was typed and closes only when it is valid; otherwise it says what to correct, shows the
// battery it concerns, and stays open. The accepted settings are read through Settings().
class AlarmLimitsDialog : public QDialog {
    Q_OBJECT
public:
    AlarmLimitsDialog(const alarms::AlarmSettings& current, QWidget* parent = nullptr);

    const alarms::AlarmSettings& Settings() const { return settings_; }

private:
    QWidget* BuildLimits();
    QWidget* BuildClearing();
    QWidget* BuildStringAnalysis();
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
    alarms::AlarmSettingTexts texts_;  // as typed, the shown battery's limits excepted
    std::optional<battery::BatteryId> shown_;
    alarms::AlarmSettings settings_;
};
