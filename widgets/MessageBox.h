#pragma once

#include <QString>
#include <functional>

class QWidget;

// Message boxes of the program go through here, so that tests can observe them instead of
// blocking in a modal loop. Without a hook a real modal QMessageBox with an OK button is shown.
namespace messagebox {

enum class Kind { Information, Error };

// Shows `text` with `caption` (the default caption when empty).
void Show(QWidget* parent, const QString& text, const QString& caption = {},
          Kind kind = Kind::Information);

// The caption of boxes shown without one; until set, the application's display name.
void SetDefaultCaption(const QString& caption);

using Hook = std::function<void(const QString& text, const QString& caption)>;
// Replaces the modal box with `hook` (pass {} to restore the real box). For tests and the demo.
void SetHook(Hook hook);

}  // namespace messagebox
