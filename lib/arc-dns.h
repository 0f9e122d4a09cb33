// SPDX-License-Identifier: BSD-2-Clause
// arc-dns.h - the default resolver adapter over the C library's stub resolver.
//
// Memory:  libcrypto's allocator only (the query handles).
// Errors:  -1 without text; the key lookup words it.
// Threads: each call uses the calling thread's resolver state; no locks.
#ifndef VELMORA_LIB_ARC_DNS_H
#define VELMORA_LIB_ARC_DNS_H

#include <sys/time.h>

#include <cstddef>

// One query of the default adapter; allocated by arc_res_query, freed by
// arc_res_cancel.
struct arc_qhandle {
    int qh_error;      // always 0
    int qh_dnssec;     // always -1: no DNSSEC result
    size_t qh_anslen;  // length of the reply in the caller's buffer
};

// Initializes the calling thread's stub resolver and stores the marker 1 in
// *srv (when not null). Returns 0, or -1 when res_init() fails.
int arc_res_init(void** srv) noexcept;
// Does nothing: the adapter keeps no state.
void arc_res_close(void* srv) noexcept;
// Sends a query of `type` (class IN) for the name `query` and receives the
// reply into buf (buflen bytes) at once. On success stores a query handle,
// which the caller frees with arc_res_cancel(), and returns 0; -1 otherwise.
int arc_res_query(void* srv, int type, const unsigned char* query, unsigned char* buf,
                  size_t buflen, void** qh) noexcept;
// Frees a query handle (null is accepted). Returns 0.
int arc_res_cancel(void* srv, void* qh) noexcept;
// Stores the reply length, error code (0) and DNSSEC state (-1) of a query
// into the places that are not null; ignores the time limit. Returns 0.
int arc_res_waitreply(void* srv, void* qh, struct timeval* to, size_t* bytes, int* error,
                      int* dnssec) noexcept;
// Does nothing (the stub resolver reads its servers from resolv.conf); 0.
int arc_res_nslist(void* srv, const char* nslist) noexcept;

#endif  // VELMORA_LIB_ARC_DNS_H
