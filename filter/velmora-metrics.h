// SPDX-License-Identifier: BSD-2-Clause
// velmora-metrics.h - the filter's counters and latency histograms, their
// Prometheus text rendering, and the HTTP endpoint that serves them.
//
// Memory:  the registry is a fixed record of atomics; rendering allocates one
//          growable string per scrape; the server record is owned by its
//          caller and freed with arcf_metrics_stop().
// Errors:  arcf_metrics_listen_parse() and arcf_metrics_start() return false
//          with a message in the caller's buffer; nothing here logs.
// Threads: counting is lock-free (relaxed atomics) and may happen from any
//          thread; the server answers scrapes in a thread of its own.
#ifndef VELMORA_FILTER_VELMORA_METRICS_H
#define VELMORA_FILTER_VELMORA_METRICS_H

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util.h"

// What became of one message.
enum class arcf_outcome : unsigned {
    none,         // validated: no chain
    pass,         // validated: the chain passed
    fail,         // validated: the chain failed
    sealed,       // a new ARC set was added
    deferred,     // the MTA was asked to try again later
    unprocessed,  // passed on untouched (limits, header checks)
};
inline constexpr std::size_t arcf_outcome_count = 6;

// The result of one key record lookup.
enum class arcf_lookup : unsigned {
    found,     // a record came back
    notfound,  // the name or record does not exist
    error,     // temporary failure: timeout, server failure
    invalid,   // a record came back but cannot be used
};
inline constexpr std::size_t arcf_lookup_count = 4;

// The DNSSEC state of a lookup's answer.
enum class arcf_dnssec : unsigned {
    secure,
    insecure,
    bogus,
    none,  // not validated: a key file, the stub resolver, or no trust anchor
};
inline constexpr std::size_t arcf_dnssec_count = 4;

// A latency histogram with fixed bucket bounds (seconds). Lock-free: each
// observation adds to one bucket, the count of observations and the sum.
class arcf_histogram {
  public:
    // Upper bounds of the buckets; the +Inf bucket follows them.
    static constexpr std::array<double, 14> bounds = {
        0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
    void observe(double seconds) noexcept;
    // Appends the _bucket, _sum and _count lines of metric `name`; false when
    // the string cannot grow.
    bool render(arcf_dstring* out, std::string_view name) const noexcept;

  private:
    std::atomic<uint64_t> buckets_[bounds.size() + 1] = {};  // not cumulative
    std::atomic<uint64_t> sum_ns_{0};
};

// The registry of everything the filter counts. One lives for the whole
// process (arcf_metrics_global()); tests make their own.
class arcf_metrics {
  public:
    // One finished message in mode `mode` (ARC_MODE_SIGN and/or
    // ARC_MODE_VERIFY bits; other values are not counted).
    void count_message(int mode, arcf_outcome outcome) noexcept;
    void count_lookup(arcf_lookup result, arcf_dnssec dnssec, double seconds) noexcept;
    void observe_validation(double seconds) noexcept { validation_.observe(seconds); }
    void observe_sealing(double seconds) noexcept { sealing_.observe(seconds); }
    void count_key_cache(bool hit) noexcept;
    void count_reload(bool done) noexcept;
    // Writes the whole registry in Prometheus' text format (version 0.0.4)
    // into `out`, replacing its text; false when the string cannot grow.
    bool render(arcf_dstring* out) const noexcept;

  private:
    std::atomic<uint64_t> messages_[3][arcf_outcome_count] = {};
    std::atomic<uint64_t> lookups_[arcf_lookup_count][arcf_dnssec_count] = {};
    arcf_histogram lookup_time_;
    arcf_histogram validation_;
    arcf_histogram sealing_;
    std::atomic<uint64_t> cache_[2] = {};    // hits, misses
    std::atomic<uint64_t> reloads_[2] = {};  // done, refused
};

// The process's registry.
arcf_metrics& arcf_metrics_global() noexcept;

// The label values of a lookup result and of a DNSSEC state ("found",
// "secure", ...): constant texts.
const char* arcf_lookup_name(arcf_lookup result) noexcept;
const char* arcf_dnssec_name(arcf_dnssec state) noexcept;

// Seconds elapsed since `start`, a CLOCK_MONOTONIC reading.
double arcf_metrics_since(const struct timespec& start) noexcept;

// ---- The HTTP endpoint ----

// Limits of the endpoint, so that clients that connect and stall cannot keep
// a scrape out: connections in all and from one address, the memory of one
// connection in bytes, and the seconds a connection may stay idle.
constexpr unsigned ARCF_METRICS_MAX_CONNECTIONS = 64;
constexpr unsigned ARCF_METRICS_MAX_PER_ADDRESS = 4;
constexpr unsigned ARCF_METRICS_CONNECTION_MEMORY = 16384;
constexpr unsigned ARCF_METRICS_TIMEOUT = 3;

// Parses a MetricsListen value: "ADDRESS:PORT" with an IPv4 address,
// "[ADDRESS]:PORT" with an IPv6 one, or a port alone ("PORT" or ":PORT"),
// which means 127.0.0.1; port 0 asks for any free port. Fills *addr and
// *addrlen; false with the reason in err (cut to errlen).
bool arcf_metrics_listen_parse(const char* spec, struct sockaddr_storage* addr, socklen_t* addrlen,
                               char* err, size_t errlen) noexcept;

struct arcf_metrics_server;

// Serves `registry` as "/metrics" on the address `spec` (as above) from a
// thread of its own. The registry must outlive the server. Returns the server,
// which the caller stops with arcf_metrics_stop(), or null with the reason in
// err. Start it in the process that will count: threads do not survive fork().
arcf_metrics_server* arcf_metrics_start(const char* spec, const arcf_metrics* registry, char* err,
                                        size_t errlen) noexcept;
// The port the server listens on (useful after port 0).
unsigned arcf_metrics_port(const arcf_metrics_server* srv) noexcept;
// Stops serving, closes the socket and frees the server; null is allowed.
void arcf_metrics_stop(arcf_metrics_server* srv) noexcept;

#endif  // VELMORA_FILTER_VELMORA_METRICS_H
