#include "HandlerGuard.h"

#include <QString>
#include <exception>

#include "MessageBox.h"

void RunGuarded(QWidget* parent, const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        messagebox::Show(parent, QString::fromUtf8(e.what()), {}, messagebox::Kind::Error);
    } catch (...) {
        messagebox::Show(parent, QStringLiteral("Unknown error"), {}, messagebox::Kind::Error);
    }
}
