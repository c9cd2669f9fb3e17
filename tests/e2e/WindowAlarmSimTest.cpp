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

#include "app/AlarmPage.h"
#include "app/LiveRowMarks.h"
#include "app/TForm1.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/FormControls.h"
#include "tests/common/WaitFor.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/MessageBox.h"
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
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        messagebox::SetHook([](const QString&, const QString&) {});
        form = std::make_unique<TForm1>();
        form->show();
    }
    void TearDown() override {
        form.reset();
        messagebox::SetHook({});
    }

    void OpenAndMonitor(const SimProcess& sim) {
        Control<QComboBox>(*form, "Com_combox")->setEditText(sim.PortPath());
        QTest::mouseClick(Control<QPushButton>(*form, "Button1"), Qt::LeftButton);
        ASSERT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("关闭串口"));
        Control<QLineEdit>(*form, "sample_time")->setText(QString::number(kPeriodMs / 1000));
        QTest::mouseClick(Control<QPushButton>(*form, "RzBitBtn14"), Qt::LeftButton);
        startedMs = QDateTime::currentMSecsSinceEpoch();
        QTest::mouseClick(Control<QPushButton>(*form, "RzBitBtn7"), Qt::LeftButton);
    }

    const alarms::AlarmRules& Rules() { return form->Monitoring().Alarms().Rules(); }

    int ActiveOf(std::uint8_t device, AlarmKind kind) {
        int n = 0;
        for (const alarms::ActiveAlarm& a : Rules().ActiveAlarms())
            n += a.key.battery.device == device && a.key.kind == kind;
        return n;
    }

    // Rows of the page's active list with this battery label and condition text.
    int ListedRows(const QString& battery, const QString& condition) {
        auto* table = Control<QTableWidget>(*form, "AlarmActiveTable");
        int n = 0;
        for (int row = 0; row < table->rowCount(); ++row)
            n += table->item(row, 0)->text() == battery && table->item(row, 1)->text() == condition;
        return n;
    }

    // The alarm events stored in `dir`'s history file with this kind.
    static std::vector<alarms::AlarmEvent> Stored(const QString& dir, AlarmKind kind) {
        store::HistoryReader reader(store::HistoryFilePath(dir));
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

    QTemporaryDir settingsDir;
    std::unique_ptr<TForm1> form;
    qint64 startedMs = 0;
};

}  // namespace

TEST_F(SimAlarmFixture, aDroppedDeviceIsSilentWithinThreePeriodsAndClearsWhenItAnswersAgain) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--drop-device", "A0", "--drop-for-s", "16"}))
        << sim.ErrorText().toStdString();
    OpenAndMonitor(sim);

    ASSERT_TRUE(WaitUntil([&] { return ActiveOf(0xA0, AlarmKind::NoAnswer) == 8; }, 15s));
    for (const alarms::ActiveAlarm& a : Rules().ActiveAlarms()) {
        if (a.key.kind != AlarmKind::NoAnswer) continue;
        EXPECT_EQ(a.key.battery.device, 0xA0) << "A1 answers all along";
        EXPECT_LE(a.sinceMs - startedMs, 3 * kPeriodMs + 1000 + 500);
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
    ASSERT_TRUE(sim.Start({"--status", "A1:2=0x71"})) << sim.ErrorText().toStdString();
    OpenAndMonitor(sim);

    ASSERT_TRUE(WaitUntil(
        [&] {
            return Rules().Find({{0xA1, 2}, AlarmKind::StatusVoltage}) != nullptr;
        },
        10s));
    GridModel* live = Control<::StringGrid>(*form, "StringGrid")->Model();
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
    ASSERT_TRUE(sim.Start({"--drift", "A1:2:-0.1", "--heat", "A1:4:1"}))
        << sim.ErrorText().toStdString();
    OpenAndMonitor(sim);

    ASSERT_TRUE(WaitUntil(
        [&] { return Rules().Find({{0xA1, 2}, AlarmKind::VoltageDeviation}) != nullptr; }, 40s));
    const alarms::ActiveAlarm* deviation = Rules().Find({{0xA1, 2}, AlarmKind::VoltageDeviation});
    EXPECT_LT(*deviation->value, -0.3) << "below its neighbours";
    GridModel* live = Control<::StringGrid>(*form, "StringGrid")->Model();
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
}

// 关闭串口 and the exit button end monitoring on purpose: however long the port stays closed, no
// battery goes "通信中断", in the window or in its history store. The bus part unplugged (the
// simulator's pseudo-terminal gone) does raise it, for every battery.
TEST_F(SimAlarmFixture, closingThePortOrLeavingRaisesNothingButAnUnpluggedBusDoes) {
    QTemporaryDir store;
    form = std::make_unique<TForm1>(StationOptions{store.path(), 0, 0});
    form->show();
    SimProcess sim;
    ASSERT_TRUE(sim.Start()) << sim.ErrorText().toStdString();
    OpenAndMonitor(sim);
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs); }, 15s));

    QTest::mouseClick(Control<QPushButton>(*form, "Button1"), Qt::LeftButton);
    ASSERT_EQ(Control<QPushButton>(*form, "Button1")->text(), QStringLiteral("打开串口"));
    // Four silent periods: three would raise it on an open port.
    EXPECT_TRUE(HoldsFor(
        [&] {
            return ActiveOf(0xA0, AlarmKind::NoAnswer) == 0 &&
                   ActiveOf(0xA1, AlarmKind::NoAnswer) == 0;
        },
        std::chrono::milliseconds(4 * kPeriodMs)));

    // Opened again, then left through the exit button.
    OpenAndMonitor(sim);
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs); }, 15s));
    QTest::mouseClick(Control<QPushButton>(*form, "RzBitBtn3"), Qt::LeftButton);
    form.reset();
    EXPECT_TRUE(Stored(store.path(), AlarmKind::NoAnswer).empty());

    // The next run on the same store: the bus part is unplugged while monitoring.
    form = std::make_unique<TForm1>(StationOptions{store.path(), 0, 0});
    form->show();
    OpenAndMonitor(sim);
    ASSERT_TRUE(WaitUntil([&] { return AllHeardSince(startedMs); }, 15s));
    sim.Kill();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ActiveOf(0xA0, AlarmKind::NoAnswer) == 8 &&
                   ActiveOf(0xA1, AlarmKind::NoAnswer) == 6;
        },
        10s));
    form.reset();
    EXPECT_EQ(Stored(store.path(), AlarmKind::NoAnswer).size(), 14u);
}
