#pragma once

#include <QtGlobal>

// The program runs on Qt's own event dispatcher rather than GLib's. Every repaint request and
// posted notice wakes the dispatcher, and GLib's wake-up costs a futex round trip each time:
// on the receive path that tripled the time per answer. Must be called before the application
// object is created; an explicit QT_NO_GLIB in the environment is left as it is.
inline void UseQtEventDispatcher() {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
}
