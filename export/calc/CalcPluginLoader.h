#pragma once

#include <QStringList>
#include <memory>

#include "export/calc/CalcOffice.h"

namespace calc {

// Directories searched for the plugin, in order: $BATMON_PLUGIN_DIR, the program's directory,
// ../lib/batmon relative to it.
QStringList PluginSearchDirs();

// Loads the plugin on first use (it stays loaded) and connects to the office, starting it when
// needed. Throws automation::CreationError when the plugin or the office is missing or the
// office cannot be reached in time.
std::unique_ptr<Office> ConnectOffice();

// The test and benchmark view of the same connection. Throws like ConnectOffice().
std::unique_ptr<OfficeProbe> ConnectProbe();

// For tests: the socket the office of this program run listens on.
QString OfficePipePath();

}  // namespace calc
