// SPDX-License-Identifier: BSD-2-Clause
// bench-rates.h - the timing loops the benchmarks share. A figure is the
// ratio of the library's rate to a baseline's, both measured as CPU time of
// the calling thread in short batches that alternate (baseline, library,
// library, baseline, ...), so that both meet the same load and the same
// clock speed; the figure is the median of the pair ratios, given with its
// quartiles. Time the thread spends waiting for a core counts for neither.
//
// Memory:  none beyond the caller's bodies.
// Errors:  none; a body that fails must say so itself.
// Threads: runs the bodies on the calling thread.
#ifndef VELMORA_BENCH_RATES_H
#define VELMORA_BENCH_RATES_H

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace bench_rates {

// CPU time of the calling thread, in seconds.
inline double thread_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs `body` n times; returns the thread CPU seconds they took.
inline double batch(const std::function<void()>& body, long n) {
    const double start = thread_cpu();
    for (long i = 0; i < n; ++i) {
        body();
    }
    return thread_cpu() - start;
}

// Calls of `body` that take about `secs` of CPU time (at least 1).
inline long calls_for(const std::function<void()>& body, double secs) {
    long n = 1;
    for (;;) {
        const double t = batch(body, n);
        if (t >= secs / 4 || n >= (1L << 30)) {
            return std::max(1L,
                            static_cast<long>(static_cast<double>(n) * secs / std::max(t, 1e-9)));
        }
        n *= 4;
    }
}

// The q-quantile (0 to 1) of values, by linear interpolation.
inline double quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double pos = q * static_cast<double>(values.size() - 1);
    const auto lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (pos - static_cast<double>(lo));
}

// Rates (calls per CPU second) of a baseline and of the library, and the
// quartiles of their ratio library / baseline over alternating batch pairs.
struct comparison {
    double base_rate = 0;  // median over the baseline's batches
    double lib_rate = 0;   // median over the library's batches
    double q1 = 0;
    double median = 0;
    double q3 = 0;
    int pairs = 0;
};

// Measures `lib` against `base` for about `secs` of CPU time in all, in
// batches of about `batch_secs` each.
inline comparison compare(double secs, const std::function<void()>& base,
                          const std::function<void()>& lib, double batch_secs = 0.02) {
    const long nb = calls_for(base, batch_secs);
    const long nl = calls_for(lib, batch_secs);
    const int pairs = std::max(5, static_cast<int>(secs / (2 * batch_secs)));
    std::vector<double> ratios;
    std::vector<double> base_rates;
    std::vector<double> lib_rates;
    for (int i = 0; i < pairs; ++i) {
        double tb = 0;
        double tl = 0;
        // Every other pair runs the library first, so that neither side
        // always follows the other.
        if (i % 2 == 0) {
            tb = batch(base, nb);
            tl = batch(lib, nl);
        } else {
            tl = batch(lib, nl);
            tb = batch(base, nb);
        }
        const double rb = static_cast<double>(nb) / std::max(tb, 1e-9);
        const double rl = static_cast<double>(nl) / std::max(tl, 1e-9);
        base_rates.push_back(rb);
        lib_rates.push_back(rl);
        ratios.push_back(rl / rb);
    }
    comparison c;
    c.base_rate = quantile(base_rates, 0.5);
    c.lib_rate = quantile(lib_rates, 0.5);
    c.q1 = quantile(ratios, 0.25);
    c.median = quantile(ratios, 0.5);
    c.q3 = quantile(ratios, 0.75);
    c.pairs = pairs;
    return c;
}

// The rate (calls per CPU second) of one body: the median of its batches.
inline double rate(double secs, const std::function<void()>& body, double batch_secs = 0.02) {
    const long n = calls_for(body, batch_secs);
    const int batches = std::max(5, static_cast<int>(secs / batch_secs));
    std::vector<double> rates;
    for (int i = 0; i < batches; ++i) {
        rates.push_back(static_cast<double>(n) / std::max(batch(body, n), 1e-9));
    }
    return quantile(rates, 0.5);
}

// The median rates of `a` and `b` measured as compare() does.
inline std::pair<double, double> rates(double secs, const std::function<void()>& a,
                                       const std::function<void()>& b) {
    const comparison c = compare(secs, a, b);
    return {c.base_rate, c.lib_rate};
}

// Prints one figure: the library's rate, the baseline it is divided by, and
// the ratio to baseline / `per` (the baseline's calls one library call needs
// at least) with its quartiles and the goal.
inline void print(const char* what, const comparison& c, const char* base_name, double per,
                  const char* goal) {
    std::printf("%-34s %10.0f /s   baseline %s %10.0f /s\n", what, c.lib_rate, base_name,
                c.base_rate);
    std::printf("%-34s ratio to baseline/%g: median %.3f (quartiles %.3f - %.3f, %d pairs), %s\n",
                "", per, c.median * per, c.q1 * per, c.q3 * per, c.pairs, goal);
}

}  // namespace bench_rates

#endif
