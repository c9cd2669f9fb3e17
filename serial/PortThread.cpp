#include "serial/PortThread.h"

#include <pthread.h>

TPortThread::~TPortThread() { Join(); }

void TPortThread::Start() {
    thread_ = std::thread([this] {
        Run();
        ended_.store(true);
    });
    // Named from here so that the name is in place by the time Start() returns.
    pthread_setname_np(thread_.native_handle(), name_);
}

void TPortThread::Join() {
    if (thread_.joinable()) thread_.join();
}
