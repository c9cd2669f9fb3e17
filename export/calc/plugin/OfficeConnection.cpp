#include "export/calc/plugin/OfficeConnection.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QUrl>
#include <chrono>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/uno/RuntimeException.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cstring>
#include <rtl/bootstrap.hxx>
#include <thread>
#include <vector>

#include "export/calc/plugin/OfficePipe.h"
#include "export/calc/plugin/UnoSupport.h"

extern char** environ;

namespace calc::uno {
namespace css = com::sun::star;
using css::uno::Reference;

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(50);

QByteArray OfficeProgram() {
    const QByteArray program = qgetenv("BATMON_OFFICE_PROGRAM");
    return program.isEmpty() ? QByteArray(BATMON_OFFICE_PROGRAM_DIR "/soffice") : program;
}

bool HasDisplay() {
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

std::vector<QByteArray> OfficeArguments() {
    std::vector<QByteArray> args{OfficeProgram(), HasDisplay() ? "--invisible" : "--headless",
                                 "--nologo",      "--nodefault",
                                 "--norestore",   "--nolockcheck"};
    const QString profile = qEnvironmentVariable("BATMON_OFFICE_PROFILE");
    if (!profile.isEmpty()) {
        args.push_back("-env:UserInstallation=" +
                       QUrl::fromLocalFile(profile).toString(QUrl::FullyEncoded).toUtf8());
    }
    args.push_back(QStringLiteral("--accept=pipe,name=%1;urp;").arg(OfficePipeName()).toUtf8());
    return args;
}

[[noreturn]] void Fail(const QString& text) { throw std::runtime_error(text.toStdString()); }

}  // namespace

OfficeConnection& OfficeConnection::Instance() {
    // Never destroyed: releasing UNO references from static destructors at exit runs after the
    // UNO runtime has begun to shut down.
    static auto* connection = new OfficeConnection;
    return *connection;
}

Reference<css::frame::XDesktop2> OfficeConnection::Desktop() {
    ReapLaunched();
    if (!Alive()) Connect();
    return desktop_;
}

bool OfficeConnection::WaitForLaunchedExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (ReapLaunched(); launched_ != 0; ReapLaunched()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kRetryInterval);
    }
    return true;
}

bool OfficeConnection::Alive() {
    if (!desktop_.is()) return false;
    try {
        CallWatchdog::Guard limit(CallTimeout());
        desktop_->getCurrentComponent();
        return true;
    } catch (const css::uno::RuntimeException&) {
        // DisposedException: the operator closed the office since the last export. A call that
        // was cut off for taking too long means the office hangs: say so instead of waiting on
        // it again.
        const bool hung = CallWatchdog::Instance().Fired();
        Disconnect();
        if (hung) ThrowTranslated(QStringLiteral("Checking the connection"));
        return false;
    }
}

void OfficeConnection::Disconnect() {
    desktop_.clear();
    if (bridge_.is()) {
        try {
            bridge_->dispose();
        } catch (const css::uno::Exception&) {
        }
        bridge_.clear();
    }
}

void OfficeConnection::Connect() {
    if (!local_.is()) {
        Translated("Preparing UNO", [this] {
            // The office's own bootstrap files describe where its types and services are.
            rtl::Bootstrap::set(
                rtl::OUString("URE_BOOTSTRAP"),
                rtl::OUString("vnd.sun.star.pathname:" BATMON_OFFICE_PROGRAM_DIR "/fundamentalrc"));
            local_ = cppu::defaultBootstrap_InitialComponentContext();
        });
    }
    // Starting the office and the first answer on the pipe share one time limit.
    const auto limit = ConnectTimeout();
    CallWatchdog::Guard connecting(limit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (TryResolve()) return;
    Launch();
    while (!TryResolve()) {
        ReapLaunched();
        // Exit status 0 means it handed our request to an office already running.
        if (launched_ == 0 && !(WIFEXITED(launchedStatus_) && WEXITSTATUS(launchedStatus_) == 0)) {
            Fail(QStringLiteral("LibreOffice (%1) ended before accepting a connection")
                     .arg(QString::fromLocal8Bit(OfficeProgram())));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Fail(QStringLiteral("LibreOffice did not answer within %1 s")
                     .arg(double(limit.count()) / 1000.0));
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

bool OfficeConnection::TryResolve() {
    Reference<css::connection::XConnection> link = ConnectOfficePipe(OfficePipeName());
    if (!link.is()) return false;
    CallWatchdog::Instance().Watch(link);
    Translated("Connecting to LibreOffice", [&, this] {
        Reference<css::bridge::XBridge> bridge =
            css::bridge::BridgeFactory::create(local_)->createBridge("", "urp", link, nullptr);
        bridge_.set(bridge, css::uno::UNO_QUERY_THROW);
        Reference<css::uno::XComponentContext> remote(
            bridge->getInstance("StarOffice.ComponentContext"), css::uno::UNO_QUERY_THROW);
        desktop_ = css::frame::Desktop::create(remote);
    });
    return true;
}

void OfficeConnection::Launch() {
    const std::vector<QByteArray> args = OfficeArguments();
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const QByteArray& arg : args) argv.push_back(const_cast<char*>(arg.constData()));
    argv.push_back(nullptr);

    // Its own session, so that the office outlives this program and its terminal; its chatter
    // goes nowhere.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        Fail(QStringLiteral("Cannot start LibreOffice (%1): %2")
                 .arg(QString::fromLocal8Bit(argv[0]), QString::fromLocal8Bit(strerror(error))));
    }
    launched_ = pid;
    launchedStatus_ = -1;
}

void OfficeConnection::ReapLaunched() {
    if (launched_ <= 0) return;
    int status = 0;
    if (waitpid(launched_, &status, WNOHANG) == launched_) {
        launched_ = 0;
        launchedStatus_ = status;
    }
}

}  // namespace calc::uno
