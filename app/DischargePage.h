#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

#include "alarms/Discharge.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QTableWidget;
class Station;
class TrendPlot;

// The page "放电记录": the stored discharges, newest first, and for the one chosen its
// batteries' voltage curves over the event (the trend plot), its table with the weakest battery
// marked, and its report as PDF or CSV. Above them the discharge settings of each device and
// the switch that lets a discharge sample at the fastest period (off by default: the window's
// period is the operator's). The list follows the station's discharges as they change.
// Object names: dischargeList, dischargePlot, dischargeTable, dischargeSummary, dischargePdf,
// dischargeCsv, dischargeFastSampling, dischargeSave, dischargeStatus, and per device (a0, a1)
// dischargeStart_a0, dischargeEndLevel_a0, dischargeEndVoltage_a0, dischargeMinutes_a0.
class DischargePage : public QWidget {
    Q_OBJECT
public:
    using FileChooser = std::function<QString(const QString& suggested)>;

    DischargePage(Station& station, QString historyFile, QWidget* parent = nullptr);

    // Where the reports are written; the default asks with a file dialog. Empty: cancelled.
    void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
    // The room's name in the reports (default: the host name).
    void SetSite(const QString& site) { site_ = site; }

    void Reload();
    const std::vector<alarms::DischargeRecord>& Records() const { return records_; }

    // Kept in the program's settings under "discharge": each device's settings and the switch.
    static alarms::DeviceDischargeSettings LoadSettings(QSettings& settings);
    static bool LoadFastSampling(QSettings& settings);

private:
    void BuildControls();
    void ShowSettings();
    void SaveSettings();
    void ShowRecord(int row);
    void ExportPdf();
    void ExportCsv();
    const alarms::DischargeRecord* Chosen() const;
    // Whether the list shows each device's discharge as the station knows it: running or not,
    // and with the same battery first at its end voltage.
    bool ListAgreesWithStation() const;

    struct DeviceFields {
        QLineEdit* start;
        QLineEdit* endLevel;
        QLineEdit* endVoltage;
        QLineEdit* minutes;
    };

    Station& station_;
    QString historyFile_;
    QString site_;
    FileChooser chooser_;
    std::vector<alarms::DischargeRecord> records_;
    std::array<DeviceFields, 2> fields_{};
    QCheckBox* fastSampling_ = nullptr;
    QTableWidget* list_ = nullptr;
    QTableWidget* table_ = nullptr;
    TrendPlot* plot_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* status_ = nullptr;
    bool stale_ = false;  // a change not yet read back from the store
};
