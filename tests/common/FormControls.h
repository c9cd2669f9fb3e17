#pragma once

#include <QObject>
#include <QString>
#include <stdexcept>

#include "engine/MonitorSession.h"
#include "serial/SerialComm.h"
#include "widgets/StringGrid.h"

namespace testsupport {

// Finds a control of the window by its name (its objectName): how tests reach the controls they
// click, type into and read back. A missing control is a failed test, not a null pointer.
template <typename T>
T* Control(const QObject& form, const QString& name) {
    T* found = form.findChild<T*>(name);
    if (!found) throw std::logic_error("no control named " + name.toStdString());
    return found;
}

template <typename T>
T* Control(const QObject& form, const char* name) {
    return Control<T>(form, QString::fromLatin1(name));
}

// The history table of poll step 1..14.
inline ::StringGrid* HistoryGrid(const QObject& form, int step) {
    return Control<::StringGrid>(form, QStringLiteral("StringGrid%1").arg(step));
}

// The window's serial port component.
inline TComm* Comm1(const QObject& form) { return Control<TComm>(form, "Comm1"); }

}  // namespace testsupport
