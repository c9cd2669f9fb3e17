#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <string>

#include "widgets/EventDispatcher.h"

// Qt is not built with ThreadSanitizer: its queue of posted events and the worker threads of its
// raster painting are synchronised in ways the sanitizer cannot see, so Qt's own bookkeeping
// (and that of the GLib event loop under it) would be reported as races. Reports raised inside
// those libraries are left out; races in our code still show. Defined here, beside main(), so
// that every test binary links it. libdbus and Qt's D-Bus module hand messages to their bus
// thread in the same unseen way. glibc's time-zone state (tzset, under local-time conversions
// on more than one thread) is guarded by a lock inside glibc that the sanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libQt6DBus.so.6\n"
           "called_from_lib:libdbus-1.so.3\n"
           "race:tzset_internal\n";
}

// Every test binary owns one QApplication so that widget, timer and posted-event tests share
// one main thread. Tests run without a display unless the caller picked a platform.
int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
#if defined(__SANITIZE_THREAD__)
    // The programs the tests start read the same suppressions from a file, at their start.
    const char* options = std::getenv("TSAN_OPTIONS");
    const std::string withSuppressions =
        std::string(options ? options : "") + " suppressions=" BATMON_TSAN_PROGRAM_SUPPRESSIONS;
    setenv("TSAN_OPTIONS", withSuppressions.c_str(), 1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
