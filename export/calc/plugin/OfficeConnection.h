#pragma once

#include <sys/types.h>

#include <chrono>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>

namespace calc::uno {

// The process's one link to a LibreOffice instance. Desktop() starts the office when none
// answers on our pipe, waits for it with a time-out and reconnects after the office was closed.
// The pipe has a random name per program run and must belong to this user (OfficePipe.h);
// every call on the link has a time limit (CallWatchdog.h).
// The office is never terminated from here: it may be the operator's own.
//
// Environment: BATMON_OFFICE_PROGRAM replaces the soffice path, BATMON_OFFICE_PROFILE names a
// private profile directory (tests and benchmarks). Without a display the office runs headless.
class OfficeConnection {
public:
    static OfficeConnection& Instance();

    // A desktop of a live office. Throws std::runtime_error when the office cannot be started
    // or reached within the time-out, or its pipe is not this user's.
    com::sun::star::uno::Reference<com::sun::star::frame::XDesktop2> Desktop();

    // For tests: waits until the office process started from here has ended.
    bool WaitForLaunchedExit(std::chrono::milliseconds timeout);

private:
    OfficeConnection() = default;
    bool Alive();
    void Connect();
    void Disconnect();
    bool TryResolve();
    void Launch();
    void ReapLaunched();

    com::sun::star::uno::Reference<com::sun::star::uno::XComponentContext> local_;
    com::sun::star::uno::Reference<com::sun::star::frame::XDesktop2> desktop_;
    com::sun::star::uno::Reference<com::sun::star::lang::XComponent> bridge_;
    pid_t launched_ = 0;
    int launchedStatus_ = -1;  // wait status once the launched process ended
};

}  // namespace calc::uno
