#include "PortThread.h"

#include <pthread.h>

TPortThread::~TPortThread() { Join(); }

void TPortThread::Start() {
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), name_);
        Run();
        ended_.store(true);
    });
}

void TPortThread::Join() {
    if (thread_.joinable()) thread_.join();
}
