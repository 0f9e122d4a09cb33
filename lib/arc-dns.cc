// SPDX-License-Identifier: BSD-2-Clause
// arc-dns.cc - the default resolver adapter over the C library's stub resolver.
//
// The adapter is synchronous: "start" sends the query and receives the reply
// into the caller's buffer; "wait" only hands back what was stored. Time-outs
// and retries are those of the stub resolver and /etc/resolv.conf.
// Memory:  libcrypto's allocator only (the query handle).
// Errors:  every failure is -1, without text; the key lookup words it.
// Threads: uses the calling thread's resolver state (_res); no locks and no
//          state of its own.
#include "arc-dns.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cassert>
#include <climits>
#include <cstdint>

#include <openssl/crypto.h>

namespace {

// Size of the buffer the query is built in.
constexpr int query_buffer_size = 8204;

// Marker stored in the service handle: the resolver was initialized.
void* const service_marker = reinterpret_cast<void*>(static_cast<uintptr_t>(1));

}  // namespace

int arc_res_init(void** srv) noexcept {
    if (res_init() != 0) {
        return -1;
    }
    if (srv != nullptr) {
        *srv = service_marker;
    }
    return 0;
}

void arc_res_close(void* /*srv*/) noexcept {}

int arc_res_query(void* /*srv*/, int type, const unsigned char* query, unsigned char* buf,
                  size_t buflen, void** qh) noexcept {
    if (query == nullptr || buf == nullptr || qh == nullptr) {
        return -1;
    }
    unsigned char qbuf[query_buffer_size];
    const int qlen = res_mkquery(ns_o_query, reinterpret_cast<const char*>(query), ns_c_in, type,
                                 nullptr, 0, nullptr, qbuf, sizeof qbuf);
    if (qlen < 0) {
        return -1;
    }
    // res_send takes an int size; a larger buffer is simply used in part.
    const int anssize = buflen > INT_MAX ? INT_MAX : static_cast<int>(buflen);
    const int n = res_send(qbuf, qlen, buf, anssize);
    if (n < 0) {
        return -1;
    }
    auto* q = static_cast<arc_qhandle*>(OPENSSL_malloc(sizeof(arc_qhandle)));
    if (q == nullptr) {
        return -1;
    }
    q->qh_error = 0;
    q->qh_dnssec = -1;
    // Over TCP the stub resolver reports the length the server announced even
    // when it kept only what fits; never claim more bytes than the buffer holds.
    q->qh_anslen = static_cast<size_t>(n) > buflen ? buflen : static_cast<size_t>(n);
    *qh = q;
    return 0;
}

int arc_res_cancel(void* /*srv*/, void* qh) noexcept {
    OPENSSL_free(qh);
    return 0;
}

int arc_res_waitreply(void* /*srv*/, void* qh, struct timeval* /*to*/, size_t* bytes, int* error,
                      int* dnssec) noexcept {
    assert(qh != NULL);
    const auto* q = static_cast<const arc_qhandle*>(qh);
    if (bytes != nullptr) {
        *bytes = q->qh_anslen;
    }
    if (error != nullptr) {
        *error = q->qh_error;
    }
    if (dnssec != nullptr) {
        *dnssec = q->qh_dnssec;
    }
    return 0;
}

int arc_res_nslist(void* /*srv*/, const char* /*nslist*/) noexcept {
    return 0;
}
