#include "serial/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

void RaiseCurrentThreadPriority(int steps) {
    const auto thread = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, thread);
    if (current == -1 && errno != 0) return;
    setpriority(PRIO_PROCESS, thread, current - steps);
}
