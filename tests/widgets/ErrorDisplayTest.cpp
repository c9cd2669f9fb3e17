#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <stdexcept>

#include "ErrorDisplay.h"
#include "MessageBox.h"

namespace {

struct ShownBox {
    QString text;
    QString caption;
};

class HookedBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        messagebox::SetHook([this](const QString& text, const QString& caption) {
            shown.push_back({text, caption});
        });
    }
    void TearDown() override { messagebox::SetHook({}); }
    std::vector<ShownBox> shown;
};

class ThrowingObject : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) throw std::runtime_error("端口打开失败");
        return QObject::event(event);
    }
};

}  // namespace

TEST(ApplicationTitle, isTheFileNameUpToItsFirstDotWithTheRestInLowerCase) {
    EXPECT_EQ(ApplicationTitleFromPath("/usr/bin/batmon"), "batmon");
    EXPECT_EQ(ApplicationTitleFromPath("C:/x/Project1.EXE"), "Project1");
    EXPECT_EQ(ApplicationTitleFromPath("C:\\Tools\\BATMON.Demo.exe"), "Batmon");
    EXPECT_EQ(ApplicationTitleFromPath("/opt/v1.2/BatMon"), "Batmon") << "dots in directories";
    EXPECT_EQ(ApplicationTitleFromPath("batmon"), "batmon");
    EXPECT_EQ(ApplicationTitleFromPath("/opt/.hidden"), "");
    EXPECT_EQ(ApplicationTitleFromPath(""), "");
}

TEST_F(HookedBoxes, anExceptionLeavingADeliveryIsShownOnce) {
    messagebox::SetDefaultCaption("batmon");
    EXPECT_TRUE(DeliverShowingErrors([] { return true; }));
    EXPECT_TRUE(shown.empty());

    EXPECT_FALSE(DeliverShowingErrors([]() -> bool { throw std::runtime_error("'abc' is not a valid integer value"); }));
    EXPECT_FALSE(DeliverShowingErrors([]() -> bool { throw 42; }));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "'abc' is not a valid integer value");
    EXPECT_EQ(shown[0].caption, "batmon");
    EXPECT_FALSE(shown[1].text.isEmpty());

    // Thrown from an event handler, through Qt's own delivery.
    ThrowingObject receiver;
    QEvent event(QEvent::User);
    EXPECT_FALSE(DeliverShowingErrors([&] { return QCoreApplication::sendEvent(&receiver, &event); }));
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].text, "端口打开失败") << "UTF-8 text of what()";
    messagebox::SetDefaultCaption({});
}
