#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <stdexcept>

#include "tests/common/WaitFor.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/MessageBox.h"

namespace {

class ThrowingButton : public QWidget {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent*) override {
        ++presses;
        throw std::invalid_argument("'x1' is not a valid integer value");
    }
};

}  // namespace

TEST(GuardedApplication, showsAnEscapedExceptionOnceAndRunsOn) {
    ASSERT_NE(qobject_cast<GuardedApplication*>(QCoreApplication::instance()), nullptr);
    QStringList texts;
    QStringList captions;
    messagebox::SetHook([&](const QString& text, const QString& caption) {
        texts << text;
        captions << caption;
    });

    // From a timer's slot.
    QTimer::singleShot(0, [] { throw std::runtime_error("串口写入失败"); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return texts.size() == 1; }));
    EXPECT_EQ(texts[0], "串口写入失败");
    EXPECT_EQ(captions[0], ApplicationTitleFromPath(QCoreApplication::applicationFilePath()));
    EXPECT_EQ(captions[0], "widgets_guard_tests");

    // The loop is still alive: later events are delivered normally.
    bool ranOn = false;
    QTimer::singleShot(0, [&] { ranOn = true; });
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ranOn; }));

    // From a widget's input handler, twice: each press gives exactly one box.
    ThrowingButton button;
    button.resize(80, 25);
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_TRUE(
        testsupport::HoldsFor([&] { return texts.size() <= 3; }, std::chrono::milliseconds(50)));
    EXPECT_EQ(button.presses, 2);
    ASSERT_EQ(texts.size(), 3);
    EXPECT_EQ(texts[2], "'x1' is not a valid integer value");
    messagebox::SetHook({});
}
