#include "web/ConnectionPool.h"

namespace web {
namespace {
thread_local bool refusing = false;
}

ConnectionPool::ConnectionPool(std::size_t threads)
    : limit_(threads), served_(threads), refused_(1) {}

void ConnectionPool::enqueue(std::function<void()> fn) {
    if (taken_.fetch_add(1) >= limit_) {
        taken_.fetch_sub(1);
        refused_.enqueue([fn = std::move(fn)] {
            refusing = true;
            fn();
            refusing = false;
        });
        return;
    }
    served_.enqueue([this, fn = std::move(fn)] {
        fn();
        taken_.fetch_sub(1);
    });
}

void ConnectionPool::shutdown() {
    served_.shutdown();
    refused_.shutdown();
}

bool ConnectionPool::Refusing() { return refusing; }

}  // namespace web
