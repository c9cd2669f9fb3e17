#include <gtest/gtest.h>

#include <cstdlib>

#include "ErrorDisplay.h"

// Like the shared test main, but the application object is the program's guarded one.
int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    GuardedApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
