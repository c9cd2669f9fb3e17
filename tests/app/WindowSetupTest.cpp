#include <QElapsedTimer>

#include "tests/app/FormFixture.h"

using namespace std::chrono_literals;
using testsupport::Hex;
using testsupport::PtyDevice;
using testsupport::WaitUntil;

TEST_F(FormFixture, setupCommandsSendTheirFramesAndShowTheRepliesByteByByte) {
    PtyDevice device;
    device.SetResponder([](const QByteArray& request) -> QByteArray {
        if (request[1] == 0x06) return request;  // a write is echoed
        if (request[1] == 0x04 && request[2] == 0x30) return Hex("A1 04 02 00 05 78 F3");
        return {};
    });
    OpenPortOn(device);

    Control<QPlainTextEdit>(Form(), "Memo1")->appendPlainText(QStringLiteral("old"));
    Click(Control<QPushButton>(Form(), "RzBitBtn9"));
    ASSERT_TRUE(WaitUntil([&] { return MemoLines().size() == 8; }, 2s));
    EXPECT_EQ(device.Requests().at(0), Hex("A1 06 03 00 01 A1 51 06"));
    EXPECT_EQ(MemoLines(), QStringList({"A1", "06", "03", "00", "01", "A1", "51", "06"}));
    EXPECT_FALSE(Form().Session().Pending().SetDeviceInfoPending);

    Click(Control<QPushButton>(Form(), "RzBitBtn10"));
    ASSERT_TRUE(WaitUntil([&] { return MemoLines().size() == 7; }, 2s));
    EXPECT_EQ(device.Requests().at(1), Hex("A1 04 30 00 00 01 26 6A"));
    EXPECT_EQ(MemoLines(), QStringList({"A1", "04", "02", "00", "05", "78", "F3"}));

    Click(Control<QPushButton>(Form(), "RzBitBtn11"));
    ASSERT_TRUE(WaitUntil([&] { return MemoLines().size() == 8; }, 2s));
    EXPECT_EQ(device.Requests().at(2), Hex("A1 06 03 55 00 81 41 5E"));

    // Numbers beyond the guidance ranges but inside a byte are still sent.
    Type(Control<QLineEdit>(Form(), "RzEdit1"), QStringLiteral("8"));
    Type(Control<QLineEdit>(Form(), "RzEdit2"), QStringLiteral("200"));
    Type(Control<QLineEdit>(Form(), "RzEdit3"), QStringLiteral("95"));
    Click(Control<QPushButton>(Form(), "RzBitBtn9"));
    Type(Control<QLineEdit>(Form(), "RzEdit5"), QStringLiteral("0"));
    Type(Control<QLineEdit>(Form(), "RzEdit6"), QStringLiteral("127"));
    Click(Control<QPushButton>(Form(), "RzBitBtn11"));
    ASSERT_TRUE(WaitUntil([&] { return device.Requests().size() == 5; }, 2s));
    EXPECT_EQ(device.Requests().at(3).left(6), Hex("A8 06 03 00 C8 FF"));
    EXPECT_EQ(device.Requests().at(4).left(6), Hex("A0 06 03 55 00 FF"));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(FormFixture, aValueWhoseByteWouldWrapIsRefusedNamingItsFieldAndNothingIsSent) {
    PtyDevice device;
    OpenPortOn(device);
    Control<QPlainTextEdit>(Form(), "Memo1")->appendPlainText(QStringLiteral("kept"));
    struct Case {
        const char* edit;
        const char* value;
        const char* button;
        QString message;
    };
    const Case cases[] = {
        {"RzEdit4", "96", "RzBitBtn10", QStringLiteral("首地址应为 0 到 95 之间的整数")},
        {"RzEdit4", "-1", "RzBitBtn10", QStringLiteral("首地址应为 0 到 95 之间的整数")},
        {"RzEdit2", "257", "RzBitBtn9", QStringLiteral("频点应为 0 到 255 之间的整数")},
        {"RzEdit3", "96", "RzBitBtn9", QStringLiteral("数据地址应为 0 到 95 之间的整数")},
        {"RzEdit6", "128", "RzBitBtn11", QStringLiteral("模块地址应为 0 到 127 之间的整数")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        QLineEdit* edit = Control<QLineEdit>(Form(), c.edit);
        const QString before = edit->text();
        Type(edit, QString::fromLatin1(c.value));
        Messages().clear();
        Click(Control<QPushButton>(Form(), c.button));
        ASSERT_EQ(Messages().size(), 1u);
        EXPECT_EQ(Messages()[0].text, c.message);
        EXPECT_EQ(Messages()[0].caption, QStringLiteral("提示"));
        Type(edit, before);
    }
    EXPECT_TRUE(testsupport::HoldsFor([&] { return device.Received().isEmpty(); }, 200ms));
    EXPECT_EQ(MemoLines(), QStringList({"kept"}));
    const PendingFlags& pending = Form().Session().Pending();
    EXPECT_FALSE(pending.SetDeviceInfoPending || pending.QueryDeviceInfoPending ||
                 pending.AuthorizeModulePending);
}

TEST_F(FormFixture, aNumberThatDoesNotConvertSendsNothingAndChangesNothing) {
    PtyDevice device;
    OpenPortOn(device);
    Control<QPlainTextEdit>(Form(), "Memo1")->appendPlainText(QStringLiteral("kept"));
    Type(Control<QLineEdit>(Form(), "RzEdit3"), QStringLiteral("abc"));
    Click(Control<QPushButton>(Form(), "RzBitBtn9"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("'abc' is not a valid integer value"));
    EXPECT_EQ(MemoLines(), QStringList({"kept"}));
    EXPECT_FALSE(Form().Session().Pending().SetDeviceInfoPending);
    EXPECT_TRUE(testsupport::HoldsFor([&] { return device.Received().isEmpty(); }, 200ms));

    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("abc"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Form().Session().SamplingTimer().Interval(), 10000);
}

TEST_F(FormFixture, aCommandDuringAPollCycleShowsTheFirstBufferThatFollowsIt) {
    PtyDevice device;
    device.SetResponder([](const QByteArray& request) -> QByteArray {
        if (request[1] == 0x04 && request[2] == 0x00)
            return PollAnswerBytes(std::uint8_t(request[0]), 0x11, 125, 250);
        return request;
    });
    OpenPortOn(device);
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 2; }, 2s));
    Click(Control<QPushButton>(
        Form(), "RzBitBtn10"));  // the query gets no answer here; the next poll answer is shown
    ASSERT_TRUE(WaitUntil([&] { return MemoLines().size() >= 11; }, 2s));
    EXPECT_EQ(MemoLines().mid(0, 3), QStringList({"A0", "04", "06"}));
    EXPECT_FALSE(Form().Session().Pending().QueryDeviceInfoPending);
}

TEST_F(FormFixture, aCommandWithThePortClosedSaysSoAndAwaitsNoReplyAfterALaterOpen) {
    Control<QPlainTextEdit>(Form(), "Memo1")->appendPlainText(QStringLiteral("kept"));
    Click(Control<QPushButton>(Form(), "RzBitBtn10"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text, QStringLiteral("串口未打开，命令未发送"));
    EXPECT_FALSE(Form().Session().Pending().QueryDeviceInfoPending);
    EXPECT_EQ(MemoLines(), QStringList({"kept"}));
    PtyDevice device;
    OpenPortOn(device);
    device.Write(Hex("01 02 03"));
    EXPECT_TRUE(testsupport::HoldsFor([&] { return MemoLines() == QStringList({"kept"}); }, 300ms));
}

TEST_F(FormFixture, samplingPeriodOutOfRangeIsRefusedAndZeroStopsAfterTheRunningCycle) {
    for (const char* refused : {"-1", "9999999"}) {
        Type(Control<QLineEdit>(Form(), "sample_time"), QString::fromLatin1(refused));
        Click(Control<QPushButton>(Form(), "RzBitBtn14"));
        EXPECT_EQ(Form().Session().SamplingTimer().Interval(), 10000) << refused;
    }
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_TRUE(Messages()[0].text.contains(QStringLiteral("2147483")));

    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("1"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    EXPECT_EQ(Form().Session().SamplingTimer().Interval(), 1000);
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 3; }, 2s));
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("0"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    ASSERT_TRUE(WaitUntil([&] { return Form().Session().Poll().SentStep == 16; }, 4s));
    EXPECT_TRUE(
        testsupport::HoldsFor([&] { return Form().Session().Poll().SentStep == 16; }, 1500ms));
    EXPECT_TRUE(Form().Session().SamplingTimer().Enabled());
}

TEST_F(FormFixture, aNewSamplingPeriodWhileMonitoringCountsFromThePress) {
    PtyDevice device;
    OpenPortOn(device);
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("1"));
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    Click(Control<QPushButton>(Form(), "RzBitBtn7"));
    device.Take(16 * 8, 4s);
    Type(Control<QLineEdit>(Form(), "sample_time"), QStringLiteral("4"));
    QElapsedTimer sincePress;
    Click(Control<QPushButton>(Form(), "RzBitBtn14"));
    sincePress.start();
    ASSERT_EQ(device.Take(8, 6s), Hex("A0 04 00 80 00 03 A8 92"));
    EXPECT_NEAR(sincePress.elapsed(), 4150, 400);
}
