#include "export/calc/plugin/UnoSupport.h"

#include <com/sun/star/lang/DisposedException.hpp>

namespace calc::uno {

void ThrowTranslated(const QString& action) {
    namespace css = com::sun::star;
    QString text;
    try {
        throw;
    } catch (const css::lang::DisposedException&) {
        text = QStringLiteral("%1: LibreOffice is no longer running").arg(action);
    } catch (const css::uno::Exception& error) {
        text = QStringLiteral("%1: LibreOffice reported %2").arg(action, ToQ(error.Message));
    }
    throw std::runtime_error(text.toStdString());
}

}  // namespace calc::uno
