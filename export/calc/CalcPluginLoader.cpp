#include "export/calc/CalcPluginLoader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include "export/Automation.h"

namespace calc {
namespace {

const QString kPluginFile = QStringLiteral("libbatmon_calc.so");

// The loaded plugin. It is never unloaded: UNO keeps threads and state inside it.
QLibrary* LoadPlugin() {
    static QLibrary* loaded = nullptr;
    if (loaded) return loaded;
    QStringList failures;
    for (const QString& dir : PluginSearchDirs()) {
        const QString path = QDir(dir).filePath(kPluginFile);
        if (!QFileInfo::exists(path)) continue;
        auto* library = new QLibrary(path);
        if (library->load()) return loaded = library;
        failures << library->errorString();
        delete library;
    }
    throw automation::CreationError(
        failures.isEmpty()
            ? QStringLiteral("%1 not found in %2").arg(kPluginFile, PluginSearchDirs().join(u", "))
            : failures.join(u"; "));
}

template <typename Function>
Function Resolve(const char* symbol) {
    auto function = reinterpret_cast<Function>(LoadPlugin()->resolve(symbol));
    if (!function) {
        throw automation::CreationError(QStringLiteral("%1 lacks %2").arg(kPluginFile, symbol));
    }
    return function;
}

template <typename Result>
std::unique_ptr<Result> Connect(Result* (*function)(QString*)) {
    QString error;
    std::unique_ptr<Result> result(function(&error));
    if (!result) throw automation::CreationError(error);
    return result;
}

}  // namespace

QStringList PluginSearchDirs() {
    QStringList dirs;
    const QString overrideDir = qEnvironmentVariable("BATMON_PLUGIN_DIR");
    if (!overrideDir.isEmpty()) dirs << overrideDir;
    const QString programDir = QCoreApplication::applicationDirPath();
    dirs << programDir << QDir::cleanPath(programDir + QStringLiteral("/../lib/batmon"));
    return dirs;
}

std::unique_ptr<Office> ConnectOffice() {
    return Connect(Resolve<ConnectFunction>(kConnectSymbol));
}

std::unique_ptr<OfficeProbe> ConnectProbe() {
    return Connect(Resolve<ProbeFunction>(kProbeSymbol));
}

QString OfficePipePath() {
    QString path;
    Resolve<PipePathFunction>(kPipePathSymbol)(&path);
    return path;
}

}  // namespace calc
