#include "app/AlarmLimitsDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "notify/Notifier.h"
#include "widgets/MessageBox.h"

using alarms::SettingField;

namespace {

const QString kOff = QStringLiteral("不启用");

// "LowVoltageWarningEdit" for the field kept as "lowVoltageWarning"; the critical limits keep
// the names their boxes always had ("LowVoltageEdit").
QLineEdit* MakeFieldEdit(QWidget* parent, SettingField field) {
    QString name = alarms::SettingsKey(field) + QStringLiteral("Edit");
    name[0] = name[0].toUpper();
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setPlaceholderText(kOff);
    return edit;
}

QPushButton* MakeDialogButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// A row of a warning and a critical box under the headers "预警" and "严重".
struct LevelRow {
    const char16_t* label;
    SettingField warning;
    SettingField critical;
};

QGridLayout* LevelGrid() {
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("预警")), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("严重")), 0, 2);
    return grid;
}

}  // namespace

AlarmLimitsDialog::AlarmLimitsDialog(const alarms::AlarmSettings& current,
                                     notify::Notifier* notifier, QWidget* parent)
    : QDialog(parent), texts_(alarms::SettingTexts(current)), settings_(current) {
    setObjectName(QStringLiteral("AlarmLimitsDialog"));
    setWindowTitle(QStringLiteral("报警设置"));
    for (int i = 0; i < alarms::kSettingFieldCount; ++i)
        edits_[std::size_t(i)] = MakeFieldEdit(this, static_cast<SettingField>(i));
    OkButton = MakeDialogButton(this, "OkButton", QStringLiteral("确定"));
    CancelButton = MakeDialogButton(this, "CancelButton", QStringLiteral("取消"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto* column = new QVBoxLayout(this);
    column->addWidget(BuildLimits());
    column->addWidget(BuildClearing());
    column->addWidget(BuildStringAnalysis());
    column->addWidget(BuildNotifyTest(notifier));
    column->addLayout(buttons);

    for (int i = alarms::kLimitFieldCount; i < alarms::kSettingFieldCount; ++i)
        edits_[std::size_t(i)]->setText(texts_.common[std::size_t(i)]);
    ShowLimitsOf(std::nullopt);

    connect(LimitBatteryCombo, &QComboBox::currentIndexChanged, this,
            &AlarmLimitsDialog::BatteryChosen);
    connect(OkButton, &QPushButton::clicked, this, &AlarmLimitsDialog::OkClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* AlarmLimitsDialog::BuildLimits() {
    auto* group = new QGroupBox(QStringLiteral("限值"), this);
    LimitBatteryCombo = new QComboBox(group);
    LimitBatteryCombo->setObjectName(QStringLiteral("LimitBatteryCombo"));
    LimitBatteryCombo->addItem(QStringLiteral("全部电池"));
    for (const battery::BatteryId battery : battery::WatchedBatteries())
        LimitBatteryCombo->addItem(battery::BatteryLabel(battery));
    auto* chooser = new QHBoxLayout;
    chooser->addWidget(new QLabel(QStringLiteral("电池")));
    chooser->addWidget(LimitBatteryCombo);
    chooser->addStretch();

    const LevelRow rows[] = {
        {u"电压下限(V)", SettingField::LowVoltageWarning, SettingField::LowVoltageCritical},
        {u"电压上限(V)", SettingField::HighVoltageWarning, SettingField::HighVoltageCritical},
        {u"温度上限(℃)", SettingField::HighTemperatureWarning,
         SettingField::HighTemperatureCritical},
    };
    QGridLayout* grid = LevelGrid();
    int line = 1;
    for (const LevelRow& row : rows) {
        grid->addWidget(new QLabel(QString::fromUtf16(row.label)), line, 0);
        grid->addWidget(Edit(row.warning), line, 1);
        grid->addWidget(Edit(row.critical), line, 2);
        ++line;
    }
    auto* column = new QVBoxLayout(group);
    column->addLayout(chooser);
    column->addLayout(grid);
    return group;
}

QWidget* AlarmLimitsDialog::BuildClearing() {
    auto* group = new QGroupBox(QStringLiteral("恢复与延时"), this);
    auto* grid = new QGridLayout(group);
    const std::pair<const char16_t*, SettingField> rows[] = {
        {u"电压恢复裕量(V)", SettingField::VoltageClearMargin},
        {u"温度恢复裕量(℃)", SettingField::TemperatureClearMargin},
        {u"报警延时(连续读数)", SettingField::OnDelayReadings},
    };
    int line = 0;
    for (const auto& [label, field] : rows) {
        grid->addWidget(new QLabel(QString::fromUtf16(label)), line, 0);
        grid->addWidget(Edit(field), line, 1);
        Edit(field)->setPlaceholderText({});
        ++line;
    }
    return group;
}

QWidget* AlarmLimitsDialog::BuildNotifyTest(notify::Notifier* notifier) {
    auto* group = new QGroupBox(QStringLiteral("报警通知"), this);
    auto* row = new QHBoxLayout(group);
    NotifyTestButton = MakeDialogButton(this, "NotifyTestButton", QStringLiteral("发送测试消息"));
    NotifyTestResult = new QLabel(this);
    NotifyTestResult->setObjectName(QStringLiteral("NotifyTestResult"));
    NotifyTestResult->setWordWrap(true);
    row->addWidget(NotifyTestButton);
    row->addWidget(NotifyTestResult, 1);
    if (!notifier) {
        NotifyTestButton->setEnabled(false);
        NotifyTestResult->setText(QStringLiteral("未配置报警通知（邮件、Webhook、命令）"));
        return group;
    }
    testChannels_ = notifier->Channels();
    connect(NotifyTestButton, &QPushButton::clicked, this, [this, notifier] {
        testResults_.clear();
        ShowTestResults();
        notifier->SendTest();
    });
    connect(notifier, &notify::Notifier::TestResult, this,
            [this](const QString& channel, const QString& error) {
                testResults_[channel] =
                    error.isEmpty() ? QStringLiteral("已发送") : QStringLiteral("失败：") + error;
                ShowTestResults();
            });
    return group;
}

// One line per channel: its result, or that it is still sending.
void AlarmLimitsDialog::ShowTestResults() {
    static const std::map<QString, QString> names{
        {notify::kMailChannel, QStringLiteral("邮件")},
        {notify::kWebhookChannel, QStringLiteral("Webhook")},
        {notify::kCommandChannel, QStringLiteral("命令")}};
    QStringList lines;
    for (const QString& channel : testChannels_) {
        const auto result = testResults_.find(channel);
        lines << names.at(channel) + QStringLiteral("：") +
                     (result == testResults_.end() ? QStringLiteral("正在发送……") : result->second);
    }
    NotifyTestResult->setText(lines.join(u'\n'));
}

QWidget* AlarmLimitsDialog::BuildStringAnalysis() {
    auto* group = new QGroupBox(QStringLiteral("电池组分析"), this);
    const LevelRow rows[] = {
        {u"电压偏离(V)", SettingField::VoltageDeviationWarning,
         SettingField::VoltageDeviationCritical},
        {u"电压离散(V)", SettingField::VoltageSpreadWarning, SettingField::VoltageSpreadCritical},
        {u"温度偏高(℃)", SettingField::TemperatureAboveMedianWarning,
         SettingField::TemperatureAboveMedianCritical},
        {u"温升过快(℃/30分钟)", SettingField::TemperatureRiseWarning,
         SettingField::TemperatureRiseCritical},
    };
    QGridLayout* grid = LevelGrid();
    int line = 1;
    for (const LevelRow& row : rows) {
        grid->addWidget(new QLabel(QString::fromUtf16(row.label)), line, 0);
        grid->addWidget(Edit(row.warning), line, 1);
        grid->addWidget(Edit(row.critical), line, 2);
        ++line;
    }
    group->setLayout(grid);
    return group;
}

QLineEdit* AlarmLimitsDialog::Edit(SettingField field) const {
    return edits_[static_cast<std::size_t>(field)];
}

std::optional<battery::BatteryId> AlarmLimitsDialog::ShownBattery() const {
    const int index = LimitBatteryCombo->currentIndex();
    if (index <= 0) return std::nullopt;
    return battery::WatchedBattery(index - 1);
}

void AlarmLimitsDialog::KeepShownLimits() {
    for (int i = 0; i < alarms::kLimitFieldCount; ++i) {
        const QString text = edits_[std::size_t(i)]->text();
        if (shown_)
            texts_.batteries[*shown_][std::size_t(i)] = text;
        else
            texts_.common[std::size_t(i)] = text;
    }
}

// A battery's empty box stands for the common limit, which its placeholder shows.
void AlarmLimitsDialog::ShowLimitsOf(std::optional<battery::BatteryId> battery) {
    shown_ = battery;
    for (int i = 0; i < alarms::kLimitFieldCount; ++i) {
        QLineEdit* edit = edits_[std::size_t(i)];
        const QString& common = texts_.common[std::size_t(i)];
        if (!battery) {
            edit->setText(common);
            edit->setPlaceholderText(kOff);
            continue;
        }
        const auto own = texts_.batteries.find(*battery);
        edit->setText(own == texts_.batteries.end() ? QString() : own->second[std::size_t(i)]);
        edit->setPlaceholderText(common.trimmed().isEmpty() ? kOff
                                                            : QStringLiteral("全部: ") + common);
    }
}

void AlarmLimitsDialog::BatteryChosen() {
    KeepShownLimits();
    ShowLimitsOf(ShownBattery());
}

void AlarmLimitsDialog::OkClick() {
    KeepShownLimits();
    for (int i = alarms::kLimitFieldCount; i < alarms::kSettingFieldCount; ++i)
        texts_.common[std::size_t(i)] = edits_[std::size_t(i)]->text();
    const alarms::SettingsCheck check = alarms::ParseSettings(texts_);
    if (!check.settings) {
        // Shows the boxes the message is about.
        const std::optional<int> index =
            check.problem.battery ? battery::WatchedIndex(*check.problem.battery) : std::nullopt;
        LimitBatteryCombo->setCurrentIndex(index ? *index + 1 : 0);
        messagebox::Show(this, check.problem.message, QStringLiteral("提示"));
        return;
    }
    settings_ = *check.settings;
    accept();
}
