// SPDX-License-Identifier: BSD-2-Clause
// velmora-metrics.cc - the filter's counters and latency histograms, their
// Prometheus text rendering, and the HTTP endpoint that serves them.
//
// Counting never locks: every counter is a relaxed atomic, so the callbacks
// pay one uncontended add per event. A scrape reads each atomic once; the
// figures of one scrape are therefore not a snapshot of a single instant,
// which Prometheus tolerates.
// Memory:  one growable string per scrape; the server record from calloc.
// Errors:  false or null with a message in the caller's buffer.
// Threads: libmicrohttpd answers scrapes in its own polling thread.
#include "velmora-metrics.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <cmath>

namespace {

constexpr const char* mode_names[] = {"sign", "verify", "sign+verify"};
constexpr const char* outcome_names[] = {"none",   "pass",     "fail",
                                         "sealed", "deferred", "unprocessed"};
static_assert(std::size(outcome_names) == arcf_outcome_count, "one name per arcf_outcome");
constexpr const char* lookup_names[] = {"found", "notfound", "error", "invalid"};
static_assert(std::size(lookup_names) == arcf_lookup_count, "one name per arcf_lookup");
constexpr const char* dnssec_names[] = {"secure", "insecure", "bogus", "none"};
static_assert(std::size(dnssec_names) == arcf_dnssec_count, "one name per arcf_dnssec");

constexpr auto relaxed = std::memory_order_relaxed;

// Appends the HELP and TYPE lines of one metric.
bool header(arcf_dstring* out, const char* name, const char* type, const char* help) noexcept {
    return arcf_dstring_printf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type) !=
           static_cast<size_t>(-1);
}

// True when an arcf_dstring_printf() result says the text was appended.
bool grew(size_t result) noexcept {
    return result != static_cast<size_t>(-1);
}

}  // namespace

// ---- Counting ----

void arcf_histogram::observe(double seconds) noexcept {
    if (!(seconds >= 0)) {  // also NaN
        seconds = 0;
    }
    std::size_t i = 0;
    while (i < bounds.size() && seconds > bounds[i]) {
        ++i;
    }
    buckets_[i].fetch_add(1, relaxed);
    // Sums beyond 584 years of latency would wrap; that is not a concern.
    sum_ns_.fetch_add(static_cast<uint64_t>(std::llround(seconds * 1e9)), relaxed);
}

bool arcf_histogram::render(arcf_dstring* out, std::string_view name) const noexcept {
    const int n = static_cast<int>(name.size());
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        cumulative += buckets_[i].load(relaxed);
        if (!grew(arcf_dstring_printf(out, "%.*s_bucket{le=\"%g\"} %llu\n", n, name.data(),
                                      bounds[i], static_cast<unsigned long long>(cumulative)))) {
            return false;
        }
    }
    cumulative += buckets_[bounds.size()].load(relaxed);
    const double sum = static_cast<double>(sum_ns_.load(relaxed)) / 1e9;
    // _count equals the +Inf bucket because both come from the same reads.
    return grew(arcf_dstring_printf(out, "%.*s_bucket{le=\"+Inf\"} %llu\n", n, name.data(),
                                    static_cast<unsigned long long>(cumulative))) &&
           grew(arcf_dstring_printf(out, "%.*s_sum %.9g\n", n, name.data(), sum)) &&
           grew(arcf_dstring_printf(out, "%.*s_count %llu\n", n, name.data(),
                                    static_cast<unsigned long long>(cumulative)));
}

void arcf_metrics::count_message(int mode, arcf_outcome outcome) noexcept {
    if (mode < 1 || mode > 3) {
        return;
    }
    messages_[mode - 1][static_cast<unsigned>(outcome)].fetch_add(1, relaxed);
}

void arcf_metrics::count_lookup(arcf_lookup result, arcf_dnssec dnssec, double seconds) noexcept {
    lookups_[static_cast<unsigned>(result)][static_cast<unsigned>(dnssec)].fetch_add(1, relaxed);
    lookup_time_.observe(seconds);
}

void arcf_metrics::count_key_cache(bool hit) noexcept {
    cache_[hit ? 0 : 1].fetch_add(1, relaxed);
}

void arcf_metrics::count_reload(bool done) noexcept {
    reloads_[done ? 0 : 1].fetch_add(1, relaxed);
}

// ---- Rendering ----

bool arcf_metrics::render(arcf_dstring* out) const noexcept {
    arcf_dstring_blank(out);
    bool ok = header(out, "velmora_messages_total", "counter",
                     "Messages the filter finished, by mode and outcome.");
    for (std::size_t m = 0; ok && m < std::size(mode_names); ++m) {
        for (std::size_t o = 0; ok && o < arcf_outcome_count; ++o) {
            ok = grew(arcf_dstring_printf(
                out, "velmora_messages_total{mode=\"%s\",outcome=\"%s\"} %llu\n", mode_names[m],
                outcome_names[o], static_cast<unsigned long long>(messages_[m][o].load(relaxed))));
        }
    }
    ok = ok && header(out, "velmora_key_lookups_total", "counter",
                      "Key record lookups, by result and DNSSEC state of the answer.");
    for (std::size_t r = 0; ok && r < arcf_lookup_count; ++r) {
        for (std::size_t d = 0; ok && d < arcf_dnssec_count; ++d) {
            ok = grew(arcf_dstring_printf(
                out, "velmora_key_lookups_total{result=\"%s\",dnssec=\"%s\"} %llu\n",
                lookup_names[r], dnssec_names[d],
                static_cast<unsigned long long>(lookups_[r][d].load(relaxed))));
        }
    }
    ok = ok &&
         header(out, "velmora_key_lookup_seconds", "histogram",
                "Time spent on one key record lookup.") &&
         lookup_time_.render(out, "velmora_key_lookup_seconds") &&
         header(out, "velmora_validation_seconds", "histogram",
                "Time spent completing the validation of one message's chain.") &&
         validation_.render(out, "velmora_validation_seconds") &&
         header(out, "velmora_sealing_seconds", "histogram",
                "Time spent computing the new ARC set of one message.") &&
         sealing_.render(out, "velmora_sealing_seconds") &&
         header(out, "velmora_key_cache_hits_total", "counter",
                "Public keys found in the key cache.") &&
         grew(arcf_dstring_printf(out, "velmora_key_cache_hits_total %llu\n",
                                  static_cast<unsigned long long>(cache_[0].load(relaxed)))) &&
         header(out, "velmora_key_cache_misses_total", "counter",
                "Public keys not found in the key cache.") &&
         grew(arcf_dstring_printf(out, "velmora_key_cache_misses_total %llu\n",
                                  static_cast<unsigned long long>(cache_[1].load(relaxed)))) &&
         header(out, "velmora_reloads_total", "counter",
                "Configuration reloads, by whether the new configuration was taken.") &&
         grew(arcf_dstring_printf(out, "velmora_reloads_total{result=\"done\"} %llu\n",
                                  static_cast<unsigned long long>(reloads_[0].load(relaxed)))) &&
         grew(arcf_dstring_printf(out, "velmora_reloads_total{result=\"refused\"} %llu\n",
                                  static_cast<unsigned long long>(reloads_[1].load(relaxed))));
    return ok;
}

const char* arcf_lookup_name(arcf_lookup result) noexcept {
    return lookup_names[static_cast<unsigned>(result)];
}

const char* arcf_dnssec_name(arcf_dnssec state) noexcept {
    return dnssec_names[static_cast<unsigned>(state)];
}

arcf_metrics& arcf_metrics_global() noexcept {
    static constinit arcf_metrics registry;
    return registry;
}

double arcf_metrics_since(const struct timespec& start) noexcept {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// ---- The HTTP endpoint ----

namespace {

// Reads a decimal port of 0 to 65535 that fills all of `text`.
bool parse_port(std::string_view text, in_port_t* port) noexcept {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) {
        return false;
    }
    *port = htons(static_cast<in_port_t>(value));
    return true;
}

}  // namespace

bool arcf_metrics_listen_parse(const char* spec, struct sockaddr_storage* addr, socklen_t* addrlen,
                               char* err, size_t errlen) noexcept {
    assert(spec != NULL);
    assert(addr != NULL);
    assert(addrlen != NULL);
    const std::string_view text{spec};
    // A port alone ("9466" or ":9466") listens on loopback only: the
    // endpoint has no authentication, so no address is opened by accident.
    if (const std::string_view port = text.substr(text.starts_with(':') ? 1 : 0);
        !port.empty() && port.find_first_not_of("0123456789") == std::string_view::npos) {
        in_port_t port_n = 0;
        if (!parse_port(port, &port_n)) {
            snprintf(err, errlen, "\"%s\": the port is not a number from 0 to 65535", spec);
            return false;
        }
        memset(addr, 0, sizeof *addr);
        auto* sin = reinterpret_cast<struct sockaddr_in*>(addr);
        sin->sin_family = AF_INET;
        sin->sin_port = port_n;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *addrlen = sizeof *sin;
        return true;
    }
    const bool v6 = text.starts_with('[');
    const std::size_t colon = v6 ? text.find("]:") : text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || (v6 && colon == 1)) {
        snprintf(err, errlen, "\"%s\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT", spec);
        return false;
    }
    const std::string_view host = v6 ? text.substr(1, colon - 1) : text.substr(0, colon);
    const std::string_view port = text.substr(colon + (v6 ? 2 : 1));
    char host_buf[INET6_ADDRSTRLEN + 1];
    in_port_t port_n = 0;
    if (!parse_port(port, &port_n)) {
        snprintf(err, errlen, "\"%s\": the port is not a number from 0 to 65535", spec);
        return false;
    }
    if (host.size() >= sizeof host_buf) {
        snprintf(err, errlen, "\"%s\": the address is too long", spec);
        return false;
    }
    memcpy(host_buf, host.data(), host.size());
    host_buf[host.size()] = '\0';
    memset(addr, 0, sizeof *addr);
    if (v6) {
        auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(addr);
        if (inet_pton(AF_INET6, host_buf, &sin6->sin6_addr) != 1) {
            snprintf(err, errlen, "\"%s\": \"%s\" is not an IPv6 address", spec, host_buf);
            return false;
        }
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = port_n;
        *addrlen = sizeof *sin6;
    } else {
        auto* sin = reinterpret_cast<struct sockaddr_in*>(addr);
        if (inet_pton(AF_INET, host_buf, &sin->sin_addr) != 1) {
            snprintf(err, errlen, "\"%s\": \"%s\" is not an IPv4 address (write IPv6 as [ADDRESS])",
                     spec, host_buf);
            return false;
        }
        sin->sin_family = AF_INET;
        sin->sin_port = port_n;
        *addrlen = sizeof *sin;
    }
    return true;
}

struct arcf_metrics_server {
    MHD_Daemon* srv_daemon;            // owns: the server and its listening socket
    const arcf_metrics* srv_registry;  // borrows
    unsigned srv_port;                 // the bound port
};

namespace {

constexpr char content_type[] = "text/plain; version=0.0.4; charset=utf-8";

// Queues a fixed text answer.
MHD_Result answer_text(MHD_Connection* conn, unsigned status, const char* text) noexcept {
    MHD_Response* resp = MHD_create_response_from_buffer(strlen(text), const_cast<char*>(text),
                                                         MHD_RESPMEM_PERSISTENT);
    if (resp == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(resp, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result r = MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    return r;
}

// Answers one request: the registry at /metrics, 404 elsewhere, 405 for
// methods other than GET and HEAD.
MHD_Result answer(void* cls, MHD_Connection* conn, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload_data*/,
                  size_t* /*upload_data_size*/, void** /*con_cls*/) noexcept {
    const auto* srv = static_cast<const arcf_metrics_server*>(cls);
    if (strcmp(url, "/metrics") != 0) {
        return answer_text(conn, MHD_HTTP_NOT_FOUND, "not found; try /metrics\n");
    }
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return answer_text(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    }
    arcf_dstring_ptr body{arcf_dstring_new(8192, 0)};
    if (!body || !srv->srv_registry->render(body.get())) {
        return answer_text(conn, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
    MHD_Response* resp =
        MHD_create_response_from_buffer(static_cast<size_t>(arcf_dstring_len(body.get())),
                                        arcf_dstring_get(body.get()), MHD_RESPMEM_MUST_COPY);
    if (resp == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    const MHD_Result r = MHD_queue_response(conn, MHD_HTTP_OK, resp);
    MHD_destroy_response(resp);
    return r;
}

// Opens a listening socket on addr; -1 with the reason in err.
int open_listener(const char* spec, const struct sockaddr_storage& addr, socklen_t addrlen,
                  char* err, size_t errlen) noexcept {
    unique_fd fd{arcf_socket_cloexec(addr.ss_family, SOCK_STREAM, true)};
    if (!fd) {
        snprintf(err, errlen, "%s: socket(): %s", spec, strerror(errno));
        return -1;
    }
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (addr.ss_family == AF_INET6) {
        // "[::]:PORT" then means IPv6 only, as written.
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (bind(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr), addrlen) != 0) {
        snprintf(err, errlen, "%s: bind(): %s", spec, strerror(errno));
        return -1;
    }
    if (listen(fd.get(), 64) != 0) {
        snprintf(err, errlen, "%s: listen(): %s", spec, strerror(errno));
        return -1;
    }
    return fd.release();
}

// Returns the port fd is bound to.
unsigned bound_port(int fd) noexcept {
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
        return 0;
    }
    if (ss.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&ss)->sin6_port);
    }
    return ntohs(reinterpret_cast<const struct sockaddr_in*>(&ss)->sin_port);
}

}  // namespace

arcf_metrics_server* arcf_metrics_start(const char* spec, const arcf_metrics* registry, char* err,
                                        size_t errlen) noexcept {
    assert(spec != NULL);
    assert(registry != NULL);
    struct sockaddr_storage addr;
    socklen_t addrlen = 0;
    if (!arcf_metrics_listen_parse(spec, &addr, &addrlen, err, errlen)) {
        return nullptr;
    }
    calloc_ptr<arcf_metrics_server> srv{
        static_cast<arcf_metrics_server*>(calloc(1, sizeof(arcf_metrics_server)))};
    if (!srv) {
        snprintf(err, errlen, "calloc(): %s", strerror(errno));
        return nullptr;
    }
    unique_fd fd{open_listener(spec, addr, addrlen, err, errlen)};
    if (!fd) {
        return nullptr;
    }
    srv->srv_registry = registry;
    srv->srv_port = bound_port(fd.get());
    // epoll (MHD_USE_AUTO) rather than select(): the filter may hold more
    // descriptors than select() can watch. Scrapes are small, rare and quick;
    // whoever opens connections and sends nothing (or very slowly) must not
    // keep the scraper out: few connections per address, little memory each,
    // and a short time-out.
    srv->srv_daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr, answer, srv.get(),
        MHD_OPTION_LISTEN_SOCKET, fd.get(), MHD_OPTION_CONNECTION_LIMIT,
        ARCF_METRICS_MAX_CONNECTIONS, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        ARCF_METRICS_MAX_PER_ADDRESS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(ARCF_METRICS_CONNECTION_MEMORY), MHD_OPTION_CONNECTION_TIMEOUT,
        ARCF_METRICS_TIMEOUT, MHD_OPTION_END);
    if (srv->srv_daemon == nullptr) {
        snprintf(err, errlen, "%s: the HTTP server did not start", spec);
        return nullptr;
    }
    fd.release();  // the server closes it when stopped
    return srv.release();
}

unsigned arcf_metrics_port(const arcf_metrics_server* srv) noexcept {
    assert(srv != NULL);
    return srv->srv_port;
}

void arcf_metrics_stop(arcf_metrics_server* srv) noexcept {
    if (srv == nullptr) {
        return;
    }
    MHD_stop_daemon(srv->srv_daemon);
    free(srv);
}
