#include "app/AlarmPage.h"

#include <pwd.h>
#include <unistd.h>

#include <QDateTime>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>

#include "app/AlarmLimitsDialog.h"
#include "app/LayoutKit.h"
#include "app/LiveRowMarks.h"
#include "app/ShelveDialog.h"
#include "display/TextFormats.h"
#include "station/AlarmMonitor.h"
#include "widgets/MessageBox.h"

using namespace layout;

namespace {

constexpr int kKeyRole = Qt::UserRole;

QSettings ProgramSettings() {
    return QSettings(QStringLiteral("batmon"), QStringLiteral("batmon"));
}

QTableWidget* MakeTable(QWidget* parent, const char* name, const QRect& geometry,
                        const QStringList& header) {
    auto* table = Named(new QTableWidget(0, int(header.size()), parent), name, geometry);
    table->setHorizontalHeaderLabels(header);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

QString TimeText(std::int64_t tMs) { return TimeStampText(QDateTime::fromMSecsSinceEpoch(tMs)); }

// A key packed into one integer, kept with its row of the active list.
int PackKey(const alarms::AlarmKey& key) {
    return key.battery.device << 16 | key.battery.battery << 8 | static_cast<int>(key.kind);
}

alarms::AlarmKey UnpackKey(int packed) {
    return {{static_cast<std::uint8_t>(packed >> 16), static_cast<std::uint8_t>(packed >> 8)},
            static_cast<alarms::AlarmKind>(packed & 0xFF)};
}

void SetRow(QTableWidget* table, int row, const QStringList& texts) {
    for (int c = 0; c < texts.size(); ++c) table->setItem(row, c, new QTableWidgetItem(texts[c]));
}

// The level in the colour of the row marks: red for critical, amber for warning.
void ShowLevel(QTableWidget* table, int row, int column, alarms::AlarmLevel level) {
    auto* item = new QTableWidgetItem(alarms::LevelText(level));
    item->setForeground(level == alarms::AlarmLevel::Critical ? liverows::kAlarmText
                                                              : liverows::kWarningText);
    table->setItem(row, column, item);
}

void SetWidths(QTableWidget* table, std::initializer_list<int> widths) {
    int column = 0;
    for (const int width : widths) table->setColumnWidth(column++, width);
}

// "至 2026-03-01 16:00:00 alice：换电池" for a shelved alarm; empty otherwise.
QString ShelfText(const std::optional<alarms::Shelf>& shelf) {
    if (!shelf) return {};
    return QStringLiteral("至 %1 %2：%3").arg(TimeText(shelf->untilMs), shelf->user, shelf->reason);
}
}  // namespace

QString LoginName() {
    QString user = qEnvironmentVariable("USER");
    if (!user.isEmpty()) return user;
    const passwd* account = getpwuid(getuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

alarms::AlarmSettings SavedAlarmSettings() {
    QSettings settings = ProgramSettings();
    return alarms::LoadSettings(settings);
}

void SaveAlarmSettings(const alarms::AlarmSettings& alarmSettings) {
    QSettings settings = ProgramSettings();
    alarms::SaveSettings(settings, alarmSettings);
}

AlarmPage::AlarmPage(AlarmMonitor& monitor, const alarms::AlarmEvents& stored, QWidget* parent)
    : QWidget(parent), monitor_(monitor) {
    setObjectName(QStringLiteral("TabSheetAlarms"));
    MakeLabel(this, "AlarmActiveLabel", {8, 8, 200, 18}, QStringLiteral("当前报警"), kBlue, 15,
              true);
    AlarmShelveButton =
        MakeButton(this, "AlarmShelveButton", {536, 4, 97, 25}, QStringLiteral("搁置"));
    AlarmUnshelveButton =
        MakeButton(this, "AlarmUnshelveButton", {648, 4, 97, 25}, QStringLiteral("取消搁置"));
    AlarmAckButton = MakeButton(this, "AlarmAckButton", {760, 4, 97, 25}, QStringLiteral("确认"));
    AlarmLimitsButton =
        MakeButton(this, "AlarmLimitsButton", {872, 4, 97, 25}, QStringLiteral("报警设置"));
    AlarmActiveTable =
        MakeTable(this, "AlarmActiveTable", {8, 34, 1024, 220},
                  {QStringLiteral("电池"), QStringLiteral("报警类型"), QStringLiteral("开始时间"),
                   QStringLiteral("数值"), QStringLiteral("确认"), QStringLiteral("级别"),
                   QStringLiteral("搁置")});
    MakeLabel(this, "AlarmHistoryLabel", {8, 262, 200, 18}, QStringLiteral("报警历史"), kBlue, 15,
              true);
    AlarmHistoryTable =
        MakeTable(this, "AlarmHistoryTable", {8, 288, 1024, 280},
                  {QStringLiteral("时间"), QStringLiteral("电池"), QStringLiteral("报警类型"),
                   QStringLiteral("状态"), QStringLiteral("数值"), QStringLiteral("确认人"),
                   QStringLiteral("级别"), QStringLiteral("备注")});
    SetWidths(AlarmActiveTable, {100, 130, 170, 100, 160, 60});
    SetWidths(AlarmHistoryTable, {170, 100, 130, 90, 100, 120, 60});

    connect(AlarmAckButton, &QPushButton::clicked, this, &AlarmPage::AcknowledgeClick);
    connect(AlarmShelveButton, &QPushButton::clicked, this, &AlarmPage::ShelveClick);
    connect(AlarmUnshelveButton, &QPushButton::clicked, this, &AlarmPage::UnshelveClick);
    connect(AlarmLimitsButton, &QPushButton::clicked, this, &AlarmPage::LimitsClick);

    AddHistoryRows(stored.begin(), stored.end());
    ShowActiveAlarms();
}

void AlarmPage::ShowEvents(const alarms::AlarmEvents& events) {
    AddHistoryRows(events.begin(), events.end());
    ShowActiveAlarms();
}

// Rebuilt whole: at most one row per battery and kind, so a few dozen rows. The selection
// follows its alarms, so an operator selecting rows does not lose them to a new event.
void AlarmPage::ShowActiveAlarms() {
    const std::vector<alarms::AlarmKey> selected = SelectedKeys();
    const std::vector<alarms::ActiveAlarm> active = monitor_.Rules().ActiveAlarms();
    AlarmActiveTable->setRowCount(int(active.size()));
    QItemSelection keep;
    for (int row = 0; row < int(active.size()); ++row) {
        const alarms::ActiveAlarm& alarm = active[row];
        const QString acknowledgement = alarm.acknowledged
                                            ? QStringLiteral("已确认 %1").arg(alarm.acknowledgedBy)
                                            : QStringLiteral("未确认");
        SetRow(AlarmActiveTable, row,
               {battery::BatteryLabel(alarm.key.battery),
                alarms::KindText(alarm.key.kind),
                TimeText(alarm.sinceMs),
                alarms::ValueText(alarm.key.kind, alarm.value),
                acknowledgement,
                {},
                ShelfText(alarm.shelf)});
        ShowLevel(AlarmActiveTable, row, 5, alarm.level);
        AlarmActiveTable->item(row, 0)->setData(kKeyRole, PackKey(alarm.key));
        if (std::find(selected.begin(), selected.end(), alarm.key) != selected.end()) {
            const QModelIndex first = AlarmActiveTable->model()->index(row, 0);
            keep.select(first, first.siblingAtColumn(AlarmActiveTable->columnCount() - 1));
        }
    }
    AlarmActiveTable->selectionModel()->select(
        keep, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// One insertion at the top for all of them, newest first, then the oldest rows beyond the
// history's length go.
void AlarmPage::AddHistoryRows(alarms::AlarmEvents::const_iterator first,
                               alarms::AlarmEvents::const_iterator last) {
    const int count = int(std::min<std::ptrdiff_t>(last - first, kHistoryRows));
    if (count == 0) return;
    first = last - count;
    AlarmHistoryTable->model()->insertRows(0, count);
    for (int row = count - 1; first != last; ++first, --row) {
        const alarms::AlarmEvent& event = *first;
        SetRow(AlarmHistoryTable, row,
               {TimeText(event.tMs),
                battery::BatteryLabel(event.key.battery),
                alarms::KindText(event.key.kind),
                alarms::StateText(event.state),
                alarms::ValueText(event.key.kind, event.value),
                event.user,
                {},
                event.note});
        ShowLevel(AlarmHistoryTable, row, 6, event.level);
    }
    if (AlarmHistoryTable->rowCount() > kHistoryRows) AlarmHistoryTable->setRowCount(kHistoryRows);
}

std::vector<alarms::AlarmKey> AlarmPage::SelectedKeys() const {
    std::vector<alarms::AlarmKey> keys;
    const QModelIndexList rows = AlarmActiveTable->selectionModel()->selectedRows(0);
    for (const QModelIndex& index : rows) keys.push_back(UnpackKey(index.data(kKeyRole).toInt()));
    return keys;
}

void AlarmPage::AcknowledgeClick() { monitor_.Acknowledge(SelectedKeys(), LoginName()); }

// Only a signed-in operator shelves, so that the events say who did.
void AlarmPage::ShelveClick() {
    const std::vector<alarms::AlarmKey> keys = SelectedKeys();
    if (keys.empty()) return;
    if (LoginName().isEmpty()) {
        messagebox::Show(this, QStringLiteral("未登录的用户不能搁置报警"), QStringLiteral("提示"));
        return;
    }
    auto* dialog = new ShelveDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog, keys] {
        monitor_.Shelve(keys, LoginName(), dialog->Hours(), dialog->Reason());
    });
    dialog->open();
}

void AlarmPage::UnshelveClick() { monitor_.Unshelve(SelectedKeys(), LoginName()); }

// The dialog is window-modal but does not block: the poll cycle and the receive path go on
// while the operator types.
void AlarmPage::LimitsClick() {
    auto* dialog = new AlarmLimitsDialog(monitor_.Settings(), notifier_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        SaveAlarmSettings(dialog->Settings());
        monitor_.SetSettings(dialog->Settings());
    });
    dialog->open();
}
