// SPDX-License-Identifier: BSD-2-Clause
// arc.h - records and internal operations of the library core: the library
// handle, tag-value sets, the message handle and its header fields, public
// keys, validation and sealing. Each section names the file defining it.
//
// Memory:  libcrypto's allocator only; a message owns everything it creates,
//          the library handle its settings, resolver and key cache.
// Errors:  recorded with arc_error() in the message handle.
// Threads: none of their own; one message handle is used by one thread at a
//          time; a configured library handle is only read, apart from its
//          key cache (arc-keycache.h), which locks itself.
#ifndef VELMORA_LIB_ARC_H
#define VELMORA_LIB_ARC_H

#include <regex.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/evp.h>

#include "arc-util.h"
#include "velmora.h"

struct arc_canon;
struct arc_keycache;

// Size of the fixed text fields of the library handle (1024 characters + NUL).
inline constexpr size_t ARC_MAXPATH = 1025;

// Highest ARC instance number RFC 8617 allows.
inline constexpr unsigned ARC_MAXINSTANCES = 50;

// Phases of a message handle (arc_state).
inline constexpr int ARC_STATE_INIT = 0;
inline constexpr int ARC_STATE_HEADER = 1;
inline constexpr int ARC_STATE_EOH = 2;
inline constexpr int ARC_STATE_BODY = 3;

// Bit 0 of hdr_flags: the field is selected for signing.
inline constexpr uint32_t ARC_HDR_SIGNED = 0x01;

// ---- Library handle (arc.cc) ----

// Resolver operations of the key lookup (see arc-dns.h for the defaults).
using arc_dns_init_fn = int (*)(void** srv);
using arc_dns_close_fn = void (*)(void* srv);
using arc_dns_start_fn = int (*)(void* srv, int type, const unsigned char* query,
                                 unsigned char* buf, size_t buflen, void** qh);
using arc_dns_cancel_fn = int (*)(void* srv, void* qh);
using arc_dns_waitreply_fn = int (*)(void* srv, void* qh, struct timeval* to, size_t* bytes,
                                     int* error, int* dnssec);

// Settings shared by every message made from it. Created by arc_init(), freed
// by arc_close(). Once configured it is only read, by any number of threads,
// except for arc_keys, whose tables carry their own locks.
struct arc_library {
    bool arc_signre;             // arc_hdrre holds a compiled pattern
    uint32_t arc_flsize;         // words in arc_flist
    uint32_t arc_flags;          // ARC_LIBFLAGS_*
    uint64_t arc_fixedtime;      // time of new messages; 0 = the clock
    uint32_t arc_cbint;          // seconds between arc_dns_callback calls
    uint32_t arc_minkeybits;     // minimum RSA key size
    uint32_t* arc_flist;         // owns: feature bitmap
    arc_dstring* arc_sslerrbuf;  // owns: crypto error text (never filled)
    char** arc_oversignhdrs;     // owns: names over-signed in every AMS
    void (*arc_dns_callback)(const void* ctx);
    void* arc_dns_service;  // resolver handle, started by arc_init() (arc_dns_setup)
    bool arc_dns_ready;     // arc_dns_service was started successfully
    arc_dns_init_fn arc_dns_init;
    arc_dns_close_fn arc_dns_close;
    arc_dns_start_fn arc_dns_start;
    arc_dns_cancel_fn arc_dns_cancel;
    arc_dns_waitreply_fn arc_dns_waitreply;
    regex_t arc_hdrre;  // the sign-headers pattern
    char arc_tmpdir[ARC_MAXPATH];
    char arc_queryinfo[ARC_MAXPATH];  // key file path; non-empty selects ARC_QUERY_FILE
    uint32_t arc_dnstimeout;          // arc_timeout of new messages (ARC_OPTS_DNSTIMEOUT)
    arc_keycache* arc_keys;           // owns: parsed keys shared by the handle's messages
};

// Stops the handle's resolver service, if one runs, and starts a new one with
// the handle's current resolver operations, so that key lookups only ever read
// the service handle. Returns ARC_STAT_OK, or ARC_STAT_KEYFAIL when the init
// operation fails; lookups then fail with "cannot initialize resolver". Call
// only while no message of the handle is being processed (arc_init() and
// option changes).
ARC_STAT arc_dns_setup(arc_library* lib) noexcept;

// ---- Tag-value sets (arc-tagvalue.cc) ----

inline constexpr int ARC_PLIST_BUCKETS = 95;  // first bytes 0x20 .. 0x7E

// One tag=value pair; both texts borrow from the set's set_data (or constants).
struct arc_plist {
    char* plist_param;
    char* plist_value;
    arc_plist* plist_next;
};

// One parsed tag-value text. Owned by its message (arc_kvsethead list).
struct arc_kvset {
    bool set_bad;
    int32_t set_type;                         // ARC_KVSETTYPE_*
    char* set_data;                           // owns: the text, cut in place
    arc_hdr* set_udata;                       // borrows: the field it came from; null for keys
    arc_plist* set_plist[ARC_PLIST_BUCKETS];  // owns the pairs
    arc_kvset* set_next;
};

// Parses len bytes of str (up to a NUL) as a tag-value text of `type`
// (ARC_KVSETTYPE_*) and runs the type's checks. The new set is appended to
// the message's set list, which owns it, whether or not parsing succeeds;
// `udata` is its borrowed set_udata (the field, or null for a key record).
// Returns ARC_STAT_OK and stores the set through `out` (when not null), or a
// failure status with its text recorded (the set then has set_bad).
ARC_STAT arc_process_set(arc_msg* msg, int type, const char* str, size_t len, void* udata,
                         arc_kvset** out) noexcept;
// Adds the pair param=value to the set; both texts are borrowed and must live
// as long as the set. A tag already present (ignoring case) is an error, or,
// with `force`, leaves the set unchanged. Returns 0, or -1 with the reason
// recorded.
int arc_add_plist(arc_msg* msg, arc_kvset* set, char* param, char* value, bool force) noexcept;
// Returns the value of tag `param` (matched exactly, case included), or null.
// The text belongs to the set.
char* arc_param_get(arc_kvset* set, const char* param) noexcept;
// True when value is a decimal number from 1 to INT64_MAX (leading blanks and
// a "+" allowed, nothing after it).
bool arc_check_uint(const char* value) noexcept;
// The one reader of the a= tag of a signature or seal: returns ARC_ALG_RSASHA1,
// ARC_ALG_RSASHA256 or ARC_ALG_ED25519SHA256 (named ignoring case, as in the
// algorithms table), or
// -1 when the set has no a= or it names another algorithm. The hash of the
// set, its key check and its signature check all follow this answer.
int arc_sigalg(arc_kvset* set) noexcept;
// The ARC_HASHTYPE_* an ARC_ALG_* signs over: SHA-1 for rsa-sha1, SHA-256 for
// the others.
constexpr int arc_alg_hashtype(int alg) noexcept {
    return alg == ARC_ALG_RSASHA1 ? ARC_HASHTYPE_SHA1 : ARC_HASHTYPE_SHA256;
}
// The ARC_KEYTYPE_* of the keys an ARC_ALG_* signs with.
constexpr int arc_alg_keytype(int alg) noexcept {
    return alg == ARC_ALG_ED25519SHA256 ? ARC_KEYTYPE_ED25519 : ARC_KEYTYPE_RSA;
}

// ---- Message handle (arc-message.cc) ----

// One header field. Owned by the message (arc_hhead or arc_sealhead list).
struct arc_hdr {
    uint32_t hdr_flags;   // ARC_HDR_SIGNED
    size_t hdr_namelen;   // name length, without blanks before the colon
    size_t hdr_textlen;   // length of hdr_text
    char* hdr_colon;      // borrows: the first colon in hdr_text
    char* hdr_text;       // owns: the whole field, NUL-terminated
    arc_kvset* hdr_data;  // borrows: the set parsed from the value, if any
    arc_hdr* hdr_next;
};

// One instance of the chain; every pointer borrows from arc_hhead, or from the
// message's canon list.
struct arc_set {
    arc_hdr* arcset_aar;
    arc_hdr* arcset_ams;
    arc_hdr* arcset_as;
    arc_canon* arcset_hdrcanon;   // with ARC_LIBFLAGS_OLDESTPASS, for an older AMS:
    arc_canon* arcset_bodycanon;  // the hashes it is checked with, or null
};

// One key record fetched for a message (arc_key_info()).
struct arc_keyinfo {
    const char* ki_selector;  // borrows: from the message's parsed sets
    const char* ki_domain;    // borrows: likewise
    int32_t ki_dnssec;        // ARC_DNSSEC_*
    int32_t ki_alg;           // ARC_ALG_* of the signature or seal it was fetched for
    ARC_STAT ki_status;       // outcome of the lookup and the record's checks
    bool ki_tempfail;         // it failed for a reason that may pass later
    int8_t ki_cached;         // decoded key from the key cache: 1, anew: 0, none: -1
    uint64_t ki_usec;         // time the lookup took
};

// Most key records one validation fetches: every seal and every signature
// (only the newest one without ARC_LIBFLAGS_OLDESTPASS).
inline constexpr unsigned ARC_MAXKEYS = 2 * ARC_MAXINSTANCES;

// One message. Created by arc_message(), freed by arc_free().
struct arc_msg {
    bool arc_noseal;           // an existing cv= was out of order: no new set
    bool arc_eoh_complete;     // arc_eoh() finished every step: body and seal may follow
    uint32_t arc_maxinstance;  // highest i= of any ARC field, capped at ARC_MAXINSTANCES + 1
    int32_t arc_signalg;       // ARC_ALG_*
    uint32_t arc_mode;         // ARC_MODE_*
    uint32_t arc_nsets;        // instances in the existing chain: the highest i= of 1 to
                               // ARC_MAXINSTANCES; at least 1 when an ARC field had an i=
                               // above that (the chain has then failed)
    int32_t arc_margin;        // fold margin of generated fields (75)
    int32_t arc_state;         // ARC_STATE_*
    int32_t arc_hdrcnt;        // collected header fields
    uint32_t arc_timeout;      // seconds to wait for a key's DNS reply; 0 = no limit
    uint32_t arc_keybits;      // size of the signing key's signatures, in bits
    int32_t arc_hashtype;      // hash of the signature whose key is fetched
    int32_t arc_keyalg;        // ARC_ALG_* of the signature whose key is fetched
    int32_t arc_keytype;       // ARC_KEYTYPE_* of the last key record
    uint64_t arc_keyflags;     // ARC_KEYFLAG_* of the last key record
    int32_t arc_query;         // ARC_QUERY_*
    uint64_t arc_timestamp;    // t= of generated sets
    size_t arc_keylen;
    size_t arc_errorlen;
    size_t arc_b64keylen;
    int32_t arc_canonhdr;  // ARC_CANON_* of the generated signature
    int32_t arc_canonbody;
    int32_t arc_cstate;          // ARC_CHAIN_*
    unsigned char* arc_key;      // owns: the last fetched public key (DER for RSA,
                                 // the 32 raw bytes for Ed25519)
    char* arc_errorbuf;          // owns: the last error text
    const char* arc_domain;      // borrows
    const char* arc_selector;    // borrows
    const char* arc_authservid;  // borrows
    const char* arc_b64key;      // borrows: p= of the last key record
    arc_dstring* arc_canonbuf;   // owns: canonicalization scratch
    arc_dstring* arc_hdrbuf;     // owns: scratch of header canonicalization (arc-canon.cc only)
    arc_canon* arc_sealcanon;    // borrows from the canon list: seal being generated
    arc_canon** arc_sealcanons;  // owns the array (arc_nsets entries)
    arc_canon* arc_valid_hdrcanon;
    arc_canon* arc_sign_hdrcanon;
    arc_canon* arc_valid_bodycanon;
    arc_canon* arc_sign_bodycanon;
    arc_canon* arc_canonhead;  // owns: every hash context
    arc_canon* arc_canontail;
    arc_hdr* arc_hhead;  // owns: collected fields in message order
    arc_hdr* arc_htail;
    arc_hdr* arc_sealhead;  // owns: the generated set
    arc_hdr* arc_sealtail;
    arc_kvset* arc_kvsethead;  // owns: every parsed set
    arc_kvset* arc_kvsettail;
    arc_set* arc_sets;     // owns: the instance table (arc_nsets entries)
    arc_library* arc_lib;  // borrows
    void* arc_user_context;
    struct timespec arc_dnsdeadline;  // CLOCK_MONOTONIC end of the DNS time budget;
                                      // zero until the first key lookup
    bool arc_dnstempfail;             // a key lookup failed for a passing reason
    uint32_t arc_nkeys;               // entries used in arc_keys
    arc_keyinfo arc_keys[ARC_MAXKEYS];
    arc_keyinfo* arc_lastkey;  // borrows: entry of the key being checked, or null
    bool arc_oldest_known;     // arc_oldestpass was computed
    bool arc_oldest_tempfail;  // a key lookup for it failed for a passing reason
    uint32_t arc_oldestpass;   // oldest instance whose AMS and all newer verify; 0: all
};

// Makes a header record of hlen bytes of hdr (name, colon, value), with bare
// CR and LF repaired when the library flag ARC_LIBFLAGS_FIXCRLF is set. The
// caller owns the record (*ret) and links it into one of the message's lists,
// which then free it. Returns ARC_STAT_OK, ARC_STAT_SYNTAX for a malformed
// name (no text) or ARC_STAT_NORESOURCE with its text recorded.
ARC_STAT arc_parse_header_field(arc_msg* msg, const unsigned char* hdr, size_t hlen,
                                arc_hdr** ret) noexcept;

// ---- Public keys (arc-pubkey.cc) ----

// Fetches the key record of msg->arc_selector and msg->arc_domain (by DNS or
// from the key file), checks it and leaves the decoded key in arc_key (owned
// by the message) and its type in arc_keytype. `testing` skips the checks of
// the record's h= against arc_hashtype and of its k= against arc_keyalg.
// Returns ARC_STAT_OK, or the status of the failed step with its text recorded (ARC_STAT_REVOKED,
// with no text, for an empty p=).
ARC_STAT arc_get_key(arc_msg* msg, bool testing) noexcept;
// True when a key record's h= list (null: none) names a hash the library
// supports.
bool arc_key_hashesok(arc_library* lib, const char* hashlist) noexcept;
// True when a key record's h= list (null: none) allows msg->arc_hashtype.
bool arc_key_hashok(arc_msg* msg, const char* hashlist) noexcept;

// ---- Validation and sealing (arc-eoh.cc, arc-verify.cc, arc-seal.cc) ----

// The signature primitives over a finished digest: PKCS#1 v1.5 with the
// digest's hash for rsa-sha1 and rsa-sha256; for ed25519-sha256, Ed25519 with
// the digest itself as the message (RFC 8463 section 3). `key` must be of the
// algorithm's type. arc_verify_digest() is true when `sig` verifies.
// arc_sign_digest() writes at most sigbuf.size() bytes, stores their count in
// siglen and returns OpenSSL's result (1: signed).
bool arc_verify_digest(EVP_PKEY* key, int alg, std::span<const unsigned char> sig,
                       std::span<const unsigned char> digest) noexcept;
int arc_sign_digest(EVP_PKEY* key, int alg, std::span<unsigned char> sigbuf, size_t& siglen,
                    std::span<const unsigned char> digest) noexcept;

// Steps of arc_eoh(): create the hash computations that validate the newest
// AMS and every seal (unless the chain has already failed), and those that
// generate a new set. The handles belong to the message. Return ARC_STAT_OK,
// or a failure status with its text recorded.
ARC_STAT arc_eoh_verify(arc_msg* msg) noexcept;
ARC_STAT arc_eoh_sign(arc_msg* msg) noexcept;
// True when arc_eoh() completed every step, so that every hash of the message
// has been fed its header fields and may take body data and give digests.
bool arc_hashes_ready(const arc_msg* msg) noexcept;
// Appends the value of the ARC-Message-Signature (seal false) or ARC-Seal
// (seal true) being generated to `out`, laid out for a field name of
// `initial` characters and ending in an empty b=. For the signature this
// closes the body hashes. Returns ARC_STAT_OK or a failure status with its
// text recorded. Needs arc_domain, arc_selector and a completed end of header.
ARC_STAT arc_getamshdr_d(arc_msg* msg, size_t initial, arc_dstring* out, bool seal) noexcept;

#endif  // VELMORA_LIB_ARC_H
