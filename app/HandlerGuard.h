#pragma once

#include <functional>

class QWidget;

// Runs one event handler of the window. An exception that leaves it is shown by the default
// error display (a message box with the error's text) and the program runs on: exceptions must
// never cross Qt's event loop.
void RunGuarded(QWidget* parent, const std::function<void()>& handler);
