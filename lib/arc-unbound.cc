// SPDX-License-Identifier: BSD-2-Clause
// arc-unbound.cc - the caching, validating resolver adapter over libunbound.
//
// One unbound context serves a library handle and every thread using it.
// Queries are asynchronous: "start" hands the question to the context's
// background thread and returns; "wait" waits for this query's answer or for
// its time limit, whichever comes first. Results come back through the
// context's file descriptor and ub_process(), which runs the callbacks of
// whatever queries are done; so one waiting thread at a time reads it (the
// poller), and the others sleep on a condition variable until their own query
// is done, the poller hands over, or their limit passes.
// In front of the context sits a small answer cache of the service's own:
// handing a query to the context's thread and reading its result back costs
// more than checking the keys' signatures, so a repeated lookup is answered
// from a copy of the reply, kept no longer than the TTL libunbound gave it.
// Memory:  libcrypto's allocator for the service, the query handles and the
//          cached replies; libunbound's own for its results, freed with
//          ub_resolve_free().
// Errors:  -1 from the operations; the reason text, where there is one, stays
//          in the query handle (arc_ub_reason) for the key lookup to word.
// Threads: any number; the service lock guards every query's state and the
//          poller role. libunbound's callbacks run on the polling thread and
//          take the service lock; no libunbound call is made while holding it.
//          The cache lock guards the answer cache and is never held together
//          with the service lock.
#include "arc-unbound.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unbound.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include <openssl/crypto.h>

#include "arc.h"

namespace {

using steady = std::chrono::steady_clock;

// Longest single wait on the context's descriptor, so that a poller whose
// query is done late still hands over in good time.
constexpr auto poll_slice = std::chrono::milliseconds{100};

constexpr int rcode_servfail = 2;
constexpr int rcode_nxdomain = 3;

// Room of the answer cache: a few dozen sealers cover most of the mail a site
// receives; the least recently used answer makes room.
constexpr size_t answer_cache_size = 64;
// Largest reply kept: key records with their signatures fit easily.
constexpr size_t answer_cache_max_reply = 4096;

// One reply of the answer cache; a slot with an empty name is free.
struct cached_answer {
    char name[256] = {};              // the query name in lower case
    int type = 0;                     // the query type
    steady::time_point expires{};     // the reply's TTL ends
    steady::time_point used{};        // last hit, for the eviction
    int dnssec = ARC_DNSSEC_UNKNOWN;  // outcome of the validation
    unsigned char* reply = nullptr;   // owns (libcrypto)
    size_t len = 0;
};

}  // namespace

struct arc_ub_qhandle;

// The resolver service of one library handle. Built in libcrypto memory; the
// lock and the condition variable are constructed in place.
struct arc_ub_service {
    ub_ctx* ctx = nullptr;                // owns
    bool validating = false;              // a trust anchor is configured
    std::mutex lock;                      // guards everything below and every query's state
    std::condition_variable changed;      // a query is done, or the poller left
    bool polling = false;                 // a waiting thread reads the context
    arc_ub_qhandle* abandoned = nullptr;  // owns: cancelled queries still running
    std::mutex cache_lock;                // guards the answer cache below
    cached_answer cache[answer_cache_size];
    unsigned long cache_hits = 0;
};

// One query. Allocated by arc_ub_query, freed by arc_ub_cancel or, when it is
// cancelled while libunbound may still answer it, by the callback.
struct arc_ub_qhandle {
    arc_ub_service* srv = nullptr;  // borrows
    int async_id = 0;
    bool done = false;             // the callback has run
    bool abandoned = false;        // cancelled; the callback frees it
    int err = 0;                   // libunbound's error code of the callback
    ub_result* result = nullptr;   // owns
    unsigned char* buf = nullptr;  // borrows: the caller's reply buffer
    size_t buflen = 0;
    char reason[256] = {};           // why the query failed or is bogus
    arc_ub_qhandle* next = nullptr;  // in srv->abandoned
    char name[256] = {};             // the query name in lower case, "" when too long
    int type = 0;                    // the query type
    bool cached = false;             // answered from the cache: the reply is in buf
    size_t cached_len = 0;           // its length
    int cached_dnssec = ARC_DNSSEC_UNKNOWN;
};

namespace {

void free_query(arc_ub_qhandle* q) noexcept {
    if (q->result != nullptr) {
        ub_resolve_free(q->result);
    }
    q->~arc_ub_qhandle();
    OPENSSL_free(q);
}

// Removes q from the service's list of abandoned queries (lock held).
void unlink_abandoned(arc_ub_service* srv, arc_ub_qhandle* q) noexcept {
    for (arc_ub_qhandle** p = &srv->abandoned; *p != nullptr; p = &(*p)->next) {
        if (*p == q) {
            *p = q->next;
            return;
        }
    }
}

// libunbound's callback: runs on the polling thread, inside ub_process().
void on_result(void* arg, int err, ub_result* result) noexcept {
    arc_ub_deliver(arg, err, result);
}

void set_text(char* err, size_t errlen, const char* what, const char* detail) noexcept {
    if (err != nullptr && errlen > 0) {
        std::snprintf(err, errlen, "%s: %s", what, detail);
    }
}

// Copies the query name into q in lower case; leaves it empty (not cached)
// when it does not fit.
void keep_name(arc_ub_qhandle* q, const char* name, int type) noexcept {
    const size_t len = name != nullptr ? std::strlen(name) : sizeof q->name;
    if (len >= sizeof q->name) {
        return;
    }
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        q->name[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    q->name[len] = '\0';
    q->type = type;
}

// Answers q from the cache when it holds a live reply for its question.
bool answer_from_cache(arc_ub_service* srv, arc_ub_qhandle* q) noexcept {
    if (q->name[0] == '\0') {
        return false;
    }
    const auto now = steady::now();
    std::lock_guard<std::mutex> guard{srv->cache_lock};
    for (cached_answer& a : srv->cache) {
        if (a.type != q->type || std::strcmp(a.name, q->name) != 0) {
            continue;
        }
        if (now >= a.expires) {
            return false;  // the slot is taken again by the fresh answer
        }
        const size_t kept = std::min(a.len, q->buflen);
        std::memcpy(q->buf, a.reply, kept);
        q->cached_len = kept;
        q->cached_dnssec = a.dnssec;
        q->cached = true;
        q->done = true;
        a.used = now;
        ++srv->cache_hits;
        return true;
    }
    return false;
}

// Keeps a copy of a finished query's reply for the TTL libunbound gave it:
// answers and NXDOMAIN that validated or needed no validation. Bogus answers
// and failures are asked again (libunbound keeps its own record of them).
void remember(arc_ub_service* srv, const arc_ub_qhandle* q, int dnssec) noexcept {
    const ub_result* r = q->result;
    if (q->name[0] == '\0' || r == nullptr || r->bogus != 0 || r->ttl <= 0 ||
        (r->rcode != 0 && r->rcode != rcode_nxdomain) || r->answer_len <= 0 ||
        static_cast<size_t>(r->answer_len) > answer_cache_max_reply) {
        return;
    }
    const auto len = static_cast<size_t>(r->answer_len);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(len));
    if (copy == nullptr) {
        return;  // the next lookup asks libunbound again
    }
    std::memcpy(copy, r->answer_packet, len);
    const auto now = steady::now();
    unsigned char* old = nullptr;
    {
        std::lock_guard<std::mutex> guard{srv->cache_lock};
        // The same question (a lookup that raced this one, or an expired
        // copy), else a free slot, else the least recently used one.
        cached_answer* same = nullptr;
        cached_answer* free_slot = nullptr;
        cached_answer* oldest = nullptr;
        for (cached_answer& a : srv->cache) {
            if (a.name[0] == '\0') {
                free_slot = free_slot != nullptr ? free_slot : &a;
            } else if (a.type == q->type && std::strcmp(a.name, q->name) == 0) {
                same = &a;
                break;
            } else if (oldest == nullptr || a.used < oldest->used) {
                oldest = &a;
            }
        }
        cached_answer* slot = same != nullptr ? same : free_slot != nullptr ? free_slot : oldest;
        old = slot->reply;
        std::memcpy(slot->name, q->name, sizeof slot->name);
        slot->type = q->type;
        slot->expires = now + std::chrono::seconds{r->ttl};
        slot->used = now;
        slot->dnssec = dnssec;
        slot->reply = copy;
        slot->len = len;
    }
    OPENSSL_free(old);
}

// libunbound parses the trust anchors only when it answers its first
// question, and a file it cannot parse then fails every lookup. Ask it one
// question that a zone of its own answers, without any traffic, so that a
// bad file is refused while the caller can still say so. Returns 0 or a
// libunbound error (UB_INITFAIL for anchors it refused).
int check_anchors(ub_ctx* ctx) noexcept {
    int rc = ub_ctx_set_option(ctx, "local-zone:", "velmora-anchor-check.invalid. static");
    if (rc != 0) {
        return rc;
    }
    ub_result* r = nullptr;
    rc = ub_resolve(ctx, "velmora-anchor-check.invalid.", 1, 1, &r);
    if (r != nullptr) {
        ub_resolve_free(r);
    }
    return rc;
}

// Reads the context's results once: waits up to `slice` for its descriptor,
// then runs the callbacks of the finished queries.
void poll_context(arc_ub_service* srv, steady::duration slice) noexcept {
    const int fd = ub_fd(srv->ctx);
    pollfd pfd{fd, POLLIN, 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(slice).count();
    if (fd >= 0 && poll(&pfd, 1, static_cast<int>(std::max<long long>(ms, 0))) > 0) {
        (void)ub_process(srv->ctx);
    }
}

// Fills the caller's outputs from a finished query; returns the wait result.
int finish(arc_ub_qhandle* q, size_t* bytes, int* dnssec) noexcept {
    if (q->cached) {
        if (bytes != nullptr) {
            *bytes = q->cached_len;
        }
        if (dnssec != nullptr) {
            *dnssec = q->cached_dnssec;
        }
        return 0;
    }
    const ub_result* r = q->result;
    if (q->err != 0 || r == nullptr) {
        std::snprintf(q->reason, sizeof q->reason, "%s",
                      ub_strerror(q->err != 0 ? q->err : UB_NOMEM));
        return -1;
    }
    const int outcome = r->secure != 0       ? ARC_DNSSEC_SECURE
                        : r->bogus != 0      ? ARC_DNSSEC_BOGUS
                        : q->srv->validating ? ARC_DNSSEC_INSECURE
                                             : ARC_DNSSEC_UNKNOWN;
    if (dnssec != nullptr) {
        *dnssec = outcome;
    }
    if (r->bogus != 0) {
        std::snprintf(q->reason, sizeof q->reason, "%s",
                      r->why_bogus != nullptr ? r->why_bogus : "validation failed");
        return 0;
    }
    if (r->rcode == rcode_servfail) {
        std::snprintf(q->reason, sizeof q->reason, "SERVFAIL");
        return -1;
    }
    const size_t n = r->answer_len > 0 ? static_cast<size_t>(r->answer_len) : 0;
    const size_t kept = std::min(n, q->buflen);
    if (kept > 0) {
        std::memcpy(q->buf, r->answer_packet, kept);
    }
    if (bytes != nullptr) {
        *bytes = kept;
    }
    remember(q->srv, q, outcome);
    return 0;
}

}  // namespace

void arc_ub_deliver(void* qh, int err, ub_result* result) noexcept {
    auto* q = static_cast<arc_ub_qhandle*>(qh);
    arc_ub_service* srv = q->srv;
    std::unique_lock<std::mutex> guard{srv->lock};
    if (q->abandoned) {
        unlink_abandoned(srv, q);
        guard.unlock();
        if (result != nullptr) {
            ub_resolve_free(result);
        }
        free_query(q);
        return;
    }
    q->err = err;
    q->result = result;
    q->done = true;
    srv->changed.notify_all();
}

void* arc_ub_make_query(void* srvp, const char* name, int type, unsigned char* buf,
                        size_t buflen) noexcept {
    void* mem = OPENSSL_zalloc(sizeof(arc_ub_qhandle));
    if (mem == nullptr) {
        return nullptr;
    }
    auto* q = new (mem) arc_ub_qhandle;
    q->srv = static_cast<arc_ub_service*>(srvp);
    q->buf = buf;
    q->buflen = buflen;
    keep_name(q, name, type);
    return q;
}

int arc_ub_create(const char* conffile, const char* trustanchors, arc_ub_service** out, char* err,
                  size_t errlen) noexcept {
    assert(out != NULL);
    void* mem = OPENSSL_zalloc(sizeof(arc_ub_service));
    if (mem == nullptr) {
        set_text(err, errlen, "resolver", "out of memory");
        return -1;
    }
    auto* srv = new (mem) arc_ub_service;
    srv->ctx = ub_ctx_create();
    if (srv->ctx == nullptr) {
        set_text(err, errlen, "resolver", "cannot create the unbound context");
        arc_ub_close(srv);
        return -1;
    }
    // Threads, not the forked helper process libunbound uses by default; and a
    // forwarder on the loopback (a local cache) is allowed.
    int rc = ub_ctx_async(srv->ctx, 1);
    if (rc == 0) {
        rc = ub_ctx_set_option(srv->ctx, "do-not-query-localhost:", "no");
    }
    if (rc != 0) {
        set_text(err, errlen, "resolver", ub_strerror(rc));
        arc_ub_close(srv);
        return -1;
    }
    rc = conffile != nullptr ? ub_ctx_config(srv->ctx, conffile)
                             : ub_ctx_resolvconf(srv->ctx, "/etc/resolv.conf");
    if (rc != 0) {
        set_text(err, errlen, conffile != nullptr ? conffile : "/etc/resolv.conf", ub_strerror(rc));
        arc_ub_close(srv);
        return -1;
    }
    if (trustanchors != nullptr) {
        // libunbound reads the anchors only at the first query; a file that
        // cannot be read is refused here, while the caller can still say so.
        // Opened so that a FIFO or device there cannot make the start wait.
        const int fd = open(trustanchors, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            set_text(err, errlen, trustanchors,
                     fd < 0 ? std::strerror(errno) : "Not a regular file");
            if (fd >= 0) {
                close(fd);
            }
            arc_ub_close(srv);
            return -1;
        }
        close(fd);
        rc = ub_ctx_add_ta_file(srv->ctx, trustanchors);
        if (rc == 0) {
            rc = check_anchors(srv->ctx);
        }
        if (rc != 0) {
            set_text(err, errlen, trustanchors,
                     rc == UB_INITFAIL ? "the resolver cannot use these trust anchors"
                                       : ub_strerror(rc));
            arc_ub_close(srv);
            return -1;
        }
        srv->validating = true;
    }
    *out = srv;
    return 0;
}

void arc_ub_close(void* srvp) noexcept {
    auto* srv = static_cast<arc_ub_service*>(srvp);
    if (srv == nullptr) {
        return;
    }
    // Deleting the context stops its thread; no callback runs afterwards.
    if (srv->ctx != nullptr) {
        ub_ctx_delete(srv->ctx);
    }
    while (srv->abandoned != nullptr) {
        arc_ub_qhandle* q = srv->abandoned;
        srv->abandoned = q->next;
        free_query(q);
    }
    for (cached_answer& a : srv->cache) {
        OPENSSL_free(a.reply);
    }
    srv->~arc_ub_service();
    OPENSSL_free(srv);
}

int arc_ub_query(void* srvp, int type, const unsigned char* query, unsigned char* buf,
                 size_t buflen, void** qh) noexcept {
    auto* srv = static_cast<arc_ub_service*>(srvp);
    if (srv == nullptr || query == nullptr || buf == nullptr || qh == nullptr) {
        return -1;
    }
    auto* q = static_cast<arc_ub_qhandle*>(
        arc_ub_make_query(srv, reinterpret_cast<const char*>(query), type, buf, buflen));
    if (q == nullptr) {
        return -1;
    }
    if (answer_from_cache(srv, q)) {
        *qh = q;
        return 0;
    }
    // The callback may run on another thread before this call returns; it only
    // touches q under the service lock, and q is not handed out before then.
    if (ub_resolve_async(srv->ctx, reinterpret_cast<const char*>(query), type, 1, q, on_result,
                         &q->async_id) != 0) {
        free_query(q);
        return -1;
    }
    *qh = q;
    return 0;
}

int arc_ub_cancel(void* srvp, void* qh) noexcept {
    auto* srv = static_cast<arc_ub_service*>(srvp);
    auto* q = static_cast<arc_ub_qhandle*>(qh);
    if (q == nullptr) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard{srv->lock};
        if (q->done) {
            free_query(q);
            return 0;
        }
    }
    // ub_cancel fails when the answer is being delivered right now; then the
    // callback is on its way and frees the abandoned query itself.
    const int rc = ub_cancel(srv->ctx, q->async_id);
    std::unique_lock<std::mutex> guard{srv->lock};
    if (rc == 0 || q->done) {
        guard.unlock();
        free_query(q);
        return 0;
    }
    q->abandoned = true;
    q->next = srv->abandoned;
    srv->abandoned = q;
    return 0;
}

int arc_ub_waitreply(void* srvp, void* qh, struct timeval* to, size_t* bytes, int* error,
                     int* dnssec) noexcept {
    assert(qh != NULL);
    auto* srv = static_cast<arc_ub_service*>(srvp);
    auto* q = static_cast<arc_ub_qhandle*>(qh);
    if (bytes != nullptr) {
        *bytes = 0;
    }
    if (error != nullptr) {
        *error = 0;
    }
    if (dnssec != nullptr) {
        *dnssec = ARC_DNSSEC_UNKNOWN;
    }
    const bool limited = to != nullptr;
    const steady::time_point deadline = limited ? steady::now() + std::chrono::seconds{to->tv_sec} +
                                                      std::chrono::microseconds{to->tv_usec}
                                                : steady::time_point::max();
    std::unique_lock<std::mutex> guard{srv->lock};
    while (!q->done) {
        const auto now = steady::now();
        if (now >= deadline) {
            return 2;
        }
        const auto slice = std::min<steady::duration>(deadline - now, poll_slice);
        if (srv->polling) {
            srv->changed.wait_for(guard, slice);
            continue;
        }
        srv->polling = true;
        guard.unlock();
        poll_context(srv, slice);
        guard.lock();
        srv->polling = false;
        srv->changed.notify_all();  // another waiter may take over
    }
    guard.unlock();
    const int rc = finish(q, bytes, dnssec);
    if (error != nullptr) {
        *error = q->err;
    }
    return rc;
}

size_t arc_ub_cache_entries(void* srvp, unsigned long* hits) noexcept {
    auto* srv = static_cast<arc_ub_service*>(srvp);
    std::lock_guard<std::mutex> guard{srv->cache_lock};
    if (hits != nullptr) {
        *hits = srv->cache_hits;
    }
    return static_cast<size_t>(
        std::count_if(std::begin(srv->cache), std::end(srv->cache),
                      [](const cached_answer& a) { return a.name[0] != '\0'; }));
}

const char* arc_ub_reason(void* qh) noexcept {
    const auto* q = static_cast<const arc_ub_qhandle*>(qh);
    return q != nullptr && q->reason[0] != '\0' ? q->reason : nullptr;
}

ARC_STAT arc_dns_unbound(arc_library* lib, const char* conffile, const char* trustanchors,
                         char* err, size_t errlen) noexcept {
    assert(lib != NULL);
    arc_ub_service* srv = nullptr;
    if (arc_ub_create(conffile, trustanchors, &srv, err, errlen) != 0) {
        return ARC_STAT_KEYFAIL;
    }
    if (lib->arc_dns_service != nullptr && lib->arc_dns_close != nullptr) {
        lib->arc_dns_close(lib->arc_dns_service);
    }
    // The service exists from now on, so no lookup ever runs an init.
    lib->arc_dns_service = srv;
    lib->arc_dns_ready = true;
    lib->arc_dns_init = nullptr;
    lib->arc_dns_close = arc_ub_close;
    lib->arc_dns_start = arc_ub_query;
    lib->arc_dns_cancel = arc_ub_cancel;
    lib->arc_dns_waitreply = arc_ub_waitreply;
    return ARC_STAT_OK;
}
