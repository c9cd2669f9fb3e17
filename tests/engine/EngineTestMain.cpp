#include <gtest/gtest.h>

#include <QCoreApplication>

// The engine's tests run on Qt Core alone, the way a service without a display runs it.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
