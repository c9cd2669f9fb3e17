// Alarms of the real window against batmon-sim: a device that goes silent and comes back, a
// battery that reports a fault, batteries that drift from their string, and the port closed on
// purpose or lost.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <optional>

#include "app/LiveRowMarks.h"
#include "app/TForm1.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/StringGrid.h"

using namespace std::chrono_literals;
using alarms::AlarmKind;
using testsupport::Control;
using testsupport::HoldsFor;
using testsupport::WaitUntil;

namespace {

constexpr qint64 kPeriodMs = 3000;

class SimAlarmFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The window's alarm settings: the defaults, in a folder of the test's own.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        window_.emplace();
    }
    void TearDown() override { window_.reset(); }

    // Starts `sim` with `arguments`, opens its port and monitors it.
    void MonitorSimulatedBus(SimProcess& sim, const QStringList& arguments) {
        ASSERT_TRUE(window_->OpenOnSimulatedBus(sim, arguments))
            << window_->ErrorText().toStdString();
        Monitor();
    }

    // Opens the port of the running `sim` again and monitors it.
    void MonitorAgain(const SimProcess& sim) {
        ASSERT_TRUE(window_->OpenPort(sim.PortPath())) << window_->ErrorText().toStdString();
        Monitor();
    }

    void Monitor() {
        startedMs_ = QDateTime::currentMSecsSinceEpoch();
        window_->StartMonitoring(QString::number(kPeriodMs / 1000));
    }

    TForm1& Form() { return window_->Form(); }

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

    // The alarm events of this kind in the window's history store.
    std::vector<alarms::AlarmEvent> Stored(AlarmKind kind) const {
        store::HistoryReader reader(store::HistoryFilePath(window_->DataDir()));
        std::vector<alarms::AlarmEvent> events;
        reader.ForEachAlarm(0, std::numeric_limits<qint64>::max(),
                            [&](const alarms::AlarmEvent& e) {
                                if (e.key.kind == kind) events.push_back(e);
                                return true;
                            });
        return events;
    }

    // Every watched battery has been heard since `sinceMs`.
    bool AllHeardSince(qint64 sinceMs) {
        for (const battery::BatteryId battery : battery::WatchedBatteries()) {
            const auto last = Rules().LastReadingMs(battery);
            if (!last || *last < sinceMs) return false;
        }
        return true;
    }

    QTemporaryDir settingsDir_;
    std::optional<testsupport::WindowRig> window_;
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
    ASSERT_TRUE(window_->WaitUntilShown());
    EXPECT_EQ(live->Cell(4, 3), QStringLiteral("电压异常"));
    EXPECT_EQ(live->data(live->index(2, 4), Qt::ForegroundRole).value<QColor>(),
              liverows::kAlarmText);
    EXPECT_EQ(live->data(live->index(2, 4), Qt::BackgroundRole).value<QColor>(),
              liverows::kAlarmFill);
    EXPECT_TRUE(WaitUntil(
        [&] { return ListedRows(QStringLiteral("3#"), QStringLiteral("电压异常")) == 1; }, 2s));
}

// The string analysis end to end: battery 2 of A1 (3#) loses 0.1 V and battery 4 (5#) gains
// 1 ℃ with every reading, while their neighbours stay together.
TEST_F(SimAlarmFixture, batteriesDriftingFromTheirStringRaiseStringAlarms) {
    SimProcess sim;
    MonitorSimulatedBus(sim, {"--drift", "A1:2:-0.1", "--heat", "A1:4:1"});

    ASSERT_TRUE(WaitUntil(
        [&] {
            return Rules().Find({{0xA1, 2}, AlarmKind::VoltageDeviation}) != nullptr;
        },
        40s));
    const alarms::ActiveAlarm* deviation = Rules().Find({{0xA1, 2}, AlarmKind::VoltageDeviation});
    EXPECT_LT(*deviation->value, -0.3) << "below its neighbours";
    ASSERT_TRUE(window_->WaitUntilShown());
    GridModel* live = Control<::StringGrid>(Form(), "StringGrid")->Model();
    const QColor mark = live->data(live->index(2, 1), Qt::ForegroundRole).value<QColor>();
    EXPECT_TRUE(mark == liverows::kWarningText || mark == liverows::kAlarmText);
    EXPECT_TRUE(WaitUntil(
        [&] { return ListedRows(QStringLiteral("3#"), QStringLiteral("电压偏离")) == 1; }, 2s));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const alarms::ActiveAlarm* a = Rules().Find({{0xA1, 2}, AlarmKind::VoltageDeviation});
            return a && a->level == alarms::AlarmLevel::Critical;
        },
        30s))
        << "past 0.5 V it turns critical";

    EXPECT_TRUE(WaitUntil(
        [&] { return ListedRows(QStringLiteral("5#"), QStringLiteral("温升过快")) == 1; }, 30s));
    for (const alarms::ActiveAlarm& a : Rules().ActiveAlarms()) {
        if (!alarms::IsStringKind(a.key.kind)) continue;
        const battery::BatteryId id = a.key.battery;
        EXPECT_TRUE(id == (battery::BatteryId{0xA1, 2}) || id == (battery::BatteryId{0xA1, 4}))
            << alarms::KindId(a.key.kind).toStdString() << " on "
            << battery::BatteryLabel(id).toStdString();
    }
    // The store has the events with their levels: the warning first, then the critical raise.
    ASSERT_TRUE(WaitUntil([&] { return Stored(AlarmKind::VoltageDeviation).size() >= 2; }, 5s));
    const auto events = Stored(AlarmKind::VoltageDeviation);
    EXPECT_EQ(events.front().level, alarms::AlarmLevel::Warning);
    EXPECT_EQ(events.back().level, alarms::AlarmLevel::Critical);
}

// 关闭串口 and the exit button end monitoring on purpose: however long the port stays closed, no
// battery goes "通信中断", in the window or in its history store. The bus part unplugged (the
// simulator's pseudo-terminal gone) does raise it, for every battery.
TEST_F(SimAlarmFixture, closingThePortOrLeavingRaisesNothingButAnUnpluggedBusDoes) {
    SimProcess sim;
    MonitorSimulatedBus(sim, {});
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs_); }, 15s));

    QTest::mouseClick(Control<QPushButton>(Form(), "Button1"), Qt::LeftButton);
    ASSERT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("打开串口"));
    // Four silent periods: three would raise it on an open port.
    EXPECT_TRUE(HoldsFor(
        [&] {
            return ActiveOf(0xA0, AlarmKind::NoAnswer) == 0 &&
                   ActiveOf(0xA1, AlarmKind::NoAnswer) == 0;
        },
        std::chrono::milliseconds(4 * kPeriodMs)));

    // Opened again, then left through the exit button.
    MonitorAgain(sim);
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs_); }, 15s));
    QTest::mouseClick(Control<QPushButton>(Form(), "RzBitBtn3"), Qt::LeftButton);
    window_->Close();
    EXPECT_TRUE(Stored(AlarmKind::NoAnswer).empty());

    // The next run on the same store: the bus part is unplugged while monitoring.
    window_->Reopen();
    MonitorAgain(sim);
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs_); }, 15s));
    sim.Kill();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ActiveOf(0xA0, AlarmKind::NoAnswer) == 8 &&
                   ActiveOf(0xA1, AlarmKind::NoAnswer) == 6;
        },
        10s));
    window_->Close();
    EXPECT_EQ(Stored(AlarmKind::NoAnswer).size(), 14u);
}
