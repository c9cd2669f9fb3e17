#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

// "搁置报警": for how long (1, 8 or 24 hours) and why. "确定" closes only with a reason; the
// choice is read through Hours() and Reason().
class ShelveDialog : public QDialog {
    Q_OBJECT
public:
    explicit ShelveDialog(QWidget* parent = nullptr);

    int Hours() const;
    QString Reason() const;

private:
    void OkClick();

    QComboBox* ShelveDurationCombo = nullptr;
    QLineEdit* ShelveReasonEdit = nullptr;
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;
};
