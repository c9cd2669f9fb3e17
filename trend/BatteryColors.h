#pragma once

#include <QColor>

#include "battery/BatteryId.h"

// The one colour of each battery wherever it is drawn (plot lines, chooser swatches, legends):
// fourteen hues that stay apart from each other on a white background. A battery the program
// does not poll is grey.
QColor BatteryColor(battery::BatteryId id);
