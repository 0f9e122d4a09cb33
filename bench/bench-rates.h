// SPDX-License-Identifier: BSD-2-Clause
// bench-rates.h - the timing loops the benchmarks share: calls per second of
// a body, taken as the best of five slices so that other load on the machine,
// which only ever slows a slice down, weighs as little as it can.
//
// Memory:  none beyond the caller's bodies.
// Errors:  none; a body that fails must say so itself.
// Threads: runs the bodies on the calling thread.
#ifndef VELMORA_BENCH_RATES_H
#define VELMORA_BENCH_RATES_H

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>

namespace bench_rates {

// Runs `body` for about `secs` seconds, reading the clock every `per_check`
// calls; returns calls per second.
inline double rate_once(double secs, const std::function<void()>& body, int per_check = 8) {
    using clock_type = std::chrono::steady_clock;
    long n = 0;
    const auto start = clock_type::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < per_check; ++i) {
            body();
        }
        n += per_check;
        elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    } while (elapsed < secs);
    return static_cast<double>(n) / elapsed;
}

// The best of five slices of `body`, `secs` seconds in all.
inline double rate(double secs, const std::function<void()>& body, int per_check = 8) {
    double best = 0;
    for (int i = 0; i < 5; ++i) {
        best = std::max(best, rate_once(secs / 5, body, per_check));
    }
    return best;
}

// Like rate() for two bodies whose ratio is reported, their slices
// interleaved so that both meet the same load.
inline std::pair<double, double> rates(double secs, const std::function<void()>& a,
                                       const std::function<void()>& b, int per_check = 8) {
    double best_a = 0;
    double best_b = 0;
    for (int i = 0; i < 5; ++i) {
        best_a = std::max(best_a, rate_once(secs / 5, a, per_check));
        best_b = std::max(best_b, rate_once(secs / 5, b, per_check));
    }
    return {best_a, best_b};
}

}  // namespace bench_rates

#endif
