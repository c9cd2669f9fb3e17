// The real window against batmon-sim: what the simulated devices sent is what the tables show.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <map>
#include <set>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "display/HistoryGridModel.h"
#include "display/TextFormats.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/BarChart.h"
#include "widgets/StringGrid.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

using namespace std::chrono_literals;
using testsupport::WaitUntil;

namespace {

struct Sent {
    QString voltage;
    QString temperature;
};

// The values the simulator answered per (device, start register), in sending order.
std::map<std::pair<int, int>, std::vector<Sent>> SentReadings(const SimProcess& sim) {
    std::map<std::pair<int, int>, std::vector<Sent>> sent;
    for (const SimLogEntry& e : sim.ReadLog()) {
        if (e.dir != QStringLiteral("tx") || e.voltageRaw < 0) continue;
        sent[{e.device, e.registerAddress}].push_back(
            {NumberText(e.voltageRaw / 10.0), NumberText(e.temperatureRaw / 10.0)});
    }
    return sent;
}

std::pair<int, int> DeviceAndRegisterOfStep(int step) {
    return {step <= 8 ? 0xA0 : 0xA1, 0x80 + (step - 1) % 8};
}

class SimWindowFixture : public ::testing::Test {
protected:
    // Starts `sim` with `arguments`, opens its port and monitors it every `period` seconds.
    void MonitorSimulatedBus(SimProcess& sim, const QStringList& arguments, const QString& period) {
        ASSERT_TRUE(window.OpenOnSimulatedBus(sim, arguments)) << window.ErrorText().toStdString();
        window.StartMonitoring(period);
    }
    bool WaitForCycles(const SimProcess& sim, int cycles) {
        const auto requests = [&] {
            int n = 0;
            for (const SimLogEntry& e : sim.ReadLog()) n += e.dir == QStringLiteral("rx");
            return n;
        };
        // A cycle's readings are all reported once its last block has been released, and shown
        // once the store has them.
        return WaitUntil([&] { return requests() >= 16 * cycles; }, 4s * cycles) &&
               window.WaitForCycles(cycles, 2s);
    }
    TForm1& Form() { return window.Form(); }

    testsupport::WindowRig window;
};

}  // namespace

TEST_F(SimWindowFixture, everyAnswerOfAHealthyBusIsShownExactlyAsSent) {
    SimProcess sim;
    MonitorSimulatedBus(sim, {"--seed", "7"}, QStringLiteral("3"));
    ASSERT_TRUE(WaitForCycles(sim, 2));

    const auto sent = SentReadings(sim);
    for (int step = 1; step <= 14; ++step) {
        SCOPED_TRACE(step);
        const std::vector<Sent>& answers = sent.at(DeviceAndRegisterOfStep(step));
        StringGrid* grid = HistoryGrid(Form(), step);
        ASSERT_EQ(answers.size(), 2u);
        for (int r = 1; r <= 2; ++r) {
            EXPECT_EQ(grid->Cells(1, r), answers[r - 1].voltage);
            EXPECT_EQ(grid->Cells(2, r), answers[r - 1].temperature);
        }
    }
    for (int k = 1; k <= 6; ++k) {
        const Sent& last = sent.at(DeviceAndRegisterOfStep(k + 8)).back();
        EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid")->Cells(2, k), last.voltage);
        EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Points().at(k - 1).label, last.voltage);
        EXPECT_EQ(Control<BarSeries>(Form(), "BarSeries1")->Points().at(k - 1).label,
                  last.temperature);
    }
    EXPECT_TRUE(window.Messages().empty());
}

TEST_F(SimWindowFixture, aNoisyBusNeverPutsAWrongValueOnTheScreen) {
    SimProcess sim;
    MonitorSimulatedBus(
        sim,
        {"--seed", "11", "--corrupt-every", "3", "--split-every", "4", "--split-pause-ms", "60",
         "--double-every", "5", "--noise-every", "7", "--drop-rate", "0.1"},
        QStringLiteral("3"));
    ASSERT_TRUE(WaitForCycles(sim, 2));

    const auto sent = SentReadings(sim);
    int shown = 0;
    for (int step = 1; step <= 14; ++step) {
        SCOPED_TRACE(step);
        const auto found = sent.find(DeviceAndRegisterOfStep(step));
        std::set<std::pair<QString, QString>> sentValues;
        if (found != sent.end())
            for (const Sent& s : found->second) sentValues.insert({s.voltage, s.temperature});
        StringGrid* model = HistoryGrid(Form(), step);
        const int records =
            int(static_cast<const HistoryGridModel*>(model->Model())->RecordCount());
        EXPECT_LE(records, 2);
        for (int r = 1; r <= records; ++r) {
            ++shown;
            EXPECT_TRUE(sentValues.count({model->Cells(1, r), model->Cells(2, r)}))
                << model->Cells(1, r).toStdString() << " " << model->Cells(2, r).toStdString();
        }
    }
    EXPECT_GT(shown, 0);
}

TEST_F(SimWindowFixture, anUnpluggedBusTurnsTheLampSilverAndTheOperatorCanOpenAgain) {
    auto sim = std::make_unique<SimProcess>();
    MonitorSimulatedBus(*sim, {"--seed", "3"}, QStringLiteral("3"));
    ASSERT_TRUE(WaitUntil(
        [&] { return Control<::StringGrid>(Form(), "StringGrid1")->RowCount() == 2; }, 3s));
    const QString shown = Control<::StringGrid>(Form(), "StringGrid1")->Cells(1, 1);
    sim->Kill();

    ASSERT_TRUE(WaitUntil(
        [&] {
            return Control<QPushButton>(Form(), "Button1")->text() == QStringLiteral("打开串口");
        },
        3s));
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(192, 192, 192));
    EXPECT_EQ(Control<::StringGrid>(Form(), "StringGrid1")->Cells(1, 1), shown);

    sim = std::make_unique<SimProcess>();
    ASSERT_TRUE(window.OpenOnSimulatedBus(*sim, {"--seed", "4"}))
        << window.ErrorText().toStdString();
    ASSERT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("关闭串口"));
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const SimLogEntry& e : sim->ReadLog())
                if (e.dir == QStringLiteral("tx")) return true;
            return false;
        },
        12s));
}

TEST_F(SimWindowFixture,
       aSerialDeviceServerOverTcpWorksLikeASerialPortAndSaysWhyItCannotBeReached) {
    SimProcess sim;
    auto* button = Control<QPushButton>(Form(), "Button1");
    ASSERT_TRUE(
        window.OpenOnSimulatedBus(sim, {"--seed", "3"}, testsupport::WindowRig::BusLink::Tcp))
        << window.ErrorText().toStdString();
    EXPECT_EQ(button->text(), QStringLiteral("关闭串口"));
    EXPECT_EQ(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1),
              QStringLiteral("串口") + sim.PortPath() + QStringLiteral("已打开,Baud:9600"));
    window.StartMonitoring(QStringLiteral("3"));
    ASSERT_TRUE(WaitForCycles(sim, 1));
    const auto sent = SentReadings(sim);
    EXPECT_EQ(HistoryGrid(Form(), 9)->Cells(1, 1),
              sent.at(DeviceAndRegisterOfStep(9)).at(0).voltage);

    // The server goes away: shown like an unplugged adapter.
    const QString name = sim.PortPath();
    sim.Kill();
    ASSERT_TRUE(WaitUntil([&] { return button->text() == QStringLiteral("打开串口"); }, 2s));

    // Nobody listens there now: the usual message with the reason, and the window keeps turning.
    QTest::mouseClick(button, Qt::LeftButton);
    const std::vector<testsupport::WindowRig::ShownMessage>& messages = window.Messages();
    ASSERT_TRUE(WaitUntil([&] { return !messages.empty(); }, 5s));
    EXPECT_TRUE(messages.back().text.startsWith(QStringLiteral("未发现可用串口或被占用：")))
        << messages.back().text.toStdString();
    EXPECT_TRUE(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1).contains(name));
    EXPECT_TRUE(button->isEnabled());
}
