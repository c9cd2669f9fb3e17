#include <gtest/gtest.h>

#include <cstdlib>

#include "widgets/ErrorDisplay.h"

// Qt's libraries are built without exception support, so an exception unwinding through
// QApplication::notify skips the destructor of the event copy it makes for mouse events: a few
// hundred bytes per escaped exception, the accepted price of catching in notify(). Full stack
// unwinding lets LeakSanitizer match that frame, and only that frame is excused.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:QApplication::notify\n"; }

// Like the shared test main, but the application object is the program's guarded one.
int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    GuardedApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
