#include <QRegularExpression>

#include "app/Controls.h"
#include "tests/app/FormFixture.h"
#include "widgets/BarChart.h"
#include "widgets/StringGrid.h"

using namespace std::chrono_literals;
using testsupport::PtyDevice;
using testsupport::WaitUntil;

namespace {

// Battery i of device 0xA0 reads 12.0 + i/10 V, of 0xA1 13.0 + i/10 V; temperature 25 + i °C.
std::uint8_t VoltageRaw(std::uint8_t address, int battery) {
    return std::uint8_t((address == 0xA1 ? 130 : 120) + battery);
}
std::uint16_t TemperatureRaw(int battery) { return std::uint16_t(250 + 10 * battery); }

QByteArray HealthyAnswer(const QByteArray& request) {
    const auto address = std::uint8_t(request[0]);
    if (request[1] != 0x04 || request[2] != 0x00) return {};
    const int battery = std::uint8_t(request[3]) - 0x80;
    return PollAnswerBytes(address, 0x11, VoltageRaw(address, battery), TemperatureRaw(battery));
}

bool IsTimeStamp(const QString& text) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}\\D\\d{2}\\D\\d{2} \\d{2}\\D\\d{2}\\D\\d{2}$"));
    return stamp.match(text).hasMatch();
}

class MonitoringFixture : public FormFixture {
protected:
    void StartMonitoring(PtyDevice& device, const QString& periodSeconds = QStringLiteral("10")) {
        OpenPortOn(device);
        Type(Control<QLineEdit>(Form(), "sample_time"), periodSeconds);
        Click(Control<QPushButton>(Form(), "RzBitBtn14"));
        Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    }
    // Readings are shown once their device's block has ended (a cycle ends with 0xA1's) and
    // the store has committed them.
    bool WaitForCycleEnd(int cycles = 1) { return window->WaitForCycles(cycles, 8s); }
    std::size_t requestsSeen() const { return device_ ? device_->Requests().size() : 0; }
    PtyDevice* device_ = nullptr;
};

}  // namespace

TEST_F(MonitoringFixture, oneFullCycleFillsHistoryTablesLiveRowsChartsAndTheLog) {
    PtyDevice device;
    device_ = &device;
    device.SetResponder(HealthyAnswer);
    StartMonitoring(device, QStringLiteral("3"));
    ASSERT_TRUE(WaitForCycleEnd());

    for (int step = 1; step <= 14; ++step) {
        SCOPED_TRACE(step);
        StringGrid* grid = HistoryGrid(Form(), step);
        const int battery = (step - 1) % 8;
        const bool deviceA0 = step <= 8;
        EXPECT_EQ(grid->Cells(0, 0), deviceA0 ? QStringLiteral("A0-8%1采样时间").arg(battery)
                                              : QStringLiteral("%1#采样时间").arg(battery + 1));
        EXPECT_EQ(grid->Cells(1, 0), QStringLiteral("电压"));
        EXPECT_EQ(grid->RowCount(), step == 4 || step == 12 ? 5 : 2);
        EXPECT_TRUE(IsTimeStamp(grid->Cells(0, 1))) << grid->Cells(0, 1).toStdString();
        const double volts = (deviceA0 ? 12.0 : 13.0) + battery / 10.0;
        EXPECT_EQ(grid->Cells(1, 1), QLocale::system().toString(volts, 'g', 15));
        EXPECT_EQ(grid->Cells(2, 1), QString::number(25 + battery));
        EXPECT_EQ(grid->Cells(3, 1), QStringLiteral("正常"));
    }
    EXPECT_TRUE(Control<::StringGrid>(Form(), "StringGrid4")->Cells(0, 4).isEmpty());

    QStringList expectedLog;
    for (int k = 1; k <= 6; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(0, k),
                  QStringLiteral("%1#").arg(k));
        EXPECT_TRUE(IsTimeStamp(Control<::StringGrid>(Form(), "StringGrid")->Cells(1, k)));
        const QString volts = QLocale::system().toString(13.0 + (k - 1) / 10.0, 'g', 15);
        EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(2, k), volts);
        EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(3, k),
                  QString::number(24 + k));
        EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(4, k), QStringLiteral("正常"));
        const BarPoint& v = Control<BarSeries>(Form(), "Series1")->Points().at(k - 1);
        EXPECT_EQ(v.x, k);
        EXPECT_EQ(v.label, volts);
        EXPECT_EQ(v.color, QColor(0, 255, 0));
        const BarPoint& t = Control<BarSeries>(Form(), "BarSeries1")->Points().at(k - 1);
        EXPECT_EQ(t.y, 24 + k);
        EXPECT_EQ(t.color, QColor(255, 255, 0));
        expectedLog << QStringLiteral("%1#(A1-8%2)--电压：%3  温度：%4")
                           .arg(k)
                           .arg(k - 1)
                           .arg(volts)
                           .arg(24 + k);
    }
    EXPECT_TRUE(Control<::StringGrid>(Form(), "StringGrid")->Cells(0, 7).isEmpty());
    EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Count(), 6);
    EXPECT_EQ(Control<BarSeries>(Form(), "BarSeries1")->Count(), 6);
    EXPECT_EQ(MemoLines(), expectedLog);
    EXPECT_EQ(Control<BarChart>(Form(), "Chart1")->Series(1)->Count(), 0);

    // The second cycle adds a second record everywhere and replaces the bars.
    ASSERT_TRUE(WaitForCycleEnd(2));
    for (int step = 1; step <= 14; ++step) {
        EXPECT_EQ(HistoryGrid(Form(), step)->RowCount(), step == 4 || step == 12 ? 6 : 3);
        EXPECT_EQ(HistoryGrid(Form(), step)->Cells(3, 2), QStringLiteral("正常"));
    }
    EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Count(), 6);
    EXPECT_EQ(MemoLines(), expectedLog);
}

TEST_F(MonitoringFixture, faultyAnswersLeaveTheirOwnRowsOutAndNothingWrongIsShown) {
    PtyDevice device;
    device_ = &device;
    device.SetResponder([&](const QByteArray& request) -> QByteArray {
        const auto address = std::uint8_t(request[0]);
        const int battery = std::uint8_t(request[3]) - 0x80;
        QByteArray answer = HealthyAnswer(request);
        if (address == 0xA1 && battery == 1) return {};  // battery 2#: no answer
        if (address == 0xA1 && battery == 2) answer[10] = char(answer[10] ^ 0x55);  // bad CRC
        if (address == 0xA1 && battery == 3)  // 4#: a well-formed answer from the wrong device
            return PollAnswerBytes(0xA0, 0x11, 99, 999);
        if (address == 0xA1 && battery == 4)  // 5#: unknown status code is shown, not hidden
            return PollAnswerBytes(0xA1, 0x74, VoltageRaw(0xA1, 4), TemperatureRaw(4));
        if (address == 0xA0 && battery == 2) return answer.left(5);   // short buffer
        if (address == 0xA0 && battery == 3) return answer + answer;  // two answers back to back
        return answer;
    });
    StartMonitoring(device);
    ASSERT_TRUE(WaitForCycleEnd());

    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid10")->RowCount(),
              15);  // untouched: still the start layout
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid10")->Cells(0, 0),
              QStringLiteral("10#采样时间"));
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid11")->RowCount(), 15);
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid12")->RowCount(), 15);
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid3")->RowCount(), 15);
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid4")->RowCount(),
              5);  // the doubled answer counts once
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid4")->Cells(1, 1),
              QStringLiteral("12.3").replace('.', QLocale::system().decimalPoint()));
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid13")->Cells(3, 1), QStringLiteral("0x74"));
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(4, 5), QStringLiteral("0x74"));
    for (int k : {2, 3, 4})
        EXPECT_TRUE(Control<::StringGrid>(Form(), "StringGrid")->Cells(2, k).isEmpty()) << k;

    QList<double> bars;
    for (const BarPoint& p : Control<BarSeries>(Form(), "Series1")->Points()) bars << p.x;
    EXPECT_EQ(bars, QList<double>({1, 5, 6}));
    EXPECT_EQ(MemoLines().size(), 3);
}

TEST_F(MonitoringFixture, aBusThatGoesAwayTurnsTheLampSilverAndThePortCanBeOpenedAgain) {
    auto device = std::make_unique<PtyDevice>();
    device_ = device.get();
    device->SetResponder(HealthyAnswer);
    StartMonitoring(*device);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Control<BarSeries>(Form(), "Series1")->Count() > 0 ||
                   Control<::StringGrid>(Form(), "StringGrid1")->RowCount() == 2;
        },
        3s));
    const QString shownBefore = Control<::StringGrid>(Form(), "StringGrid1")->Cells(1, 1);
    device_ = nullptr;
    device.reset();  // the far end is gone: the reader sees end-of-file or EIO

    ASSERT_TRUE(WaitUntil(
        [&] {
            return Control<QPushButton>(Form(), "Button1")->text() == QStringLiteral("打开串口");
        },
        3s));
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(192, 192, 192));
    EXPECT_EQ(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1),
              QStringLiteral("串口已关闭!"));
    EXPECT_EQ(Comm1(Form())->ComHandle(), 0u);
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid1")->Cells(1, 1),
              shownBefore);  // nothing already shown is lost

    PtyDevice second;
    OpenPortOn(second);
    EXPECT_FALSE(second.Take(8, 3s).isEmpty());
}
