#pragma once

#include <QString>
#include <com/sun/star/uno/Exception.hpp>
#include <rtl/ustring.hxx>
#include <stdexcept>

#include "export/calc/plugin/CallWatchdog.h"

// Conversions between Qt and UNO strings (both UTF-16), and the rule that no UNO exception
// leaves the plugin: callers on the other side only know std::runtime_error.
namespace calc::uno {

inline rtl::OUString ToOU(const QString& text) {
    return rtl::OUString(reinterpret_cast<const sal_Unicode*>(text.utf16()),
                         static_cast<sal_Int32>(text.size()));
}

inline QString ToQ(const rtl::OUString& text) {
    return QString(reinterpret_cast<const QChar*>(text.getStr()), text.getLength());
}

[[noreturn]] void ThrowTranslated(const QString& action);

// Runs `body` within the call time-out; a UNO exception becomes std::runtime_error naming
// `action` (and saying that the office did not answer in time when the watchdog cut it off).
template <typename Body>
auto Translated(const char* action, Body&& body) -> decltype(body()) {
    CallWatchdog::Guard limit(CallTimeout());
    try {
        return body();
    } catch (const com::sun::star::uno::Exception&) {
        ThrowTranslated(QString::fromUtf8(action));
    }
}

}  // namespace calc::uno
