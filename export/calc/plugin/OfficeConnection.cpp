#include "export/calc/plugin/OfficeConnection.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QUrl>
#include <chrono>
#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/uno/RuntimeException.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cstring>
#include <rtl/bootstrap.hxx>
#include <thread>
#include <vector>

#include "export/calc/plugin/UnoSupport.h"

extern char** environ;

namespace calc::uno {
namespace css = com::sun::star;
using css::uno::Reference;

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(20);
constexpr auto kRetryInterval = std::chrono::milliseconds(50);

QByteArray OfficeProgram() {
    const QByteArray program = qgetenv("BATMON_OFFICE_PROGRAM");
    return program.isEmpty() ? QByteArray(BATMON_OFFICE_PROGRAM_DIR "/soffice") : program;
}

// One pipe name per program run: an office started by someone else never answers on it.
QString PipeName() { return QStringLiteral("batmon_calc_%1").arg(getpid()); }

QString ConnectUrl() {
    return QStringLiteral("uno:pipe,name=%1;urp;StarOffice.ComponentContext").arg(PipeName());
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
    args.push_back(QStringLiteral("--accept=pipe,name=%1;urp;").arg(PipeName()).toUtf8());
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
        desktop_->getCurrentComponent();
        return true;
    } catch (const css::uno::RuntimeException&) {
        // DisposedException: the operator closed the office since the last export.
        desktop_.clear();
        return false;
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
    if (!TryResolve()) {
        Launch();
        const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
        while (!TryResolve()) {
            ReapLaunched();
            // Exit status 0 means it handed our request to an office already running.
            if (launched_ == 0 &&
                !(WIFEXITED(launchedStatus_) && WEXITSTATUS(launchedStatus_) == 0)) {
                Fail(QStringLiteral("LibreOffice (%1) ended before accepting a connection")
                         .arg(QString::fromLocal8Bit(OfficeProgram())));
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                Fail(QStringLiteral("LibreOffice did not answer within %1 s")
                         .arg(std::chrono::duration_cast<std::chrono::seconds>(kConnectTimeout)
                                  .count()));
            }
            std::this_thread::sleep_for(kRetryInterval);
        }
    }
}

bool OfficeConnection::TryResolve() {
    return Translated("Connecting to LibreOffice", [this] {
        try {
            auto resolver = css::bridge::UnoUrlResolver::create(local_);
            Reference<css::uno::XComponentContext> remote(resolver->resolve(ToOU(ConnectUrl())),
                                                          css::uno::UNO_QUERY_THROW);
            desktop_ = css::frame::Desktop::create(remote);
            return true;
        } catch (const css::connection::NoConnectException&) {
            return false;
        }
    });
}

void OfficeConnection::Launch() {
    const std::vector<QByteArray> args = OfficeArguments();
    std::vector<char*> argv;
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
