// SPDX-License-Identifier: BSD-2-Clause
// bench_reload.cc - how long a new milter connection waits while the
// configuration reloads. velmora runs with a PeerList of many entries, so
// that every reload takes a while; client threads open milter sessions and
// negotiate in a loop, first with no reload (the baseline) and then while a
// trigger thread asks for a reload every second. The connection that runs a
// reload waits for it by design and is reported apart.
//
// Usage: bench_reload [VELMORA [ENTRIES]] (defaults: the velmora built here,
// 400000 list entries). Prints the longest and the median connect of the
// clients in both phases, their ratio, and the reload time.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e-support.h"
#include "velmora-fixture.h"

namespace {

using namespace velmora_e2e;
using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Connect times (ms) of `threads` clients negotiating for `secs` seconds.
std::vector<double> measure(const std::string& spec, int threads, double secs) {
    std::mutex lock;
    std::vector<double> times;
    std::vector<std::thread> pool;
    const auto end = clock_type::now() + std::chrono::duration<double>(secs);
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&] {
            while (clock_type::now() < end) {
                const auto start = clock_type::now();
                const bool ok = milter_negotiate(spec);
                const double took = ms_since(start);
                std::lock_guard<std::mutex> guard{lock};
                times.push_back(ok ? took : 1e9);
            }
        });
    }
    for (auto& t : pool) {
        t.join();
    }
    return times;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : velmora_program();
    const long entries = argc > 2 ? std::atol(argv[2]) : 400000;
    become_subreaper();
    temp_dir keys{"/run"};
    temp_dir tmp;
    const test_key key = make_key(keys.path(), "test-bench", 2048);
    if (key.pem_path.empty()) {
        fprintf(stderr, "bench_reload: no key\n");
        return 1;
    }
    std::string peers;
    peers.reserve(static_cast<size_t>(entries) * 16);
    for (long i = 0; i < entries; ++i) {
        peers += "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) +
                 "." + std::to_string(i & 255) + "\n";
    }
    const std::string conf = tmp / "velmora.conf";
    // Keys from a file: no resolver starts with each reload.
    if (!write_file(tmp / "peers.txt", peers) ||
        !write_file(tmp / "keys.txt", "bench._domainkey.example.org " + key.record + "\n") ||
        !write_file(conf, "Domain example.org\nSelector bench\nKeyFile " + key.pem_path +
                              "\nKeyRecordFile " + (tmp / "keys.txt") + "\nPeerList " +
                              (tmp / "peers.txt") + "\nMode s\n")) {
        fprintf(stderr, "bench_reload: can't write the configuration\n");
        return 1;
    }
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    child filter;
    std::string err;
    child_options opt;
    opt.stderr_path = tmp / "err";
    if (!filter.start({program, "-f", "-c", conf, "-p", spec}, opt, &err)) {
        fprintf(stderr, "bench_reload: %s\n", err.c_str());
        return 1;
    }
    for (int i = 0; i < 400 && !milter_listening(spec); ++i) {
        usleep(50000);
    }
    if (!milter_listening(spec)) {
        fprintf(stderr, "bench_reload: velmora did not start: %s\n",
                read_file(tmp / "err").c_str());
        return 1;
    }

    constexpr int clients = 4;
    const std::vector<double> base = measure(spec, clients, 3);

    // Each SIGUSR1 makes the next connection run a reload; that one
    // connection waits for it by design, and the slowest connects, one per
    // reload asked for, are set aside as the reloads' own.
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    std::thread trigger{[&] {
        while (!stop) {
            (void)kill(filter.pid(), SIGUSR1);
            ++asked;
            usleep(1000000);
        }
    }};
    std::vector<double> during = measure(spec, clients, 8);
    stop = true;
    trigger.join();
    filter.stop(SIGTERM, 15);

    std::sort(during.begin(), during.end(), std::greater<>());
    const size_t own = std::min(during.size(), static_cast<size_t>(asked.load()));
    const std::vector<double> reloads(during.begin(), during.begin() + static_cast<long>(own));
    const std::vector<double> others(during.begin() + static_cast<long>(own), during.end());
    const double base_max = *std::max_element(base.begin(), base.end());
    const double others_max = others.empty() ? 0 : others.front();
    printf("velmora: %s\n", program.c_str());
    printf(
        "PeerList entries: %ld, reloads asked: %zu, median of the slowest connect per reload "
        "(the reload itself): %.1f ms\n",
        entries, own, median(reloads));
    printf("connects without reloads: %zu, median %.2f ms, longest %.1f ms\n", base.size(),
           median(base), base_max);
    printf("connects during reloads:  %zu, median %.2f ms, longest of the others %.1f ms\n",
           others.size(), median(others), others_max);
    printf("longest connect during reloads / without: %.1f\n", others_max / base_max);
    return 0;
}
