#include "app/TForm1.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>

#include "app/AlarmPage.h"
#include "app/AlarmView.h"
#include "app/Controls.h"
#include "app/DischargePage.h"
#include "app/LayoutKit.h"
#include "battery/PollRoute.h"
#include "battery/Status.h"
#include "display/HistoryGridModel.h"
#include "display/HistoryTables.h"
#include "display/LiveReading.h"
#include "display/OperatorInput.h"
#include "display/TextFormats.h"
#include "engine/MonitorSession.h"
#include "export/ExportJob.h"
#include "protocol/SetupCommands.h"
#include "serial/CommLink.h"
#include "serial/PortName.h"
#include "store/DataDir.h"
#include "trend/TrendPage.h"
#include "widgets/BarChart.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/MessageBox.h"
#include "widgets/StringGrid.h"

using namespace layout;

namespace {

const QString kOpenCaption = QStringLiteral("打开串口");
const QString kCloseCaption = QStringLiteral("关闭串口");
const QString kHint = QStringLiteral("提示");

SystemClock& ProgramClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace

TForm1::TForm1(const StationOptions& options, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("无线蓄电池监控软件 Demo1  Quorvane"));
    setFont(MakeFont(11));
    setFixedSize(kClientWidth, kClientHeight);
    setStyleSheet(QString::fromLatin1(kButtonStyle));

    BuildHeaderAndFrame();
    BuildRealTimePage();
    BuildHistoryPage();
    BuildSettingsPage();
    BuildSpareTablesPage();
    station_ = new Station(std::make_unique<CommLink>(this), ProgramClock(), options, this);
    session_ = &station_->Session();
    BuildTrendPage(options.dataDir.isEmpty() ? QString() : store::HistoryFilePath(options.dataDir));
    WireEvents();
    ShowAlarms();
    ShowDischarges(options.dataDir.isEmpty() ? QString() : store::HistoryFilePath(options.dataDir));
    RzPageControl1->setCurrentIndex(0);
    FormCreate();
    RestoreHistory(station_->LoadRecent());
}

// The port threads post into the session's link and the store writes on: both stop before
// anything goes.
TForm1::~TForm1() { delete station_; }

// Every handler runs under the default error display: an exception that leaves it is shown in
// a message box and the program runs on, since exceptions must never cross Qt's event loop.
void TForm1::WireEvents() {
    const auto guarded = [this](auto handler) {
        return [this, handler](auto&&... args) {
            DeliverShowingErrors([&] {
                (this->*handler)(args...);
                return true;
            });
        };
    };
    const auto wire = [this, guarded](QPushButton* button, void (TForm1::*handler)()) {
        connect(button, &QPushButton::clicked, this, [run = guarded(handler)] { run(); });
    };
    wire(RzBitBtn4, &TForm1::RzBitBtn4Click);
    wire(RzBitBtn12, &TForm1::RzBitBtn12Click);
    wire(RzBitBtn13, &TForm1::RzBitBtn13Click);
    wire(RzBitBtn3, &TForm1::RzBitBtn3Click);
    wire(Button1, &TForm1::Button1Click);
    wire(RzBitBtn7, &TForm1::RzBitBtn7Click);
    wire(RzBitBtn9, &TForm1::RzBitBtn9Click);
    wire(RzBitBtn10, &TForm1::RzBitBtn10Click);
    wire(RzBitBtn11, &TForm1::RzBitBtn11Click);
    wire(RzBitBtn14, &TForm1::RzBitBtn14Click);
    wire(RzBitBtn6, &TForm1::RzBitBtn6Click);
    wire(RzBitBtn5, &TForm1::RzBitBtn5Click);

    MonitorSession* s = session_;
    connect(s, &MonitorSession::PortOpened, this, guarded(&TForm1::ShowPortOpened));
    connect(s, &MonitorSession::PortOpenFailed, this, guarded(&TForm1::ShowPortOpenFailed));
    connect(s, &MonitorSession::PortClosed, this, guarded(&TForm1::ShowPortClosed));
    connect(s, &MonitorSession::SamplingTimerFired, this, guarded(&TForm1::Timer1Timer));
    connect(s, &MonitorSession::PollRequestDue, this, guarded(&TForm1::Timer3Timer));
    // The receive path reports nothing: a failure ends the handling of that buffer silently.
    // A reading is shown once it is in the history file.
    connect(station_, &Station::ReadingRecorded, this, &TForm1::ShowReading);
    connect(s, &MonitorSession::DeviceAnsweredLate, this, &TForm1::ShowDeviceLate);
    connect(station_, &Station::StoreHealthChanged, this, &TForm1::ShowStoreHealth);
    connect(s, &MonitorSession::SamplingPeriodChanged, TrendSheet, &TrendPage::SetSamplingPeriodMs);
    connect(s, &MonitorSession::SetupReplyEcho, this,
            [this](SetupCommand, const QByteArray& reply) {
                AppendHexEcho({reinterpret_cast<const std::uint8_t*>(reply.constData()),
                               static_cast<std::size_t>(reply.size())});
            });
}

// The alarm page goes after the pages built above; the real-time table and the history tables
// show their batteries' alarms.
void TForm1::ShowAlarms() {
    AlarmView::Targets targets{RzPageControl1, StatusBar1, StringGrid->Model(), {}};
    for (int step = 1; step <= battery::kLastReadingStep; ++step)
        targets.historyTables.push_back(static_cast<HistoryGridModel*>(HistoryGrid(step)->Model()));
    alarmView_ = new AlarmView(*station_, targets, this);
}

void TForm1::SetNotifier(notify::Notifier* notifier) { alarmView_->Page()->SetNotifier(notifier); }

void TForm1::SetSite(const QString& site) { dischargePage_->SetSite(site); }

// The discharge page goes after the alarm page. The settings it keeps apply from the start.
void TForm1::ShowDischarges(const QString& historyFile) {
    QSettings settings;
    station_->Discharges().SetSettings(DischargePage::LoadSettings(settings));
    station_->Discharges().SetFastSampling(DischargePage::LoadFastSampling(settings));
    dischargePage_ = new DischargePage(*station_, historyFile);
    dischargePage_->setObjectName(QStringLiteral("DischargeSheet"));
    RzPageControl1->AddPage(dischargePage_, QStringLiteral("放电记录"), QColor(0xA6, 0xCA, 0xF0));
    RzPageControl1->tabBar()->setTabTextColor(RzPageControl1->count() - 1, layout::kPurple);
}

// ---------------------------------------------------------------------------------------------
// Start-up, shutdown, navigation

void TForm1::FormCreate() {
    auto* spare = new BarSeries(this);
    Chart1->AddSeries(spare);

    const QStringList realTimeHeader{QStringLiteral("模块地址"), QStringLiteral("采样时间"),
                                     QStringLiteral("电压V"), QStringLiteral("温度℃"),
                                     QStringLiteral("鼓包")};
    for (int c = 0; c < realTimeHeader.size(); ++c) StringGrid->SetCells(c, 0, realTimeHeader[c]);
    for (int step = 1; step <= battery::kLastReadingStep; ++step) {
        ::StringGrid* grid = HistoryGrid(step);
        grid->SetCells(0, 0, QStringLiteral("%1#采样时间").arg(step));
        grid->SetCells(1, 0, QStringLiteral("电压"));
        grid->SetCells(2, 0, QStringLiteral("温度"));
        grid->SetCells(3, 0, QStringLiteral("鼓包"));
    }
}

// The history tables show the stored readings of the last hours as if those cycles had just
// run; the real-time table, the charts and the log start empty.
void TForm1::RestoreHistory(const std::vector<battery::Reading>& readings) {
    std::array<std::vector<TimedReading>, battery::kLastReadingStep> perStep;
    for (const battery::Reading& stored : readings) {
        const std::optional<int> step = battery::ReadingStepOf(stored.Id());
        if (!step) continue;
        perStep[*step - 1].push_back(
            {stored.tMs / 1000,
             ReadingFromRaw(stored.status, stored.voltageDv, stored.temperatureDc)});
    }
    for (int step = 1; step <= battery::kLastReadingStep; ++step) {
        auto* table = static_cast<HistoryGridModel*>(HistoryGrid(step)->Model());
        AppendHistoryRecords(*table, step, perStep[step - 1]);
    }
}

// A store fault is said once, in the log and the status line; readings go on being shown and
// are kept in memory until they can be written.
void TForm1::ShowStoreHealth(bool, const QString& message) {
    StatusBar1->SetPanelText(0, message);
    if (!message.isEmpty()) Memo1->appendPlainText(message);
}

// Closing the window ends monitoring on purpose, through the session, so that nothing takes the
// closed port for a lost one.
void TForm1::FormClose() {
    session_->ClosePort();
    station_->Shutdown();
    emit Closing();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Header, navigation column, page area and status bar follow the window through their
    // alignment; the controls inside the pages keep their places.
    if (!RzPanel1) return;
    const int w = width();
    const int h = height();
    const int middle = h - kHeaderHeight - kStatusHeight;
    RzPanel1->setGeometry(0, 0, w, kHeaderHeight);
    RzPanel2->setGeometry(0, kHeaderHeight, kNavWidth, middle);
    RzPanel3->setGeometry(kNavWidth, kHeaderHeight, w - kNavWidth, middle);
    RzPageControl1->setGeometry(2, 2, w - kNavWidth - 4, middle - 4);
    StatusBar1->setGeometry(0, h - kStatusHeight, w, kStatusHeight);
}

void TForm1::RzBitBtn4Click() { RzPageControl1->setCurrentIndex(0); }
void TForm1::RzBitBtn12Click() { RzPageControl1->setCurrentIndex(1); }
void TForm1::RzBitBtn13Click() { RzPageControl1->setCurrentIndex(2); }

void TForm1::RzBitBtn3Click() {
    session_->ClosePort();
    close();
}

::StringGrid* TForm1::HistoryGrid(int step) const {
    const std::array<::StringGrid*, battery::kLastReadingStep> grids{
        StringGrid1,  StringGrid2,  StringGrid3,  StringGrid4, StringGrid5,
        StringGrid6,  StringGrid7,  StringGrid8,  StringGrid9, StringGrid10,
        StringGrid11, StringGrid12, StringGrid13, StringGrid14};
    return step >= 1 && step <= battery::kLastReadingStep ? grids[step - 1] : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Port control and the poll cycle

void TForm1::Button1Click() { TogglePort(); }

void TForm1::TogglePort() {
    if (session_->PortOpen()) {
        session_->ClosePort();
        return;
    }
    // A device server over TCP may take a few seconds to answer: one attempt at a time.
    Button1->setEnabled(false);
    session_->OpenPort(Com_combox->currentText());
    Button1->setEnabled(!session_->PortOpening());
}

void TForm1::ShowPortOpened(const QString& portName) {
    Button1->setEnabled(true);
    Shape1->SetBrushColor(kLampGreen);
    Button1->setText(kCloseCaption);
    StatusBar1->SetPanelText(1, QStringLiteral("串口") + portName + QStringLiteral("已打开") +
                                    QStringLiteral(",Baud:9600"));
}

// A serial device server that cannot be reached says why; a local port fails as it always has.
void TForm1::ShowPortOpenFailed(const QString& portName, const QString& reason) {
    Button1->setEnabled(true);
    QString message = QStringLiteral("未发现可用串口或被占用");
    if (IsTcpPortName(portName)) {
        message += QStringLiteral("：") + reason;
        StatusBar1->SetPanelText(
            1, QStringLiteral("串口") + portName + QStringLiteral("打开失败：") + reason);
    }
    messagebox::Show(this, message, kHint);
}

// Closed by the operator, or hung up by itself (adapter unplugged, device gone): shown alike,
// so the port can be opened again.
void TForm1::ShowPortClosed(bool) {
    Shape1->SetBrushColor(kLampSilver);
    Button1->setText(kOpenCaption);
    StatusBar1->SetPanelText(1, QStringLiteral("串口已关闭!"));
}

void TForm1::RzBitBtn7Click() { session_->StartMonitoring(); }

void TForm1::Timer1Timer() { Memo1->appendPlainText(QStringLiteral("   time1:")); }

void TForm1::Timer3Timer(const PollTick& tick) {
    if (tick.clearLogFirst) Memo1->clear();
    if (tick.clearCharts) {
        Chart1->Series(0)->Clear();
        Chart2->Series(0)->Clear();
    }
}

// ---------------------------------------------------------------------------------------------
// Device set-up commands. Every edit is converted and checked before anything changes, so a
// command with a bad number sends nothing and leaves the log and the pending flags as they were.

void TForm1::RzBitBtn9Click() {
    const std::int32_t e1 = StrToInt(RzEdit1->text());
    const std::int32_t e2 = StrToInt(RzEdit2->text());
    const std::int32_t e3 = StrToInt(RzEdit3->text());
    if (!InRange(e1, kFirstAddressRange, QStringLiteral("首地址")) ||
        !InRange(e2, kFrequencyPointRange, QStringLiteral("频点")) ||
        !InRange(e3, kDataAddressRange, QStringLiteral("数据地址")))
        return;
    SendSetupCommand(SetupCommand::SetDeviceInfo, SetDeviceInfoFrame(e1, e2, e3));
}

void TForm1::RzBitBtn10Click() {
    const std::int32_t e4 = StrToInt(RzEdit4->text());
    if (!InRange(e4, kFirstAddressRange, QStringLiteral("首地址"))) return;
    SendSetupCommand(SetupCommand::QueryDeviceInfo, QueryDeviceInfoFrame(e4));
}

void TForm1::RzBitBtn11Click() {
    const std::int32_t e5 = StrToInt(RzEdit5->text());
    const std::int32_t e6 = StrToInt(RzEdit6->text());
    if (!InRange(e5, kFirstAddressRange, QStringLiteral("首地址")) ||
        !InRange(e6, kModuleAddressRange, QStringLiteral("模块地址")))
        return;
    SendSetupCommand(SetupCommand::AuthorizeModule, AuthorizeModuleFrame(e5, e6));
}

bool TForm1::InRange(std::int32_t value, const FieldRange& range, const QString& field) {
    if (range.Contains(value)) return true;
    messagebox::Show(this, FieldRangeMessage(field, range.min, range.max), kHint);
    return false;
}

// A command into a closed port would go nowhere while its reply was awaited: say so instead.
void TForm1::SendSetupCommand(SetupCommand command, std::span<const std::uint8_t> frame) {
    if (!session_->PortOpen()) {
        messagebox::Show(this, QStringLiteral("串口未打开，命令未发送"), kHint);
        return;
    }
    Memo1->clear();
    session_->SendSetupCommand(command, frame);
}

void TForm1::RzBitBtn14Click() {
    const std::optional<int> intervalMs = SamplingPeriodMs(StrToInt(sample_time->text()));
    if (!intervalMs) {
        messagebox::Show(this, SamplingPeriodRangeMessage(), kHint);
        return;
    }
    session_->SetSamplingPeriodMs(*intervalMs);
}

// ---------------------------------------------------------------------------------------------
// Receiving and display

void TForm1::ShowReading(const battery::Reading& stored) {
    const std::optional<battery::WindowPlace> place = battery::WindowPlaceOf(stored.Id());
    if (!place) return;
    TrendSheet->AddReading(
        stored.Id(), TrendSample{stored.tMs, stored.voltageDv,
                                 static_cast<std::int16_t>(stored.temperatureDc), stored.status});
    const BatteryReading reading =
        ReadingFromRaw(stored.status, stored.voltageDv, stored.temperatureDc);
    AppendHistoryRecord(place->historyTable, reading, stored.tMs);
    if (place->liveRow > 0) ShowLiveReading(place->liveRow, reading, stored.tMs);
}

void TForm1::AppendHistoryRecord(int step, const BatteryReading& reading, qint64 arrivalMs) {
    auto* table = static_cast<HistoryGridModel*>(HistoryGrid(step)->Model());
    ::AppendHistoryRecord(*table, step, reading, arrivalMs / 1000);
}

void TForm1::ShowLiveReading(int battery, const BatteryReading& reading, qint64 arrivalMs) {
    const QString voltage = NumberText(reading.Voltage);
    const QString temperature = NumberText(reading.Temperature);
    StringGrid->SetCells(
        0, battery,
        battery::BatteryLabel({battery::kDeviceA1, static_cast<std::uint8_t>(battery - 1)}));
    StringGrid->SetCells(1, battery, TimeStampText(QDateTime::fromMSecsSinceEpoch(arrivalMs)));
    StringGrid->SetCells(2, battery, voltage);
    StringGrid->SetCells(3, battery, temperature);
    StringGrid->SetCells(4, battery, battery::StatusText(reading.StatusCode));
    Chart1->Series(0)->AddXY(battery, reading.Voltage, voltage, kVoltageBar);
    Chart2->Series(0)->AddXY(battery, reading.Temperature, temperature, kTemperatureBar);
    Memo1->appendPlainText(LiveSummaryLine(battery, reading));
}

void TForm1::ShowDeviceLate(std::uint8_t device) {
    Memo1->appendPlainText(
        QStringLiteral("设备%1应答过迟，本周期数据未采用").arg(battery::DeviceName(device)));
}

void TForm1::AppendHexEcho(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        Memo1->appendPlainText(FormatHexBytes(bytes.subspan(i, 1)));
}

// ---------------------------------------------------------------------------------------------
// Export

// Exports run on the export thread in the order they were pressed, each with the table as it was
// at the press; monitoring goes on meanwhile.
void TForm1::RzBitBtn6Click() { gridexport::StartGridExport({StringGrid->Model()}, this); }

// The six tables of 0xA1's batteries go out as six workbooks, one after another; a failed call
// stops the ones not yet started, as a failure inside one export always has.
void TForm1::RzBitBtn5Click() { ExportHistoryTablesFrom(battery::kFirstA1Step); }

void TForm1::ExportHistoryTablesFrom(int step) {
    if (step > battery::kLastReadingStep) return;
    gridexport::StartGridExport(
        {HistoryGrid(step)->Model()}, this,
        [window = QPointer<TForm1>(this), step](const gridexport::JobResult& result) {
            if (window && result.outcome != gridexport::JobResult::Outcome::Failed)
                window->ExportHistoryTablesFrom(step + 1);
        });
}
