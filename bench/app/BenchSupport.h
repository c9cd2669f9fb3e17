#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "tests/common/WaitFor.h"

// Small helpers shared by the window benchmarks.
namespace bench {

inline void RunEventLoopFor(int ms) { testsupport::RunEventLoopFor(std::chrono::milliseconds(ms)); }

// Looks at `done` every 5 ms: often enough, and light on a program being measured.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
    return testsupport::WaitUntil(done, std::chrono::milliseconds(timeoutMs),
                                  std::chrono::milliseconds(5));
}

// The p-th percentile (0..100) of `values`, nearest rank.
inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t rank =
        std::min(values.size() - 1, std::size_t(p / 100.0 * double(values.size() - 1) + 0.5));
    return values[rank];
}

inline void Result(const char* key, double value) { std::printf("RESULT %s %.3f\n", key, value); }

}  // namespace bench
