#pragma once

#include <QApplication>
#include <QString>

// The program's default error display: an exception that leaves an event handler is shown in an
// error message box with its text, and the event loop runs on.
class GuardedApplication : public QApplication {
    Q_OBJECT
public:
    // Also makes ApplicationTitleFromPath of the program file the default caption of the
    // program's message boxes.
    GuardedApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// Shows `text` as an unhandled error: an error message box with the default caption.
void ShowUnhandledError(const QString& text);

// The text shown for the exception in flight; call from inside a catch block only. UTF-8 is
// expected in std::exception::what().
QString CurrentExceptionText();

// Runs `deliver` (the delivery of one event) and shows any exception that leaves it; returns
// what `deliver` returned, or false after an exception. The box is shown after the exception
// has been released, so a failure while it is open is handled like any other.
template <typename Deliver>
bool DeliverShowingErrors(Deliver&& deliver) {
    QString error;
    try {
        return deliver();
    } catch (...) {
        error = CurrentExceptionText();
    }
    ShowUnhandledError(error);
    return false;
}

// The program file's name without its directory and without everything from its first "." on,
// every character after the first in lower case: "/usr/bin/batmon" gives "batmon".
QString ApplicationTitleFromPath(const QString& programPath);
