// The signal pipe: SIGTERM, SIGINT and SIGHUP arrive as Qt signals on the event loop, and the
// handler leaves errno as it found it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>

#include "config/SignalPipe.h"
#include "tests/common/WaitFor.h"

namespace {

TEST(SignalPipe, terminationAndHangupArriveOnTheEventLoop) {
    config::SignalPipe pipe;
    ASSERT_TRUE(pipe.IsValid());
    int terminations = 0;
    int reloads = 0;
    QObject::connect(&pipe, &config::SignalPipe::TerminateRequested, [&] { ++terminations; });
    QObject::connect(&pipe, &config::SignalPipe::ReloadRequested, [&] { ++reloads; });

    raise(SIGHUP);
    raise(SIGTERM);
    raise(SIGINT);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return terminations == 2 && reloads == 1; }));
}

TEST(SignalPipe, theHandlerKeepsErrnoEvenWhenThePipeIsFull) {
    config::SignalPipe pipe;
    ASSERT_TRUE(pipe.IsValid());
    int reloads = 0;
    QObject::connect(&pipe, &config::SignalPipe::ReloadRequested, [&] { ++reloads; });
    // Far more signals than the socket takes before the event loop drains it: later writes in
    // the handler fail, and a handler that did not restore errno would change it here.
    for (int i = 0; i < 5000; ++i) {
        errno = EDOM;
        raise(SIGHUP);
        ASSERT_EQ(errno, EDOM) << "after signal " << i;
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return reloads > 0; }));
}

}  // namespace
