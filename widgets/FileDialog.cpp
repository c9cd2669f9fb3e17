#include "widgets/FileDialog.h"

#include <QFileDialog>

namespace filedialog {
namespace {

Hook& CurrentHook() {
    static Hook hook;
    return hook;
}

}  // namespace

QString SaveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                     const QString& filter) {
    if (const Hook& hook = CurrentHook()) return hook(caption, suggestedName);
    return QFileDialog::getSaveFileName(parent, caption, suggestedName, filter);
}

void SetHook(Hook hook) { CurrentHook() = std::move(hook); }

}  // namespace filedialog
