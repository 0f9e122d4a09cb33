// SPDX-License-Identifier: BSD-2-Clause
// arc_test.cc - the library handle and its options, error texts, the
// tag-value parser, message intake and the end-of-header grouping of ARC sets.
#include "arc.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <regex.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/opensslv.h>

#include "test-support.h"

namespace {

using velmora_test::allocation_count;
using velmora_test::fail_allocation_in;
using velmora_test::for_each_allocation_failure;
using velmora_test::live_allocations;

// Owns a library handle and, optionally, one message made from it.
class ArcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lib_ = arc_init();
        ASSERT_NE(lib_, nullptr);
    }
    void TearDown() override {
        if (msg_ != nullptr) {
            arc_free(msg_);
        }
        arc_close(lib_);
    }
    arc_msg* open(int mode = ARC_MODE_VERIFY) {
        if (msg_ != nullptr) {
            arc_free(msg_);
        }
        msg_ = arc_message(lib_, ARC_CANON_RELAXED, ARC_CANON_SIMPLE, ARC_ALG_RSASHA256, mode,
                           nullptr);
        return msg_;
    }
    ARC_STAT field(std::string_view text) {
        return arc_header_field(msg_, reinterpret_cast<const unsigned char*>(text.data()),
                                text.size());
    }
    std::string error() const {
        const char* e = arc_geterror(msg_);
        return e != nullptr ? e : "(none)";
    }

    arc_library* lib_ = nullptr;
    arc_msg* msg_ = nullptr;
};

// ---- Options ----

using ArcOptions = ArcTest;

TEST_F(ArcOptions, DefaultsAfterInit) {
    unsigned int flags = 99;
    unsigned int bits = 0;
    unsigned int timeout = 99;
    uint64_t fixed = 99;
    char dir[64];
    char qfile[64] = "x";
    char** over = reinterpret_cast<char**>(&flags);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags), ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits),
              ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_DNSTIMEOUT, &timeout, sizeof timeout),
              ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_FIXEDTIME, &fixed, sizeof fixed),
              ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_TMPDIR, dir, sizeof dir), ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_QUERYFILE, qfile, sizeof qfile),
              ARC_STAT_OK);
    EXPECT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_OVERSIGNHDRS, &over, sizeof over),
              ARC_STAT_OK);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(bits, 1024u);
    EXPECT_EQ(timeout, 0u);
    EXPECT_EQ(fixed, 0u);
    EXPECT_STREQ(dir, "/tmp");
    EXPECT_STREQ(qfile, "");
    EXPECT_EQ(over, nullptr);
    EXPECT_FALSE(lib_->arc_signre);
    // The default resolver is started with the handle, so lookups only read it.
    EXPECT_TRUE(lib_->arc_dns_ready);
    EXPECT_EQ(lib_->arc_dns_service, reinterpret_cast<void*>(1));
    EXPECT_NE(lib_->arc_dns_start, nullptr);
}

TEST_F(ArcOptions, NumbersRoundTrip) {
    struct row {
        int opt;
        unsigned int value;
    };
    for (const row r : {row{ARC_OPTS_FLAGS, ARC_LIBFLAGS_FIXCRLF | ARC_LIBFLAGS_NOSHA1},
                        row{ARC_OPTS_MINKEYBITS, 2048}, row{ARC_OPTS_DNSTIMEOUT, 7}}) {
        SCOPED_TRACE(r.opt);
        unsigned int v = r.value;
        ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, r.opt, &v, sizeof v), ARC_STAT_OK);
        v = 0;
        ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, r.opt, &v, sizeof v), ARC_STAT_OK);
        EXPECT_EQ(v, r.value);
    }
    EXPECT_EQ(lib_->arc_flags, ARC_LIBFLAGS_FIXCRLF | ARC_LIBFLAGS_NOSHA1);
    EXPECT_EQ(lib_->arc_dnstimeout, 7u);
    uint64_t t = 1700000000123ull;
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_FIXEDTIME, &t, sizeof t), ARC_STAT_OK);
    t = 0;
    ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_FIXEDTIME, &t, sizeof t), ARC_STAT_OK);
    EXPECT_EQ(t, 1700000000123ull);
}

TEST_F(ArcOptions, MisuseIsInvalidAndChangesNothing) {
    unsigned int u = 5;
    uint64_t w = 5;
    const char* list[] = {"From", nullptr};
    struct row {
        const char* label;
        int op;
        int opt;
        void* val;
        size_t size;
    };
    const row rows[] = {
        {"flags size 8", ARC_OP_SETOPT, ARC_OPTS_FLAGS, &w, 8},
        {"flags null", ARC_OP_SETOPT, ARC_OPTS_FLAGS, nullptr, 4},
        {"minkeybits size 2", ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &u, 2},
        {"dnstimeout size 8", ARC_OP_SETOPT, ARC_OPTS_DNSTIMEOUT, &w, 8},
        {"fixedtime size 4", ARC_OP_SETOPT, ARC_OPTS_FIXEDTIME, &u, 4},
        {"fixedtime null", ARC_OP_GETOPT, ARC_OPTS_FIXEDTIME, nullptr, 8},
        {"signhdrs get", ARC_OP_GETOPT, ARC_OPTS_SIGNHDRS, list, 8},
        {"signhdrs size 4", ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, list, 4},
        {"oversign size 4", ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, list, 4},
        {"oversign get null", ARC_OP_GETOPT, ARC_OPTS_OVERSIGNHDRS, nullptr, 8},
        {"tmpdir get null", ARC_OP_GETOPT, ARC_OPTS_TMPDIR, nullptr, 10},
        {"queryfile get null", ARC_OP_GETOPT, ARC_OPTS_QUERYFILE, nullptr, 10},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        EXPECT_EQ(arc_options(lib_, r.op, r.opt, r.val, r.size), ARC_STAT_INVALID);
    }
    EXPECT_EQ(lib_->arc_flags, 0u);
    EXPECT_EQ(lib_->arc_minkeybits, 1024u);
    EXPECT_EQ(lib_->arc_dnstimeout, 0u);
    EXPECT_EQ(lib_->arc_fixedtime, 0u);
    EXPECT_FALSE(lib_->arc_signre);
    EXPECT_EQ(lib_->arc_oversignhdrs, nullptr);
}

TEST_F(ArcOptions, TextSettingsAreCutAndReset) {
    char dir[] = "/var/tmp/velmora";
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_TMPDIR, dir, 0), ARC_STAT_OK);
    char small[3];
    ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_TMPDIR, small, sizeof small), ARC_STAT_OK);
    EXPECT_STREQ(small, "/v");
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_TMPDIR, nullptr, 0), ARC_STAT_OK);
    EXPECT_STREQ(lib_->arc_tmpdir, "/tmp");
    ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_TMPDIR, small, sizeof small), ARC_STAT_OK);
    EXPECT_STREQ(small, "/t");

    std::string longpath = "/" + std::string(2000, 'k');
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, longpath.data(), 0),
              ARC_STAT_OK);
    EXPECT_EQ(std::string(lib_->arc_queryinfo), longpath.substr(0, 1024));
    std::string back(2048, '\0');
    ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_QUERYFILE, back.data(), back.size()),
              ARC_STAT_OK);
    EXPECT_EQ(std::string(back.c_str()), longpath.substr(0, 1024));
    for (char* reset : {static_cast<char*>(nullptr), const_cast<char*>("")}) {
        ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, reset, 0), ARC_STAT_OK);
        EXPECT_STREQ(lib_->arc_queryinfo, "");
    }
}

TEST_F(ArcOptions, MessagesTakeTheKeyFileAndTimeoutInForceAtCreation) {
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(msg_->arc_query, ARC_QUERY_DNS);
    EXPECT_EQ(msg_->arc_timeout, 0u);

    char path[] = "/etc/velmora/keys";
    unsigned int timeout = 12;
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, path, 0), ARC_STAT_OK);
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_DNSTIMEOUT, &timeout, sizeof timeout),
              ARC_STAT_OK);
    EXPECT_EQ(msg_->arc_query, ARC_QUERY_DNS);  // read at creation only
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(msg_->arc_query, ARC_QUERY_FILE);
    EXPECT_EQ(msg_->arc_timeout, 12u);
}

bool signs(arc_library* lib, const char* name) {
    return regexec(&lib->arc_hdrre, name, 0, nullptr, 0) == 0;
}

TEST_F(ArcOptions, SignHeadersPattern) {
    const char* list[] = {"From", "To", "X-List-*", nullptr};
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, list, sizeof list[0]),
              ARC_STAT_OK);
    ASSERT_TRUE(lib_->arc_signre);
    for (const char* yes : {"FROM", "to", "From", "x-list-id"}) {
        SCOPED_TRACE(yes);
        EXPECT_TRUE(signs(lib_, yes));
    }
    for (const char* no : {"Received", "From-Extra", "XTo", "Subject"}) {
        SCOPED_TRACE(no);
        EXPECT_FALSE(signs(lib_, no));
    }

    const char* empty[] = {nullptr};
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, empty, 8), ARC_STAT_OK);
    EXPECT_FALSE(signs(lib_, "From"));

    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, nullptr, 8), ARC_STAT_OK);
    EXPECT_FALSE(lib_->arc_signre);
}

TEST_F(ArcOptions, TooLongSignHeadersPatternLeavesNone) {
    const char* ok[] = {"From", nullptr};
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, ok, 8), ARC_STAT_OK);
    // 1021 name characters fit after "^(" but not together with ")$".
    const std::string name1(1021, 'a');
    const std::string name2(2000, 'b');
    for (const std::string* name : {&name1, &name2}) {
        SCOPED_TRACE(name->size());
        const char* list[] = {name->c_str(), nullptr};
        EXPECT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, list, 8), ARC_STAT_INVALID);
        EXPECT_FALSE(lib_->arc_signre);
    }
    const std::string name3(1020, 'c');  // exactly 1024 characters with ^( and )$
    const char* fits[] = {name3.c_str(), nullptr};
    EXPECT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, fits, 8), ARC_STAT_OK);
}

TEST_F(ArcOptions, BadSignHeadersPatternIsInternal) {
    const char* list[] = {"a(b", nullptr};  // unbalanced group
    EXPECT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, list, 8), ARC_STAT_INTERNAL);
    EXPECT_FALSE(lib_->arc_signre);
}

TEST_F(ArcOptions, OversignListIsCopiedAndReplaced) {
    std::string from = "From";
    const char* list[] = {from.c_str(), "Subject", nullptr};
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, list, 8), ARC_STAT_OK);
    from[0] = 'X';  // the caller keeps its own list
    char** got = nullptr;
    ASSERT_EQ(arc_options(lib_, ARC_OP_GETOPT, ARC_OPTS_OVERSIGNHDRS, &got, 8), ARC_STAT_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got[0], "From");
    EXPECT_STREQ(got[1], "Subject");
    EXPECT_EQ(got[2], nullptr);

    // A copy that runs out of memory keeps the old list.
    const char* other[] = {"To", nullptr};
    fail_allocation_in(1);
    EXPECT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, other, 8),
              ARC_STAT_NORESOURCE);
    fail_allocation_in(0);
    EXPECT_EQ(lib_->arc_oversignhdrs, got);
    EXPECT_STREQ(lib_->arc_oversignhdrs[0], "From");

    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, nullptr, 8), ARC_STAT_OK);
    EXPECT_EQ(lib_->arc_oversignhdrs, nullptr);
}

TEST_F(ArcOptions, FeaturesAndVersions) {
    EXPECT_TRUE(arc_libfeature(lib_, ARC_FEATURE_SHA256));
    for (unsigned int fc : {0u, 2u, 31u, 32u, 33u, 1000u}) {
        SCOPED_TRACE(fc);
        EXPECT_FALSE(arc_libfeature(lib_, fc));
    }
    EXPECT_EQ(arc_ssl_version(), static_cast<unsigned long>(OPENSSL_VERSION_NUMBER));
    EXPECT_STREQ(arc_getsslbuf(lib_), "");
}

TEST(ArcLibrary, InitAllocationFailuresLeakNothing) {
    const long start = live_allocations();
    int nulls = 0;
    const long points = for_each_allocation_failure([&] {
        arc_library* lib = arc_init();
        if (lib == nullptr) {
            ++nulls;
            return;
        }
        const char* list[] = {"From", nullptr};
        arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, list, 8);
        arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, list, 8);
        arc_close(lib);
    });
    EXPECT_GE(points, 3);
    EXPECT_EQ(nulls, 3);  // the handle, the feature bitmap, then the key cache
    EXPECT_EQ(live_allocations(), start);
}

// ---- Error texts ----

using ArcErrors = ArcTest;

TEST_F(ArcErrors, TextsGrowReplaceAndKeepErrno) {
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(arc_geterror(msg_), nullptr);
    const std::string long_text(300, 'e');
    errno = EPIPE;
    arc_error(msg_, "%s", long_text.c_str());
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(arc_geterror(msg_), long_text);
    EXPECT_EQ(msg_->arc_errorlen, 301u);
    arc_error(msg_, "short %d", 7);
    EXPECT_STREQ(arc_geterror(msg_), "short 7");
}

TEST_F(ArcErrors, OutOfMemoryKeepsTheLastText) {
    ASSERT_NE(open(), nullptr);
    // No buffer can be had: nothing is recorded.
    fail_allocation_in(1);
    arc_error(msg_, "lost");
    fail_allocation_in(0);
    EXPECT_EQ(arc_geterror(msg_), nullptr);
    // The buffer cannot grow: the text is cut to the buffer.
    const std::string long_text(300, 'f');
    arc_error(msg_, "first");
    fail_allocation_in(1);
    arc_error(msg_, "%s", long_text.c_str());
    fail_allocation_in(0);
    EXPECT_EQ(arc_geterror(msg_), long_text.substr(0, 127));
}

// ---- Tag-value sets ----

using pairs = std::initializer_list<std::pair<const char*, const char*>>;

struct tv_case {
    const char* label;
    int type;
    std::string_view text;
    ARC_STAT status;
    const char* error;  // on failure, the exact text
    pairs expect;       // tags that must be present with these values
    std::initializer_list<const char*> absent;
};

constexpr std::string_view good_ams =
    "i=1; a=rsa-sha256; c=relaxed/simple; d=example.org; s=sel; h=from:to; bh=AAAA; b=BBBB";
constexpr std::string_view good_as = "i=1; a=rsa-sha256; cv=none; d=example.org; s=sel; t=1; b=CC";

const tv_case tv_cases[] = {
    {"trailing semicolon",
     ARC_KVSETTYPE_KEY,
     "i=1; a=rsa-sha256;",
     ARC_STAT_OK,
     nullptr,
     {{"i", "1"}, {"a", "rsa-sha256"}},
     {}},
    {"double semicolon",
     ARC_KVSETTYPE_KEY,
     "i=1;;a=x",
     ARC_STAT_SYNTAX,
     "syntax error in key data (ASCII 0x3b at offset 4)",
     {},
     {}},
    {"empty value at end", ARC_KVSETTYPE_KEY, "v=DKIM1; x=", ARC_STAT_OK, nullptr, {{"x", ""}}, {}},
    {"empty value before ;",
     ARC_KVSETTYPE_KEY,
     "x= ;y=2",
     ARC_STAT_OK,
     nullptr,
     {{"x", ""}, {"y", "2"}},
     {}},
    {"bare tag at end",
     ARC_KVSETTYPE_KEY,
     "v=DKIM1; x",
     ARC_STAT_SYNTAX,
     "tag without value at end of key data",
     {},
     {}},
    {"folded value joined",
     ARC_KVSETTYPE_KEY,
     "b=abc\r\n\tdef  ghi; c=1",
     ARC_STAT_OK,
     nullptr,
     {{"b", "abcdefghi"}, {"c", "1"}},
     {}},
    {"duplicate tag",
     ARC_KVSETTYPE_KEY,
     "s=a; s=b",
     ARC_STAT_INTERNAL,
     "duplicate parameter 's'",
     {},
     {}},
    {"case-different tags",
     ARC_KVSETTYPE_KEY,
     "s=a; S=b",
     ARC_STAT_OK,
     nullptr,
     {{"s", "a"}, {"S", "b"}},
     {}},
    {"blank inside a tag name",
     ARC_KVSETTYPE_KEY,
     "b h=1",
     ARC_STAT_SYNTAX,
     "syntax error in key data (ASCII 0x68 at offset 2)",
     {},
     {}},
    {"blanks before =", ARC_KVSETTYPE_KEY, "bh  \t=1", ARC_STAT_OK, nullptr, {{"bh", "1"}}, {}},
    {"tag starts with =",
     ARC_KVSETTYPE_KEY,
     " =1",
     ARC_STAT_SYNTAX,
     "syntax error in key data (ASCII 0x3d at offset 1)",
     {},
     {}},
    {"tag starts with -",
     ARC_KVSETTYPE_KEY,
     "-a=1",
     ARC_STAT_SYNTAX,
     "syntax error in key data (ASCII 0x2d at offset 0)",
     {},
     {}},
    {"semicolon in tag",
     ARC_KVSETTYPE_KEY,
     "ab;",
     ARC_STAT_SYNTAX,
     "syntax error in key data (ASCII 0x3b at offset 2)",
     {},
     {}},
    {"= inside a value", ARC_KVSETTYPE_KEY, "a=x=y", ARC_STAT_OK, nullptr, {{"a", "x=y"}}, {}},
    {"tab and form feed in value",
     ARC_KVSETTYPE_KEY,
     "a=b\tc\fd",
     ARC_STAT_OK,
     nullptr,
     {{"a", "bcd"}},
     {}},
    {"control byte",
     ARC_KVSETTYPE_KEY,
     "a=1; b=\x01",
     ARC_STAT_SYNTAX,
     "invalid character (ASCII 0x01 at offset 7) in key data",
     {},
     {}},
    {"byte above 0x7f",
     ARC_KVSETTYPE_AR,
     "i=1\x80",
     ARC_STAT_SYNTAX,
     "invalid character (ASCII 0x80 at offset 3) in ARC results data",
     {},
     {}},
    {"text stops at NUL",
     ARC_KVSETTYPE_KEY,
     std::string_view("a=1\0b=2", 7),
     ARC_STAT_OK,
     nullptr,
     {{"a", "1"}},
     {"b"}},
    {"empty key record", ARC_KVSETTYPE_KEY, "", ARC_STAT_OK, nullptr, {{"k", "rsa"}}, {}},
    {"key gains k=rsa",
     ARC_KVSETTYPE_KEY,
     "v=DKIM1; p=abc",
     ARC_STAT_OK,
     nullptr,
     {{"k", "rsa"}, {"p", "abc"}},
     {}},
    {"key keeps its k=",
     ARC_KVSETTYPE_KEY,
     "k=ed25519; p=abc",
     ARC_STAT_OK,
     nullptr,
     {{"k", "ed25519"}},
     {}},
    {"results: only i= is parsed",
     ARC_KVSETTYPE_AR,
     "i=2; spf=pass smtp.mailfrom=a; dkim=x=y;",
     ARC_STAT_OK,
     nullptr,
     {{"i", "2"}},
     {"spf", "dkim"}},
    {"results without i=",
     ARC_KVSETTYPE_AR,
     "spf=pass",
     ARC_STAT_SYNTAX,
     "missing parameter(s) in ARC results data",
     {},
     {}},
    {"results with i=x",
     ARC_KVSETTYPE_AR,
     "i=x; foo",
     ARC_STAT_SYNTAX,
     "invalid \"i\" value in ARC results data",
     {},
     {}},
    {"signature",
     ARC_KVSETTYPE_SIGNATURE,
     good_ams,
     ARC_STAT_OK,
     nullptr,
     {{"q", "dns/txt"}, {"h", "from:to"}, {"c", "relaxed/simple"}},
     {}},
    {"signature keeps q=",
     ARC_KVSETTYPE_SIGNATURE,
     "q=other; i=1; a=x; c=x; d=x; s=x; h=x; bh=x; b=x",
     ARC_STAT_OK,
     nullptr,
     {{"q", "other"}},
     {}},
    {"signature missing bh",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=x; c=x; d=x; s=x; h=x; b=x",
     ARC_STAT_SYNTAX,
     "missing parameter(s) in ARC signature data",
     {},
     {}},
    {"signature with empty tags",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=; c=; d=; s=; h=; bh=; b=",
     ARC_STAT_OK,
     nullptr,
     {{"a", ""}},
     {}},
    {"signature signs the seal",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=x; c=x; d=x; s=x; h=from::arc-SEAL:to; bh=x; b=x",
     ARC_STAT_INTERNAL,
     "ARC-Message-Signature signs arc-SEAL",
     {},
     {}},
    {"signature with h= ARC-Seal-Extra",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=x; c=x; d=x; s=x; h=ARC-Seal-Extra; bh=x; b=x",
     ARC_STAT_OK,
     nullptr,
     {},
     {}},
    {"signature bad t=",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=x; c=x; d=x; s=x; h=x; bh=x; b=x; t=12a",
     ARC_STAT_SYNTAX,
     "invalid \"t\" value in ARC signature data",
     {},
     {}},
    {"signature bad x=",
     ARC_KVSETTYPE_SIGNATURE,
     "i=1; a=x; c=x; d=x; s=x; h=x; bh=x; b=x; x=0",
     ARC_STAT_SYNTAX,
     "invalid \"x\" value in ARC signature data",
     {},
     {}},
    {"signature bad i=",
     ARC_KVSETTYPE_SIGNATURE,
     "i=-1; a=x; c=x; d=x; s=x; h=x; bh=x; b=x",
     ARC_STAT_SYNTAX,
     "invalid \"i\" value in ARC signature data",
     {},
     {}},
    {"seal", ARC_KVSETTYPE_SEAL, good_as, ARC_STAT_OK, nullptr, {{"cv", "none"}}, {"q"}},
    {"seal t= not examined",
     ARC_KVSETTYPE_SEAL,
     "i=1; a=x; cv=bogus; d=x; s=x; t=soon; b=x",
     ARC_STAT_OK,
     nullptr,
     {{"t", "soon"}},
     {}},
    {"seal i=0",
     ARC_KVSETTYPE_SEAL,
     "i=0; a=x; cv=none; d=x; s=x; t=1; b=x",
     ARC_STAT_SYNTAX,
     "invalid \"i\" value in ARC seal data",
     {},
     {}},
    {"seal without cv",
     ARC_KVSETTYPE_SEAL,
     "i=1; a=x; d=x; s=x; t=1; b=x",
     ARC_STAT_SYNTAX,
     "missing parameter(s) in ARC seal data",
     {},
     {}},
};

TEST_F(ArcTest, TagValueParser) {
    for (const auto& c : tv_cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NE(open(), nullptr);
        arc_kvset* set = nullptr;
        const ARC_STAT status =
            arc_process_set(msg_, c.type, c.text.data(), c.text.size(), nullptr, &set);
        EXPECT_EQ(status, c.status);
        // The set joins the message's list in every case.
        arc_kvset* listed = msg_->arc_kvsethead;
        ASSERT_NE(listed, nullptr);
        EXPECT_EQ(listed, msg_->arc_kvsettail);
        EXPECT_EQ(listed->set_type, c.type);
        if (c.status != ARC_STAT_OK) {
            EXPECT_EQ(set, nullptr);
            EXPECT_TRUE(listed->set_bad);
            EXPECT_EQ(error(), c.error);
            continue;
        }
        EXPECT_EQ(set, listed);
        EXPECT_FALSE(set->set_bad);
        EXPECT_EQ(arc_geterror(msg_), nullptr);
        for (const auto& [tag, value] : c.expect) {
            SCOPED_TRACE(tag);
            const char* got = arc_param_get(set, tag);
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, value);
        }
        for (const char* tag : c.absent) {
            SCOPED_TRACE(tag);
            EXPECT_EQ(arc_param_get(set, tag), nullptr);
        }
    }
}

TEST_F(ArcTest, TagLookupIsCaseSensitive) {
    ASSERT_NE(open(), nullptr);
    arc_kvset* set = nullptr;
    ASSERT_EQ(arc_process_set(msg_, ARC_KVSETTYPE_KEY, "I=1; p=x", 8, nullptr, &set), ARC_STAT_OK);
    EXPECT_EQ(arc_param_get(set, "i"), nullptr);
    EXPECT_STREQ(arc_param_get(set, "I"), "1");
    EXPECT_EQ(arc_param_get(set, "\x01"), nullptr);

    // Names must start with a printable byte; forcing an existing name keeps it.
    char bad[] = "\x01x";
    char value[] = "v";
    EXPECT_EQ(arc_add_plist(msg_, set, bad, value, false), -1);
    EXPECT_EQ(error(), "invalid parameter '\x01x'");
    char p[] = "p";
    EXPECT_EQ(arc_add_plist(msg_, set, p, value, true), 0);
    EXPECT_STREQ(arc_param_get(set, "p"), "x");
}

struct uint_case {
    const char* text;
    bool ok;
};
constexpr uint_case uint_cases[] = {
    {"1", true},   {"+7", true},   {"0042", true}, {"9223372036854775807", true},  {"0", false},
    {"-1", false}, {"1a", false},  {"", false},    {"9223372036854775808", false}, {"+", false},
    {" 5", true},  {" -5", false},  // a sign after blanks is still negative
    {"5 ", false},
};

TEST(ArcCheckUint, PositiveDecimalNumbersOnly) {
    for (const auto& c : uint_cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(arc_check_uint(c.text), c.ok);
    }
}

TEST(ArcTagValue, AllocationFailuresLeakNothing) {
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    const long start = live_allocations();
    int failed = 0;
    const long points = for_each_allocation_failure([&] {
        arc_msg* msg = arc_message(lib, 0, 0, 0, ARC_MODE_VERIFY, nullptr);
        if (msg == nullptr) {
            return;
        }
        arc_error(msg, "%s", "buffer made before the parse");
        const ARC_STAT status = arc_process_set(msg, ARC_KVSETTYPE_SIGNATURE, good_ams.data(),
                                                good_ams.size(), nullptr, nullptr);
        if (status != ARC_STAT_OK) {
            ++failed;
            EXPECT_EQ(status, ARC_STAT_INTERNAL);
            EXPECT_EQ(std::string_view(arc_geterror(msg)).substr(0, 18), "unable to allocate");
        }
        arc_free(msg);
    });
    // The message and its error buffer, the copy, the set, the h= copy and
    // one pair for each of the nine tags.
    EXPECT_EQ(points, 2 + 2 + 1 + 9);
    EXPECT_EQ(failed, 2 + 1 + 9);
    EXPECT_EQ(live_allocations(), start);
    arc_close(lib);
}

// ---- Message intake ----

using ArcMessage = ArcTest;

TEST_F(ArcMessage, CreationSettings) {
    const char* err = nullptr;
    EXPECT_EQ(arc_message(lib_, 0, 0, 0, 0, &err), nullptr);
    EXPECT_STREQ(err, "no mode(s) selected");

    uint64_t fixed = 1234567890;
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_FIXEDTIME, &fixed, 8), ARC_STAT_OK);
    ASSERT_NE(open(ARC_MODE_SIGN | ARC_MODE_VERIFY), nullptr);
    EXPECT_EQ(msg_->arc_lib, lib_);
    EXPECT_EQ(msg_->arc_timestamp, 1234567890u);
    EXPECT_EQ(msg_->arc_canonhdr, ARC_CANON_RELAXED);
    EXPECT_EQ(msg_->arc_canonbody, ARC_CANON_SIMPLE);
    EXPECT_EQ(msg_->arc_signalg, ARC_ALG_RSASHA256);
    EXPECT_EQ(msg_->arc_mode, static_cast<uint32_t>(ARC_MODE_SIGN | ARC_MODE_VERIFY));
    EXPECT_EQ(msg_->arc_margin, 75);
    EXPECT_EQ(msg_->arc_cstate, ARC_CHAIN_NONE);
    EXPECT_EQ(msg_->arc_state, ARC_STATE_INIT);
    EXPECT_EQ(arc_get_domain(msg_), nullptr);

    fixed = 0;
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_FIXEDTIME, &fixed, 8), ARC_STAT_OK);
    const auto before = static_cast<uint64_t>(time(nullptr));
    ASSERT_NE(open(), nullptr);
    EXPECT_GE(msg_->arc_timestamp, before);

    errno = 0;
    fail_allocation_in(1);
    EXPECT_EQ(arc_message(lib_, 0, 0, 0, ARC_MODE_SIGN, &err), nullptr);
    fail_allocation_in(0);
    EXPECT_STREQ(err, strerror(ENOMEM));
}

struct field_case {
    const char* label;
    std::string_view text;
    unsigned flags;
    ARC_STAT status;
    size_t namelen;
    std::string_view stored;  // hdr_text
};
const field_case field_cases[] = {
    {"plain", "Subject: hi", 0, ARC_STAT_OK, 7, "Subject: hi"},
    {"blank before colon", "Subject : hi", 0, ARC_STAT_OK, 7, "Subject : hi"},
    {"leading blank kept", " Subject: hi", 0, ARC_STAT_OK, 8, " Subject: hi"},
    {"empty name", ": hi", 0, ARC_STAT_OK, 0, ": hi"},
    {"tab in name", "Sub\tject: hi", 0, ARC_STAT_SYNTAX, 0, ""},
    {"semicolon in name", "Sub;ject: hi", 0, ARC_STAT_SYNTAX, 0, ""},
    {"byte above 0x7e in name", "Sub\x80: hi", 0, ARC_STAT_SYNTAX, 0, ""},
    {"no colon", "Subject hi", 0, ARC_STAT_SYNTAX, 0, ""},
    {"colon outside the length", std::string_view("Subject: hi", 7), 0, ARC_STAT_SYNTAX, 0, ""},
    {"value bytes above 0x7e", "X: \xff\xfe; \x01", 0, ARC_STAT_OK, 1, "X: \xff\xfe; \x01"},
    {"folded value", "X: a\r\n\tb", 0, ARC_STAT_OK, 1, "X: a\r\n\tb"},
    {"copy stops at NUL", std::string_view("X: a\0b", 6), 0, ARC_STAT_OK, 1, "X: a"},
    {"bare LF unrepaired", "X: a\nb", 0, ARC_STAT_OK, 1, "X: a\nb"},
    {"bare LF repaired", "X: a\nb", ARC_LIBFLAGS_FIXCRLF, ARC_STAT_OK, 1, "X: a\r\nb"},
    {"bare CR repaired", "X: a\rb", ARC_LIBFLAGS_FIXCRLF, ARC_STAT_OK, 1, "X: a\r\nb"},
    {"final CR repaired", "X: a\r", ARC_LIBFLAGS_FIXCRLF, ARC_STAT_OK, 1, "X: a\r\n"},
    {"CRLF kept", "X: a\r\n b", ARC_LIBFLAGS_FIXCRLF, ARC_STAT_OK, 1, "X: a\r\n b"},
    {"leading LF repaired", "X:\n\n", ARC_LIBFLAGS_FIXCRLF, ARC_STAT_OK, 1, "X:\r\n\r\n"},
};

TEST_F(ArcMessage, HeaderFieldParsing) {
    for (const auto& c : field_cases) {
        SCOPED_TRACE(c.label);
        unsigned flags = c.flags;
        ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags),
                  ARC_STAT_OK);
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(field(c.text), c.status);
        EXPECT_EQ(msg_->arc_state, ARC_STATE_HEADER);  // also for a refused field
        EXPECT_EQ(arc_geterror(msg_), nullptr);
        if (c.status != ARC_STAT_OK) {
            EXPECT_EQ(msg_->arc_hhead, nullptr);
            EXPECT_EQ(msg_->arc_hdrcnt, 0);
            continue;
        }
        arc_hdr* h = msg_->arc_hhead;
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(msg_->arc_hdrcnt, 1);
        EXPECT_EQ(std::string_view(h->hdr_text, h->hdr_textlen), c.stored);
        EXPECT_EQ(h->hdr_text[h->hdr_textlen], '\0');
        EXPECT_EQ(h->hdr_namelen, c.namelen);
        EXPECT_EQ(static_cast<size_t>(h->hdr_colon - h->hdr_text), c.text.find(':'));
        EXPECT_EQ(h->hdr_flags, 0u);
        EXPECT_EQ(h->hdr_data, nullptr);
        size_t namelen = 99;
        EXPECT_EQ(arc_hdr_name(h, &namelen), h->hdr_text);
        EXPECT_EQ(arc_hdr_name(h, nullptr), h->hdr_text);
        EXPECT_EQ(namelen, c.namelen);
        EXPECT_EQ(arc_hdr_value(h), h->hdr_colon + 1);
        EXPECT_EQ(arc_hdr_next(h), nullptr);
    }
}

TEST_F(ArcMessage, FieldsKeepMessageOrderAndPhasesAreEnforced) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(field("From: a@example.org"), ARC_STAT_OK);
    ASSERT_EQ(field("To: b@example.org"), ARC_STAT_OK);
    ASSERT_EQ(field("Subject: x"), ARC_STAT_OK);
    EXPECT_EQ(msg_->arc_hdrcnt, 3);
    std::vector<std::string> names;
    for (arc_hdr* h = msg_->arc_hhead; h != nullptr; h = arc_hdr_next(h)) {
        size_t n = 0;
        const char* name = arc_hdr_name(h, &n);
        names.emplace_back(name, n);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"From", "To", "Subject"}));
    EXPECT_EQ(msg_->arc_htail, msg_->arc_hhead->hdr_next->hdr_next);

    ASSERT_EQ(arc_eoh(msg_), ARC_STAT_OK);
    EXPECT_EQ(msg_->arc_state, ARC_STATE_EOH);
    EXPECT_EQ(field("Late: x"), ARC_STAT_INVALID);
    EXPECT_EQ(msg_->arc_hdrcnt, 3);
    EXPECT_EQ(arc_eoh(msg_), ARC_STAT_INVALID);
    EXPECT_EQ(msg_->arc_state, ARC_STATE_EOH);
}

TEST(ArcMessageAlloc, HeaderParsingFailuresLeakNothing) {
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    for (unsigned flags : {0u, static_cast<unsigned>(ARC_LIBFLAGS_FIXCRLF)}) {
        SCOPED_TRACE(flags);
        ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags),
                  ARC_STAT_OK);
        const long start = live_allocations();
        int refused = 0;
        for_each_allocation_failure([&] {
            arc_msg* msg = arc_message(lib, 0, 0, 0, ARC_MODE_VERIFY, nullptr);
            if (msg == nullptr) {
                return;
            }
            constexpr std::string_view text = "Subject: a\nb";
            arc_hdr* h = nullptr;
            const ARC_STAT status = arc_parse_header_field(
                msg, reinterpret_cast<const unsigned char*>(text.data()), text.size(), &h);
            if (status == ARC_STAT_OK) {
                OPENSSL_free(h->hdr_text);
                OPENSSL_free(h);
            } else {
                ++refused;
                EXPECT_EQ(status, ARC_STAT_NORESOURCE);
            }
            arc_free(msg);
        });
        // The record and the text; with repair also the string record and buffer.
        EXPECT_EQ(refused, flags == 0 ? 2 : 4);
        EXPECT_EQ(live_allocations(), start);
    }
    arc_close(lib);
}

// ---- End of header: grouping and structure ----

std::string aar(const std::string& i) {
    return "ARC-Authentication-Results: i=" + i + "; mx.example.org; spf=pass";
}
std::string ams(const std::string& i) {
    return "ARC-Message-Signature: i=" + i +
           "; a=rsa-sha256; c=relaxed/relaxed; d=example.org;\r\n\ts=sel; h=from:to; bh=AAAA; "
           "b=BBBB";
}
std::string as(const std::string& i, const char* cv = "none") {
    return "ARC-Seal: i=" + i + "; a=rsa-sha256; cv=" + cv + "; d=example.org; s=sel; t=1; b=CCCC";
}
std::vector<std::string> full_set(const std::string& i) {
    return {aar(i), ams(i), as(i)};
}

struct eoh_case {
    const char* label;
    std::vector<std::string> fields;
    int cstate;
    unsigned nsets;
    const char* error;  // null: none recorded
};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST_F(ArcTest, EndOfHeaderGroupsInstances) {
    const eoh_case cases[] = {
        {"no ARC fields", {"From: a", "Subject: b"}, ARC_CHAIN_NONE, 0, nullptr},
        {"one complete set", full_set("1"), ARC_CHAIN_NONE, 1, nullptr},
        {"two sets in any order", concat({{as("2", "pass"), ams("2"), aar("2")}, full_set("1")}),
         ARC_CHAIN_NONE, 2, nullptr},
        {"lower-case names",
         {"arc-authentication-results: i=1; x", ams("1"), "arc-seal " + as("1").substr(8)},
         ARC_CHAIN_NONE,
         1,
         nullptr},
        {"gap at 2", concat({full_set("1"), full_set("3")}), ARC_CHAIN_FAIL, 3,
         "missing or incomplete ARC set at instance 2"},
        {"incomplete set",
         {aar("1"), ams("1")},
         ARC_CHAIN_FAIL,
         1,
         "missing or incomplete ARC set at instance 1"},
        {"two seals", concat({full_set("1"), {as("1", "fail")}}), ARC_CHAIN_FAIL, 1,
         "multiple ARC seals at instance 1"},
        {"two signatures", concat({full_set("1"), {ams("1")}}), ARC_CHAIN_FAIL, 1,
         "multiple ARC signatures at instance 1"},
        {"two results", concat({full_set("1"), {aar("1")}}), ARC_CHAIN_FAIL, 1,
         "multiple ARC auth results at instance 1"},
        // A field that failed to parse is still placed by its i=; the chain has failed.
        {"unparsable seal",
         {aar("1"), ams("1"), "ARC-Seal: i=1; b"},
         ARC_CHAIN_FAIL,
         1,
         "tag without value at end of ARC seal data"},
        {"only an unparsable field",
         {"ARC-Seal: garbage"},
         ARC_CHAIN_FAIL,
         0,
         "tag without value at end of ARC seal data"},
        {"bad set still counts and is placed",
         {aar("2"), "ARC-Message-Signature: i=2; a=x", as("2")},
         ARC_CHAIN_FAIL,
         2,
         "missing or incomplete ARC set at instance 1"},
        {"i=1a counts, is not placed", concat({full_set("1"), {"ARC-Seal: i=3a; b=x"}}),
         ARC_CHAIN_FAIL, 3, "missing or incomplete ARC set at instance 2"},
        {"instance 50 is allowed", full_set("50"), ARC_CHAIN_FAIL, 50,
         "missing or incomplete ARC set at instance 1"},
        {"instance 51", concat({full_set("1"), full_set("51")}), ARC_CHAIN_FAIL, 1,
         "ARC-Authentication-Results instance 51 out of range (1 to 50)"},
        {"only instance 4294967295", full_set("4294967295"), ARC_CHAIN_FAIL, 1,
         "ARC-Authentication-Results instance 4294967295 out of range (1 to 50)"},
        {"instance 99999999999 in a seal", concat({full_set("1"), {as("99999999999")}}),
         ARC_CHAIN_FAIL, 1, "ARC-Seal instance 99999999999 out of range (1 to 50)"},
        {"instance beyond 64 bits", concat({full_set("1"), {as("123456789012345678901234567890")}}),
         ARC_CHAIN_FAIL, 1, "ARC-Seal instance 12345678901234567890... out of range (1 to 50)"},
        {"instance 4294967298 (2 in 32 bits)", concat({full_set("1"), full_set("4294967298")}),
         ARC_CHAIN_FAIL, 1,
         "ARC-Authentication-Results instance 4294967298 out of range (1 to 50)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NE(open(ARC_MODE_SIGN | ARC_MODE_VERIFY), nullptr);
        for (const auto& f : c.fields) {
            ASSERT_EQ(field(f), ARC_STAT_OK) << f;
        }
        ASSERT_EQ(arc_eoh(msg_), ARC_STAT_OK);
        EXPECT_EQ(msg_->arc_cstate, c.cstate);
        EXPECT_EQ(msg_->arc_nsets, c.nsets);
        EXPECT_EQ(msg_->arc_sets == nullptr, c.nsets == 0);
        EXPECT_EQ(error(), c.error != nullptr ? c.error : "(none)");
        // Every ARC field with a parsed set points at it, and it back.
        for (arc_hdr* h = msg_->arc_hhead; h != nullptr; h = h->hdr_next) {
            if (h->hdr_data != nullptr) {
                EXPECT_EQ(h->hdr_data->set_udata, h);
                EXPECT_FALSE(h->hdr_data->set_bad);
            }
        }
    }
}

TEST_F(ArcTest, EndOfHeaderFillsTheSlotsWithTheFirstField) {
    ASSERT_NE(open(), nullptr);
    for (const auto& f : concat({full_set("2"), full_set("1"), {as("1", "fail")}})) {
        ASSERT_EQ(field(f), ARC_STAT_OK);
    }
    ASSERT_EQ(arc_eoh(msg_), ARC_STAT_OK);
    ASSERT_EQ(msg_->arc_nsets, 2u);
    arc_hdr* h[7];
    int n = 0;
    for (arc_hdr* p = msg_->arc_hhead; p != nullptr; p = p->hdr_next) {
        h[n++] = p;
    }
    ASSERT_EQ(n, 7);
    EXPECT_EQ(msg_->arc_sets[1].arcset_aar, h[0]);
    EXPECT_EQ(msg_->arc_sets[1].arcset_ams, h[1]);
    EXPECT_EQ(msg_->arc_sets[1].arcset_as, h[2]);
    EXPECT_EQ(msg_->arc_sets[0].arcset_aar, h[3]);
    EXPECT_EQ(msg_->arc_sets[0].arcset_ams, h[4]);
    EXPECT_EQ(msg_->arc_sets[0].arcset_as, h[5]);  // the first seal stays
    EXPECT_STREQ(arc_param_get(h[6]->hdr_data, "cv"), "fail");
    EXPECT_EQ(msg_->arc_cstate, ARC_CHAIN_FAIL);
    EXPECT_EQ(error(), "multiple ARC seals at instance 1");
}

// Allocations arc_eoh makes, and blocks it leaves owned by the message, for
// three ARC fields with instance i.
struct eoh_cost {
    long made;
    long kept;
    unsigned nsets;
};
eoh_cost eoh_allocations(arc_library* lib, const std::string& i) {
    // Validation only: a failed chain starts no hashes, so what is left is the
    // parsing and the instance table.
    arc_msg* msg = arc_message(lib, 0, 0, 0, ARC_MODE_VERIFY, nullptr);
    for (const auto& f : full_set(i)) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_error(msg, "%s", "error buffer made before counting");
    const long before = allocation_count();
    const long live_before = live_allocations();
    EXPECT_EQ(arc_eoh(msg), ARC_STAT_OK);
    const eoh_cost cost{allocation_count() - before, live_allocations() - live_before,
                        msg->arc_nsets};
    EXPECT_EQ(msg->arc_cstate, ARC_CHAIN_FAIL);
    arc_free(msg);
    return cost;
}

TEST_F(ArcTest, HugeInstanceNumbersNeverSizeTheTable) {
    const eoh_cost small = eoh_allocations(lib_, "2");  // a gap: also a failed chain
    EXPECT_EQ(small.nsets, 2u);
    for (const char* i : {"51", "4294967295", "99999999999"}) {
        SCOPED_TRACE(i);
        // Same work as the small chain: three sets, their pairs, one table.
        const eoh_cost cost = eoh_allocations(lib_, i);
        EXPECT_EQ(cost.made, small.made);
        EXPECT_EQ(cost.kept, small.kept);
        EXPECT_EQ(cost.nsets, 1u);
    }
}

TEST_F(ArcTest, OutOfRangeInstanceNeverReadsAsNoChain) {
    // Sign-only: the grouping still runs, and a new set would get i=2, not 52.
    ASSERT_NE(open(ARC_MODE_SIGN), nullptr);
    for (const auto& f : full_set("51")) {
        ASSERT_EQ(field(f), ARC_STAT_OK);
    }
    ASSERT_EQ(arc_eoh(msg_), ARC_STAT_OK);
    EXPECT_EQ(msg_->arc_cstate, ARC_CHAIN_FAIL);
    EXPECT_GE(msg_->arc_nsets, 1u);
    EXPECT_LE(msg_->arc_nsets, ARC_MAXINSTANCES);
    // No slot holds the out-of-range fields.
    EXPECT_EQ(msg_->arc_sets[0].arcset_aar, nullptr);
    EXPECT_EQ(msg_->arc_sets[0].arcset_ams, nullptr);
    EXPECT_EQ(msg_->arc_sets[0].arcset_as, nullptr);
}

TEST(ArcEohAlloc, InstanceTableFailureIsReportedAndLeaksNothing) {
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    const std::vector<std::string> fields = concat({full_set("1"), full_set("2")});
    const auto run = [&](auto&& check) {
        arc_msg* msg = arc_message(lib, 0, 0, 0, ARC_MODE_VERIFY, nullptr);
        if (msg == nullptr) {
            return;
        }
        for (const auto& f : fields) {
            if (arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size()) !=
                ARC_STAT_OK) {
                arc_free(msg);
                return;
            }
        }
        check(msg, arc_eoh(msg));
        arc_free(msg);
        // libcrypto keeps a failed allocation's report in its error queue.
        ERR_clear_error();
    };
    run([](arc_msg*, ARC_STAT status) { EXPECT_EQ(status, ARC_STAT_OK); });  // warms libcrypto
    const long start = live_allocations();
    int table_failures = 0;
    const long points = for_each_allocation_failure([&] {
        run([&](arc_msg* msg, ARC_STAT status) {
            if (msg->arc_nsets != 0 && msg->arc_sets == nullptr) {
                // The instance table could not be made: a resource failure.
                EXPECT_EQ(status, ARC_STAT_NORESOURCE);
                EXPECT_EQ(std::string(arc_geterror(msg)),
                          "unable to allocate " + std::to_string(2 * sizeof(arc_set)) + " byte(s)");
                ++table_failures;
            } else if (status == ARC_STAT_OK) {
                // A set that could not be made fails the chain, never passes it.
                EXPECT_NE(msg->arc_cstate, ARC_CHAIN_PASS);
            }
        });
    });
    EXPECT_GT(points, 20);
    EXPECT_EQ(table_failures, 1);
    EXPECT_EQ(live_allocations(), start);
    arc_close(lib);
}

TEST_F(ArcTest, FreeReleasesEverythingTheMessageOwns) {
    const long start = live_allocations();
    ASSERT_NE(open(ARC_MODE_SIGN | ARC_MODE_VERIFY), nullptr);
    for (const auto& f : concat({full_set("1"), {"Subject: x"}})) {
        ASSERT_EQ(field(f), ARC_STAT_OK);
    }
    ASSERT_EQ(arc_eoh(msg_), ARC_STAT_OK);
    arc_error(msg_, "text");
    msg_->arc_key = static_cast<unsigned char*>(OPENSSL_malloc(16));
    // The working buffer of canonicalization, made if not yet.
    if (msg_->arc_hdrbuf == nullptr) {
        msg_->arc_hdrbuf = arc_dstring_new(msg_, 0, 0);
    }
    arc_hdr* gen = nullptr;
    const std::string_view seal = "ARC-Seal: i=2";
    ASSERT_EQ(arc_parse_header_field(msg_, reinterpret_cast<const unsigned char*>(seal.data()),
                                     seal.size(), &gen),
              ARC_STAT_OK);
    msg_->arc_sealhead = msg_->arc_sealtail = gen;
    EXPECT_GT(live_allocations(), start);
    arc_free(msg_);
    msg_ = nullptr;
    EXPECT_EQ(live_allocations(), start);
}

}  // namespace
