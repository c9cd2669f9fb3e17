// Alarms of the real window against batmon-sim: a device that goes silent and comes back, and a
// battery that reports a fault.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "app/LiveRowMarks.h"
#include "app/TForm1.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/StringGrid.h"

using namespace std::chrono_literals;
using alarms::AlarmKind;
using testsupport::Control;
using testsupport::WaitUntil;

namespace {

constexpr qint64 kPeriodMs = 3000;

class SimAlarmFixture : public ::testing::Test {
protected:
    // Starts `sim` with `arguments`, opens its port and monitors it.
    void MonitorSimulatedBus(SimProcess& sim, const QStringList& arguments) {
        ASSERT_TRUE(window_.OpenOnSimulatedBus(sim, arguments))
            << window_.ErrorText().toStdString();
        startedMs_ = QDateTime::currentMSecsSinceEpoch();
        window_.StartMonitoring(QString::number(kPeriodMs / 1000));
    }

    TForm1& Form() { return window_.Form(); }

    const alarms::AlarmRules& Rules() { return Form().Monitoring().Alarms().Rules(); }

    int ActiveOf(std::uint8_t device, AlarmKind kind) {
        int n = 0;
        for (const alarms::ActiveAlarm& a : Rules().ActiveAlarms())
            n += a.key.battery.device == device && a.key.kind == kind;
        return n;
    }

    // Rows of the page's active list with this battery label and condition text.
    int ListedRows(const QString& battery, const QString& condition) {
        auto* table = Control<QTableWidget>(Form(), "AlarmActiveTable");
        int n = 0;
        for (int row = 0; row < table->rowCount(); ++row)
            n += table->item(row, 0)->text() == battery && table->item(row, 1)->text() == condition;
        return n;
    }

    testsupport::WindowRig window_;
    qint64 startedMs_ = 0;
};

}  // namespace

TEST_F(SimAlarmFixture, aDroppedDeviceIsSilentWithinThreePeriodsAndClearsWhenItAnswersAgain) {
    SimProcess sim;
    MonitorSimulatedBus(sim, {"--drop-device", "A0", "--drop-for-s", "16"});

    ASSERT_TRUE(WaitUntil([&] { return ActiveOf(0xA0, AlarmKind::NoAnswer) == 8; }, 15s));
    for (const alarms::ActiveAlarm& a : Rules().ActiveAlarms()) {
        if (a.key.kind != AlarmKind::NoAnswer) continue;
        EXPECT_EQ(a.key.battery.device, 0xA0) << "A1 answers all along";
        EXPECT_LE(a.sinceMs - startedMs_, 3 * kPeriodMs + 1000 + 500);
    }
    // The page follows once the event loop has taken in the alarms.
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int battery = 0; battery < 8; ++battery)
                if (ListedRows(QStringLiteral("A0-8%1").arg(battery), QStringLiteral("通信中断")) !=
                    1)
                    return false;
            return true;
        },
        2s));

    ASSERT_TRUE(WaitUntil([&] { return ActiveOf(0xA0, AlarmKind::NoAnswer) == 0; }, 25s))
        << "the device answers again after 16 s";
    EXPECT_TRUE(WaitUntil(
        [&] { return ListedRows(QStringLiteral("A0-80"), QStringLiteral("通信中断")) == 0; }, 2s));
}

TEST_F(SimAlarmFixture, aBatteryReportingVoltageFaultIsRedOnItsRowAndListed) {
    SimProcess sim;
    MonitorSimulatedBus(sim, {"--status", "A1:2=0x71"});

    ASSERT_TRUE(WaitUntil(
        [&] {
            return Rules().Find({{0xA1, 2}, AlarmKind::StatusVoltage}) != nullptr;
        },
        10s));
    GridModel* live = Control<::StringGrid>(Form(), "StringGrid")->Model();
    // The alarm is raised on the reading's arrival; its row is written once the store has it.
    ASSERT_TRUE(window_.WaitUntilShown());
    EXPECT_EQ(live->Cell(4, 3), QStringLiteral("电压异常"));
    EXPECT_EQ(live->data(live->index(2, 4), Qt::ForegroundRole).value<QColor>(),
              liverows::kAlarmText);
    EXPECT_EQ(live->data(live->index(2, 4), Qt::BackgroundRole).value<QColor>(),
              liverows::kAlarmFill);
    EXPECT_TRUE(WaitUntil(
        [&] { return ListedRows(QStringLiteral("3#"), QStringLiteral("电压异常")) == 1; }, 2s));
}
