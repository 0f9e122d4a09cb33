// SPDX-License-Identifier: BSD-2-Clause
// arc-dns.h - the default resolver adapter over the C library's stub resolver
// (arc-dns.cc), and the readers of DNS replies the key lookup uses with any
// resolver (arc-dns-reply.cc).
//
// Memory:  libcrypto's allocator only (the query handles); the readers
//          allocate nothing.
// Errors:  -1 without text; the key lookup words it. The readers classify.
// Threads: each adapter call uses the calling thread's resolver state; no
//          locks. The readers are pure functions of their arguments.
#ifndef VELMORA_LIB_ARC_DNS_H
#define VELMORA_LIB_ARC_DNS_H

#include <sys/time.h>

#include <cstddef>
#include <span>

// ---- Default resolver adapter (arc-dns.cc) ----

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

// ---- Reading replies (arc-dns-reply.cc) ----

// The header counts and question section of a DNS reply.
struct arc_dns_question {
    unsigned qd_count;  // questions the header announces
    int qd_type;        // type of the last question; -1 when there is none
    int qd_class;       // class of the last question; -1 when there is none
    size_t qd_end;      // offset of the answer section in the reply
};

// The one walk over a reply's header and question section: reads the
// question count and every question, and stores the last question's type and
// class and where the answers start into *out. Returns true, or false (with
// *out untouched) when the reply is shorter than its header or a question
// runs past its end. Reads the bytes only; the caller keeps the reply.
bool arc_dns_read_question(std::span<const unsigned char> reply, arc_dns_question* out) noexcept;
// Classifies a DNS reply of anslen bytes at ansbuf for the question of class
// xclass and type xtype: 0 not truncated (or not for this question, or no such
// name), 1 truncated but well formed, 2 broken. ansbuf must not be null.
int arc_check_dns_reply(const unsigned char* ansbuf, size_t anslen, int xclass, int xtype) noexcept;
// Stores in *t the time left until the earlier of t1 and t2 (t2 may be null;
// zero when that deadline has passed), and in *which (may be null) the
// deadline chosen. t1 and t must not be null.
void arc_min_timeval(struct timeval* t1, struct timeval* t2, struct timeval* t,
                     struct timeval** which) noexcept;

#endif  // VELMORA_LIB_ARC_DNS_H
