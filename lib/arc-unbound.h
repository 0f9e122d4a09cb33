// SPDX-License-Identifier: BSD-2-Clause
// arc-unbound.h - the caching, validating resolver adapter over libunbound.
#ifndef VELMORA_LIB_ARC_UNBOUND_H
#define VELMORA_LIB_ARC_UNBOUND_H

#include <sys/time.h>

#include <cstddef>

#include "velmora.h"

struct arc_ub_service;

// Creates the service of one library handle: an unbound context that forwards
// to the name servers of /etc/resolv.conf (conffile null) or is set up by an
// unbound configuration file, with DNSSEC validation against the trust anchors
// of trustanchors (null: no validation; a file libunbound cannot read or
// parse is refused here, not at the first lookup). Answers are cached for their TTL,
// negative ones too, and repeated lookups are answered from a small cache of
// replies in front of the context, each kept no longer than its TTL. On success *out owns the
// service (free it with arc_ub_close) and 0 is returned; on failure -1 with the reason in err (cut
// to errlen - 1 characters).
int arc_ub_create(const char* conffile, const char* trustanchors, arc_ub_service** out, char* err,
                  size_t errlen) noexcept;

// The resolver operations of the library handle (see arc.h). "wait" returns 0
// with the reply in the buffer, 2 when the time limit passed first, -1 when
// the query failed (SERVFAIL, or libunbound's own failure); *dnssec receives an
// ARC_DNSSEC_* outcome. "cancel" may be called at any time and frees the query.
// Every operation may be used by many threads at once.
void arc_ub_close(void* srv) noexcept;
int arc_ub_query(void* srv, int type, const unsigned char* query, unsigned char* buf, size_t buflen,
                 void** qh) noexcept;
int arc_ub_cancel(void* srv, void* qh) noexcept;
int arc_ub_waitreply(void* srv, void* qh, struct timeval* to, size_t* bytes, int* error,
                     int* dnssec) noexcept;

// The two halves of a query, for the resolver and for the fuzz target: a new
// query handle for the question (name, type) and the reply buffer buf (as
// "start" makes it, without asking the cache; null when memory runs out),
// and the delivery of libunbound's result to it (as the callback does; the
// handle owns the result from then on, and "wait" keeps a cacheable reply).
void* arc_ub_make_query(void* srv, const char* name, int type, unsigned char* buf,
                        size_t buflen) noexcept;
void arc_ub_deliver(void* qh, int err, struct ub_result* result) noexcept;

// How many replies the service's answer cache holds now (at most 64), and in
// *hits (when not null) how many lookups it has answered so far.
size_t arc_ub_cache_entries(void* srv, unsigned long* hits) noexcept;

// Why a query that "wait" marked ARC_DNSSEC_BOGUS or failed did so, or null.
// The text belongs to the query handle.
const char* arc_ub_reason(void* qh) noexcept;

#endif  // VELMORA_LIB_ARC_UNBOUND_H
