#include "trend/TrendPage.h"

#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "trend/BatteryColors.h"
#include "trend/TrendPlot.h"

namespace {

constexpr qint64 kHourMs = 3600'000;
constexpr qint64 kDayMs = 24 * kHourMs;
constexpr int kChooserWidth = 150;
// Wheel steps and drags come in bursts; the store is asked once the view holds still this long.
constexpr int kSettleMs = 60;
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QIcon Swatch(const QColor& colour) {
    QPixmap pixmap(14, 10);
    pixmap.fill(colour);
    QPainter painter(&pixmap);
    painter.setPen(colour.darker(140));
    painter.drawRect(pixmap.rect().adjusted(0, 0, -1, -1));
    return QIcon(pixmap);
}

QPushButton* RangeButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

}  // namespace

TrendPage::TrendPage(const QString& storePath, QWidget* parent)
    : QWidget(parent),
      storePath_(storePath),
      now_([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    BuildControls();
    pictureChooser_ = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("保存图片"),
                                            QStringLiteral("trend.png"),
                                            QStringLiteral("PNG (*.png)"));
    };
    liveSpanMs_ = kDayMs;  // the range of the first showing: the last 24 hours
}

TrendPage::~TrendPage() = default;

void TrendPage::BuildControls() {
    batteries_ = new QListWidget(this);
    batteries_->setObjectName(QStringLiteral("trendBatteryList"));
    batteries_->setFixedWidth(kChooserWidth);
    for (const battery::BatteryId& id : battery::WatchedBatteries()) {
        auto* item =
            new QListWidgetItem(Swatch(BatteryColor(id)), battery::BatteryLabel(id), batteries_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    connect(batteries_, &QListWidget::itemChanged, this, [this] { RequestVisible(); });

    auto* exportCsv = new QPushButton(QStringLiteral("导出CSV"), this);
    exportCsv->setObjectName(QStringLiteral("trendExportCsv"));
    connect(exportCsv, &QPushButton::clicked, this, &TrendPage::ExportCsv);
    auto* savePicture = new QPushButton(QStringLiteral("保存图片"), this);
    savePicture->setObjectName(QStringLiteral("trendSavePicture"));
    connect(savePicture, &QPushButton::clicked, this, &TrendPage::SavePicture);

    auto* chooser = new QVBoxLayout;
    chooser->addWidget(batteries_, 1);
    chooser->addWidget(exportCsv);
    chooser->addWidget(savePicture);

    auto* ranges = new QHBoxLayout;
    const struct {
        const char* text;
        const char* name;
        qint64 spanMs;
    } spans[] = {{"1小时", "trendRange1h", kHourMs},
                 {"24小时", "trendRange24h", kDayMs},
                 {"7天", "trendRange7d", 7 * kDayMs},
                 {"30天", "trendRange30d", 30 * kDayMs}};
    for (const auto& span : spans) {
        QPushButton* button =
            RangeButton(QString::fromUtf8(span.text), QString::fromLatin1(span.name), this);
        const qint64 spanMs = span.spanMs;
        connect(button, &QPushButton::clicked, this, [this, spanMs] { ChooseLastSpan(spanMs); });
        ranges->addWidget(button);
    }
    QPushButton* all = RangeButton(QStringLiteral("全部"), QStringLiteral("trendRangeAll"), this);
    connect(all, &QPushButton::clicked, this, &TrendPage::ChooseWholeHistory);
    ranges->addWidget(all);
    ranges->addSpacing(12);

    from_ = new QDateTimeEdit(this);
    from_->setObjectName(QStringLiteral("trendFrom"));
    to_ = new QDateTimeEdit(this);
    to_->setObjectName(QStringLiteral("trendTo"));
    for (QDateTimeEdit* edit : {from_, to_}) {
        edit->setDisplayFormat(kTimeFormat);
        edit->setCalendarPopup(true);
        connect(edit, &QDateTimeEdit::dateTimeChanged, this, [this] {
            if (!showingRange_) ChooseFromEdits();
        });
    }
    ranges->addWidget(new QLabel(QStringLiteral("从"), this));
    ranges->addWidget(from_);
    ranges->addWidget(new QLabel(QStringLiteral("到"), this));
    ranges->addWidget(to_);
    ranges->addStretch(1);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("trendStatus"));
    ranges->addWidget(status_);

    plot_ = new TrendPlot(this);
    plot_->setObjectName(QStringLiteral("trendPlot"));
    plot_->SetGapMs(gapMs_);
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMs);
    connect(settle_, &QTimer::timeout, this, &TrendPage::RequestVisible);
    connect(plot_, &TrendPlot::ViewChanged, this, [this] { settle_->start(); });

    auto* right = new QVBoxLayout;
    right->addLayout(ranges);
    right->addWidget(plot_, 1);
    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(6, 6, 6, 6);
    page->addLayout(chooser);
    page->addLayout(right, 1);
}

void TrendPage::SetSamplingPeriodMs(qint64 periodMs) {
    if (periodMs <= 0) return;
    gapMs_ = 3 * periodMs;
    plot_->SetGapMs(gapMs_);
    RequestVisible();
}

void TrendPage::SetCheckedBatteries(const std::vector<battery::BatteryId>& batteries) {
    const QSignalBlocker quiet(batteries_);
    for (int row = 0; row < batteries_->count(); ++row) {
        const battery::BatteryId id = battery::WatchedBatteries()[std::size_t(row)];
        const bool checked = std::find(batteries.begin(), batteries.end(), id) != batteries.end();
        batteries_->item(row)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
    RequestVisible();
}

std::vector<battery::BatteryId> TrendPage::CheckedBatteries() const {
    std::vector<battery::BatteryId> checked;
    for (int row = 0; row < batteries_->count(); ++row)
        if (batteries_->item(row)->checkState() == Qt::Checked)
            checked.push_back(battery::WatchedBatteries()[std::size_t(row)]);
    return checked;
}

void TrendPage::ChooseLastSpan(qint64 spanMs) {
    const qint64 now = now_();
    wholeHistoryPending_ = false;
    liveSpanMs_ = spanMs;
    SetChosen({now - spanMs, now}, true);
}

void TrendPage::ChooseWholeHistory() {
    wholeHistoryPending_ = true;
    liveSpanMs_.reset();
    RequestVisible();
}

void TrendPage::ChooseFromEdits() {
    const TimeRange range{from_->dateTime().toMSecsSinceEpoch(),
                          to_->dateTime().toMSecsSinceEpoch()};
    if (range.Span() <= 0) {
        status_->setText(QStringLiteral("起始时间须早于结束时间"));
        return;
    }
    wholeHistoryPending_ = false;
    liveSpanMs_.reset();
    SetChosen(range, false);
}

void TrendPage::SetChosen(const TimeRange& range, bool followLive) {
    status_->clear();
    ShowRangeInEdits(range);
    plot_->SetFollowLive(followLive);
    plot_->SetChosenRange(range);
    RequestVisible();
}

void TrendPage::ShowRangeInEdits(const TimeRange& range) {
    showingRange_ = true;
    from_->setDateTime(QDateTime::fromMSecsSinceEpoch(range.fromMs));
    to_->setDateTime(QDateTime::fromMSecsSinceEpoch(range.toMs));
    showingRange_ = false;
}

void TrendPage::RequestVisible() {
    settle_->stop();
    if (!isVisible()) {
        staleWhileHidden_ = true;
        return;
    }
    if (!query_) {
        query_ = std::make_unique<TrendQuery>(storePath_);
        connect(query_.get(), &TrendQuery::ResultReady, this, &TrendPage::Receive);
        connect(query_.get(), &TrendQuery::BusyChanged, plot_, &TrendPlot::SetBusy);
    }
    TrendRequest request;
    request.batteries = CheckedBatteries();
    request.range = plot_->VisibleRange();
    request.columns = plot_->ColumnCount();
    request.gapMs = gapMs_;
    request.wholeHistory = wholeHistoryPending_;
    if (request.batteries.empty()) {
        query_->Cancel();
        plot_->Clear();
        return;
    }
    query_->Request(request);
}

void TrendPage::Receive(const TrendResult& result) {
    if (!result.error.isEmpty()) {
        status_->setText(QStringLiteral("读取历史失败：") + result.error);
        return;
    }
    status_->clear();
    if (result.request.wholeHistory) {
        wholeHistoryPending_ = false;
        if (result.request.range.Span() > 0) {
            ShowRangeInEdits(result.request.range);
            plot_->SetFollowLive(false);
            const QSignalBlocker quiet(plot_);  // the data for this range is in hand
            plot_->SetChosenRange(result.request.range);
        }
    }
    plot_->SetData(result);
}

void TrendPage::AddReading(battery::BatteryId battery, const TrendSample& reading) {
    if (!isVisible()) {
        staleWhileHidden_ = true;
        return;
    }
    plot_->AppendReading(battery, reading);
}

void TrendPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!staleWhileHidden_ && query_) return;
    staleWhileHidden_ = false;
    // After the layout has given the plot its size, so the columns match the pixels. A range
    // counted back from now ("the last hour") is counted again: time went on while hidden.
    QTimer::singleShot(0, this, [this] {
        if (liveSpanMs_) {
            ChooseLastSpan(*liveSpanMs_);
        } else {
            RequestVisible();
        }
    });
}

void TrendPage::ExportCsv() {
    if (!csvExporter_) return;
    csvExporter_(CheckedBatteries(), plot_->ChosenRange());
}

void TrendPage::SavePicture() {
    const QString path = pictureChooser_ ? pictureChooser_() : QString();
    if (path.isEmpty()) return;
    status_->setText(plot_->SavePicture(path) ? QStringLiteral("图片已保存")
                                              : QStringLiteral("图片保存失败：") + path);
}
