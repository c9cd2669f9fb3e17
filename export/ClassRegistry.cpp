#include "export/ClassRegistry.h"

#include <QHash>

#include "export/calc/CalcApplication.h"

namespace automation {
namespace {

QHash<QString, Factory>& Classes() {
    // The classes installed on this system: the spreadsheet application is LibreOffice Calc.
    static QHash<QString, Factory> classes = [] {
        QHash<QString, Factory> installed;
        installed.insert(QStringLiteral("Excel.Application").toCaseFolded(),
                         [] { return calc::CreateExcelApplication(); });
        return installed;
    }();
    return classes;
}

}  // namespace

Factory RegisterClass(const QString& progId, const Factory& factory) {
    const QString key = progId.toCaseFolded();
    Factory previous = Classes().take(key);
    if (factory) Classes().insert(key, factory);
    return previous;
}

std::shared_ptr<Dispatch> CreateObject(const QString& progId) {
    const Factory factory = Classes().value(progId.toCaseFolded());
    if (!factory) throw CreationError(QStringLiteral("Class not registered: %1").arg(progId));
    std::shared_ptr<Dispatch> object;
    try {
        object = factory();
    } catch (const CreationError&) {
        throw;
    } catch (const std::exception& error) {
        throw CreationError(QString::fromUtf8(error.what()));
    }
    if (!object) throw CreationError(QStringLiteral("%1 did not create an object").arg(progId));
    return object;
}

}  // namespace automation
