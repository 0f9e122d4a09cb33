// SPDX-License-Identifier: BSD-2-Clause
// arc-canon.h - canonicalization handles, header and body canonicalization,
// and the digests they produce.
//
// Memory:  libcrypto's allocator only; every handle dies with its message.
// Errors:  recorded with arc_error() in the message handle.
// Threads: none; one message handle is used by one thread at a time.
#ifndef VELMORA_LIB_ARC_CANON_H
#define VELMORA_LIB_ARC_CANON_H

#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/evp.h>

#include "arc.h"
#include "velmora.h"

// Kinds of hash computation.
inline constexpr int ARC_CANONTYPE_HEADER = 0;  // newest existing AMS (validation)
inline constexpr int ARC_CANONTYPE_BODY = 1;
inline constexpr int ARC_CANONTYPE_SEAL = 2;
inline constexpr int ARC_CANONTYPE_AMS = 3;  // AMS being generated

inline constexpr size_t ARC_MAXDIGEST = 32;

// The hash record of one canonicalization.
struct arc_hashctx {
    int hc_tmpfd;                         // kept temporary file, or -1
    BIO* hc_tmpbio;                       // owns: file BIO over hc_tmpfd (closes it), or null
    EVP_MD_CTX* hc_ctx;                   // owns: SHA-1 or SHA-256 context
    unsigned char hc_out[ARC_MAXDIGEST];  // the digest once finished
};

// One hash computation fed with canonicalized data. Owned by its message
// (arc_canonhead list); freed by arc_canon_cleanup().
struct arc_canon {
    bool canon_done;
    bool canon_blankline;
    int canon_type;  // ARC_CANONTYPE_*
    int canon_lastchar;
    int canon_bodystate;
    int canon_hashtype;   // ARC_HASHTYPE_*
    size_t canon_blanks;  // empty lines held back (a body may hold billions)
    size_t canon_hashbuflen;
    size_t canon_hashbufsize;
    ssize_t canon_remain;
    size_t canon_wrote;
    ssize_t canon_length;
    int canon_canon;               // ARC_CANON_*
    unsigned char* canon_hashbuf;  // owns: staging buffer
    const char* canon_hdrlist;     // borrows: h= of the signature validated
    arc_hashctx* canon_hash;       // owns
    arc_dstring* canon_buf;        // owns: pending run of the relaxed body rules
    arc_hdr* canon_sigheader;      // borrows: the field validated, or null
    arc_canon* canon_next;
    // Body state kept beside the fields above. Simple rules: while the current
    // line has no content, the line-end bytes it opened with (canon_lfs LFs,
    // then canon_crs CRs); in a line with content, canon_crs 1 is a CR held
    // back at a chunk's end. Relaxed rules: canon_inrun tells that the
    // current line's run of non-blanks is open (already hashed, since bytes
    // are hashed as they are read).
    size_t canon_lfs;
    size_t canon_crs;
    bool canon_inrun;
};

// ---- Handles (arc-canon.cc) ----

// Appends a hash computation of `type` (ARC_CANONTYPE_*) to the message's
// list, which owns it: `canon` and `hashtype` choose the rules and the hash,
// `hdrlist` (borrowed; null for all) the h= of the signature validated and
// `sighdr` (borrowed) that signature's field, `length` the body bytes to hash
// (-1: all). Stores it through cout when not null. Returns ARC_STAT_OK or
// ARC_STAT_NORESOURCE with its text recorded.
ARC_STAT arc_add_canon(arc_msg* msg, int type, int canon, int hashtype, const char* hdrlist,
                       arc_hdr* sighdr, ssize_t length, arc_canon** cout) noexcept;
// Gives every computation of the message its hash context and stage; with
// `tmp`, also a file in the library's tmpdir receiving the hashed bytes, kept
// after the message when `keep`. Returns ARC_STAT_OK or a failure status
// with its text recorded.
ARC_STAT arc_canon_init(arc_msg* msg, bool tmp, bool keep) noexcept;
// Frees every computation of the message (arc_free() calls it).
void arc_canon_cleanup(arc_msg* msg) noexcept;

// ---- Header fields (arc-canon.cc) ----

// Selects the fields named by hdrlist (":"-separated; each name takes the
// last not yet selected field of that name, bottom up) into ptrs, marking
// them ARC_HDR_SIGNED; null hdrlist selects every field. Returns the number
// selected, or -1 with the reason recorded when more than nptrs would be.
// The work is O((n + m) log n) name comparisons for n fields and m names.
int arc_canon_selecthdrs(arc_msg* msg, const char* hdrlist, arc_hdr** ptrs, int nptrs) noexcept;
// Orders field names by their bytes with ASCII letters lowercased, a name
// before the longer names it begins: <0, 0 (the same name) or >0.
int arc_canon_namecmp(std::string_view a, std::string_view b) noexcept;
using arc_name_cmp_fn = int (*)(std::string_view a, std::string_view b) noexcept;
// arc_canon_selecthdrs() comparing names with cmp, which must order them as
// arc_canon_namecmp() does (so a caller can count the comparisons).
int arc_canon_selecthdrs_by(arc_msg* msg, const char* hdrlist, arc_hdr** ptrs, int nptrs,
                            arc_name_cmp_fn cmp) noexcept;
// Appends the canonical form (`canon`) of the field hdr (hdrlen bytes) to
// dstr, with CR LF when `crlf`. Returns ARC_STAT_OK or ARC_STAT_NORESOURCE
// (the string recorded why).
ARC_STAT arc_canon_header_string(arc_dstring* dstr, int canon, const char* hdr, size_t hdrlen,
                                 bool crlf) noexcept;
// Steps of arc_eoh(): hash the selected header fields into every header
// computation (validating ones also take their signature without b= and are
// finished), and feed the existing sets into the seal computations. Return
// ARC_STAT_OK or a failure status with its text recorded.
ARC_STAT arc_canon_runheaders(arc_msg* msg) noexcept;
ARC_STAT arc_canon_runheaders_seal(arc_msg* msg) noexcept;
// Feeds the AAR and AMS being generated (arc_sealhead) into the seal being
// generated. ARC_STAT_INVALID when there is no open one.
ARC_STAT arc_canon_add_to_seal(arc_msg* msg) noexcept;
// Hashes the generated field hdr (borrowed for the call) without CR LF into
// every open generating computation of `type` and finishes them.
ARC_STAT arc_canon_signature(arc_msg* msg, arc_hdr* hdr, int type) noexcept;

// Hash input shared by the header and body code. arc_canon_buffer() stages
// bytes in front of the hash (no bytes: flush the stage); arc_canon_write()
// hands bytes to the hash and the kept file; arc_canon_finalize() flushes and
// finishes the hash.
void arc_canon_buffer(arc_canon* canon, const unsigned char* buf, size_t buflen) noexcept;
void arc_canon_write(arc_canon* canon, const unsigned char* buf, size_t buflen) noexcept;
void arc_canon_finalize(arc_canon* canon) noexcept;
// Test hook: with true, the body rules scan 16 bytes at a time even where
// wider vector instructions are available.
void arc_canon_generic_scanners(bool generic) noexcept;
// True for the fields a generated ARC-Message-Signature never signs, whatever
// the sign-headers pattern or the over-sign list say: Authentication-Results
// and the three ARC fields.
bool arc_canon_never_signed(std::string_view name) noexcept;
// Copies text into msg->arc_hdrbuf, the scratch string of this module, without
// the values of its b= tags; the copy is valid until the module's next use of
// the scratch. Returns ARC_STAT_OK or ARC_STAT_NORESOURCE.
ARC_STAT arc_canon_strip_b(arc_msg* msg, const char* text) noexcept;

// ---- Body and digests (arc-canon-body.cc) ----

// Feeds one body chunk (read, not kept) to every open body computation.
// Returns ARC_STAT_OK or ARC_STAT_NORESOURCE with its text recorded.
ARC_STAT arc_canon_bodychunk(arc_msg* msg, const unsigned char* buf, size_t buflen) noexcept;
// Ends the body: completes an open last line and finishes every body
// computation. Returns ARC_STAT_OK.
ARC_STAT arc_canon_closebody(arc_msg* msg) noexcept;
// The most body bytes any open body computation still wants (ULONG_MAX: all).
unsigned long arc_canon_minbody(arc_msg* msg) noexcept;
// Points *digest at the finished digest of `canon` (owned by it) and stores
// its length. ARC_STAT_INVALID while the computation is not finished.
ARC_STAT arc_canon_getfinal(arc_canon* canon, unsigned char** digest, size_t* dlen) noexcept;
// The header and body digests of the newest AMS validated, as
// arc_canon_getfinal() gives them.
ARC_STAT arc_canon_gethashes(arc_msg* msg, void** hh, size_t* hhlen, void** bh,
                             size_t* bhlen) noexcept;
// The digest of the seal of instance setnum (1 to arc_nsets).
ARC_STAT arc_canon_getsealhash(arc_msg* msg, int setnum, void** sh, size_t* shlen) noexcept;
// Reads a c= value ("header[/body]"; a missing body part is simple), cutting
// tag in place. ARC_STAT_INVALID for an empty or unknown value.
ARC_STAT arc_parse_canon_t(char* tag, int* hdr_canon, int* body_canon) noexcept;

#endif  // VELMORA_LIB_ARC_CANON_H
