// SPDX-License-Identifier: BSD-2-Clause
// velmora-ar.h - parser of Authentication-Results header field values.
//
// Memory:  none; the caller provides the record and the parser uses bounded
//          local buffers.
// Errors:  ares_parse() answers -1 for a value it cannot parse; nothing is logged.
// Threads: no shared state.
#ifndef VELMORA_FILTER_VELMORA_AR_H
#define VELMORA_FILTER_VELMORA_AR_H

// Method codes.
constexpr int ARES_METHOD_UNKNOWN = -1;
constexpr int ARES_METHOD_AUTH = 0;
constexpr int ARES_METHOD_DKIM = 1;
constexpr int ARES_METHOD_DOMAINKEYS = 2;
constexpr int ARES_METHOD_SENDERID = 3;
constexpr int ARES_METHOD_SPF = 4;
constexpr int ARES_METHOD_DKIMADSP = 5;
constexpr int ARES_METHOD_IPREV = 6;
constexpr int ARES_METHOD_DKIMATPS = 7;
constexpr int ARES_METHOD_DMARC = 8;
constexpr int ARES_METHOD_SMIME = 9;
constexpr int ARES_METHOD_RRVS = 10;
constexpr int ARES_METHOD_ARC = 11;

// Result codes (there is no code 1).
constexpr int ARES_RESULT_PASS = 0;
constexpr int ARES_RESULT_SOFTFAIL = 2;
constexpr int ARES_RESULT_NEUTRAL = 3;
constexpr int ARES_RESULT_TEMPERROR = 4;
constexpr int ARES_RESULT_PERMERROR = 5;
constexpr int ARES_RESULT_NONE = 6;
constexpr int ARES_RESULT_FAIL = 7;
constexpr int ARES_RESULT_POLICY = 8;
constexpr int ARES_RESULT_NXDOMAIN = 9;
constexpr int ARES_RESULT_SIGNED = 10;
constexpr int ARES_RESULT_UNKNOWN = 11;
constexpr int ARES_RESULT_DISCARD = 12;

// Property type codes.
constexpr int ARES_PTYPE_UNKNOWN = -1;
constexpr int ARES_PTYPE_SMTP = 0;
constexpr int ARES_PTYPE_HEADER = 1;
constexpr int ARES_PTYPE_BODY = 2;
constexpr int ARES_PTYPE_POLICY = 3;

constexpr int ARES_MAXRESULTS = 16;  // room in the record; a field may give 15
constexpr int ARES_MAXPROPS = 16;
constexpr int ARES_MAXTEXT = 256;  // characters of each stored text

// One method result of a field.
struct authres_result {
    int result_nprops;                                      // properties stored
    int result_method;                                      // ARES_METHOD_*
    int result_result;                                      // ARES_RESULT_*
    int result_ptype[ARES_MAXPROPS];                        // ARES_PTYPE_* of each property
    char result_reason[ARES_MAXTEXT + 1];                   // reason value, or empty
    char result_comment[ARES_MAXTEXT + 1];                  // last comment, with its parentheses
    char result_property[ARES_MAXPROPS][ARES_MAXTEXT + 1];  // property names
    char result_value[ARES_MAXPROPS][ARES_MAXTEXT + 1];     // property values
};

// One parsed Authentication-Results value; provided by the caller, cleared
// and filled by ares_parse().
struct authres {
    int ares_nresults;                    // valid entries of ares_results
    char ares_host[ARES_MAXTEXT + 1];     // the authserv-id
    char ares_version[ARES_MAXTEXT + 1];  // version after the authserv-id, or empty
    authres_result ares_results[ARES_MAXRESULTS];
};

// How an Authentication-Results value stands to one authserv-id.
enum class ares_claim {
    other,       // every reading names another authserv-id
    ours,        // every reading names this one
    ambiguous,   // one reading names this one and another does not
    unreadable,  // the authserv-id does not read as RFC 8601 section 2.2 has it
};

// The authserv-id of one value, read twice: as RFC 8601 section 2.2 defines
// it (after CFWS, comments nested, a token or a quoted-string, then an
// optional version and ";"), and as ares_parse() reads it.
struct ares_id {
    bool ai_strict;                        // the RFC 8601 reading succeeded
    bool ai_strict_long;                   // and gave more than ARES_MAXTEXT characters
    bool ai_lenient;                       // ares_parse() reads an authserv-id from the value
    char ai_strict_id[ARES_MAXTEXT + 1];   // the RFC 8601 reading, cut
    char ai_lenient_id[ARES_MAXTEXT + 1];  // ares_parse()'s ares_host
};

// Reads the authserv-id of the field value `hdr` both ways into *out.
void ares_read_id(const char* hdr, ares_id* out) noexcept;
// Whether a value read by ares_read_id() claims `authservid`. Anything but
// ares_claim::other must be treated as a claim (a validating hop removes the
// field); only ares_claim::ours may be taken as this host's own result.
ares_claim ares_claims(const ares_id* id, const char* authservid) noexcept;
// True when two authserv-ids name the same domain: ASCII letters compared
// ignoring case, one trailing dot of either ignored; never for an empty one.
bool ares_same_id(const char* a, const char* b) noexcept;

// Parses the field value `hdr` into *ar. Returns 0 (possibly with no results)
// or -1 when the value does not parse; the record is then not to be used.
int ares_parse(const char* hdr, authres* ar) noexcept;
// Names of codes, or null for a code no row has.
const char* ares_getmethod(int method) noexcept;
const char* ares_getresult(int result) noexcept;
const char* ares_getptype(int ptype) noexcept;

#endif  // VELMORA_FILTER_VELMORA_AR_H
