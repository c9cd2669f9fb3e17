#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/PollCycle.h"
#include "protocol/ResponseDecoder.h"
#include "station/Station.h"

class BarChart;
class BarSeries;
class CircleShape;
class JpegImage;
class MonitorSession;
class PageControl;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class StatusBar;
class StringGrid;
class TrendPage;
class AlarmView;
class DischargePage;
namespace notify {
class Notifier;
}
enum class SetupCommand;
struct FieldRange;

// The program's one window: every control under its designer name (also its objectName), the
// operator's handlers named after control and event, and what the window shows of the
// monitoring session it owns. Handlers stay thin: they read controls, call the session, and
// write controls; the session's signals are shown by the display handlers.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Without a data folder in `options` the window keeps no history store.
    explicit TForm1(const StationOptions& options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    MonitorSession& Session() { return *session_; }
    Station& Monitoring() { return *station_; }
    // The alarm delivery the limits dialog tests; none when no channel is configured.
    void SetNotifier(notify::Notifier* notifier);
    // The room's name on discharge reports (batmond's `site`); the host name until set.
    void SetSite(const QString& site);

signals:
    // Raised by FormClose, once per close of the window.
    void Closing();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Layout, one builder per page (TForm1Layout.cpp).
    void BuildHeaderAndFrame();
    void BuildRealTimePage();
    void BuildHistoryPage();
    void BuildSpareTablesPage();
    void BuildSettingsPage();
    void BuildTrendPage(const QString& storeFile);
    void WireEvents();
    void ShowAlarms();
    void ShowDischarges(const QString& historyFile);

    // Window handlers.
    void FormCreate();
    void RestoreHistory(const std::vector<battery::Reading>& readings);
    void ShowStoreHealth(bool writing, const QString& message);
    void FormClose();

    // Navigation and exit.
    void RzBitBtn4Click();
    void RzBitBtn12Click();
    void RzBitBtn13Click();
    void RzBitBtn3Click();

    // Port control and the poll cycle.
    void Button1Click();
    void TogglePort();
    void RzBitBtn7Click();
    void ShowPortOpened(const QString& portName);
    void ShowPortOpenFailed(const QString& portName, const QString& reason);
    void ShowPortClosed(bool hungUp);
    void Timer1Timer();
    void Timer3Timer(const PollTick& tick);

    // Device set-up commands and the sampling period.
    void RzBitBtn9Click();
    void RzBitBtn10Click();
    void RzBitBtn11Click();
    void RzBitBtn14Click();
    void SendSetupCommand(SetupCommand command, std::span<const std::uint8_t> frame);
    bool InRange(std::int32_t value, const FieldRange& range, const QString& field);

    // Display of what the session received.
    void ShowReading(const battery::Reading& reading);
    void AppendHistoryRecord(int step, const BatteryReading& reading, qint64 arrivalMs);
    void ShowLiveReading(int battery, const BatteryReading& reading, qint64 arrivalMs);
    void AppendHexEcho(std::span<const std::uint8_t> bytes);
    void ShowDeviceLate(std::uint8_t device);

    // Export.
    void RzBitBtn6Click();
    void RzBitBtn5Click();
    void ExportHistoryTablesFrom(int step);

    // The history table of poll step 1..14 (StringGrid1..StringGrid14).
    ::StringGrid* HistoryGrid(int step) const;

    Station* station_ = nullptr;
    AlarmView* alarmView_ = nullptr;
    DischargePage* dischargePage_ = nullptr;
    MonitorSession* session_ = nullptr;

    // Header, navigation column, page area, status bar.
    QFrame* RzPanel1 = nullptr;
    JpegImage* Image1 = nullptr;
    QLabel* RzLabel1 = nullptr;
    QFrame* RzPanel2 = nullptr;
    QLabel* RzLabel2 = nullptr;
    QPushButton* RzBitBtn4 = nullptr;
    QPushButton* RzBitBtn12 = nullptr;
    QPushButton* RzBitBtn13 = nullptr;
    QFrame* RzPanel3 = nullptr;
    PageControl* RzPageControl1 = nullptr;
    StatusBar* StatusBar1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet11 = nullptr;
    QWidget* TabSheet4 = nullptr;
    TrendPage* TrendSheet = nullptr;  // page "历史趋势"

    // Page "实时数据".
    QLabel* RzLabel14 = nullptr;
    QPushButton* RzBitBtn6 = nullptr;
    ::StringGrid* StringGrid = nullptr;
    BarChart* Chart1 = nullptr;
    BarChart* Chart2 = nullptr;
    BarSeries* Series1 = nullptr;
    BarSeries* BarSeries1 = nullptr;
    std::array<QLabel*, 6> Chart1Labels{};  // RzLabel16 .. RzLabel21
    std::array<QLabel*, 6> Chart2Labels{};  // RzLabel22 .. RzLabel27

    // Page "历史数据" and page "页面2".
    QLabel* RzLabel15 = nullptr;
    QPushButton* RzBitBtn5 = nullptr;
    ::StringGrid* StringGrid1 = nullptr;
    ::StringGrid* StringGrid2 = nullptr;
    ::StringGrid* StringGrid3 = nullptr;
    ::StringGrid* StringGrid4 = nullptr;
    ::StringGrid* StringGrid5 = nullptr;
    ::StringGrid* StringGrid6 = nullptr;
    ::StringGrid* StringGrid7 = nullptr;
    ::StringGrid* StringGrid8 = nullptr;
    ::StringGrid* StringGrid9 = nullptr;
    ::StringGrid* StringGrid10 = nullptr;
    ::StringGrid* StringGrid11 = nullptr;
    ::StringGrid* StringGrid12 = nullptr;
    ::StringGrid* StringGrid13 = nullptr;
    ::StringGrid* StringGrid14 = nullptr;
    ::StringGrid* StringGrid15 = nullptr;

    // Page "系统设置".
    CircleShape* Shape1 = nullptr;
    QComboBox* Com_combox = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* RzBitBtn3 = nullptr;
    QPushButton* RzBitBtn7 = nullptr;
    QLabel* RzLabel3 = nullptr;
    QLabel* RzLabel4 = nullptr;
    QLineEdit* RzEdit1 = nullptr;
    QLabel* RzLabel5 = nullptr;
    QLineEdit* RzEdit2 = nullptr;
    QLabel* RzLabel6 = nullptr;
    QLineEdit* RzEdit3 = nullptr;
    QPushButton* RzBitBtn9 = nullptr;
    QLabel* RzLabel7 = nullptr;
    QLabel* RzLabel8 = nullptr;
    QLabel* RzLabel9 = nullptr;
    QLineEdit* RzEdit4 = nullptr;
    QPushButton* RzBitBtn10 = nullptr;
    QLabel* RzLabel10 = nullptr;
    QLabel* RzLabel11 = nullptr;
    QLineEdit* RzEdit5 = nullptr;
    QLabel* RzLabel12 = nullptr;
    QLineEdit* RzEdit6 = nullptr;
    QPushButton* RzBitBtn11 = nullptr;
    QLabel* RzLabel13 = nullptr;
    QLabel* RzLabel28 = nullptr;
    QLineEdit* sample_time = nullptr;
    QPushButton* RzBitBtn14 = nullptr;
    PageControl* RzPageControl3 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
};
