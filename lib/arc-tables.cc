// SPDX-License-Identifier: BSD-2-Clause
// arc-tables.cc - the name/code tables that tie the names of ARC header fields
// and key records, and the library's status and error texts, to their codes.
//
// Memory:  constant tables only; nothing is allocated.
// Errors:  a miss is null or -1.
// Threads: constant data; safe from any thread.
#include "arc-tables.h"

#include <assert.h>
#include <strings.h>

#include <iterator>

namespace {

using row = arc_nametable;

// The end row of every table; a real row may also carry -1, never with a null name.
constexpr row end_row{nullptr, -1};

constexpr bool is_end(const row& r) {
    return r.tbl_name == nullptr && r.tbl_code == -1;
}

template <size_t N>
constexpr bool well_formed(const row (&t)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (t[i].tbl_name == nullptr) {
            return false;
        }
    }
    return is_end(t[N - 1]);
}

constexpr row prv_algorithms[] = {{"rsa-sha1", ARC_ALG_RSASHA1},
                                  {"rsa-sha256", ARC_ALG_RSASHA256},
                                  {"ed25519-sha256", ARC_ALG_ED25519SHA256},
                                  end_row};
static_assert(std::size(prv_algorithms) == 3 + 1 && well_formed(prv_algorithms));

constexpr row prv_archdrnames[] = {{"ARC-Authentication-Results", ARC_KVSETTYPE_AR},
                                   {"ARC-Seal", ARC_KVSETTYPE_SEAL},
                                   {"ARC-Message-Signature", ARC_KVSETTYPE_SIGNATURE},
                                   end_row};
static_assert(std::size(prv_archdrnames) == 3 + 1 && well_formed(prv_archdrnames));

constexpr row prv_canonicalizations[] = {
    {"simple", ARC_CANON_SIMPLE}, {"relaxed", ARC_CANON_RELAXED}, end_row};
static_assert(std::size(prv_canonicalizations) == 2 + 1 && well_formed(prv_canonicalizations));

constexpr row prv_hashes[] = {
    {"sha1", ARC_HASHTYPE_SHA1}, {"sha256", ARC_HASHTYPE_SHA256}, end_row};
static_assert(std::size(prv_hashes) == 2 + 1 && well_formed(prv_hashes));

constexpr row prv_keyflags[] = {{"y", ARC_KEYFLAG_Y}, {"s", ARC_KEYFLAG_S}, end_row};
static_assert(std::size(prv_keyflags) == 2 + 1 && well_formed(prv_keyflags));

constexpr row prv_keytypes[] = {
    {"rsa", ARC_KEYTYPE_RSA}, {"ed25519", ARC_KEYTYPE_ED25519}, end_row};
static_assert(std::size(prv_keytypes) == 2 + 1 && well_formed(prv_keytypes));

constexpr row prv_querytypes[] = {{"dns", ARC_QUERY_DNS}, end_row};
static_assert(std::size(prv_querytypes) == 1 + 1 && well_formed(prv_querytypes));

constexpr row prv_chainstatus[] = {{"none", ARC_CHAIN_NONE},
                                   {"fail", ARC_CHAIN_FAIL},
                                   {"pass", ARC_CHAIN_PASS},
                                   {"unknown", ARC_CHAIN_UNKNOWN},
                                   end_row};
static_assert(std::size(prv_chainstatus) == 4 + 1 && well_formed(prv_chainstatus));

constexpr row prv_settypes[] = {{"key", ARC_KVSETTYPE_KEY},
                                {"ARC signature", ARC_KVSETTYPE_SIGNATURE},
                                {"ARC seal", ARC_KVSETTYPE_SEAL},
                                {"ARC results", ARC_KVSETTYPE_AR},
                                end_row};
static_assert(std::size(prv_settypes) == 4 + 1 && well_formed(prv_settypes));

constexpr row prv_results[] = {{"Success", ARC_STAT_OK},
                               {"Bad signature", ARC_STAT_BADSIG},
                               {"No signature", ARC_STAT_NOSIG},
                               {"No key", ARC_STAT_NOKEY},
                               {"Unable to verify", ARC_STAT_CANTVRFY},
                               {"Syntax error", ARC_STAT_SYNTAX},
                               {"Resource unavailable", ARC_STAT_NORESOURCE},
                               {"Internal error", ARC_STAT_INTERNAL},
                               {"Revoked key", ARC_STAT_REVOKED},
                               {"Invalid parameter", ARC_STAT_INVALID},
                               {"Not implemented", ARC_STAT_NOTIMPLEMENT},
                               {"Key retrieval failed", ARC_STAT_KEYFAIL},
                               end_row};
static_assert(std::size(prv_results) == ARC_STAT_KEYFAIL + 1 + 1 && well_formed(prv_results),
              "one text for each status up to ARC_STAT_KEYFAIL");

constexpr row prv_sigerrors[] = {{"no signature error", 0},
                                 {"unsupported signature version", 1},
                                 {"invalid domain coverage", 2},
                                 {"signature expired", 3},
                                 {"signature timestamp in the future", 4},
                                 {"signature timestamp order error", 5},
                                 {"invalid header canonicalization", 7},
                                 {"invalid body canonicalization", 8},
                                 {"signature algorithm missing", 9},
                                 {"signature algorithm invalid", 10},
                                 {"header list missing", 11},
                                 {"body length value invalid", 12},
                                 {"query method invalid", 13},
                                 {"query option invalid", 14},
                                 {"domain tag missing", 15},
                                 {"domain tag empty", 16},
                                 {"selector tag missing", 17},
                                 {"selector tag empty", 18},
                                 {"signature data missing", 19},
                                 {"signature data empty", 20},
                                 {"signature data corrupt", 21},
                                 {"key not found in DNS", 22},
                                 {"key DNS reply corrupt", 23},
                                 {"key DNS query failed", 24},
                                 {"body hash missing", 25},
                                 {"body hash empty", 26},
                                 {"body hash corrupt", 27},
                                 {"signature verification failed", 28},
                                 {"unauthorized subdomain", 29},
                                 {"multiple keys found", 30},
                                 {"header list tag empty", 31},
                                 {"header list missing required entries", 32},
                                 {"length tag value exceeds body size", 33},
                                 {"unprotected header field", 34},
                                 {"unknown key version", 35},
                                 {"unknown key hash", 36},
                                 {"signature-key hash mismatch", 37},
                                 {"not an e-mail key", 38},
                                 {"key type missing", 40},
                                 {"unknown key type", 41},
                                 {"key revoked", 42},
                                 {"unable to apply public key", 43},
                                 {"version missing", 44},
                                 {"version empty", 45},
                                 {"signing key too small", 46},
                                 {"duplicate instance", 47},
                                 end_row};
static_assert(std::size(prv_sigerrors) == 46 + 1 && well_formed(prv_sigerrors),
              "codes 0 to 47 without 6 and 39");

}  // namespace

constinit const arc_nametable* algorithms = prv_algorithms;
constinit const arc_nametable* archdrnames = prv_archdrnames;
constinit const arc_nametable* canonicalizations = prv_canonicalizations;
constinit const arc_nametable* hashes = prv_hashes;
constinit const arc_nametable* keyflags = prv_keyflags;
constinit const arc_nametable* keytypes = prv_keytypes;
constinit const arc_nametable* querytypes = prv_querytypes;
constinit const arc_nametable* chainstatus = prv_chainstatus;
constinit const arc_nametable* results = prv_results;
constinit const arc_nametable* settypes = prv_settypes;
constinit const arc_nametable* sigerrors = prv_sigerrors;

int arc_name_to_code(const arc_nametable* tbl, const char* name) noexcept {
    assert(tbl != NULL);
    assert(name != NULL);
    for (const row* r = tbl; !is_end(*r); ++r) {
        if (strcasecmp(r->tbl_name, name) == 0) {
            return r->tbl_code;
        }
    }
    return -1;
}

const char* arc_code_to_name(const arc_nametable* tbl, int code) noexcept {
    assert(tbl != NULL);
    for (const row* r = tbl; !is_end(*r); ++r) {
        if (r->tbl_code == code) {
            return r->tbl_name;
        }
    }
    return nullptr;
}
