#pragma once

#include <QString>
#include <functional>

class QWidget;

// The program's "save as" questions go through here, so that tests can answer them instead of
// blocking in a modal dialog.
namespace filedialog {

// Asks where to save; empty when the operator cancelled.
QString SaveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                     const QString& filter);

using Hook = std::function<QString(const QString& caption, const QString& suggestedName)>;
// Answers the question with `hook` instead of a dialog (pass {} to restore the dialog).
void SetHook(Hook hook);

}  // namespace filedialog
