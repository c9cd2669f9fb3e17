#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "trend/TrendQuery.h"

class QDateTimeEdit;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;
class TrendPlot;

// The history trend page: a battery chooser with colour swatches, range buttons, a from/to pair
// of date-time edits, the trend plot and the export and picture buttons. It reads the store
// through a TrendQuery of its own, created the first time the page is shown, and asks it again
// whenever the batteries, the range or the view change. While hidden it does no work; readings
// that arrive meanwhile are fetched with the next request when it is shown again.
// Object names: trendBatteryList, trendRange1h, trendRange24h, trendRange7d, trendRange30d,
// trendRangeAll, trendFrom, trendTo, trendPlot, trendExportCsv, trendSavePicture, trendStatus.
class TrendPage : public QWidget {
    Q_OBJECT
public:
    using CsvExporter =
        std::function<void(const std::vector<battery::BatteryId>&, const TimeRange&)>;
    using FileChooser = std::function<QString()>;

    explicit TrendPage(const QString& storePath, QWidget* parent = nullptr);
    ~TrendPage() override;

    // "导出CSV" calls this with the checked batteries and the chosen range; the owner shows the
    // file dialog and the row count.
    void SetCsvExporter(CsvExporter exporter) { csvExporter_ = std::move(exporter); }
    // Where "保存图片" writes; the default asks with a file dialog. Empty means cancelled.
    void SetPictureFileChooser(FileChooser chooser) { pictureChooser_ = std::move(chooser); }
    void SetSamplingPeriodMs(qint64 periodMs);
    // The clock the range buttons count back from (tests fix it).
    void SetClock(std::function<qint64()> nowMs) { now_ = std::move(nowMs); }

    void SetCheckedBatteries(const std::vector<battery::BatteryId>& batteries);
    std::vector<battery::BatteryId> CheckedBatteries() const;
    TrendPlot* Plot() const { return plot_; }

    // A reading as it is recorded: drawn at once when its battery is shown and the page visible.
    void AddReading(battery::BatteryId battery, const TrendSample& reading);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void ChooseLastSpan(qint64 spanMs);
    void ChooseWholeHistory();
    void ChooseFromEdits();
    void SetChosen(const TimeRange& range, bool followLive);
    void ShowRangeInEdits(const TimeRange& range);
    void RequestVisible();
    void Receive(const TrendResult& result);
    void ExportCsv();
    void SavePicture();

    QString storePath_;
    std::unique_ptr<TrendQuery> query_;
    QListWidget* batteries_ = nullptr;
    QDateTimeEdit* from_ = nullptr;
    QDateTimeEdit* to_ = nullptr;
    TrendPlot* plot_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* settle_ = nullptr;
    CsvExporter csvExporter_;
    FileChooser pictureChooser_;
    std::function<qint64()> now_;
    qint64 gapMs_ = 30'000;
    bool wholeHistoryPending_ = false;
    std::optional<qint64> liveSpanMs_;  // set while the range counts back from now
    bool showingRange_ = false;
    bool staleWhileHidden_ = false;
};
