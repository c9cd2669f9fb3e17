#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QElapsedTimer>

#include "app/Controls.h"
#include "protocol/PollTable.h"
#include "tests/app/FormFixture.h"
#include "widgets/BarChart.h"

using namespace std::chrono_literals;
using testsupport::PtyDevice;
using testsupport::WaitUntil;

namespace {

QByteArray FrameOfStep(int step) {
    const auto& frame = PollTable()[step - 1].frame;
    return QByteArray(reinterpret_cast<const char*>(frame.data()), int(frame.size()));
}

}  // namespace

TEST_F(FormFixture, openThenCloseShowsPortStateInCaptionLampAndStatusBar) {
    PtyDevice device;
    OpenPortOn(device);
    EXPECT_NE(Comm1(Form())->ComHandle(), 0u);
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(0, 128, 0));
    EXPECT_EQ(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1),
              QStringLiteral("串口") + device.SlavePath() + QStringLiteral("已打开,Baud:9600"));
    EXPECT_EQ(Comm1(Form())->ReadIntervalTimeout(), 500u);

    Click(Control<QPushButton>(Form(), "Button1"));
    EXPECT_EQ(Comm1(Form())->ComHandle(), 0u);
    EXPECT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("打开串口"));
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(192, 192, 192));
    EXPECT_EQ(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1),
              QStringLiteral("串口已关闭!"));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(FormFixture, openingAPortHeldElsewhereShowsTheMessageAndASecondPressTriesAgain) {
    PtyDevice device;
    const int holder = ::open(device.SlavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    Control<QComboBox>(Form(), "Com_combox")->setEditText(device.SlavePath());
    Click(Control<QPushButton>(Form(), "Button1"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("未发现可用串口或被占用"));
    EXPECT_EQ(Messages()[0].caption, QStringLiteral("提示"));
    EXPECT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("打开串口"));
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(Qt::white));
    EXPECT_TRUE(Control<StatusBar>(Form(), "StatusBar1")->PanelText(1).isEmpty());

    ::close(holder);
    Click(Control<QPushButton>(Form(), "Button1"));
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Control<QPushButton>(Form(), "Button1")->text(), QStringLiteral("关闭串口"));

    Control<QComboBox>(Form(), "Com_combox")
        ->setEditText(QStringLiteral("/dev/batmon-no-such-port"));
    Click(Control<QPushButton>(Form(), "Button1"));  // closes
    Click(Control<QPushButton>(Form(), "Button1"));  // fails to open the missing device
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Control<CircleShape>(Form(), "Shape1")->BrushColor(), QColor(192, 192, 192));
}

TEST_F(FormFixture, oneCycleSendsTheSixteenFramesInOrderAboutPacedAndTheNextOnePeriodLater) {
    PtyDevice device;
    OpenPortOn(device);
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("3"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    QElapsedTimer clock;
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    clock.start();

    std::vector<qint64> arrivals;
    for (int step = 1; step <= 16; ++step) {
        const QByteArray frame = device.Take(8, 2s);
        arrivals.push_back(clock.elapsed());
        ASSERT_EQ(frame.toHex(' '), FrameOfStep(step).toHex(' ')) << "step " << step;
    }
    EXPECT_EQ(Comm1(Form())->ReadIntervalTimeout(), 20u);
    EXPECT_NEAR(arrivals.front(), 150, 100);
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_NEAR(arrivals[i] - arrivals[i - 1], 150, 100)
            << "between steps " << i << "," << i + 1;
    EXPECT_FALSE(Form().Session().PacingTimer().Enabled());

    // Nothing more until the sampling period has passed since the start.
    EXPECT_TRUE(testsupport::HoldsFor([&] { return device.Received().isEmpty(); }, 400ms));
    const QByteArray next = device.Take(8, 4s);
    EXPECT_EQ(next, FrameOfStep(1));
    EXPECT_NEAR(clock.elapsed(), 3150, 300);
}

TEST_F(FormFixture, startPressedDuringStepSevenRestartsAtStepOneAndKeepsTheSamplingPhase) {
    PtyDevice device;
    OpenPortOn(device);
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("3"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    QElapsedTimer sinceStart;
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    sinceStart.start();
    for (int step = 1; step <= 7; ++step) ASSERT_EQ(device.Take(8, 2s), FrameOfStep(step));
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    for (int step = 1; step <= 16; ++step) ASSERT_EQ(device.Take(8, 2s), FrameOfStep(step));
    EXPECT_TRUE(Form().Session().SamplingTimer().Enabled());
    // The sampling tick at 3 s fell inside the restarted cycle; the next cycle keeps the phase
    // of the first press, not of the second.
    ASSERT_EQ(device.Take(8, 4s), FrameOfStep(1));
    EXPECT_NEAR(sinceStart.elapsed(), 6150, 300);
}

TEST_F(FormFixture, monitoringWithThePortClosedStepsThroughTheCycleAndSendsNothing) {
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("1"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    Control<QPlainTextEdit>(Form(), "Memo1")->appendPlainText(QStringLiteral("before"));
    Control<BarSeries>(Form(), "Series1")->AddXY(1, 12.5, QStringLiteral("12.5"), Qt::green);
    QElapsedTimer sinceStart;
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    sinceStart.start();

    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 1; }, 1s));
    EXPECT_TRUE(Control<QPlainTextEdit>(Form(), "Memo1")->toPlainText().isEmpty());
    EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Count(), 1);
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 9; }, 2s));
    EXPECT_EQ(Control<BarSeries>(Form(), "Series1")->Count(), 0);
    EXPECT_EQ(Control<BarSeries>(Form(), "BarSeries1")->Count(), 0);
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 16; }, 2s));
    // The sampling ticks at 1 s and 2 s fell inside the cycle: only their log lines remain.
    EXPECT_EQ(MemoLines(), QStringList({"   time1:", "   time1:"}));
    EXPECT_FALSE(Form().Session().PacingTimer().Enabled());
    EXPECT_EQ(Comm1(Form())->ComHandle(), 0u);
    // The next cycle starts at the first sampling tick after step 16: cycles about 3 s apart.
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 1; }, 2s));
    EXPECT_NEAR(sinceStart.elapsed(), 3150, 300);
}

TEST_F(FormFixture, closingTheWindowDuringACycleClosesThePortAndNothingGoesOutAfterwards) {
    PtyDevice device;
    OpenPortOn(device);
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    device.Take(8 * 3, 2s);
    Form().close();
    EXPECT_EQ(Comm1(Form())->ComHandle(), 0u);
    testsupport::HoldsFor([] { return true; }, 100ms);  // collect what was on the line
    device.ClearReceived();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return device.Received().isEmpty(); }, 600ms));
}
