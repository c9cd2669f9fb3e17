#include "app/ShelveDialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "alarms/AlarmRules.h"
#include "widgets/MessageBox.h"

namespace {

QPushButton* MakeDialogButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

ShelveDialog::ShelveDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ShelveDialog"));
    setWindowTitle(QStringLiteral("搁置报警"));
    ShelveDurationCombo = new QComboBox(this);
    ShelveDurationCombo->setObjectName(QStringLiteral("ShelveDurationCombo"));
    for (const int hours : alarms::kShelveHours)
        ShelveDurationCombo->addItem(QStringLiteral("%1小时").arg(hours), hours);
    ShelveReasonEdit = new QLineEdit(this);
    ShelveReasonEdit->setObjectName(QStringLiteral("ShelveReasonEdit"));
    OkButton = MakeDialogButton(this, "OkButton", QStringLiteral("确定"));
    CancelButton = MakeDialogButton(this, "CancelButton", QStringLiteral("取消"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("搁置时间"), ShelveDurationCombo);
    form->addRow(QStringLiteral("原因"), ShelveReasonEdit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addLayout(buttons);

    connect(OkButton, &QPushButton::clicked, this, &ShelveDialog::OkClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

int ShelveDialog::Hours() const { return ShelveDurationCombo->currentData().toInt(); }

QString ShelveDialog::Reason() const { return ShelveReasonEdit->text().trimmed(); }

void ShelveDialog::OkClick() {
    if (Reason().isEmpty()) {
        messagebox::Show(this, QStringLiteral("请填写搁置原因"), QStringLiteral("提示"));
        return;
    }
    accept();
}
