// SPDX-License-Identifier: BSD-2-Clause
// arc-tables_test.cc - the exported name/code tables and their lookups.
#include "arc-tables.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct name_case {
    const arc_nametable* const* table;
    const char* label;
    const char* name;
    int code;
};
const name_case name_cases[] = {
    {&canonicalizations, "canon", "RELAXED", ARC_CANON_RELAXED},
    {&canonicalizations, "canon", "simple", ARC_CANON_SIMPLE},
    {&canonicalizations, "canon", "relaxed ", -1},
    {&archdrnames, "archdr", "arc-seal", ARC_KVSETTYPE_SEAL},
    {&archdrnames, "archdr", "ARC-MESSAGE-SIGNATURE", ARC_KVSETTYPE_SIGNATURE},
    {&archdrnames, "archdr", "arc-authentication-results", ARC_KVSETTYPE_AR},
    {&archdrnames, "archdr", "ARC-Seal-X", -1},
    {&algorithms, "alg", "rsa-sha256", ARC_ALG_RSASHA256},
    {&algorithms, "alg", "RSA-SHA1", ARC_ALG_RSASHA1},
    {&algorithms, "alg", "ed25519-sha256", ARC_ALG_ED25519SHA256},
    {&algorithms, "alg", "ed25519", -1},
    {&hashes, "hash", "sha256", ARC_HASHTYPE_SHA256},
    {&keyflags, "flags", "S", ARC_KEYFLAG_S},
    {&keytypes, "keytype", "rsa", ARC_KEYTYPE_RSA},
    {&keytypes, "keytype", "Ed25519", ARC_KEYTYPE_ED25519},
    {&keytypes, "keytype", "ed448", -1},
    {&querytypes, "query", "DNS", ARC_QUERY_DNS},
    {&chainstatus, "chain", "pass", ARC_CHAIN_PASS},
    {&settypes, "settype", "ARC seal", ARC_KVSETTYPE_SEAL},
    {&results, "results", "No key", ARC_STAT_NOKEY},
    {&sigerrors, "sigerrors", "duplicate instance", 47},
};

TEST(ArcTables, NameToCode) {
    for (const auto& c : name_cases) {
        SCOPED_TRACE(std::string(c.label) + " " + c.name);
        EXPECT_EQ(arc_name_to_code(*c.table, c.name), c.code);
    }
}

struct code_case {
    const arc_nametable* const* table;
    const char* label;
    int code;
    const char* name;  // null: no row
};
const code_case code_cases[] = {
    {&chainstatus, "chain", ARC_CHAIN_UNKNOWN, "unknown"},
    {&chainstatus, "chain", ARC_CHAIN_NONE, "none"},
    {&chainstatus, "chain", ARC_CHAIN_FAIL, "fail"},
    {&chainstatus, "chain", 3, nullptr},
    {&sigerrors, "sigerrors", 6, nullptr},
    {&sigerrors, "sigerrors", 39, nullptr},
    {&sigerrors, "sigerrors", 47, "duplicate instance"},
    {&sigerrors, "sigerrors", 0, "no signature error"},
    {&sigerrors, "sigerrors", 48, nullptr},
    {&settypes, "settype", ARC_KVSETTYPE_KEY, "key"},
    {&settypes, "settype", ARC_KVSETTYPE_SIGNATURE, "ARC signature"},
    {&settypes, "settype", ARC_KVSETTYPE_AR, "ARC results"},
    {&results, "results", ARC_STAT_OK, "Success"},
    {&results, "results", ARC_STAT_KEYFAIL, "Key retrieval failed"},
    {&results, "results", ARC_STAT_MULTIREPLY, nullptr},
    {&algorithms, "alg", ARC_ALG_RSASHA1, "rsa-sha1"},
    {&algorithms, "alg", ARC_ALG_ED25519SHA256, "ed25519-sha256"},
    {&canonicalizations, "canon", ARC_CANON_RELAXED, "relaxed"},
    {&keyflags, "flags", ARC_KEYFLAG_Y, "y"},
    {&keytypes, "keytype", -1, nullptr},  // the end row is not a row
};

TEST(ArcTables, CodeToName) {
    for (const auto& c : code_cases) {
        SCOPED_TRACE(std::string(c.label) + " " + std::to_string(c.code));
        const char* got = arc_code_to_name(*c.table, c.code);
        if (c.name == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            EXPECT_STREQ(got, c.name);
        }
    }
}

TEST(ArcTables, EveryStatusButMultireplyHasAText) {
    for (int code = ARC_STAT_OK; code <= ARC_STAT_KEYFAIL; ++code) {
        SCOPED_TRACE(code);
        EXPECT_NE(arc_code_to_name(results, code), nullptr);
    }
}

}  // namespace
