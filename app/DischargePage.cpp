#include "app/DischargePage.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QSplitter>
#include <QSysInfo>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "report/DischargeCsv.h"
#include "report/DischargeCurves.h"
#include "report/DischargePdf.h"
#include "station/Station.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "trend/TrendPlot.h"

namespace {

const QColor kWeakestColor(0xc0, 0x20, 0x20);

QString SettingsKey(int device, const char* name) {
    return QStringLiteral("discharge/%1/%2")
        .arg(battery::DeviceName(battery::kDevices[std::size_t(device)]), QLatin1String(name));
}

QTableWidgetItem* Cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

QString Volts(double v) { return QString::number(v, 'f', 2); }

}  // namespace

DischargePage::DischargePage(Station& station, QString historyFile, QWidget* parent)
    : QWidget(parent),
      station_(station),
      historyFile_(std::move(historyFile)),
      site_(QSysInfo::machineHostName()) {
    chooser_ = [this](const QString& suggested) {
        return QFileDialog::getSaveFileName(this, QStringLiteral("导出放电记录"), suggested);
    };
    BuildControls();
    ShowSettings();
    // The list changes when a discharge starts, a battery reaches its end voltage or it ends;
    // the store has the change once the writer has committed it.
    connect(&station_.Discharges(), &DischargeWatch::DischargeChanged, this,
            [this](const alarms::DischargeChange& change) {
                if (change.kind == alarms::DischargeChange::Kind::Updated) return;
                if (station_.Writer())
                    stale_ = true;
                else
                    Reload();
            });
    if (store::HistoryWriter* writer = station_.Writer()) {
        // A commit reported after the change may be one made before it: read again at each
        // commit until the list agrees with the station.
        connect(writer, &store::HistoryWriter::Committed, this, [this] {
            if (!stale_) return;
            Reload();
            stale_ = !ListAgreesWithStation();
        });
    }
    Reload();
}

void DischargePage::BuildControls() {
    auto* settings = new QGroupBox(QStringLiteral("放电设置"), this);
    auto* settingsRow = new QHBoxLayout(settings);
    for (int d = 0; d < 2; ++d) {
        const QString name = battery::DeviceName(battery::kDevices[std::size_t(d)]);
        const QString suffix = name.toLower();
        auto* form = new QFormLayout;
        const auto edit = [&](const QString& label, const QString& objectName) {
            auto* field = new QLineEdit(settings);
            field->setObjectName(objectName + u'_' + suffix);
            field->setFixedWidth(70);
            form->addRow(name + u' ' + label, field);
            return field;
        };
        fields_[std::size_t(d)] = {edit(QStringLiteral("放电开始电压(V)"), "dischargeStart"),
                                   edit(QStringLiteral("放电结束电压(V)"), "dischargeEndLevel"),
                                   edit(QStringLiteral("终止电压(V)"), "dischargeEndVoltage"),
                                   edit(QStringLiteral("核容时间(分钟)"), "dischargeMinutes")};
        settingsRow->addLayout(form);
    }
    auto* switches = new QVBoxLayout;
    fastSampling_ = new QCheckBox(QStringLiteral("放电时快速采样"), settings);
    fastSampling_->setObjectName(QStringLiteral("dischargeFastSampling"));
    auto* save = new QPushButton(QStringLiteral("保存设置"), settings);
    save->setObjectName(QStringLiteral("dischargeSave"));
    connect(save, &QPushButton::clicked, this, &DischargePage::SaveSettings);
    switches->addWidget(fastSampling_);
    switches->addWidget(save);
    switches->addStretch();
    settingsRow->addLayout(switches);
    settingsRow->addStretch();

    list_ = new QTableWidget(0, 6, this);
    list_->setObjectName(QStringLiteral("dischargeList"));
    list_->setHorizontalHeaderLabels({QStringLiteral("编号"), QStringLiteral("设备"),
                                      QStringLiteral("开始"), QStringLiteral("时长"),
                                      QStringLiteral("最弱电池"), QStringLiteral("核容结果")});
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->verticalHeader()->hide();
    list_->horizontalHeader()->setStretchLastSection(true);
    connect(list_, &QTableWidget::currentCellChanged, this, [this](int row) { ShowRecord(row); });

    plot_ = new TrendPlot(this);
    plot_->setObjectName(QStringLiteral("dischargePlot"));
    plot_->setMinimumHeight(260);
    table_ = new QTableWidget(0, 6, this);
    table_->setObjectName(QStringLiteral("dischargeTable"));
    table_->setHorizontalHeaderLabels({QStringLiteral("电池"), QStringLiteral("开始电压"),
                                       QStringLiteral("最低电压"), QStringLiteral("到达终止电压"),
                                       QStringLiteral("最高温度"), QStringLiteral("偏离中位数")});
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("dischargeSummary"));
    auto* pdf = new QPushButton(QStringLiteral("导出PDF"), this);
    pdf->setObjectName(QStringLiteral("dischargePdf"));
    connect(pdf, &QPushButton::clicked, this, &DischargePage::ExportPdf);
    auto* csv = new QPushButton(QStringLiteral("导出CSV"), this);
    csv->setObjectName(QStringLiteral("dischargeCsv"));
    connect(csv, &QPushButton::clicked, this, &DischargePage::ExportCsv);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("dischargeStatus"));

    auto* detail = new QWidget(this);
    auto* detailColumn = new QVBoxLayout(detail);
    detailColumn->setContentsMargins(0, 0, 0, 0);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(summary_, 1);
    buttons->addWidget(pdf);
    buttons->addWidget(csv);
    detailColumn->addLayout(buttons);
    detailColumn->addWidget(plot_, 3);
    detailColumn->addWidget(table_, 2);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(list_);
    split->addWidget(detail);
    split->setStretchFactor(1, 3);
    split->setSizes({420, 600});

    auto* column = new QVBoxLayout(this);
    column->addWidget(settings);
    column->addWidget(split, 1);
    column->addWidget(status_);
}

alarms::DeviceDischargeSettings DischargePage::LoadSettings(QSettings& settings) {
    alarms::DeviceDischargeSettings loaded{};
    for (int d = 0; d < 2; ++d) {
        const alarms::DischargeSettingTexts defaults = alarms::DischargeTexts({});
        const alarms::DischargeSettingTexts texts{
            settings.value(SettingsKey(d, "startVoltage"), defaults.startV).toString(),
            settings.value(SettingsKey(d, "endLevel"), defaults.endLevelV).toString(),
            settings.value(SettingsKey(d, "endVoltage"), defaults.endVoltageV).toString(),
            settings.value(SettingsKey(d, "capacityMinutes"), QString()).toString()};
        QString problem;
        // A hand-edited file that the page would refuse loads as the defaults.
        loaded[std::size_t(d)] =
            alarms::ParseDischargeSettings(texts, &problem).value_or(alarms::DischargeSettings{});
    }
    return loaded;
}

bool DischargePage::LoadFastSampling(QSettings& settings) {
    return settings.value(QStringLiteral("discharge/fastSampling"), false).toBool();
}

void DischargePage::ShowSettings() {
    const alarms::DeviceDischargeSettings& settings = station_.Discharges().Settings();
    for (std::size_t d = 0; d < fields_.size(); ++d) {
        const alarms::DischargeSettingTexts texts = alarms::DischargeTexts(settings[d]);
        fields_[d].start->setText(texts.startV);
        fields_[d].endLevel->setText(texts.endLevelV);
        fields_[d].endVoltage->setText(texts.endVoltageV);
        fields_[d].minutes->setText(texts.requiredMinutes);
    }
    fastSampling_->setChecked(station_.Discharges().FastSampling());
}

// Checks both devices' settings before taking either: a refused value changes nothing.
void DischargePage::SaveSettings() {
    alarms::DeviceDischargeSettings settings{};
    for (std::size_t d = 0; d < fields_.size(); ++d) {
        QString problem;
        const std::optional<alarms::DischargeSettings> parsed = alarms::ParseDischargeSettings(
            {fields_[d].start->text(), fields_[d].endLevel->text(), fields_[d].endVoltage->text(),
             fields_[d].minutes->text()},
            &problem);
        if (!parsed) {
            status_->setText(battery::DeviceName(battery::kDevices[d]) + QStringLiteral("：") +
                             problem);
            return;
        }
        settings[d] = *parsed;
    }
    station_.Discharges().SetSettings(settings);
    station_.Discharges().SetFastSampling(fastSampling_->isChecked());
    QSettings stored;
    for (int d = 0; d < 2; ++d) {
        const alarms::DischargeSettingTexts texts =
            alarms::DischargeTexts(settings[std::size_t(d)]);
        stored.setValue(SettingsKey(d, "startVoltage"), texts.startV);
        stored.setValue(SettingsKey(d, "endLevel"), texts.endLevelV);
        stored.setValue(SettingsKey(d, "endVoltage"), texts.endVoltageV);
        stored.setValue(SettingsKey(d, "capacityMinutes"), texts.requiredMinutes);
    }
    stored.setValue(QStringLiteral("discharge/fastSampling"), fastSampling_->isChecked());
    status_->setText(QStringLiteral("放电设置已保存"));
}

void DischargePage::Reload() {
    const qint64 chosenId = Chosen() ? Chosen()->id : 0;
    records_.clear();
    if (!historyFile_.isEmpty()) {
        store::HistoryReader reader(historyFile_);
        if (reader.IsOpen()) records_ = reader.Discharges();
    }
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const QSignalBlocker quiet(list_);
    list_->setRowCount(int(records_.size()));
    int chosenRow = records_.empty() ? -1 : 0;
    for (int row = 0; row < int(records_.size()); ++row) {
        const alarms::DischargeRecord& r = records_[std::size_t(row)];
        if (r.id == chosenId) chosenRow = row;
        list_->setItem(row, 0, Cell(QString::number(r.id)));
        list_->setItem(row, 1, Cell(battery::DeviceName(r.device)));
        list_->setItem(row, 2, Cell(report::LocalTime(r.startMs)));
        list_->setItem(row, 3,
                       Cell(r.Running() ? QStringLiteral("放电中")
                                        : alarms::DurationText(r.DurationMs(nowMs))));
        const alarms::BatteryDischarge* weakest = r.Weakest();
        list_->setItem(row, 4, Cell(weakest ? battery::BatteryLabel(weakest->battery) : QString()));
        list_->setItem(row, 5, Cell(report::CapacityText(r, nowMs)));
    }
    list_->resizeColumnsToContents();
    list_->setCurrentCell(chosenRow, 0);
    ShowRecord(chosenRow);
}

bool DischargePage::ListAgreesWithStation() const {
    for (const std::uint8_t device : battery::kDevices) {
        const alarms::DischargeRecord* running = station_.Discharges().Running(device);
        const auto newest = std::find_if(records_.begin(), records_.end(),
                                         [device](const auto& r) { return r.device == device; });
        const bool listedRunning = newest != records_.end() && newest->Running();
        if (bool(running) != listedRunning) return false;
        if (running && newest->firstAtEnd != running->firstAtEnd) return false;
    }
    return true;
}

const alarms::DischargeRecord* DischargePage::Chosen() const {
    const int row = list_ ? list_->currentRow() : -1;
    return row >= 0 && row < int(records_.size()) ? &records_[std::size_t(row)] : nullptr;
}

// The weakest battery's row is red and bold and carries a star, in the table and the report.
void DischargePage::ShowRecord(int row) {
    table_->setRowCount(0);
    if (row < 0 || row >= int(records_.size())) {
        summary_->clear();
        plot_->Clear();
        return;
    }
    const alarms::DischargeRecord& record = records_[std::size_t(row)];
    const qint64 endMs = record.endMs.value_or(QDateTime::currentMSecsSinceEpoch());
    QString summary =
        QStringLiteral("%1  %2 起  时长 %3  最弱电池 %4")
            .arg(battery::DeviceName(record.device), report::LocalTime(record.startMs),
                 alarms::DurationText(record.DurationMs(endMs)), report::WeakestText(record));
    if (const QString capacity = report::CapacityText(record, endMs); !capacity.isEmpty())
        summary += QStringLiteral("  核容 ") + capacity;
    summary_->setText(summary);
    const alarms::BatteryDischarge* weakest = record.Weakest();
    table_->setRowCount(int(record.batteries.size()));
    for (int i = 0; i < int(record.batteries.size()); ++i) {
        const alarms::BatteryDischarge& b = record.batteries[std::size_t(i)];
        const bool isWeakest = weakest && weakest->battery == b.battery;
        const QStringList cells = {
            battery::BatteryLabel(b.battery) + (isWeakest ? QStringLiteral(" ★") : QString()),
            Volts(b.startV),
            Volts(b.minV),
            b.endReachedMs ? report::LocalTime(*b.endReachedMs) : QStringLiteral("-"),
            QString::number(b.maxTemperatureC, 'f', 1),
            Volts(b.deviationV)};
        for (int c = 0; c < cells.size(); ++c) {
            QTableWidgetItem* item = Cell(cells[c]);
            if (isWeakest) {
                item->setForeground(kWeakestColor);
                QFont font = item->font();
                font.setBold(true);
                item->setFont(font);
            }
            table_->setItem(i, c, item);
        }
        if (isWeakest) table_->scrollToItem(table_->item(i, 0));
    }
    QString error;
    if (!report::ShowDischargeCurves(*plot_, record, historyFile_, &error))
        status_->setText(QStringLiteral("无法读取放电曲线: ") + error);
}

void DischargePage::ExportPdf() {
    const alarms::DischargeRecord* record = Chosen();
    if (!record) return;
    const QString path = chooser_(QStringLiteral("discharge-%1.pdf").arg(record->id));
    if (path.isEmpty()) return;
    QString error;
    status_->setText(report::WriteDischargePdf(*record, site_, historyFile_, path, &error)
                         ? QStringLiteral("已导出 ") + path
                         : QStringLiteral("导出失败: ") + error);
}

void DischargePage::ExportCsv() {
    const alarms::DischargeRecord* record = Chosen();
    if (!record) return;
    const QString path = chooser_(QStringLiteral("discharge-%1.csv").arg(record->id));
    if (path.isEmpty()) return;
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) &&
                         report::WriteDischargeCsv(*record, site_, file) && file.commit();
    status_->setText(written ? QStringLiteral("已导出 ") + path
                             : QStringLiteral("导出失败: ") + file.errorString());
}
