#include <gtest/gtest.h>

#include <QDateTimeEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "tests/common/WaitFor.h"
#include "tests/trend/TestStore.h"
#include "trend/TrendPage.h"
#include "trend/TrendPlot.h"

namespace {

constexpr qint64 kPeriod = 10'000;
constexpr qint64 kHour = 3600'000;
constexpr qint64 kNow = 1'800'000'000'000;
constexpr qint64 kFirst = kNow - 48 * kHour;
const battery::BatteryId kA0First{0xA0, 0};
const battery::BatteryId kOneHash{0xA1, 0};
const battery::BatteryId kSixHash{0xA1, 5};

TrendSeries TwoDays(int base) {
    TrendSeries samples;
    for (qint64 t = kFirst; t <= kNow; t += kPeriod)
        samples.push_back({t, std::int16_t(base + (t / kPeriod) % 7), 250, kStatusNormal, false});
    return samples;
}

class PageTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_.Insert(kA0First, TwoDays(110));
        store_.Insert(kOneHash, TwoDays(125));
        TrendSeries late = TwoDays(130);
        late.erase(late.begin(), late.begin() + 8640);  // 6# only has the last day
        store_.Insert(kSixHash, late);
        page_ = std::make_unique<TrendPage>(store_.Path());
        page_->SetClock([this] { return now_; });
        page_->resize(1048, 609 - 22);
        page_->show();
        plot_ = page_->findChild<TrendPlot*>(QStringLiteral("trendPlot"));
        ASSERT_NE(plot_, nullptr);
    }

    void Check(int row) {
        auto* list = page_->findChild<QListWidget*>(QStringLiteral("trendBatteryList"));
        list->item(row)->setCheckState(Qt::Checked);
    }
    void Click(const char* name) {
        auto* button = page_->findChild<QPushButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    // Waits until the plot shows `batteries` over `range`, read back through the plot's model.
    bool WaitForPlot(const std::vector<battery::BatteryId>& batteries, const TimeRange& range) {
        const bool shown = testsupport::WaitUntil(
            [&] {
                return !plot_->Busy() && plot_->PlottedBatteries() == batteries &&
                       plot_->ChosenRange() == range && plot_->VisibleRange() == range;
            },
            std::chrono::seconds(10 * testsupport::kSlowdown));
        if (!shown) {
            std::printf("busy %d plotted %zu chosen %lld..%lld visible %lld..%lld\n", plot_->Busy(),
                        plot_->PlottedBatteries().size(), plot_->ChosenRange().fromMs,
                        plot_->ChosenRange().toMs, plot_->VisibleRange().fromMs,
                        plot_->VisibleRange().toMs);
        }
        return shown;
    }

    TestStore store_;
    qint64 now_ = kNow;
    std::unique_ptr<TrendPage> page_;
    TrendPlot* plot_ = nullptr;
};

}  // namespace

TEST_F(PageTest, chosenBatteriesAndRangeButtonsDecideWhatIsPlotted) {
    Check(0);  // A0-80
    Check(8);  // 1#
    const std::vector<battery::BatteryId> chosen{kA0First, kOneHash};
    ASSERT_TRUE(WaitForPlot(chosen, {kNow - 24 * kHour, kNow})) << "24 hours is the default";

    Click("trendRange1h");
    ASSERT_TRUE(WaitForPlot(chosen, {kNow - kHour, kNow}));
    const TrendSeries& hour = plot_->Points(kOneHash, TrendPlotKind::Voltage);
    ASSERT_EQ(hour.size(), 361u) << "an hour at 10 s, fewer than the plot's columns: exact";
    EXPECT_EQ(hour.front().tMs, kNow - kHour);
    EXPECT_EQ(hour.back().tMs, kNow);

    Check(13);  // 6#
    Click("trendRangeAll");
    const std::vector<battery::BatteryId> three{kA0First, kOneHash, kSixHash};
    ASSERT_TRUE(WaitForPlot(three, {kFirst, kNow})) << "all = what the store holds";
    const TrendSeries& six = plot_->Points(kSixHash, TrendPlotKind::Temperature);
    ASSERT_FALSE(six.empty());
    EXPECT_GE(six.front().tMs, kNow - 24 * kHour);
    EXPECT_LE(plot_->Points(kA0First, TrendPlotKind::Voltage).size(),
              std::size_t(2 * plot_->ColumnCount()));
    auto* from = page_->findChild<QDateTimeEdit*>(QStringLiteral("trendFrom"));
    EXPECT_EQ(from->dateTime().toMSecsSinceEpoch() / 1000, kFirst / 1000);

    // Typing a range into the edits.
    auto* to = page_->findChild<QDateTimeEdit*>(QStringLiteral("trendTo"));
    to->setDateTime(QDateTime::fromMSecsSinceEpoch(kNow - 40 * kHour));
    ASSERT_TRUE(WaitForPlot(three, {kFirst, kNow - 40 * kHour}));
    EXPECT_TRUE(plot_->Points(kSixHash, TrendPlotKind::Voltage).empty());
}

TEST_F(PageTest, exportAndPictureButtonsUseTheChosenBatteriesAndRange) {
    Check(8);
    Click("trendRange1h");
    ASSERT_TRUE(WaitForPlot({kOneHash}, {kNow - kHour, kNow}));
    std::vector<battery::BatteryId> exported;
    TimeRange exportedRange;
    page_->SetCsvExporter([&](const std::vector<battery::BatteryId>& b, const TimeRange& r) {
        exported = b;
        exportedRange = r;
    });
    Click("trendExportCsv");
    EXPECT_EQ(exported, std::vector<battery::BatteryId>{kOneHash});
    EXPECT_EQ(exportedRange, (TimeRange{kNow - kHour, kNow}));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trend.png"));
    page_->SetPictureFileChooser([&] { return path; });
    Click("trendSavePicture");
    EXPECT_EQ(QImage(path).size(), plot_->size());
}

TEST_F(PageTest, liveReadingsShowWhileVisibleAndAreFetchedAfterBeingHidden) {
    Check(8);
    Click("trendRange1h");
    ASSERT_TRUE(WaitForPlot({kOneHash}, {kNow - kHour, kNow}));

    const TrendSample next{kNow + kPeriod, 140, 260, 0x71, false};
    page_->AddReading(kOneHash, next);
    EXPECT_EQ(plot_->Points(kOneHash, TrendPlotKind::Voltage).back(), next);
    EXPECT_EQ(plot_->ChosenRange(), (TimeRange{kNow - kHour + kPeriod, kNow + kPeriod}));

    page_->hide();
    const TrendSample hidden{kNow + 2 * kPeriod, 141, 261, kStatusNormal, false};
    page_->AddReading(kOneHash, hidden);  // not drawn: the page is not on screen
    EXPECT_EQ(plot_->Points(kOneHash, TrendPlotKind::Voltage).back(), next);

    store_.Insert(kOneHash, std::span(&next, 1));
    store_.Insert(kOneHash, std::span(&hidden, 1));
    now_ = hidden.tMs;
    page_->show();
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            const TrendSeries& line = plot_->Points(kOneHash, TrendPlotKind::Voltage);
            return !line.empty() && line.back() == hidden;
        },
        std::chrono::seconds(10 * testsupport::kSlowdown)))
        << "shown again, the page fetches what it missed";
}
