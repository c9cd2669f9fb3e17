#include "export/calc/plugin/UnoSupport.h"

#include <com/sun/star/lang/DisposedException.hpp>

namespace calc::uno {

void ThrowTranslated(const QString& action) {
    namespace css = com::sun::star;
    QString text;
    const bool late = CallWatchdog::Instance().Fired();
    try {
        throw;
    } catch (const css::lang::DisposedException&) {
        text = QStringLiteral("%1: LibreOffice is no longer running").arg(action);
    } catch (const css::uno::Exception& error) {
        text = QStringLiteral("%1: LibreOffice reported %2").arg(action, ToQ(error.Message));
    }
    // A call cut off by the watchdog ends as if the office had gone: say what really happened.
    if (late) {
        text = QStringLiteral("%1: LibreOffice did not answer within %2 s")
                   .arg(action)
                   .arg(double(CallWatchdog::Instance().LastLimit().count()) / 1000.0);
    }
    throw std::runtime_error(text.toStdString());
}

}  // namespace calc::uno
