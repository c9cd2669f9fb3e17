#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Every test binary owns one QApplication so that widget, timer and posted-event tests share
// one main thread. Tests run without a display unless the caller picked a platform.
int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
