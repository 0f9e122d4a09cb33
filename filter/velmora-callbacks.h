// SPDX-License-Identifier: BSD-2-Clause
// velmora-callbacks.h - connection and message contexts and the milter
// callbacks that libmilter (or the test harness) calls for each connection.
//
// Memory:  the C library's allocator; a connection context lives from
//          negotiate (or connect) to close, a message context from the envelope
//          sender to the next one, abort or close.
// Errors:  every callback answers a milter status; an internal fault answers
//          SMFIS_TEMPFAIL and is logged once, at the documented level.
// Threads: libmilter runs the callbacks of one connection in one thread at a
//          time and many connections at once; contexts belong to their
//          connection, shared state is reached through conf_lock.
#ifndef VELMORA_FILTER_VELMORA_CALLBACKS_H
#define VELMORA_FILTER_VELMORA_CALLBACKS_H

#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <cstddef>

#include <libmilter/mfapi.h>

#include "util.h"
#include "velmora-metrics.h"
#include "velmora.h"

struct arcf_config;

// One collected header field, in arrival order. Owned by its message context;
// one allocation holds the record and both texts, freed with free().
struct arcf_header {
    char* hdr_name;         // borrows: the field name as the MTA passed it (same allocation)
    char* hdr_value;        // borrows: the value, leading blanks removed unless leadspc
    arcf_header* hdr_next;  // borrows: the next field (the context owns the list)
};

// One arriving Authentication-Results field that claims this ADMD.
struct arcf_claim {
    int cl_idx;         // its place among the message's Authentication-Results fields, from 1
    const char* cl_id;  // borrows: the configured authserv-id claimed, or null when unreadable
};

// Longest queue ID kept; longer ones are cut.
constexpr size_t ARCF_JOBID_MAX = 127;

// One message. Made by arcf_initcontext(), freed by arcf_cleanup().
struct arcf_msgctx {
    size_t mctx_hdrbytes;                 // header bytes counted against conf_maxhdrsz
    size_t mctx_nhdrs;                    // fields collected
    char mctx_jobid[ARCF_JOBID_MAX + 1];  // the MTA's queue ID (a copy), or "(unknown-jobid)"
    bool mctx_refused;                    // the library refused the message's content
    bool mctx_nohash;                     // end of header or a body chunk failed in the library
    arcf_header* mctx_hqhead;             // owns: first collected field (and the list)
    arcf_header* mctx_hqtail;             // borrows: last collected field
    arc_msg* mctx_arcmsg;                 // owns: the library's handle, made at end of headers
    arcf_dstring* mctx_tmpstr;            // owns: scratch string, made when first needed
    bool mctx_finished;                   // the message's log line was written
    struct timespec mctx_start;           // CLOCK_MONOTONIC at the envelope sender
    char mctx_senderdomain[256];          // the envelope sender's domain, lowered, or ""
    int mctx_arcount;                     // Authentication-Results fields seen (validating)
    arcf_claim* mctx_claims;              // owns: those of them that claim this ADMD
    size_t mctx_nclaims;                  // entries of mctx_claims in use
    size_t mctx_claimcap;                 // entries of mctx_claims allocated
    const char* mctx_passwhy;             // why the message passes unprocessed, or null
};

// One connection; libmilter's private pointer. Made by negotiate (or by
// connect when the MTA does not negotiate), freed by close.
struct arcf_connctx {
    bool cctx_leadspc;                // header values keep their leading blanks
    bool cctx_chghdrs;                // the MTA lets the filter remove header fields
    bool cctx_haveip;                 // the MTA gave the client's address
    int cctx_mode;                    // ARC_MODE_SIGN and/or ARC_MODE_VERIFY
    char cctx_host[257];              // the client's host name, lowered
    struct sockaddr_storage cctx_ip;  // the client's address (127.0.0.1 when none was given)
    arcf_config* cctx_config;         // holds one reference on this record
    arcf_msgctx* cctx_msg;            // owns: the current message, or null
};

// Milter status names, indexed by the status.
extern const char* const arcf_status_names[5];

// Set until the missing-queue-ID warning has been logged once.
extern std::atomic<bool> warn_nojobid;

// The callbacks, as registered with libmilter.
sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                        unsigned long f3, unsigned long* pf0, unsigned long* pf1,
                        unsigned long* pf2, unsigned long* pf3) noexcept;
sfsistat mlfi_connect(SMFICTX* ctx, char* host, struct sockaddr* ip) noexcept;
sfsistat mlfi_envfrom(SMFICTX* ctx, char** envfrom) noexcept;
sfsistat mlfi_header(SMFICTX* ctx, char* headerf, char* headerv) noexcept;
sfsistat mlfi_eoh(SMFICTX* ctx) noexcept;
sfsistat mlfi_body(SMFICTX* ctx, unsigned char* bodyp, size_t bodylen) noexcept;
sfsistat mlfi_eom(SMFICTX* ctx) noexcept;
sfsistat mlfi_abort(SMFICTX* ctx) noexcept;
sfsistat mlfi_close(SMFICTX* ctx) noexcept;

// A new zero-filled message context for the record `conf`, or null when
// memory is short. Freed by arcf_cleanup() through the connection.
arcf_msgctx* arcf_initcontext(arcf_config* conf) noexcept;
// Frees the connection's current message context, if any, and clears
// cctx_msg. Accepts a null connection context (a session whose negotiate
// failed).
void arcf_cleanup(SMFICTX* ctx) noexcept;
// True when the connection validates: its arriving Authentication-Results
// fields that claim this ADMD are removed, on every path to acceptance.
bool arcf_validates(const arcf_connctx* cc) noexcept;
// The (n+1)-th collected field named `hname` (ignoring case), or null.
arcf_header* arcf_findheader(arcf_msgctx* afc, const char* hname, int n) noexcept;
// The library handle of the connection's current message, or null.
arc_msg* arcf_getarc(void* vp) noexcept;

// Ends a message's account: counts it in the metrics by mode and outcome and,
// when the record logs, writes its one log line with the queue ID, client
// address, mode, outcome, the reason (may be null), the sealing domain and
// selector (null when it was not sealed) and the time since the envelope
// sender. Does nothing for a message already finished.
void arcf_finish(const arcf_connctx* cc, arcf_msgctx* afc, arcf_outcome outcome, const char* reason,
                 const char* sealdomain, const char* sealselector) noexcept;

// Logs one line through arcf_log() when the record `conf` logs (conf_dolog);
// with a null record, when the process logs (dolog).
void arcf_conflog(const arcf_config* conf, int priority, const char* fmt, ...) noexcept
    __attribute__((format(printf, 3, 4)));

#endif  // VELMORA_FILTER_VELMORA_CALLBACKS_H
