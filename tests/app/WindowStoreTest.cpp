// The window with a history store: what it shows is on disk, comes back after a restart, and
// leaves through the trend page's CSV button.
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QThread>

#include "app/Controls.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/app/FormFixture.h"
#include "trend/TrendPage.h"
#include "widgets/FileDialog.h"
#include "widgets/MessageBox.h"

using namespace std::chrono_literals;
using testsupport::PtyDevice;
using testsupport::WaitUntil;

namespace {

QByteArray AnswerNamingBattery(const QByteArray& request) {
    if (request[1] != 0x04 || request[2] != 0x00) return {};
    const auto battery = std::uint8_t(request[3]) - 0x80;
    return PollAnswerBytes(std::uint8_t(request[0]), 0x11, std::uint8_t(100 + battery), 250);
}

class StoreFixture : public FormFixture {
protected:
    void TearDown() override {
        filedialog::SetHook({});
        FormFixture::TearDown();
    }
    std::vector<battery::Reading> Stored() const {
        store::HistoryReader reader(store::HistoryFilePath(window->DataDir()));
        return reader.LoadSince(0);
    }
};

}  // namespace

TEST_F(StoreFixture, everyReadingShownIsOnDiskAndComesBackAfterARestart) {
    {
        PtyDevice device;
        device.SetResponder(AnswerNamingBattery);
        OpenPortOn(device);
        Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("3"));
        Click(Control<QPushButton>(Form(), "RzBitBtn14"));
        Click(Control<QPushButton>(Form(), "RzBitBtn7"));
        ASSERT_TRUE(window->WaitForCycles(1, 8s));
        // Read back with a connection of its own before the next sampling period, and shown
        // once it is there.
        ASSERT_TRUE(WaitUntil([&] { return Stored().size() >= 14; }, 2s));
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (int step = 1; step <= 14; ++step)
                    if (HistoryGrid(Form(), step)->Cells(0, 1).isEmpty()) return false;
                return true;
            },
            2s));
    }
    const std::vector<battery::Reading> stored = Stored();
    for (int step = 1; step <= 14; ++step) {
        const int battery = (step - 1) % 8;
        const std::uint8_t deviceAddress = step <= 8 ? 0xA0 : 0xA1;
        const auto shown = HistoryGrid(Form(), step)->Cells(1, 1);
        const auto onDisk = std::count_if(stored.begin(), stored.end(), [&](const auto& r) {
            return r.device == deviceAddress && r.battery == battery &&
                   r.voltage_dv == 100 + battery;
        });
        EXPECT_GE(onDisk, 1) << "step " << step << " shows " << shown.toStdString();
    }

    const QString firstRecord = HistoryGrid(Form(), 11)->Cells(0, 1);
    const int rows = HistoryGrid(Form(), 11)->RowCount();
    window->Reopen();
    EXPECT_EQ(HistoryGrid(Form(), 11)->Cells(0, 1), firstRecord);
    EXPECT_EQ(HistoryGrid(Form(), 11)->RowCount(), rows);
    EXPECT_EQ(HistoryGrid(Form(), 11)->Cells(0, 0), QStringLiteral("3#采样时间"));
    EXPECT_TRUE(Control<::StringGrid>(Form(), "StringGrid")->Cells(1, 1).isEmpty())
        << "the real-time table starts empty";
    EXPECT_TRUE(MemoLines().isEmpty());

    window->Options().restoreHours = 0;
    window->Reopen();
    EXPECT_EQ(HistoryGrid(Form(), 11)->RowCount(), 15) << "--restore-hours 0 restores nothing";
}

TEST_F(StoreFixture, theTrendPagesCsvButtonExportsExactlyTheChosenBatteries) {
    {
        PtyDevice device;
        device.SetResponder(AnswerNamingBattery);
        OpenPortOn(device);
        Click(Control<QPushButton>(Form(), "RzBitBtn7"));
        ASSERT_TRUE(window->WaitForCycles(1, 8s));
        ASSERT_TRUE(WaitUntil([&] { return Stored().size() >= 14; }, 2s));
    }
    auto* pages = Control<PageControl>(Form(), "RzPageControl1");
    pages->setCurrentWidget(Control<QWidget>(Form(), "TrendSheet"));
    auto* list = Control<QListWidget>(Form(), "trendBatteryList");
    for (int row = 0; row < list->count(); ++row) list->item(row)->setCheckState(Qt::Unchecked);
    list->item(2)->setCheckState(Qt::Checked);   // A0-82
    list->item(10)->setCheckState(Qt::Checked);  // 3#
    Click(Control<QPushButton>(Form(), "trendRange24h"));

    QString target = QDir(window->DataDir()).filePath(QStringLiteral("out.csv"));
    filedialog::SetHook([&](const QString&, const QString&) { return target; });
    QThread* reportedOn = nullptr;
    messagebox::SetHook([&](const QString& text, const QString& caption) {
        reportedOn = QThread::currentThread();
        Messages().push_back({text, caption});
    });
    Click(Control<QPushButton>(Form(), "trendExportCsv"));
    ASSERT_TRUE(WaitUntil([&] { return !Messages().empty(); }, 5s));
    EXPECT_EQ(Messages().back().text, QStringLiteral("已导出 2 条记录到 %1").arg(target));
    EXPECT_EQ(reportedOn, Form().thread()) << "the writer's result is shown on the window's thread";

    const auto expectTheTwoBatteries = [](const QString& file) {
        QFile csv(file);
        ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
        ASSERT_EQ(lines.size(), 3);
        EXPECT_TRUE(lines[0].startsWith("\xEF\xBB\xBFtime,device,battery,"));
        EXPECT_TRUE(lines[1].contains(",A0,2,10.2,") || lines[2].contains(",A0,2,10.2,"));
        EXPECT_TRUE(lines[1].contains(",A1,2,10.2,") || lines[2].contains(",A1,2,10.2,"));
    };
    expectTheTwoBatteries(target);

    // A window closed while its export is being written waits for the whole file, and nothing
    // is shown for a window that is gone.
    target = QDir(window->DataDir()).filePath(QStringLiteral("closing.csv"));
    Click(Control<QPushButton>(Form(), "trendExportCsv"));
    window->Close();
    QCoreApplication::processEvents();
    EXPECT_EQ(Messages().size(), 1u);
    expectTheTwoBatteries(target);
}
