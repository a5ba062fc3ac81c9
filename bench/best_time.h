// Wall-clock timing shared by the figure-printing native benchmarks: the best
// of five rounds, so one round disturbed by another process does not count.
#pragma once

#include <algorithm>
#include <chrono>

template <class Body>
double best_ns_per_op(long ops, Body&& body) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < ops; ++i) body(i);
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / static_cast<double>(ops));
    }
    return best;
}
