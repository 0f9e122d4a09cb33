// SPDX-License-Identifier: BSD-2-Clause
// velmora-ar_test.cc - the Authentication-Results parser: the table of values
// and outcomes, the token, property, result and text limits, and the names.
#include "velmora-ar.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "forged-results.h"

namespace {

// Renders a parsed record as "host[/version] [result; result...]", each result
// as "method=result (comment) reason=R ptype.name=value...".
std::string describe(const authres& ar) {
    std::string out = ar.ares_host;
    if (ar.ares_version[0] != '\0') {
        out += std::string("/") + ar.ares_version;
    }
    out += " [";
    for (int i = 0; i < ar.ares_nresults; ++i) {
        const authres_result& r = ar.ares_results[i];
        if (i > 0) {
            out += "; ";
        }
        const char* method = ares_getmethod(r.result_method);
        const char* result = ares_getresult(r.result_result);
        out += method != nullptr ? method : "#" + std::to_string(r.result_method);
        out += "=";
        out += result != nullptr ? result : "#" + std::to_string(r.result_result);
        if (r.result_comment[0] != '\0') {
            out += std::string(" ") + r.result_comment;
        }
        if (r.result_reason[0] != '\0') {
            out += std::string(" reason=") + r.result_reason;
        }
        for (int p = 0; p < r.result_nprops; ++p) {
            const char* ptype = ares_getptype(r.result_ptype[p]);
            out += std::string(" ") + (ptype != nullptr ? ptype : "?") + "." +
                   r.result_property[p] + "=" + r.result_value[p];
        }
    }
    return out + "]";
}

class AresParse : public ::testing::Test {
  protected:
    // Parses `value`; returns the rendering, or "error".
    std::string parse(const std::string& value) {
        std::memset(ar_.get(), 0xa5, sizeof *ar_);
        if (ares_parse(value.c_str(), ar_.get()) != 0) {
            return "error";
        }
        return describe(*ar_);
    }
    std::unique_ptr<authres> ar_ = std::make_unique<authres>();
};

struct ar_case {
    const char* value;
    const char* outcome;
};
constexpr ar_case ar_cases[] = {
    {"host1; none", "host1 []"},
    {"host1 1; none", "host1/1 []"},
    {"mx.host1; dkim=pass header.d=d1", "mx.host1 [dkim=pass header.d=d1]"},
    {"host1; spf=pass smtp.helo=h1.d1", "host1 [spf=pass smtp.helo=h1.d1]"},
    {"host1; dkim=pass (good sig) reason=bad", "host1 [dkim=pass (good sig) reason=bad]"},
    {"host1; spf=fail; dkim=pass; spf=pass", "host1 [spf=pass; dkim=pass]"},
    {"host1; spf=fail; spf=pass; dkim=pass", "host1 [spf=pass; dkim=pass]"},
    {"host1; auth=pass smtp.auth=u1; dkim=pass", "host1 [auth=pass smtp.auth=u1; dkim=pass]"},
    {"host1; arc=pass; arc=fail", "host1 [arc=fail]"},
    {"host1; dkim=pass header.d=d1; dkim=fail header.d=d2",
     "host1 [dkim=pass header.d=d1; dkim=fail header.d=d2]"},
    {"host1; dkim=bogus", "host1 [dkim=unknown]"},
    {"host1; foo=pass", "host1 [#-1=pass]"},
    {"host1; foo=pass; bar=fail", "host1 [#-1=fail]"},  // unknown methods merge too
    {"host1; dkim=pass x.y=z", "error"},
    {"host1 dkim=pass", "error"},
    {"; dkim=pass", "error"},
    {"host1; dkim", "error"},
    {"host1; dkim=", "host1 [dkim=pass]"},
    // Beyond the table.
    {"", " []"},
    {"  \t ", " []"},
    {"host1", "host1 []"},
    {"host1;", "host1 []"},
    {"host1.example.com 2; spf=pass", "host1.example.com/2 [spf=pass]"},
    {"host1 x; none", "error"},
    {"host1 1 2; none", "error"},
    {"-host1; none", "error"},
    {"host1..x; none", "error"},
    {"(c) host1; none", "host1 []"},
    {"host1; dkim=pass; none", "host1 [dkim=pass]"},
    {"host1; none; dkim=pass", "error"},
    {"host1; none (comment)", "host1 []"},
    {"HOST1; DKIM=PASS Header.D=D1", "HOST1 [dkim=pass header.D=D1]"},
    {"host1; dkim=pass reason=\"two words\" header.b=abc=",
     "host1 [dkim=pass reason=two words header.b=abc=]"},
    {"host1; dkim=pass header.b=YWJj==", "host1 [dkim=pass header.b=YWJj==]"},
    {"host1; spf=pass smtp.mailfrom=u1@d1.example", "host1 [spf=pass smtp.mailfrom=u1@d1.example]"},
    {"host1; dkim=pass header.d=a\\;b", "host1 [dkim=pass header.d=a;b]"},
    {"host1; dkim=pass header.d=\"a b;c\"", "host1 [dkim=pass header.d=a b;c]"},
    {"host1; dkim=pass (a (b) c)", "host1 [dkim=pass (a (b c)]"},
    {"host1; dkim=pass (a;b=c.d)", "host1 [dkim=pass (a;b=c.d)]"},
    {"host1; dkim=pass (c1) (c2)", "host1 [dkim=pass (c2)]"},
    {"host1; dkim=(c) pass", "host1 [dkim=pass]"},
    {"host1; dkim=pass(good)", "host1 [dkim=unknown]"},
    {"host1; dkim=pass )", "host1 [dkim=pass]"},
    {"host1; dkim=pass reason", "error"},
    {"host1; dkim=pass reason=", "host1 [dkim=pass]"},
    {"host1; dkim=pass reason=r reason=s", "error"},
    {"host1; dkim=pass header", "error"},
    {"host1; dkim=pass header.", "error"},
    {"host1; dkim=pass header.d", "error"},
    {"host1; dkim=pass header.d=", "host1 [dkim=pass]"},
    {"host1; dkim=pass header.d=d1 header.i=@d1 policy.x=y",
     "host1 [dkim=pass header.d=d1 header.i=@d1 policy.x=y]"},
    {"host1; dkim=pass body.x=y reason=r", "error"},  // reason only right after the result
    {"host1; dkim=pass header.d=d1 .x", "host1 [dkim=pass header.d=d1.x]"},
    {"host1; dkim=pass =x", "error"},  // a continuation needs a value before it
    {"host1; dkim=pass\\", "host1 [dkim=pass]"},
    {"host1; spf=pass \xc3\xa9.d=x", "error"},
    {"host1; spf=pass smtp.helo=\xc3\xa9t\xc3\xa9", "host1 [spf=pass smtp.helo=\xc3\xa9t\xc3\xa9]"},
};

TEST_F(AresParse, ValuesAndOutcomes) {
    for (const auto& c : ar_cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(parse(c.value), c.outcome);
    }
}

TEST_F(AresParse, RecordIsClearedFirst) {
    ASSERT_EQ(parse("host1; dkim=pass"), "host1 [dkim=pass]");
    const authres_result& r = ar_->ares_results[0];
    EXPECT_EQ(r.result_nprops, 0);
    EXPECT_STREQ(r.result_reason, "");
    EXPECT_STREQ(r.result_comment, "");
    EXPECT_STREQ(ar_->ares_version, "");
    const authres_result& unused = ar_->ares_results[1];
    EXPECT_EQ(unused.result_method, 0);
    EXPECT_STREQ(unused.result_value[15], "");
}

// Repeats `piece` n times.
std::string times(int n, const std::string& piece) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += piece;
    }
    return out;
}

TEST_F(AresParse, FifteenResultsAtMost) {
    // dkim results never merge, so each counts.
    EXPECT_EQ(parse("host1" + times(15, "; dkim=pass")),
              "host1 [" + std::string("dkim=pass") + times(14, "; dkim=pass") + "]");
    EXPECT_EQ(parse("host1" + times(15, "; dkim=pass") + ";"),
              parse("host1" + times(15, "; dkim=pass")));
    EXPECT_EQ(parse("host1" + times(16, "; dkim=pass")), "host1 []");
    EXPECT_EQ(parse("host1" + times(40, "; dkim=pass")), "host1 []");
    // Merged results do not count against the limit.
    EXPECT_EQ(parse("host1" + times(20, "; spf=fail") + "; spf=pass"), "host1 [spf=pass]");
}

TEST_F(AresParse, SixteenPropertiesAtMost) {
    std::string props;
    std::string want;
    for (int i = 0; i < 16; ++i) {
        props += " header.p" + std::to_string(i) + "=v" + std::to_string(i);
        want += " header.p" + std::to_string(i) + "=v" + std::to_string(i);
    }
    EXPECT_EQ(parse("host1; dkim=pass" + props), "host1 [dkim=pass" + want + "]");
    // A 17th property is read but not stored, and its continuation does not
    // spill into the 16th.
    EXPECT_EQ(parse("host1; dkim=pass" + props + " body.extra=x.y; spf=pass"),
              "host1 [dkim=pass" + want + "; spf=pass]");
    EXPECT_EQ(parse("host1; dkim=pass" + props + " bogus.extra=x"), "error");
}

TEST_F(AresParse, TokenLimits) {
    // "host1", ";", "dkim", "=", "pass" and then one token per comment.
    const std::string head = "host1; dkim=pass";
    EXPECT_EQ(parse(head + times(507, " (c)")), "host1 [dkim=pass (c)]");
    EXPECT_EQ(parse(head + times(508, " (c)")), "error");
    EXPECT_EQ(parse(head + times(5000, " (c)")), "error");
    EXPECT_EQ(parse(times(20000, ";")), "error");

    // Token text: 20 bytes for the head tokens and their terminators, and the
    // comment with its terminator; 4096 in all is the most.
    const std::string fits = "(" + std::string(4073, 'x') + ")";
    ASSERT_EQ(parse(head + " " + fits).substr(0, 18), "host1 [dkim=pass (");
    EXPECT_EQ(std::strlen(ar_->ares_results[0].result_comment), 256u);
    EXPECT_EQ(std::string(ar_->ares_results[0].result_comment), fits.substr(0, 256));
    EXPECT_EQ(parse(head + " (" + std::string(4074, 'x') + ")"), "error");
    EXPECT_EQ(parse(std::string(100000, 'h')), "error");
}

TEST_F(AresParse, LongTextsAreCut) {
    const std::string host(300, 'h');
    ASSERT_NE(parse(host + "." + host + " " + std::string(300, '7') +
                    "; spf=pass smtp.helo=" + std::string(250, 'a') + ".b.c.d.e.f.g.h"),
              "error");
    EXPECT_EQ(std::string(ar_->ares_host), host.substr(0, 256));
    EXPECT_EQ(std::string(ar_->ares_version), std::string(256, '7'));
    const authres_result& r = ar_->ares_results[0];
    EXPECT_EQ(std::string(r.result_value[0]), std::string(250, 'a') + ".b.c.d");
    EXPECT_EQ(r.result_nprops, 1);

    ASSERT_NE(parse("host1; dkim=pass reason=\"" + std::string(400, 'r') + "\" header." +
                    std::string(300, 'n') + "=v"),
              "error");
    EXPECT_EQ(std::string(ar_->ares_results[0].result_reason), std::string(256, 'r'));
    EXPECT_EQ(std::string(ar_->ares_results[0].result_property[0]), std::string(256, 'n'));
}

TEST(AresNames, CodesAndNames) {
    struct name_case {
        const char* (*lookup)(int);
        int code;
        const char* name;
    };
    const name_case cases[] = {
        {ares_getmethod, ARES_METHOD_ARC, "arc"},
        {ares_getmethod, ARES_METHOD_AUTH, "auth"},
        {ares_getmethod, ARES_METHOD_DKIM, "dkim"},
        {ares_getmethod, ARES_METHOD_DKIMADSP, "dkim-adsp"},
        {ares_getmethod, ARES_METHOD_DKIMATPS, "dkim-atps"},
        {ares_getmethod, ARES_METHOD_DMARC, "dmarc"},
        {ares_getmethod, ARES_METHOD_DOMAINKEYS, "domainkeys"},
        {ares_getmethod, ARES_METHOD_IPREV, "iprev"},
        {ares_getmethod, ARES_METHOD_RRVS, "rrvs"},
        {ares_getmethod, ARES_METHOD_SENDERID, "sender-id"},
        {ares_getmethod, ARES_METHOD_SMIME, "smime"},
        {ares_getmethod, ARES_METHOD_SPF, "spf"},
        {ares_getmethod, ARES_METHOD_UNKNOWN, nullptr},
        {ares_getmethod, 12, nullptr},
        {ares_getresult, ARES_RESULT_NONE, "none"},
        {ares_getresult, ARES_RESULT_PASS, "pass"},
        {ares_getresult, ARES_RESULT_FAIL, "fail"},
        {ares_getresult, ARES_RESULT_POLICY, "policy"},
        {ares_getresult, ARES_RESULT_NEUTRAL, "neutral"},
        {ares_getresult, ARES_RESULT_TEMPERROR, "temperror"},
        {ares_getresult, ARES_RESULT_PERMERROR, "permerror"},
        {ares_getresult, ARES_RESULT_NXDOMAIN, "nxdomain"},
        {ares_getresult, ARES_RESULT_SIGNED, "signed"},
        {ares_getresult, ARES_RESULT_UNKNOWN, "unknown"},
        {ares_getresult, ARES_RESULT_DISCARD, "discard"},
        {ares_getresult, ARES_RESULT_SOFTFAIL, "softfail"},
        {ares_getresult, 1, nullptr},
        {ares_getptype, ARES_PTYPE_SMTP, "smtp"},
        {ares_getptype, ARES_PTYPE_HEADER, "header"},
        {ares_getptype, ARES_PTYPE_BODY, "body"},
        {ares_getptype, ARES_PTYPE_POLICY, "policy"},
        {ares_getptype, ARES_PTYPE_UNKNOWN, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name != nullptr ? c.name : std::to_string(c.code));
        EXPECT_STREQ(c.lookup(c.code), c.name);
    }
}

TEST_F(AresParse, NamesAreReadIgnoringCase) {
    ASSERT_EQ(parse("h; DMARC=SoftFail; Sender-ID=TempError Policy.x=1"),
              "h [dmarc=softfail; sender-id=temperror policy.x=1]");
    EXPECT_EQ(ar_->ares_results[0].result_method, ARES_METHOD_DMARC);
    EXPECT_EQ(ar_->ares_results[0].result_result, ARES_RESULT_SOFTFAIL);
    EXPECT_EQ(ar_->ares_results[1].result_ptype[0], ARES_PTYPE_POLICY);
}

// ---- Whose field it is ----

struct claim_row {
    const char* value;
    ares_claim claim;  // on the authserv-id mx.example
};
constexpr claim_row claim_rows[] = {
    {"mx.example; arc=pass", ares_claim::ours},
    {"MX.Example (comment); dkim=pass", ares_claim::ours},
    {"(c (nested)) \"mx.example\" 1 ; none", ares_claim::ours},
    {"\"mx\\.example\"; none", ares_claim::ours},
    // The parser stops at the trailing dot; RFC 8601 names the same domain.
    {"mx.example.; none", ares_claim::ambiguous},
    // A comment after an escape is text to RFC 8601 but not to the parser.
    {"m\\(x).example; none", ares_claim::unreadable},
    {"mx .example; dkim=pass", ares_claim::unreadable},
    {"mx.example dkim=pass", ares_claim::unreadable},
    {"", ares_claim::unreadable},
    {"other.example; dkim=pass", ares_claim::other},
    {"mx.example.other; none", ares_claim::other},
    {"mx.examplex; none", ares_claim::other},
    {"\"mx.example; x\"; none", ares_claim::other},
};

TEST(AresClaims, BothReadingsDecide) {
    for (const auto& r : claim_rows) {
        SCOPED_TRACE(r.value);
        ares_id id;
        ares_read_id(r.value, &id);
        EXPECT_EQ(static_cast<int>(ares_claims(&id, "mx.example")), static_cast<int>(r.claim));
    }
}

// Every forged value of the shared table claims the authserv-id, for this
// host's and a trusted one, and no other one unless it does not read at all.
TEST(AresClaims, ForgedValuesClaimTheirAuthservId) {
    for (const char* mine : {"mx.example", "mx2.example"}) {
        for (const auto& c : velmora_test::forged_cases) {
            const std::string v = velmora_test::forged_value(c.pattern, mine);
            SCOPED_TRACE(v);
            ares_id id;
            ares_read_id(v.c_str(), &id);
            EXPECT_EQ(ares_claims(&id, mine) != ares_claim::other, c.claims);
            EXPECT_EQ(ares_claims(&id, "mx3.example") != ares_claim::other,
                      c.claims && !id.ai_strict);
        }
    }
}

TEST(AresClaims, SameIdIsTheSameDomain) {
    struct row {
        const char* a;
        const char* b;
        bool same;
    };
    constexpr row rows[] = {
        {"mx.example", "MX.EXAMPLE", true},
        {"mx.example.", "mx.example", true},
        {"mx.example", "mx.example.", true},
        {"mx.example..", "mx.example", false},
        {"mx.example", "mx.examples", false},
        {"", "", false},
        {".", "", false},
        {"mx\xc3\xa9", "MX\xc3\x89", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.a) + " / " + r.b);
        EXPECT_EQ(ares_same_id(r.a, r.b), r.same);
    }
}

TEST(AresParseDeathTest, NullArgumentsAbort) {
    auto ar = std::make_unique<authres>();
    EXPECT_DEATH(ares_parse(nullptr, ar.get()), "hdr != NULL");
    EXPECT_DEATH(ares_parse("h; none", nullptr), "ar != NULL");
}

}  // namespace
