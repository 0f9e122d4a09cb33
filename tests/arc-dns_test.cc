// SPDX-License-Identifier: BSD-2-Clause
// arc-dns_test.cc - the DNS reply checks as functions of crafted reply bytes:
// the question walk, arc_check_dns_reply, and the reply walk of
// arc_get_key_dns through resolver operations that hand back canned replies;
// the wait and its deadlines.
#include "arc-dns.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arc-keys.h"
#include "arc-util.h"
#include "arc.h"
#include "dns-reply-builder.h"

namespace {

using velmora_test::reply_builder;
using bytes = std::vector<unsigned char>;

constexpr int type_a = 1;
constexpr int type_cname = 5;
constexpr int type_txt = 16;
constexpr int type_rrsig = 46;
constexpr int class_in = 1;
constexpr int class_ch = 3;
constexpr const char* qname = "s1._domainkey.d1";

// ---- Canned resolver operations ----

// What the canned operations hand back, and what they saw.
struct canned_dns {
    bytes reply;
    size_t claimed_len = 0;  // length "wait" reports; 0 = reply.size()
    int init_result = 0;
    int start_result = 0;
    std::vector<int> wait_results;  // one per wait call; the last one repeats
    // Seen:
    int inits = 0;
    int starts = 0;
    int waits = 0;
    int cancels = 0;
    int callbacks = 0;
    std::string asked;
    int asked_type = -1;
    std::vector<bool> wait_had_limit;
};

canned_dns* canned = nullptr;

int canned_init(void** srv) {
    ++canned->inits;
    if (canned->init_result == 0) {
        *srv = canned;
    }
    return canned->init_result;
}

void canned_close(void*) {}

int canned_start(void*, int type, const unsigned char* query, unsigned char* buf, size_t buflen,
                 void** qh) {
    ++canned->starts;
    canned->asked = reinterpret_cast<const char*>(query);
    canned->asked_type = type;
    if (canned->start_result != 0) {
        return canned->start_result;
    }
    std::memcpy(buf, canned->reply.data(), std::min(buflen, canned->reply.size()));
    *qh = canned;
    return 0;
}

int canned_cancel(void*, void* qh) {
    EXPECT_EQ(qh, canned);
    ++canned->cancels;
    return 0;
}

int canned_wait(void*, void*, struct timeval* to, size_t* bytes_out, int*, int*) {
    const size_t i = static_cast<size_t>(canned->waits++);
    canned->wait_had_limit.push_back(to != nullptr);
    *bytes_out = canned->claimed_len != 0 ? canned->claimed_len : canned->reply.size();
    if (canned->wait_results.empty()) {
        return 0;
    }
    return canned->wait_results[std::min(i, canned->wait_results.size() - 1)];
}

void count_callback(const void* ctx) {
    EXPECT_EQ(ctx, canned);
    ++canned->callbacks;
}

// A library handle whose resolver operations are the canned ones, and one
// message for selector s1, domain d1.
class CannedDnsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        canned = &dns;
        lib = arc_init();
        ASSERT_NE(lib, nullptr);
        lib->arc_dns_init = canned_init;
        lib->arc_dns_close = canned_close;
        lib->arc_dns_start = canned_start;
        lib->arc_dns_cancel = canned_cancel;
        lib->arc_dns_waitreply = canned_wait;
        ASSERT_EQ(arc_dns_setup(lib), ARC_STAT_OK);
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        ASSERT_NE(msg, nullptr) << (err != nullptr ? err : "");
        msg->arc_selector = "s1";
        msg->arc_domain = "d1";
        msg->arc_user_context = canned;
    }
    void TearDown() override {
        if (msg != nullptr) {
            arc_free(msg);
        }
        if (lib != nullptr) {
            arc_close(lib);
        }
        canned = nullptr;
    }

    // Runs the DNS lookup over the canned reply into a buffer of buflen bytes.
    ARC_STAT lookup(const bytes& reply, size_t buflen = 1025) {
        dns.reply = reply;
        key.assign(buflen, 'x');
        return arc_get_key_dns(msg, key.data(), key.size());
    }
    std::string key_text() const { return std::string{key.data()}; }
    std::string error() const {
        const char* e = arc_geterror(msg);
        return e != nullptr ? e : "(none)";
    }

    canned_dns dns;
    arc_library* lib = nullptr;
    arc_msg* msg = nullptr;
    std::vector<char> key;
};

// ---- The reply table ----

// A reply for the key's question with one TXT answer, of the given header bits.
bytes txt_reply(std::string_view text, bool tc = false) {
    reply_builder r;
    r.header(0, tc, 1, 1).question(qname, type_txt, class_in).answer_txt(text);
    return r.bytes();
}

struct reply_case {
    const char* name;
    bytes reply;
    int check;              // arc_check_dns_reply(IN, TXT)
    ARC_STAT status;        // arc_get_key_dns
    std::string error;      // exact error text, or "(none)"
    std::string_view text;  // the record text on ARC_STAT_OK
};

std::vector<reply_case> reply_cases() {
    std::vector<reply_case> cases;
    const std::string q = std::string{"'"} + qname + "'";
    auto err = [&](const char* suffix) { return q + suffix; };
    auto add = [&](const char* name, const reply_builder& r, int check, ARC_STAT st,
                   const std::string& e, std::string_view text = {}) {
        cases.push_back({name, r.bytes(), check, st, e, text});
    };
    reply_builder r;

    add("one TXT answer",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer_txt("v=DKIM1; p=ABC"),
        0, ARC_STAT_OK, "(none)", "v=DKIM1; p=ABC");
    add("truncated with a TXT answer",
        r.reset().header(0, true, 1, 1).question(qname, type_txt, class_in).answer_txt("v=DKIM1"),
        1, ARC_STAT_KEYFAIL, err(" reply truncated"));
    add("truncated without answers",
        r.reset().header(0, true, 1, 0).question(qname, type_txt, class_in), 2, ARC_STAT_NOKEY,
        "(none)");
    add("CNAME before the TXT answer",
        r.reset()
            .header(0, false, 1, 2)
            .question(qname, type_txt, class_in)
            .answer_name(type_cname, "t.d1")
            .answer_txt("v=DKIM1; p=XYZ"),
        0, ARC_STAT_OK, "(none)", "v=DKIM1; p=XYZ");
    add("only a CNAME",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer_name(type_cname, "t.d1"),
        0, ARC_STAT_NOKEY, err(" reply was unresolved CNAME"));
    add("RRSIG before the TXT answer",
        r.reset()
            .header(0, false, 1, 2)
            .question(qname, type_txt, class_in)
            .answer(type_rrsig, bytes(40, 0x55))
            .answer_txt("p=R"),
        0, ARC_STAT_OK, "(none)", "p=R");
    add("two TXT answers",
        r.reset()
            .header(0, false, 1, 2)
            .question(qname, type_txt, class_in)
            .answer_txt("v=DKIM1; p=A")
            .answer_txt("v=DKIM1; p=B"),
        0, ARC_STAT_MULTIREPLY, "multiple DNS replies for " + q);
    add("NXDOMAIN", r.reset().header(3, false, 1, 0).question(qname, type_txt, class_in), 0,
        ARC_STAT_NOKEY, err(" record not found"));
    add("NXDOMAIN with the truncation bit",
        r.reset().header(3, true, 1, 0).question(qname, type_txt, class_in), 0, ARC_STAT_NOKEY,
        err(" record not found"));
    add("RCODE 0 without answers",
        r.reset().header(0, false, 1, 0).question(qname, type_txt, class_in), 0, ARC_STAT_NOKEY,
        "(none)");
    add("an answer of another type",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer(type_a, bytes{127, 0, 0, 2}),
        0, ARC_STAT_KEYFAIL, err(" reply was unexpected type 1"));
    add("truncated, an answer of another type",
        r.reset()
            .header(0, true, 1, 1)
            .question(qname, type_txt, class_in)
            .answer(type_a, bytes{127, 0, 0, 2}),
        1, ARC_STAT_KEYFAIL, err(" reply truncated"));
    add("a question of another type",
        r.reset().header(0, true, 1, 1).question(qname, type_a, class_in).answer_txt("p=A"), 0,
        ARC_STAT_KEYFAIL, err(" unexpected reply class/type (1/1)"));
    add("a question of another class",
        r.reset().header(0, false, 1, 1).question(qname, type_txt, class_ch).answer_txt("p=A"), 0,
        ARC_STAT_KEYFAIL, err(" unexpected reply class/type (3/16)"));
    add("no question", r.reset().header(0, false, 0, 1).answer_txt("p=A", qname), 0,
        ARC_STAT_KEYFAIL, err(" unexpected reply class/type (-1/-1)"));
    add("two questions, the last one for TXT",
        r.reset()
            .header(0, false, 2, 1)
            .question("x.d1", type_a, class_in)
            .question(qname, type_txt, class_in)
            .answer_txt("p=Q2", qname),
        0, ARC_STAT_OK, "(none)", "p=Q2");
    add("RDLENGTH past the end",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer_txt("v=DKIM1; p=ABC")
            .rdlength_plus(16),
        2, ARC_STAT_SYNTAX, err(" reply corrupt"));
    add("truncated, RDLENGTH past the end",
        r.reset()
            .header(0, true, 1, 1)
            .question(qname, type_txt, class_in)
            .answer_txt("v=DKIM1; p=ABC")
            .rdlength_plus(1),
        2, ARC_STAT_SYNTAX, err(" reply corrupt"));
    add("a corrupt owner name",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .raw({0xff, 0xff})
            .rr_fixed(type_txt, 4)
            .raw({3, 'p', '=', 'A'}),
        2, ARC_STAT_KEYFAIL, err(" reply corrupt"));
    add("a corrupt CNAME target",
        r.reset()
            .header(0, false, 1, 2)
            .question(qname, type_txt, class_in)
            .raw({0xc0, 0x0c})
            .rr_fixed(type_cname, 2)
            .raw({0xc0, 0xff})
            .answer_txt("p=A"),
        2, ARC_STAT_OK, "(none)", "p=A");
    add("an answer cut inside its fixed part",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .raw({0xc0, 0x0c, 0, 16, 0, 1}),
        2, ARC_STAT_KEYFAIL, err(" reply corrupt"));
    add("a question cut inside its type", r.reset().header(0, false, 1, 0).raw({2, 's', '1', 0, 0}),
        2, ARC_STAT_KEYFAIL, err(" reply corrupt"));
    add("a question name running past the end", r.reset().header(0, false, 1, 0).raw({9, 's', '1'}),
        2, ARC_STAT_KEYFAIL, err(" reply corrupt"));
    add("a reply shorter than its header", r.reset().raw({0x12, 0x34, 0x81, 0x80, 0, 1}), 2,
        ARC_STAT_KEYFAIL, err(" reply corrupt"));
    add("more answers counted than present",
        r.reset()
            .header(0, false, 1, 3)
            .question(qname, type_txt, class_in)
            .answer_name(type_cname, "t.d1"),
        2, ARC_STAT_NOKEY, err(" reply was unresolved CNAME"));
    add("answers counted but the reply ends after the question",
        r.reset().header(0, false, 1, 1).question(qname, type_txt, class_in), 2, ARC_STAT_NOKEY,
        err(" reply was unresolved CNAME"));
    add("several character-strings joined",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer_strings({"v=DKIM1; k=rsa; ", "", "p=ABC"}),
        0, ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC");
    add("a string length past the record's data",
        r.reset()
            .header(0, false, 1, 1)
            .question(qname, type_txt, class_in)
            .answer(type_txt, bytes{3, 'p', '=', 'A', 9, 'B', 'C'}),
        0, ARC_STAT_OK, "(none)", "p=ABC");
    add("an empty TXT record",
        r.reset().header(0, false, 1, 1).question(qname, type_txt, class_in).answer(type_txt, {}),
        0, ARC_STAT_OK, "(none)", "");
    return cases;
}

TEST_F(CannedDnsTest, ClassifiesAndWalksCraftedReplies) {
    for (const auto& c : reply_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(arc_check_dns_reply(c.reply.data(), c.reply.size(), class_in, type_txt), c.check);
        arc_free(msg);  // a fresh message per row, so "(none)" means this row set no text
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        ASSERT_NE(msg, nullptr);
        msg->arc_selector = "s1";
        msg->arc_domain = "d1";
        EXPECT_EQ(lookup(c.reply), c.status);
        EXPECT_EQ(error(), c.error);
        if (c.status == ARC_STAT_OK) {
            EXPECT_EQ(key_text(), c.text);
        }
    }
}

TEST(ArcDnsReply, OneReaderWalksTheQuestionSection) {
    struct row {
        const char* name;
        bytes reply;
        bool ok;
        arc_dns_question want;  // count, type, class, end of the section
    };
    reply_builder r;
    // The key name takes 18 bytes, a question 4 more; the header is 12.
    const std::vector<row> rows = {
        {"one question, then an answer",
         r.reset()
             .header(0, false, 1, 1)
             .question(qname, type_txt, class_in)
             .answer_txt("p=A")
             .bytes(),
         true,
         {1, type_txt, class_in, 34}},
        {"two questions: the last one is read",
         r.reset()
             .header(0, false, 2, 0)
             .question("x.d1", type_a, class_ch)
             .question(qname, type_txt, class_in)
             .bytes(),
         true,
         {2, type_txt, class_in, 44}},
        {"a compressed question name",
         r.reset()
             .header(0, false, 2, 0)
             .question(qname, type_txt, class_in)
             .raw({0xc0, 0x0c, 0, type_a, 0, class_in})
             .bytes(),
         true,
         {2, type_a, class_in, 40}},
        {"no question",
         r.reset().header(0, false, 0, 1).answer_txt("p=A", qname).bytes(),
         true,
         {0, -1, -1, 12}},
        {"a question cut inside its class",
         r.reset().header(0, false, 1, 0).raw({2, 's', '1', 0, 0, type_txt, 0}).bytes(),
         false,
         {}},
        {"more questions counted than present",
         r.reset().header(0, false, 2, 0).question(qname, type_txt, class_in).bytes(),
         false,
         {}},
        {"shorter than its header", bytes(11, 0), false, {}},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        arc_dns_question got{99, 99, 99, 99};
        ASSERT_EQ(arc_dns_read_question(c.reply, &got), c.ok);
        const arc_dns_question want = c.ok ? c.want : arc_dns_question{99, 99, 99, 99};
        EXPECT_EQ(got.qd_count, want.qd_count);
        EXPECT_EQ(got.qd_type, want.qd_type);
        EXPECT_EQ(got.qd_class, want.qd_class);
        EXPECT_EQ(got.qd_end, want.qd_end);
    }
}

TEST_F(CannedDnsTest, AsksForTheTxtRecordOfTheKeyName) {
    ASSERT_EQ(lookup(txt_reply("p=A")), ARC_STAT_OK);
    EXPECT_EQ(dns.asked, qname);
    EXPECT_EQ(dns.asked_type, type_txt);
    EXPECT_EQ(dns.inits, 1);
    EXPECT_EQ(dns.cancels, 1);
    // The service handle is kept: a second lookup does not initialize again.
    ASSERT_EQ(lookup(txt_reply("p=B")), ARC_STAT_OK);
    EXPECT_EQ(dns.inits, 1);
    EXPECT_EQ(key_text(), "p=B");
}

TEST_F(CannedDnsTest, LookupsOnlyReadTheLibraryHandle) {
    // Lookups run on many threads with one handle: none may write it, not
    // even the first one of the handle's life.
    std::vector<unsigned char> before(sizeof(arc_library));
    std::memcpy(before.data(), lib, before.size());
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_OK);
    EXPECT_EQ(lookup(bytes{}), ARC_STAT_KEYFAIL);
    dns.start_result = -1;
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(std::memcmp(before.data(), lib, before.size()), 0);
    EXPECT_EQ(dns.inits, 1);
}

TEST_F(CannedDnsTest, CutsARecordLongerThanTheBuffer) {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    reply_builder r;
    r.header(0, false, 1, 1).question(qname, type_txt, class_in).answer_txt(text);
    ASSERT_EQ(lookup(r.bytes()), ARC_STAT_OK);
    EXPECT_EQ(key_text(), text.substr(0, 1024));
    ASSERT_EQ(lookup(r.bytes(), 10), ARC_STAT_OK);
    EXPECT_EQ(key_text(), text.substr(0, 9));
    ASSERT_EQ(lookup(r.bytes(), 1), ARC_STAT_OK);
    EXPECT_EQ(key_text(), "");
}

TEST_F(CannedDnsTest, DistrustsAReplyLengthPastTheBuffer) {
    // An adapter that reports more bytes than the 8192-byte buffer holds (the
    // stub resolver does so for a TCP reply it had to cut) must not make the
    // walk read past the buffer.
    reply_builder r;
    r.header(0, true, 1, 1).question(qname, type_txt, class_in).answer_txt(std::string(9000, 'k'));
    dns.claimed_len = r.bytes().size();
    EXPECT_EQ(lookup(r.bytes()), ARC_STAT_SYNTAX);
    EXPECT_EQ(error(), "'s1._domainkey.d1' reply corrupt");
}

TEST_F(CannedDnsTest, ReportsResolverFailures) {
    dns.init_result = -1;
    EXPECT_EQ(arc_dns_setup(lib), ARC_STAT_KEYFAIL);
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "cannot initialize resolver");
    EXPECT_EQ(dns.starts, 0);

    dns.init_result = 0;
    EXPECT_EQ(arc_dns_setup(lib), ARC_STAT_OK);
    dns.start_result = -1;
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "'s1._domainkey.d1' query failed");
    EXPECT_EQ(dns.waits, 0);

    dns.start_result = 0;
    dns.wait_results = {-1};
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "'s1._domainkey.d1' query failed");
    EXPECT_EQ(dns.cancels, 1);

    dns.wait_results = {2};
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "'s1._domainkey.d1' query timed out");
    EXPECT_EQ(dns.cancels, 2);
}

TEST_F(CannedDnsTest, PassesTheTimeLimitOnlyWhenOneIsSet) {
    ASSERT_EQ(lookup(txt_reply("p=A")), ARC_STAT_OK);
    msg->arc_timeout = 5;
    ASSERT_EQ(lookup(txt_reply("p=A")), ARC_STAT_OK);
    EXPECT_EQ(dns.wait_had_limit, (std::vector<bool>{false, true}));
}

TEST_F(CannedDnsTest, CallsTheCallbackWhileWaiting) {
    lib->arc_dns_callback = count_callback;
    lib->arc_cbint = 1;
    msg->arc_timeout = 30;
    msg->arc_user_context = canned;
    // The callback time comes first: each "no reply yet" calls back and waits on.
    dns.wait_results = {2, 1, 0};
    ASSERT_EQ(lookup(txt_reply("p=A")), ARC_STAT_OK);
    EXPECT_EQ(dns.callbacks, 2);
    EXPECT_EQ(dns.waits, 3);
    EXPECT_EQ(dns.cancels, 1);

    // The overall deadline comes first: a time-out is final.
    dns = canned_dns{};
    lib->arc_cbint = 60;
    msg->arc_timeout = 1;
    dns.wait_results = {2};
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "'s1._domainkey.d1' query timed out");
    EXPECT_EQ(dns.callbacks, 0);
    EXPECT_EQ(dns.waits, 1);
}

TEST_F(CannedDnsTest, RefusesAKeyNameOver255Characters) {
    // "s.", "_domainkey.", and a domain: 2 + 11 + 242 = 255 characters fit the
    // buffer; one more does not.
    const std::string too_long(243, 'd');
    msg->arc_selector = "s";
    msg->arc_domain = too_long.c_str();
    EXPECT_EQ(lookup(txt_reply("p=A")), ARC_STAT_NORESOURCE);
    EXPECT_EQ(error(), "key query name too large");
    EXPECT_EQ(dns.starts, 0);
}

// A name the DNS cannot carry would fail on every try: it is refused without
// a query, and not as a failure that may pass later.
TEST_F(CannedDnsTest, AsksOnlyNamesTheDnsCanCarry) {
    const std::string label(63, 'd');
    const std::string longest = label + "." + label + "." + label + "." + std::string(48, 'd');
    struct name_case {
        std::string domain;
        ARC_STAT status;
        std::string error;  // for a refusal
    };
    const name_case cases[] = {
        {longest, ARC_STAT_OK, ""},  // 253 octets with "s._domainkey."
        {"d1.example.", ARC_STAT_OK, ""},
        {label + ".example", ARC_STAT_OK, ""},
        {longest + "d", ARC_STAT_SYNTAX,
         "key query name longer than 253 octets: 's._domainkey." + longest + "d'"},
        {longest + ".", ARC_STAT_OK, ""},
        {label + "d.example", ARC_STAT_SYNTAX,
         "key query name with a label longer than 63 octets: 's._domainkey." + label +
             "d.example'"},
        {"a..b", ARC_STAT_SYNTAX, "key query name with an empty label: 's._domainkey.a..b'"},
        {".example", ARC_STAT_SYNTAX,
         "key query name with an empty label: 's._domainkey..example'"},
        {"d1.example..", ARC_STAT_SYNTAX,
         "key query name with an empty label: 's._domainkey.d1.example..'"},
        {"d1\\.example", ARC_STAT_SYNTAX,
         "key query name with a backslash: 's._domainkey.d1\\.example'"},
    };
    msg->arc_selector = "s";
    int asked = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.domain);
        dns = canned_dns{};
        msg->arc_dnstempfail = false;
        msg->arc_domain = c.domain.c_str();
        EXPECT_EQ(lookup(txt_reply("p=A")), c.status);
        EXPECT_FALSE(arc_key_dnstempfail(msg));
        if (c.status == ARC_STAT_OK) {
            ++asked;
            EXPECT_EQ(dns.asked, "s._domainkey." + c.domain);
        } else {
            EXPECT_EQ(error(), c.error);
            EXPECT_EQ(dns.starts, 0);
        }
    }
    EXPECT_EQ(asked, 4);
}

// ---- The default adapter and the deadlines ----

TEST(ArcDns, WaitHandsBackTheStoredReply) {
    arc_qhandle q{0, -1, 321};
    size_t bytes_out = 0;
    int error = 7;
    int dnssec = 7;
    EXPECT_EQ(arc_res_waitreply(nullptr, &q, nullptr, &bytes_out, &error, &dnssec), 0);
    EXPECT_EQ(bytes_out, 321u);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(dnssec, -1);
    EXPECT_EQ(arc_res_waitreply(nullptr, &q, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(arc_res_cancel(nullptr, nullptr), 0);
    EXPECT_EQ(arc_res_nslist(nullptr, "127.0.0.1"), 0);
}

TEST(ArcDnsDeathTest, WaitNeedsAQueryHandle) {
    EXPECT_DEATH(arc_res_waitreply(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                 "qh != NULL");
    EXPECT_DEATH(arc_check_dns_reply(nullptr, 12, class_in, type_txt), "ansbuf != NULL");
}

timeval from_now(long sec, long usec = 0) {
    timeval t{};
    gettimeofday(&t, nullptr);
    t.tv_sec += sec;
    t.tv_usec += usec;
    if (t.tv_usec >= 1000000) {
        t.tv_sec += 1;
        t.tv_usec -= 1000000;
    }
    return t;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

TEST(ArcDns, WaitsForTheEarlierDeadline) {
    timeval t1 = from_now(10);
    timeval t2 = from_now(3);
    timeval wait{};
    timeval* which = nullptr;
    arc_min_timeval(&t1, &t2, &wait, &which);
    EXPECT_EQ(which, &t2);
    EXPECT_NEAR(seconds(wait), 3.0, 0.5);
    EXPECT_GE(wait.tv_usec, 0);
    EXPECT_LT(wait.tv_usec, 1000000);

    arc_min_timeval(&t2, &t1, &wait, &which);
    EXPECT_EQ(which, &t2);

    arc_min_timeval(&t1, nullptr, &wait, &which);
    EXPECT_EQ(which, &t1);
    EXPECT_NEAR(seconds(wait), 10.0, 0.5);

    timeval same = t1;
    arc_min_timeval(&t1, &same, &wait, &which);
    EXPECT_EQ(which, &same);

    // Microseconds are borrowed from the seconds.
    timeval half = from_now(2, 500000);
    arc_min_timeval(&half, nullptr, &wait, nullptr);
    EXPECT_NEAR(seconds(wait), 2.5, 0.5);
    EXPECT_LT(wait.tv_usec, 1000000);

    timeval past1 = from_now(-5);
    timeval past2 = from_now(-2);
    arc_min_timeval(&past1, &past2, &wait, &which);
    EXPECT_EQ(wait.tv_sec, 0);
    EXPECT_EQ(wait.tv_usec, 0);
    EXPECT_EQ(which, &past1);
}

TEST(ArcDnsDeathTest, DeadlinesNeedTheirPlaces) {
    timeval t{};
    EXPECT_DEATH(arc_min_timeval(nullptr, nullptr, &t, nullptr), "t1 != NULL");
    EXPECT_DEATH(arc_min_timeval(&t, nullptr, nullptr, nullptr), "t != NULL");
}

}  // namespace
