#include "widgets/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace messagebox {
namespace {
Hook& CurrentHook() {
    static Hook hook;
    return hook;
}
QString& DefaultCaption() {
    static QString caption;
    return caption;
}
}  // namespace

void SetDefaultCaption(const QString& caption) { DefaultCaption() = caption; }

void Show(QWidget* parent, const QString& text, const QString& caption, Kind kind) {
    QString title = caption;
    if (title.isEmpty()) title = DefaultCaption();
    if (title.isEmpty()) title = QApplication::applicationDisplayName();
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
