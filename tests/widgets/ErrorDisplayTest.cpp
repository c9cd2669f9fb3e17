#include <gtest/gtest.h>

#include <stdexcept>

#include "widgets/ErrorDisplay.h"
#include "widgets/MessageBox.h"

TEST(ApplicationTitle, isTheFileNameUpToItsFirstDotWithTheRestInLowerCase) {
    EXPECT_EQ(ApplicationTitleFromPath("/usr/bin/batmon"), "batmon");
    EXPECT_EQ(ApplicationTitleFromPath("C:/x/Project1.EXE"), "Project1");
    EXPECT_EQ(ApplicationTitleFromPath("C:\\Tools\\BATMON.Demo.exe"), "Batmon");
    EXPECT_EQ(ApplicationTitleFromPath("/opt/v1.2/BatMon"), "Batmon") << "dots in directories";
    EXPECT_EQ(ApplicationTitleFromPath("batmon"), "batmon");
    EXPECT_EQ(ApplicationTitleFromPath("/opt/.hidden"), "");
    EXPECT_EQ(ApplicationTitleFromPath(""), "");
}

TEST(DeliverShowingErrors, showsWhatLeavesADeliveryOnce) {
    QStringList shown;
    messagebox::SetHook([&](const QString& text, const QString&) { shown << text; });
    EXPECT_TRUE(DeliverShowingErrors([] { return true; }));
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(DeliverShowingErrors([]() -> bool { throw std::runtime_error("端口打开失败"); }));
    EXPECT_FALSE(DeliverShowingErrors([]() -> bool { throw 42; }));
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0], "端口打开失败") << "what() is UTF-8";
    EXPECT_FALSE(shown[1].isEmpty());
    messagebox::SetHook({});
}
