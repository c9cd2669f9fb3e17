#pragma once

#include <QDialog>

#include "alarms/AlarmLimits.h"

class QLineEdit;
class QPushButton;

// The operator's alarm limits: lower and upper voltage, upper temperature, each empty for off.
// "确定" checks what was typed and closes only when it is valid; otherwise it says what to
// correct and stays open. The accepted limits are read through Limits().
class AlarmLimitsDialog : public QDialog {
    Q_OBJECT
public:
    AlarmLimitsDialog(const alarms::AlarmLimits& current, QWidget* parent = nullptr);

    const alarms::AlarmLimits& Limits() const { return limits_; }

private:
    void OkClick();

    QLineEdit* LowVoltageEdit = nullptr;
    QLineEdit* HighVoltageEdit = nullptr;
    QLineEdit* HighTemperatureEdit = nullptr;
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;
    alarms::AlarmLimits limits_;
};
