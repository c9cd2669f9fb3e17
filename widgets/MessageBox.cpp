#include "MessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace messagebox {
namespace {
Hook& CurrentHook() {
    static Hook hook;
    return hook;
}
}  // namespace

void Show(QWidget* parent, const QString& text, const QString& caption, Kind kind) {
    const QString title = caption.isEmpty() ? QApplication::applicationDisplayName() : caption;
    if (CurrentHook()) {
        CurrentHook()(text, title);
        return;
    }
    QMessageBox box(kind == Kind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, title, text,
                    QMessageBox::Ok, parent);
    box.exec();
}

void SetHook(Hook hook) { CurrentHook() = std::move(hook); }

}  // namespace messagebox
