// Alarms in the window: the real-time rows' marks, red history records, the count in the status
// bar, the alarm page with its acknowledgement and the limits dialog. Readings and port events
// are fed through the session's signals, as the receive path reports them.

#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include "app/AlarmLimitsDialog.h"
#include "app/AlarmPage.h"
#include "app/LiveRowMarks.h"
#include "battery/PollRoute.h"
#include "notify/Notifier.h"
#include "tests/app/FormFixture.h"
#include "tests/servers/ChildProcess.h"
#include "threads/TsanHandOver.h"

namespace {

class AlarmWindowTest : public FormFixture {
protected:
    void SetUp() override {
        // The limits are kept in the program's settings: here in a folder of the test's own.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        FormFixture::SetUp();
    }

    // A reading of the battery poll step `step` reads, as the receive path reports it, once the
    // window has shown it.
    void Receive(int step, std::uint8_t status, qint64 arrivalMs, std::uint8_t voltage = 125) {
        emit Form().Session().ReadingAccepted(
            battery::MakeReading(battery::BatteryOfStep(step), arrivalMs, status, voltage, 253));
        EXPECT_TRUE(window_->WaitUntilShown());
    }

    // The page follows once the events of one pass of the event loop are in.
    static void ShowPending() { QCoreApplication::processEvents(); }

    static qint64 Now() { return QDateTime::currentMSecsSinceEpoch(); }

    QVariant LiveRole(int row, int role) const {
        GridModel* model = Control<::StringGrid>(Form(), "StringGrid")->Model();
        return model->data(model->index(row - 1, 1), role);
    }

    QString LiveCell(int col, int row) const {
        return Control<::StringGrid>(Form(), "StringGrid")->Cells(col, row);
    }

    QLabel* Count() const { return Control<QLabel>(Form(), "AlarmCountLabel"); }
    QColor CountColour() const { return Count()->palette().color(QPalette::WindowText); }

    QTemporaryDir settingsDir_;
};

// Step 11 reads battery 2 of A1, the third row of the real-time table.
constexpr int kStep = 11;
constexpr int kRow = 3;

}  // namespace

TEST_F(AlarmWindowTest, aStatusAlarmMarksItsLiveRowRedUntilTheStatusIsNormalAgain) {
    Receive(kStep, 0x11, Now());
    EXPECT_FALSE(LiveRole(kRow, Qt::ForegroundRole).isValid()) << "a normal row looks as ever";
    EXPECT_FALSE(LiveRole(kRow, Qt::BackgroundRole).isValid());

    Receive(kStep, 0x71, Now());
    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kAlarmText);
    EXPECT_EQ(LiveRole(kRow, Qt::BackgroundRole).value<QColor>(), liverows::kAlarmFill);
    EXPECT_EQ(LiveCell(4, kRow), QStringLiteral("电压异常"));
    for (int row = 1; row <= 6; ++row) {
        if (row != kRow) {
            EXPECT_FALSE(LiveRole(row, Qt::ForegroundRole).isValid()) << row;
        }
    }

    Receive(kStep, 0x11, Now());
    EXPECT_FALSE(LiveRole(kRow, Qt::ForegroundRole).isValid());
    EXPECT_FALSE(LiveRole(kRow, Qt::BackgroundRole).isValid());
}

TEST_F(AlarmWindowTest, aSilentBatteryIsGreyWithTheAgeOfItsLastReadingUntilItAnswers) {
    const qint64 heard = Now() - (12 * 60 + 30) * 1000;
    Receive(kStep, 0x11, heard);
    emit Form().Session().MonitoringStarted();
    emit Form().Session().PortClosed(true);

    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kSilentText);
    EXPECT_FALSE(LiveRole(kRow, Qt::BackgroundRole).isValid());
    EXPECT_EQ(LiveCell(1, kRow), QStringLiteral("12分钟前"));

    Receive(kStep, 0x11, Now());
    EXPECT_FALSE(LiveRole(kRow, Qt::ForegroundRole).isValid());
    EXPECT_NE(LiveCell(1, kRow), QStringLiteral("12分钟前")) << "the time of the new reading";
}

TEST_F(AlarmWindowTest, historyRecordsThatAreNotNormalAreRed) {
    Receive(kStep, 0x11, Now());
    Receive(kStep, 0x72, Now());
    Receive(kStep, 0x00, Now());
    GridModel* history = HistoryGrid(Form(), kStep)->Model();
    const auto foreground = [&](int record) {
        return history->data(history->index(record, 3), Qt::ForegroundRole);
    };
    EXPECT_FALSE(foreground(0).isValid());
    EXPECT_EQ(foreground(1).value<QColor>(), liverows::kAlarmText);
    EXPECT_EQ(foreground(2).value<QColor>(), liverows::kAlarmText);
    EXPECT_FALSE(foreground(3).isValid()) << "an empty row";
}

TEST_F(AlarmWindowTest, thePageListsAlarmsAndAcknowledgesTheSelectedOnesByLoginName) {
    auto* pages = Control<QTabWidget>(Form(), "RzPageControl1");
    EXPECT_EQ(pages->tabText(pages->count() - 2), QStringLiteral("报警记录"));
    EXPECT_EQ(pages->tabText(pages->count() - 1), QStringLiteral("放电记录"));
    EXPECT_EQ(Count()->text(), QStringLiteral("未确认报警: 0"));
    EXPECT_NE(CountColour(), liverows::kAlarmText);

    Receive(kStep, 0x71, Now());
    Receive(1, 0x73, Now());
    EXPECT_EQ(Count()->text(), QStringLiteral("未确认报警: 2"));
    EXPECT_EQ(CountColour(), liverows::kAlarmText) << "red while non-zero";
    ShowPending();

    auto* active = Control<QTableWidget>(Form(), "AlarmActiveTable");
    ASSERT_EQ(active->rowCount(), 2);
    int voltageRow = -1;
    for (int row = 0; row < 2; ++row)
        if (active->item(row, 1)->text() == QStringLiteral("电压异常")) voltageRow = row;
    ASSERT_GE(voltageRow, 0);
    EXPECT_EQ(active->item(voltageRow, 0)->text(), QStringLiteral("3#"));
    EXPECT_EQ(active->item(voltageRow, 3)->text(), QStringLiteral("0x71"));

    active->selectRow(voltageRow);
    Click(Control<QPushButton>(Form(), "AlarmAckButton"));
    EXPECT_EQ(Count()->text(), QStringLiteral("未确认报警: 1"));
    ShowPending();
    auto* history = Control<QTableWidget>(Form(), "AlarmHistoryTable");
    ASSERT_EQ(history->rowCount(), 3);
    EXPECT_EQ(history->item(0, 3)->text(), QStringLiteral("已确认"));
    EXPECT_EQ(history->item(0, 5)->text(), LoginName());
    EXPECT_FALSE(LoginName().isEmpty());
    EXPECT_TRUE(active->item(voltageRow, 4)->text().contains(LoginName()));

    Click(Control<QPushButton>(Form(), "AlarmAckButton"));
    ShowPending();
    EXPECT_EQ(history->rowCount(), 3) << "an acknowledged alarm is not acknowledged twice";

    Receive(1, 0x11, Now());
    ShowPending();
    EXPECT_EQ(active->rowCount(), 1);
    EXPECT_EQ(history->item(0, 3)->text(), QStringLiteral("恢复"));
    EXPECT_EQ(Count()->text(), QStringLiteral("未确认报警: 0"));
}

TEST_F(AlarmWindowTest, aSelectionOfSeveralAlarmsSurvivesNewAlarmsAndIsAcknowledgedWhole) {
    Receive(9, 0x71, Now());
    Receive(10, 0x72, Now());
    ShowPending();
    auto* active = Control<QTableWidget>(Form(), "AlarmActiveTable");
    ASSERT_EQ(active->rowCount(), 2);
    active->selectAll();

    Receive(11, 0x73, Now());  // a third alarm comes in while the operator has two selected
    ShowPending();
    ASSERT_EQ(active->rowCount(), 3);
    EXPECT_EQ(active->selectionModel()->selectedRows().size(), 2);

    Click(Control<QPushButton>(Form(), "AlarmAckButton"));
    EXPECT_EQ(Count()->text(), QStringLiteral("未确认报警: 1"));
    const alarms::ActiveAlarm* third =
        Form().Monitoring().Alarms().Rules().Find({{0xA1, 2}, alarms::AlarmKind::StatusSwelling});
    ASSERT_NE(third, nullptr);
    EXPECT_FALSE(third->acknowledged) << "the alarm that came in later was not selected";
}

TEST_F(AlarmWindowTest, theLimitsDialogRefusesBadInputAndKeepsWhatItAccepts) {
    Click(Control<QPushButton>(Form(), "AlarmLimitsButton"));
    auto* dialog = Control<AlarmLimitsDialog>(Form(), "AlarmLimitsDialog");
    ASSERT_TRUE(dialog->isVisible());
    const auto tryLimits = [&](const char* low, const char* high, const char* temperature) {
        Type(Control<QLineEdit>(*dialog, "LowVoltageEdit"), QString::fromUtf8(low));
        Type(Control<QLineEdit>(*dialog, "HighVoltageEdit"), QString::fromUtf8(high));
        Type(Control<QLineEdit>(*dialog, "HighTemperatureEdit"), QString::fromUtf8(temperature));
        Click(Control<QPushButton>(*dialog, "OkButton"));
    };

    tryLimits("12", "11", "");
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("电压下限必须小于电压上限"));
    EXPECT_EQ(Messages()[0].caption, QStringLiteral("提示"));
    tryLimits("10.5", "14", "abc");
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[1].text, QStringLiteral("温度上限必须是数字"));
    EXPECT_TRUE(dialog->isVisible()) << "bad input keeps the dialog open";
    EXPECT_EQ(SavedAlarmSettings(), alarms::AlarmSettings{}) << "and changes nothing";

    // Accepted limits apply at once to the last reading, the first of the on-delay's two:
    // 12.5 V is above the upper limit of 12.
    Receive(kStep, 0x11, Now());
    tryLimits(" 10.5 ", "12", "");
    EXPECT_EQ(Messages().size(), 2u);
    const alarms::AlarmLimits expected{{std::nullopt, 10.5}, {std::nullopt, 12.0}, {}};
    EXPECT_EQ(SavedAlarmSettings().limits, expected);
    EXPECT_EQ(Form().Monitoring().Alarms().Limits(), expected);
    Receive(kStep, 0x11, Now());
    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kAlarmText);
}

TEST_F(AlarmWindowTest, savedLimitsApplyToTheNextWindow) {
    alarms::AlarmSettings saved;
    saved.limits.highTemperature.critical = 40.0;
    SaveAlarmSettings(saved);
    window_->Reopen();
    EXPECT_EQ(Form().Monitoring().Alarms().Limits().highTemperature.critical, 40.0);
}

// A warning alone marks its row amber; a critical alarm of the same battery turns it red.
TEST_F(AlarmWindowTest, aWarningMarksItsRowAmberAndACriticalAlarmRed) {
    alarms::AlarmSettings settings;
    settings.limits.highVoltage = {12.4, 13.0};
    SaveAlarmSettings(settings);
    window_->Reopen();
    Receive(kStep, 0x11, Now(), 125);
    EXPECT_FALSE(LiveRole(kRow, Qt::ForegroundRole).isValid()) << "one reading of the two";
    Receive(kStep, 0x11, Now(), 125);
    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kWarningText);
    EXPECT_EQ(LiveRole(kRow, Qt::BackgroundRole).value<QColor>(), liverows::kWarningFill);
    ShowPending();
    auto* active = Control<QTableWidget>(Form(), "AlarmActiveTable");
    ASSERT_EQ(active->rowCount(), 1);
    EXPECT_EQ(active->item(0, 1)->text(), QStringLiteral("电压过高"));
    EXPECT_EQ(active->item(0, 5)->text(), QStringLiteral("预警"));

    Receive(kStep, 0x71, Now(), 125);  // the device's own fault: critical at once
    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kAlarmText);
    ShowPending();
    auto* history = Control<QTableWidget>(Form(), "AlarmHistoryTable");
    EXPECT_EQ(history->item(0, 2)->text(), QStringLiteral("电压异常"));
    EXPECT_EQ(history->item(0, 6)->text(), QStringLiteral("严重"));
    EXPECT_EQ(history->item(1, 6)->text(), QStringLiteral("预警"));
}

// The dialog sets a battery's own limits: its boxes show the common ones greyed, and a mistake
// in them is shown with the battery's boxes and its name.
TEST_F(AlarmWindowTest, theLimitsDialogSetsOneBatterysOwnLimits) {
    Click(Control<QPushButton>(Form(), "AlarmLimitsButton"));
    auto* dialog = Control<AlarmLimitsDialog>(Form(), "AlarmLimitsDialog");
    auto* battery = Control<QComboBox>(*dialog, "LimitBatteryCombo");
    auto* warning = Control<QLineEdit>(*dialog, "HighTemperatureWarningEdit");
    auto* critical = Control<QLineEdit>(*dialog, "HighTemperatureEdit");
    EXPECT_EQ(Control<QLineEdit>(*dialog, "VoltageDeviationWarningEdit")->text(), "0.3");
    EXPECT_EQ(Control<QLineEdit>(*dialog, "OnDelayReadingsEdit")->text(), "2");
    Type(critical, QStringLiteral("45"));

    battery->setCurrentIndex(battery->findText(QStringLiteral("3#")));
    EXPECT_TRUE(critical->text().isEmpty());
    EXPECT_EQ(critical->placeholderText(), QStringLiteral("全部: 45"));
    Type(warning, QStringLiteral("50"));
    battery->setCurrentIndex(0);  // back to every battery: the common boxes again
    EXPECT_EQ(critical->text(), QStringLiteral("45"));
    EXPECT_TRUE(warning->text().isEmpty());
    Click(Control<QPushButton>(*dialog, "OkButton"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("3#：温度上限预警值不能高于严重值"));
    EXPECT_EQ(battery->currentText(), QStringLiteral("3#")) << "the boxes the message is about";
    EXPECT_EQ(warning->text(), QStringLiteral("50"));

    Type(warning, QStringLiteral("20"));
    Click(Control<QPushButton>(*dialog, "OkButton"));
    EXPECT_EQ(Messages().size(), 1u);
    const alarms::AlarmSettings saved = SavedAlarmSettings();
    EXPECT_EQ(saved.limits.highTemperature, (alarms::LevelLimits{std::nullopt, 45.0}));
    EXPECT_EQ(saved.LimitsOf({battery::kDeviceA1, 2}).highTemperature,
              (alarms::LevelLimits{20.0, 45.0}));
    EXPECT_EQ(Form().Monitoring().Alarms().Settings(), saved);

    // 25.3 ℃ is a warning for 3# alone.
    for (int i = 0; i < 2; ++i) {
        Receive(kStep, 0x11, Now());
        Receive(kStep + 1, 0x11, Now());
    }
    EXPECT_EQ(LiveRole(kRow, Qt::ForegroundRole).value<QColor>(), liverows::kWarningText);
    EXPECT_FALSE(LiveRole(kRow + 1, Qt::ForegroundRole).isValid());
}

// An operator shelves a selected alarm for a chosen time with a reason, and unshelves it; both
// are alarm events in the operator's login name.
TEST_F(AlarmWindowTest, theOperatorShelvesAnAlarmWithAReasonAndUnshelvesIt) {
    Receive(kStep, 0x71, Now());
    ShowPending();
    auto* active = Control<QTableWidget>(Form(), "AlarmActiveTable");
    ASSERT_EQ(active->rowCount(), 1);
    active->selectRow(0);
    Click(Control<QPushButton>(Form(), "AlarmShelveButton"));
    auto* dialog = Control<QDialog>(Form(), "ShelveDialog");
    ASSERT_TRUE(dialog->isVisible());
    auto* duration = Control<QComboBox>(*dialog, "ShelveDurationCombo");
    EXPECT_EQ(duration->count(), 3);
    duration->setCurrentIndex(duration->findText(QStringLiteral("8小时")));
    Click(Control<QPushButton>(*dialog, "OkButton"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("请填写搁置原因"));
    Type(Control<QLineEdit>(*dialog, "ShelveReasonEdit"), QStringLiteral("更换电池"));
    Click(Control<QPushButton>(*dialog, "OkButton"));
    ShowPending();

    const alarms::ActiveAlarm* shelved =
        Form().Monitoring().Alarms().Rules().Find({{0xA1, 2}, alarms::AlarmKind::StatusVoltage});
    ASSERT_NE(shelved, nullptr);
    ASSERT_TRUE(shelved->shelf);
    EXPECT_NEAR(double(shelved->shelf->untilMs - Now()), 8 * 3'600'000.0, 60'000.0);
    EXPECT_TRUE(active->item(0, 6)->text().endsWith(LoginName() + QStringLiteral("：更换电池")));
    auto* history = Control<QTableWidget>(Form(), "AlarmHistoryTable");
    EXPECT_EQ(history->item(0, 3)->text(), QStringLiteral("已搁置"));
    EXPECT_EQ(history->item(0, 5)->text(), LoginName());
    EXPECT_EQ(history->item(0, 7)->text(), QStringLiteral("更换电池"));

    active->selectRow(0);
    Click(Control<QPushButton>(Form(), "AlarmUnshelveButton"));
    ShowPending();
    EXPECT_EQ(history->item(0, 3)->text(), QStringLiteral("取消搁置"));
    EXPECT_TRUE(active->item(0, 6)->text().isEmpty());
}

// "发送测试消息" in the limits dialog sends through every configured channel and shows how each
// fared, while the window goes on; without a configured channel it is disabled.
TEST_F(AlarmWindowTest, theLimitsDialogSendsATestMessageThroughEachChannelAndShowsEachResult) {
    Click(Control<QPushButton>(Form(), "AlarmLimitsButton"));
    auto* unconfigured = Control<AlarmLimitsDialog>(Form(), "AlarmLimitsDialog");
    EXPECT_FALSE(Control<QPushButton>(*unconfigured, "NotifyTestButton")->isEnabled());
    EXPECT_EQ(Control<QLabel>(*unconfigured, "NotifyTestResult")->text(),
              QStringLiteral("未配置报警通知（邮件、Webhook、命令）"));
    Click(Control<QPushButton>(*unconfigured, "CancelButton"));
    ShowPending();

    notify::NotifySettings settings;
    // Not under ThreadSanitizer: Qt starts a program with a vfork-style clone, which the
    // sanitizer's clone interceptor takes for a fork, resetting its bookkeeping in memory the
    // child shares with the window; what follows are false reports and now and then a crash of
    // the sanitizer itself.
    constexpr bool kRunsCommand = !threads::kThreadSanitizer;
    if (kRunsCommand)
        settings.command = notify::CommandSettings{
            QStringLiteral("/bin/true"), {}, 5, alarms::AlarmLevel::Warning};
    notify::WebhookSettings webhook;  // nothing listens there
    webhook.url = QStringLiteral("http://127.0.0.1:%1/x").arg(testservers::FreeLoopbackPort());
    settings.webhook = webhook;
    QString error;
    const std::unique_ptr<notify::Notifier> notifier =
        notify::NotifyStation(Form().Monitoring(), settings, QStringLiteral("room"), &error);
    ASSERT_TRUE(notifier) << error.toStdString();
    Form().SetNotifier(notifier.get());

    Click(Control<QPushButton>(Form(), "AlarmLimitsButton"));
    AlarmLimitsDialog* dialog = nullptr;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        for (auto* d : Form().findChildren<AlarmLimitsDialog*>())
            if (d->isVisible()) dialog = d;
        return dialog != nullptr;
    }));
    Click(Control<QPushButton>(*dialog, "NotifyTestButton"));
    auto* result = Control<QLabel>(*dialog, "NotifyTestResult");
    EXPECT_TRUE(result->text().contains(QStringLiteral("正在发送")));
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return !result->text().contains(QStringLiteral("正在发送")); },
                               std::chrono::seconds(20 * testsupport::kSlowdown)));
    const QStringList lines = result->text().split(u'\n');
    ASSERT_EQ(lines.size(), kRunsCommand ? 2 : 1) << result->text().toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Webhook：失败："))) << lines[0].toStdString();
    if (kRunsCommand) {
        EXPECT_EQ(lines[1], QStringLiteral("命令：已发送"));
    }
    Click(Control<QPushButton>(*dialog, "CancelButton"));
    Form().SetNotifier(nullptr);
}
