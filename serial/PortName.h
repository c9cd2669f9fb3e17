#pragma once

#include <QString>

// Maps a port name as the operator knows it onto a device path: "COMn" (n >= 1, any case) is
// /dev/ttyS(n-1), a name starting with "/" is taken as it is, and any other name is looked up
// under /dev ("ttyUSB0" -> /dev/ttyUSB0).
QString ResolvePortName(const QString& name);
