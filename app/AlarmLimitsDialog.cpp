#include "app/AlarmLimitsDialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "widgets/MessageBox.h"

namespace {

QLineEdit* MakeLimitEdit(QWidget* parent, const char* name, const QString& text) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(QStringLiteral("不启用"));
    return edit;
}

QPushButton* MakeDialogButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

AlarmLimitsDialog::AlarmLimitsDialog(const alarms::AlarmLimits& current, QWidget* parent)
    : QDialog(parent), limits_(current) {
    setObjectName(QStringLiteral("AlarmLimitsDialog"));
    setWindowTitle(QStringLiteral("报警设置"));
    const alarms::AlarmLimitTexts texts = alarms::LimitTexts(current);
    LowVoltageEdit = MakeLimitEdit(this, "LowVoltageEdit", texts.lowVoltage);
    HighVoltageEdit = MakeLimitEdit(this, "HighVoltageEdit", texts.highVoltage);
    HighTemperatureEdit = MakeLimitEdit(this, "HighTemperatureEdit", texts.highTemperature);
    OkButton = MakeDialogButton(this, "OkButton", QStringLiteral("确定"));
    CancelButton = MakeDialogButton(this, "CancelButton", QStringLiteral("取消"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("电压下限(V)"), LowVoltageEdit);
    form->addRow(QStringLiteral("电压上限(V)"), HighVoltageEdit);
    form->addRow(QStringLiteral("温度上限(℃)"), HighTemperatureEdit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addLayout(buttons);

    connect(OkButton, &QPushButton::clicked, this, &AlarmLimitsDialog::OkClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void AlarmLimitsDialog::OkClick() {
    const alarms::LimitsCheck check = alarms::ParseLimits(
        {LowVoltageEdit->text(), HighVoltageEdit->text(), HighTemperatureEdit->text()});
    if (!check.limits) {
        messagebox::Show(this, check.message, QStringLiteral("提示"));
        return;
    }
    limits_ = *check.limits;
    accept();
}
