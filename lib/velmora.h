/* SPDX-License-Identifier: BSD-2-Clause */
/* velmora.h - public interface of libvelmora, the ARC (RFC 8617) library.
 *
 * Conventions kept by the whole interface:
 * - Every operation that can fail returns an ARC_STAT; constructors return
 *   NULL on failure.
 * - A failure inside a message operation leaves one human-readable text in
 *   the message handle, returned by arc_geterror().
 * - Everything the library hands out (error texts, generated header records,
 *   status names) is owned by the handle it came from and dies with it; the
 *   caller never frees it.
 * - Texts handed in (selector, domain, authserv-id) are kept by reference and
 *   must outlive the message handle.
 * - Caller errors (NULL handles, impossible codes) abort through assertions.
 * - A message handle is used by one thread at a time. A library handle, once
 *   configured with arc_options(), may serve messages on any number of
 *   threads at once: they only read it, apart from its key cache, which locks
 *   itself. Change options only while no message of the handle is in use.
 *
 * What a library handle keeps across messages:
 * - The resolver used for key lookups by DNS, started by arc_init() (a failed
 *   start makes every DNS lookup fail with "cannot initialize resolver").
 * - A key cache: the public keys it decoded lately (up to 16, found by their
 *   DER bytes) and the private keys it parsed lately (up to 4, found by the
 *   exact bytes handed to arc_getseal()). Keys are still fetched for every
 *   signature; only their decoding is reused. When a table is full the least
 *   recently used key makes room. The cache is freed by arc_close(), which
 *   wipes its copies of private keys: a program that replaces its signing key
 *   and wants no copy of the old one kept closes the old handle.
 */
#ifndef VELMORA_LIB_VELMORA_H
#define VELMORA_LIB_VELMORA_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define ARC_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define ARC_NOEXCEPT noexcept
extern "C" {
#else
#define ARC_NOEXCEPT
#endif

/* ---- Status codes ---- */

typedef int ARC_STAT;

#define ARC_STAT_OK 0
#define ARC_STAT_BADSIG 1
#define ARC_STAT_NOSIG 2
#define ARC_STAT_NOKEY 3
#define ARC_STAT_CANTVRFY 4
#define ARC_STAT_SYNTAX 5
#define ARC_STAT_NORESOURCE 6
#define ARC_STAT_INTERNAL 7
#define ARC_STAT_REVOKED 8
#define ARC_STAT_INVALID 9
#define ARC_STAT_NOTIMPLEMENT 10
#define ARC_STAT_KEYFAIL 11
#define ARC_STAT_MULTIREPLY 12 /* DNS key lookup only; no text in `results` */

/* ---- Chain states ---- */

#define ARC_CHAIN_UNKNOWN (-1)
#define ARC_CHAIN_NONE 0
#define ARC_CHAIN_FAIL 1
#define ARC_CHAIN_PASS 2

/* ---- Message modes (bits) ---- */

#define ARC_MODE_SIGN 0x01   /* a new ARC set will be generated */
#define ARC_MODE_VERIFY 0x02 /* the existing chain is validated */

/* ---- Codes of the name tables ---- */

#define ARC_CANON_SIMPLE 0
#define ARC_CANON_RELAXED 1

#define ARC_HASHTYPE_SHA1 0
#define ARC_HASHTYPE_SHA256 1

#define ARC_ALG_RSASHA1 0
#define ARC_ALG_RSASHA256 1
#define ARC_ALG_ED25519SHA256 2 /* RFC 8463 */

#define ARC_KVSETTYPE_SIGNATURE 0
#define ARC_KVSETTYPE_KEY 1
#define ARC_KVSETTYPE_SEAL 2
#define ARC_KVSETTYPE_AR 3

#define ARC_QUERY_DNS 0
#define ARC_QUERY_FILE 1

#define ARC_KEYTYPE_RSA 0
#define ARC_KEYTYPE_ED25519 1

#define ARC_KEYFLAG_Y 0x01
#define ARC_KEYFLAG_S 0x02

/* ---- Library options ---- */

#define ARC_OP_GETOPT 0
#define ARC_OP_SETOPT 1

/* Option codes for arc_options(). The value and size expected for each:
 *   ARC_OPTS_FLAGS          unsigned int*, size 4: library flags below
 *   ARC_OPTS_TMPDIR         set: directory text or NULL ("/tmp");
 *                           get: buffer of `size` bytes
 *   ARC_OPTS_FIXEDTIME      uint64_t*, size 8: clock for new messages, 0 = real
 *   ARC_OPTS_SIGNHDRS       set only: NULL-ended list of names to sign, or NULL;
 *                           size 8. "*" is a wildcard, "\" escapes. From and
 *                           the over-signed names are signed whatever the
 *                           list says, and h= always lists From.
 *   ARC_OPTS_OVERSIGNHDRS   set: NULL-ended list (copied) or NULL;
 *                           get: char*** receiving the library's list; size 8
 *   ARC_OPTS_MINKEYBITS     unsigned int*, size 4: minimum RSA key size
 *   ARC_OPTS_QUERYFILE      set: path of a key file, or NULL/"" for DNS. Messages
 *                           created afterwards fetch keys from that file (one
 *                           "selector._domainkey.domain record" line per key)
 *                           instead of DNS; get: buffer of `size` bytes
 *   ARC_OPTS_DNSTIMEOUT     unsigned int*, size 4: seconds the key lookups of
 *                           a message created afterwards may wait for DNS in
 *                           all, counted from its first lookup: each lookup
 *                           waits at most what is left, and a lookup with
 *                           nothing left fails at once ("'%s' query timed
 *                           out"). 0 = the resolver's own limits only
 *                           (default). The built-in stub-resolver adapter
 *                           answers within the timeout and attempts of
 *                           /etc/resolv.conf and does not shorten them; the
 *                           resolver of arc_dns_unbound() honours the limit.
 */
#define ARC_OPTS_FLAGS 0
#define ARC_OPTS_TMPDIR 1
#define ARC_OPTS_FIXEDTIME 2
#define ARC_OPTS_SIGNHDRS 3
#define ARC_OPTS_OVERSIGNHDRS 4
#define ARC_OPTS_MINKEYBITS 5
#define ARC_OPTS_QUERYFILE 6
#define ARC_OPTS_DNSTIMEOUT 7

/* Library flags (ARC_OPTS_FLAGS). ARC_LIBFLAGS_NOSHA1 refuses rsa-sha1 in
   validation (RFC 8301 section 3.1): a chain whose newest
   ARC-Message-Signature or any ARC-Seal has a=rsa-sha1 fails, and the error
   text names the field and its instance. Off by default: rsa-sha1 is accepted.
   Sealing is not affected (the algorithm is chosen by arc_message()). */
#define ARC_LIBFLAGS_FIXCRLF 0x01    /* repair bare CR and bare LF into CRLF */
#define ARC_LIBFLAGS_KEEPFILES 0x02  /* keep the bytes of every hash in tmpdir */
#define ARC_LIBFLAGS_NOSHA1 0x04     /* refuse rsa-sha1 in validation */
#define ARC_LIBFLAGS_OLDESTPASS 0x08 /* find the oldest-pass instance */

/* ARC_LIBFLAGS_OLDESTPASS makes validation also check every older
   ARC-Message-Signature, so that arc_chain_oldest_pass() can tell how far
   back the message is still as its sealers signed it (RFC 8617 section 5.2
   step 5). Off by default, because of what it costs: at arc_eoh() one more
   header hash per older instance and, for each body canonicalization and
   hash not already computed, one more body hash, every one fed the whole
   message; and at arc_eom(), for a chain that passed, one more key lookup
   (DNS query or key-file read) and RSA verification per older instance.
   Set it before the message's arc_eoh(). */

/* Feature codes for arc_libfeature(). */
#define ARC_FEATURE_SHA256 1

/* ---- Records (opaque) ---- */

typedef struct arc_library arc_library;
typedef struct arc_msg arc_msg;
typedef struct arc_hdr arc_hdr;

/* One row of a name/code table; a table ends with {NULL, -1}. */
struct arc_nametable {
    const char* tbl_name;
    int tbl_code;
};

/* ---- Library handle, options and errors ---- */

/* Creates a library handle with default settings; NULL when memory runs out.
   Free it with arc_close() after every message made from it. */
ARC_EXPORT arc_library* arc_init(void) ARC_NOEXCEPT;

/* Releases a library handle and everything it owns: the resolver and the key
   cache, whose copies of private keys are wiped. */
ARC_EXPORT void arc_close(arc_library* lib) ARC_NOEXCEPT;

/* Reads (ARC_OP_GETOPT) or changes (ARC_OP_SETOPT) one library setting; see the
   option codes above. ARC_STAT_INVALID for a wrong size or a bad value. */
ARC_EXPORT ARC_STAT arc_options(arc_library* lib, int op, int opt, void* val,
                                size_t size) ARC_NOEXCEPT;

/* Tells whether the library has feature `fc` (ARC_FEATURE_*). */
ARC_EXPORT bool arc_libfeature(arc_library* lib, unsigned int fc) ARC_NOEXCEPT;

/* Returns the OPENSSL_VERSION_NUMBER the library was built against. */
ARC_EXPORT unsigned long arc_ssl_version(void) ARC_NOEXCEPT;

/* Records a printf-style error text in the message, replacing the last one.
   Keeps errno. */
ARC_EXPORT void arc_error(arc_msg* msg, const char* format, ...) ARC_NOEXCEPT
    __attribute__((format(printf, 2, 3)));

/* Returns the message's last error text, or NULL when none was recorded.
   Owned by the message; valid until the next error or arc_free(). */
ARC_EXPORT const char* arc_geterror(arc_msg* msg) ARC_NOEXCEPT;

/* Returns the library's crypto error text (always an empty text here). */
ARC_EXPORT const char* arc_getsslbuf(arc_library* lib) ARC_NOEXCEPT;

/* ---- Resolver ---- */

/* DNSSEC outcome of a key record fetched by DNS (arc_key_info()). */
#define ARC_DNSSEC_UNKNOWN                                                  \
    (-1)                   /* not validated: key file, stub resolver, or no \
                              trust anchor configured */
#define ARC_DNSSEC_BOGUS 0 /* validation failed; the key was not used */
#define ARC_DNSSEC_INSECURE                                                \
    1                       /* validated: the zone is not signed (no chain \
                               of trust from an anchor reaches it) */
#define ARC_DNSSEC_SECURE 2 /* validated: signed and verified from an anchor */

/* Makes the key lookups of the library handle use a caching, validating
   resolver (libunbound) in place of the C library's stub resolver. One
   resolver context serves every thread using the handle; answers, negative
   ones too, are kept for their TTL; queries wait asynchronously, within the
   time limit of ARC_OPTS_DNSTIMEOUT. `conffile` is an unbound configuration
   file, or NULL to forward every query to the name servers of
   /etc/resolv.conf. `trustanchors` is a file of DS or DNSKEY records in zone
   file format, or NULL; with it, DNSSEC validation is on: a key record whose
   answer is bogus fails with the resolver's reason ("'%s' DNSSEC validation
   failed: ..."), and arc_key_info() tells each key's outcome. Call it before
   the first message; the handle owns the resolver and arc_close() frees it.
   Returns ARC_STAT_OK, or ARC_STAT_KEYFAIL with a text (cut to errlen - 1
   characters) in err when err is not NULL; the handle then keeps its previous
   resolver. */
ARC_EXPORT ARC_STAT arc_dns_unbound(arc_library* lib, const char* conffile,
                                    const char* trustanchors, char* err,
                                    size_t errlen) ARC_NOEXCEPT;

/* ---- Message handle and header intake ---- */

/* Creates a message handle. `canonhdr`/`canonbody` are ARC_CANON_* for a
   generated signature, `signalg` ARC_ALG_*, `mode` ARC_MODE_* bits. On failure
   returns NULL and, when `err` is not NULL, stores a constant text there. */
ARC_EXPORT arc_msg* arc_message(arc_library* lib, int canonhdr, int canonbody, int signalg,
                                int mode, const char** err) ARC_NOEXCEPT;

/* Collects one header field: name, colon and value with its folds, without the
   final line end. ARC_STAT_SYNTAX for a malformed name, ARC_STAT_INVALID after
   arc_eoh(). */
ARC_EXPORT ARC_STAT arc_header_field(arc_msg* msg, const unsigned char* hdr,
                                     size_t hlen) ARC_NOEXCEPT;

/* Ends the header block: parses the ARC sets, checks the chain's structure and
   hashes the header fields. Structural faults make the chain state "fail" and
   still return ARC_STAT_OK. */
ARC_EXPORT ARC_STAT arc_eoh(arc_msg* msg) ARC_NOEXCEPT;

/* Releases a message handle and everything it owns. */
ARC_EXPORT void arc_free(arc_msg* msg) ARC_NOEXCEPT;

/* Returns the start of the field text; the name is its first *namelen bytes. */
ARC_EXPORT const char* arc_hdr_name(arc_hdr* hdr, size_t* namelen) ARC_NOEXCEPT;

/* Returns the text after the field's colon. */
ARC_EXPORT const char* arc_hdr_value(arc_hdr* hdr) ARC_NOEXCEPT;

/* Returns the next record of a list of header fields, or NULL. */
ARC_EXPORT arc_hdr* arc_hdr_next(arc_hdr* hdr) ARC_NOEXCEPT;

/* Returns the domain of the last key fetched or of the seal, or NULL. */
ARC_EXPORT const char* arc_get_domain(arc_msg* msg) ARC_NOEXCEPT;

/* ---- Chain validation ---- */

/* Feeds one chunk of the message body to every body hash. The bytes are read,
   not kept. ARC_STAT_INVALID, with the text "end of header did not
   complete", after a failed arc_eoh(). */
ARC_EXPORT ARC_STAT arc_body(arc_msg* msg, const unsigned char* buf, size_t len) ARC_NOEXCEPT;

/* Ends the message; in ARC_MODE_VERIFY validates the chain. Always ARC_STAT_OK:
   the outcome is the chain state. A chain that fails leaves its reason as the
   message's error text (arc_geterror()): a signature or seal that does not
   verify gives "ARC-Message-Signature at instance N did not verify" or
   "ARC-Seal at instance N did not verify", followed by ": " and the key or
   syntax reason when there is one. An ARC-Message-Signature whose h= does not
   list From fails the chain (RFC 6376 section 6.1.1), before its key is
   fetched: otherwise anyone could rewrite From while the chain still passed.
   A key whose query name no resolver can ask (an empty label, a label over
   63 octets, a name over 253 octets, a backslash) fails the chain with that
   reason and is not queried. */
ARC_EXPORT ARC_STAT arc_eom(arc_msg* msg) ARC_NOEXCEPT;

/* Returns "none", "fail", "pass" or "unknown" for the chain state. */
ARC_EXPORT const char* arc_chain_status_str(arc_msg* msg) ARC_NOEXCEPT;

/* Writes the chain of custody (the d= of every ARC-Message-Signature, newest
   first, joined by ":") into buf, NUL-terminated and cut to buflen - 1.
   Returns the whole text's length, or 0 when the chain did not pass. */
ARC_EXPORT int arc_chain_custody_str(arc_msg* msg, char* buf, size_t buflen) ARC_NOEXCEPT;

/* After arc_eom() of a validated message: the header digest and the body
   digest computed for the newest ARC-Message-Signature (20 bytes for
   rsa-sha1, 32 for rsa-sha256), owned by the message. ARC_STAT_INVALID when
   they were not computed (no chain, or one that failed at end of header). */
ARC_EXPORT ARC_STAT arc_get_digests(arc_msg* msg, const unsigned char** hh, size_t* hhlen,
                                    const unsigned char** bh, size_t* bhlen) ARC_NOEXCEPT;

/* After arc_eom() of a validated message: oldest-pass, the oldest instance
   from which every ARC-Message-Signature up to the newest still verifies, or
   0 when all of them do (RFC 8617 section 5.2 step 5), stored in *oldest.
   ARC_STAT_INVALID when it was not computed: ARC_LIBFLAGS_OLDESTPASS was off
   at arc_eoh(), the message was not validated, or its chain state is not
   "pass" (also after arc_set_cv()). ARC_STAT_CANTVRFY when the key of an
   older signature could not be fetched for a reason that may pass later
   (see arc_key_dnstempfail(), which such a lookup leaves unchanged). */
ARC_EXPORT ARC_STAT arc_chain_oldest_pass(arc_msg* msg, unsigned int* oldest) ARC_NOEXCEPT;

/* After arc_eom() of a validated message: how many key records the validation
   fetched (at most 51; 100 with ARC_LIBFLAGS_OLDESTPASS), in the order
   fetched. */
ARC_EXPORT unsigned int arc_key_count(arc_msg* msg) ARC_NOEXCEPT;

/* Describes the key record fetched `idx`-th (0 = first): its selector and
   domain (owned by the message) and its ARC_DNSSEC_* outcome, each stored
   where the pointer is not NULL. ARC_STAT_INVALID when idx is not below
   arc_key_count(). */
ARC_EXPORT ARC_STAT arc_key_info(arc_msg* msg, unsigned int idx, const char** selector,
                                 const char** domain, int* dnssec) ARC_NOEXCEPT;

/* How the lookup of the key record fetched `idx`-th (as for arc_key_info())
   went, each stored where the pointer is not NULL: *status, the ARC_STAT of
   the lookup and of the record's checks (ARC_STAT_OK: a usable key);
   *tempfail, true when it failed for a reason that may pass on a later try;
   *usec, the microseconds it took; *cached, 1 when the decoded key was found
   in the library handle's key cache, 0 when it was decoded anew, -1 when no
   key was decoded (the lookup failed, or the check stopped before). Returns
   ARC_STAT_INVALID when idx is not below arc_key_count(). */
ARC_EXPORT ARC_STAT arc_key_outcome(arc_msg* msg, unsigned int idx, ARC_STAT* status,
                                    bool* tempfail, unsigned long* usec, int* cached) ARC_NOEXCEPT;

/* The ARC_ALG_* of the signature or seal whose key record was fetched
   `idx`-th (as for arc_key_info()), or -1 when idx is not below
   arc_key_count(). */
ARC_EXPORT int arc_key_algorithm(arc_msg* msg, unsigned int idx) ARC_NOEXCEPT;

/* After arc_eom(): true when a key lookup of the validation failed for a
   reason that may pass on a later try (no answer within the time limit, the
   resolver failing or answering SERVFAIL), as opposed to an answer that said
   no, was malformed or was bogus, or a name that cannot be asked. Lets a
   caller defer such a message. */
ARC_EXPORT bool arc_key_dnstempfail(arc_msg* msg) ARC_NOEXCEPT;

/* ---- Sealing ---- */

/* Forces the chain state (ARC_CHAIN_*) written into the next seal's cv=. */
ARC_EXPORT void arc_set_cv(arc_msg* msg, int cv) ARC_NOEXCEPT;

/* Builds and signs a new ARC set after arc_eom(). `key` is a PEM or DER RSA
   private key (its parsed form is kept in the library handle's key cache);
   `ar` the results text for the ARC-Authentication-Results, or NULL (or a
   blank text), which is written as RFC 8601's "none". The new AMS never
   signs Authentication-Results or ARC fields, whatever the sign-headers and
   over-sign lists say. On success *seal receives the first of the three new
   fields (AAR, AMS, AS; walk them with arc_hdr_next), or NULL when no set is
   to be added: an existing seal's cv= was out of order, or the chain already
   has 50 instances (RFC 8617 section 4.2.1; the error text says so). A seal
   with cv=fail covers the new set alone. Each field's text is "Name:value"
   with LF TAB folds and no line above 998 octets; insert it as "Name: value"
   with CR LF folds, as an MTA does. The records belong to the message.
   authservid, selector and domain are kept by reference. ARC_STAT_INVALID when the
   message is not in sign mode, when its end of header failed (its hashes
   would give a set that does not verify), or when a set was already made
   for it (the first one stays as it is). */
ARC_EXPORT ARC_STAT arc_getseal(arc_msg* msg, arc_hdr** seal, const char* authservid,
                                const char* selector, const char* domain, const unsigned char* key,
                                size_t keylen, const char* ar) ARC_NOEXCEPT;

/* ---- Name and code tables ---- */

/* Returns the code of the first row named `name` (ignoring case), or -1. */
ARC_EXPORT int arc_name_to_code(const struct arc_nametable* tbl, const char* name) ARC_NOEXCEPT;

/* Returns the name of the first row with `code`, or NULL. */
ARC_EXPORT const char* arc_code_to_name(const struct arc_nametable* tbl, int code) ARC_NOEXCEPT;

ARC_EXPORT extern const struct arc_nametable* algorithms;
ARC_EXPORT extern const struct arc_nametable* archdrnames;
ARC_EXPORT extern const struct arc_nametable* canonicalizations;
ARC_EXPORT extern const struct arc_nametable* hashes;
ARC_EXPORT extern const struct arc_nametable* keyflags;
ARC_EXPORT extern const struct arc_nametable* keytypes;
ARC_EXPORT extern const struct arc_nametable* querytypes;
ARC_EXPORT extern const struct arc_nametable* chainstatus;
ARC_EXPORT extern const struct arc_nametable* results;
ARC_EXPORT extern const struct arc_nametable* settypes;
ARC_EXPORT extern const struct arc_nametable* sigerrors;

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_LIB_VELMORA_H */
