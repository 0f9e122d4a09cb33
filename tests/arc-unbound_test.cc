// SPDX-License-Identifier: BSD-2-Clause
// arc-unbound_test.cc - key lookups through the libunbound resolver: the reply
// cases over the wire, caching (positive, negative, expiry), the per-message
// time budget, DNSSEC outcomes against a zone signed with ldns-signzone, and
// many threads sharing one resolver. velmora-testdns on a loopback address
// answers; each library handle forwards to it through an unbound
// configuration file written here, so no host configuration is touched.
#include "arc-unbound.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "arc-dns.h"
#include "arc-keys.h"
#include "arc.h"
#include "chain-support.h"
#include "testdns-client.h"

using namespace chain_test;

namespace {

using clock_type = std::chrono::steady_clock;

constexpr const char* base_message =
    "From: Alice <alice@d0.example>\r\n"
    "To: bob@example.net\r\n"
    "Subject: resolver\r\n"
    "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
    "Message-ID: <1@d0.example>\r\n"
    "\r\n"
    "Hello Bob.\r\n";

// What the suite shares: the server, its zone, the signed zone's anchor.
struct suite_state {
    std::string skip;
    std::string failure;
    std::string dir;  // temporary directory: zones, keys, configurations
    std::string trust_anchor;
    std::string conf;  // unbound configuration forwarding to the server
    velmora_testdns::server dns;
    test_key signer;    // publishes under good/plain/slow/silent/many
    test_key attacker;  // the key the altered record names
};
suite_state* state = nullptr;

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out << text;
    return static_cast<bool>(out.flush());
}

using velmora_testdns::txt_strings;

// Signs signed.example with fresh keys and returns the zone in the server's
// format, altered after signing: bogus._domainkey names the attacker's key,
// and stripped._domainkey has lost its signature.
bool signed_zone(const std::string& dir, std::string* zone, std::string* err) {
    const std::string record = txt_strings(state->signer.record);
    const std::string text =
        "$ORIGIN signed.example.\n$TTL 300\n"
        "@ SOA ns.signed.example. host.signed.example. 1 3600 600 86400 60\n"
        "@ NS ns.signed.example.\n"
        "ns A 127.0.0.1\n"
        "good._domainkey TXT " +
        record + "\nbogus._domainkey TXT " + record + "\nstripped._domainkey TXT " + record + "\n";
    std::vector<std::string> lines;
    if (!velmora_testdns::sign_zone(dir, "signed.example", text, &lines, &state->trust_anchor,
                                    err)) {
        return false;
    }
    std::string out;
    for (std::string line : lines) {
        const bool is_txt = line.find("\tTYPE16\t") != std::string::npos;
        // An RRSIG's data starts with the type it covers (0010: TXT).
        const size_t sig = line.find("\tTYPE46\t\\# ");
        const size_t data = sig == std::string::npos ? sig : line.find(' ', sig + 11);
        const bool is_txt_sig = data != std::string::npos && line.compare(data + 1, 4, "0010") == 0;
        if (line.rfind("bogus._domainkey.", 0) == 0 && is_txt) {
            line =
                "bogus._domainkey.signed.example. 300 TXT " + txt_strings(state->attacker.record);
        }
        if (line.rfind("stripped._domainkey.", 0) == 0 && is_txt_sig) {
            continue;  // the TXT signature goes; the NSEC one stays
        }
        out += line + "\n";
    }
    *zone = out;
    return true;
}

// More keys than the adapter's answer cache holds.
constexpr int many_keys = 80;
std::string many_zone() {
    std::string zone = "many.example SOA ns.many.example host.many.example 1 3600 600 86400 60\n";
    for (int i = 0; i < many_keys; ++i) {
        zone += "k" + std::to_string(i) + "._domainkey.many.example TXT v=DKIM1; p=K" +
                std::to_string(i) + "\n";
    }
    return zone;
}

std::string plain_zone() {
    const std::string& rec = state->signer.record;
    return "d1 SOA ns.d1 host.d1 1 3600 600 86400 60\n"
           "s1._domainkey.d1 TXT \"v=DKIM1; k=rsa; \" \"p=ABC\"\n"
           "short._domainkey.d1 1 TXT v=DKIM1; p=SHORT\n"
           "alias._domainkey.d1 CNAME s1._domainkey.d1\n"
           "dangling._domainkey.d1 CNAME nowhere.d1\n"
           "aonly._domainkey.d1 A 127.0.0.9\n"
           "tc._domainkey.d1 CASE tc-answer\n"
           "two._domainkey.d1 CASE two-txt\n"
           "nx._domainkey.d1 CASE nxdomain\n"
           "empty._domainkey.d1 CASE empty\n"
           "servfail._domainkey.d1 CASE servfail\n"
           "other._domainkey.d1 CASE other-type\n"
           "rdlen._domainkey.d1 CASE rdlength-past-end\n"
           "strings._domainkey.d1 CASE strings v=DKIM1; k=rsa; ||p=ABC\n"
           "long._domainkey.d1 CASE long-record 2000\n"
           "drop._domainkey.d1 CASE drop\n"
           "plain.example SOA ns.plain.example host.plain.example 1 3600 600 86400 60\n"
           "s1._domainkey.plain.example TXT " +
           txt_strings(rec) +
           "\n"
           // The budget case: two slow answers, then silence.
           "s1._domainkey.slow.example TXT " +
           txt_strings(rec) +
           "\n"
           "s1._domainkey.slow.example DELAY 700\n"
           "s2._domainkey.slow.example TXT " +
           txt_strings(rec) +
           "\n"
           "s2._domainkey.slow.example DELAY 700\n"
           "s3._domainkey.slow.example CASE drop\n"
           "s1._domainkey.silent.example CASE drop\n" +
           many_zone();
}

class UnboundTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        state = new suite_state;
        state->skip = velmora_testdns::skip_reason();
        if (!state->skip.empty()) {
            return;
        }
        char tmpl[] = "/tmp/velmora-unbound.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            state->failure = "mkdtemp failed";
            return;
        }
        state->dir = tmpl;
        state->signer = key_of_bits(2048);
        state->attacker.pem = make_rsa_key(2048, &state->attacker.record);
        std::string zone;
        if (!signed_zone(state->dir, &zone, &state->failure)) {
            return;
        }
        if (!state->dns.start(plain_zone() + zone, &state->failure)) {
            return;
        }
        state->conf = state->dir + "/unbound.conf";
        if (!write_file(state->conf,
                        velmora_testdns::forward_configuration(state->dns.address()))) {
            state->failure = "cannot write the unbound configuration";
        }
    }
    static void TearDownTestSuite() {
        if (!state->dir.empty()) {
            (void)std::system(("rm -rf " + state->dir).c_str());
        }
        delete state;
        state = nullptr;
    }

    void SetUp() override {
        if (!state->skip.empty()) {
            GTEST_SKIP() << state->skip;
        }
        ASSERT_EQ(state->failure, "");
    }

    // A library handle with its own unbound resolver (and so its own cache).
    static lib_ptr resolver_library(bool validating, unsigned timeout = 0) {
        lib_ptr lib{arc_init()};
        char err[256] = "";
        EXPECT_EQ(
            arc_dns_unbound(lib.get(), state->conf.c_str(),
                            validating ? state->trust_anchor.c_str() : nullptr, err, sizeof err),
            ARC_STAT_OK)
            << err;
        if (timeout != 0) {
            EXPECT_EQ(arc_options(lib.get(), ARC_OP_SETOPT, ARC_OPTS_DNSTIMEOUT, &timeout,
                                  sizeof timeout),
                      ARC_STAT_OK);
        }
        return lib;
    }

    // Looks up selector._domainkey.domain with a fresh message of lib.
    static ARC_STAT lookup(arc_library* lib, const char* selector, const char* domain,
                           std::string* text, std::string* error) {
        msg_ptr msg{arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                                ARC_MODE_VERIFY, nullptr)};
        msg->arc_selector = selector;
        msg->arc_domain = domain;
        char buf[1025];
        const ARC_STAT status = arc_get_key_dns(msg.get(), buf, sizeof buf);
        *text = status == ARC_STAT_OK ? buf : "";
        const char* e = arc_geterror(msg.get());
        *error = e != nullptr ? e : "(none)";
        return status;
    }

    // The base message sealed by the given hops, oldest first, each
    // (selector, domain) with the signer's key unless `key` says otherwise.
    // Each hop validates the chain so far from a key file, as a real hop
    // would from DNS, so every later seal says cv=pass.
    static message sealed(const std::vector<std::pair<std::string, std::string>>& hops,
                          const test_key& key = state->signer) {
        std::vector<std::pair<std::string, std::string>> records;
        for (const auto& [selector, domain] : hops) {
            records.emplace_back(selector + "._domainkey." + domain, key.record);
        }
        const std::string keyfile = write_key_file(records);
        lib_ptr sealer = make_library(keyfile);
        message m = split_message(base_message);
        for (const auto& [selector, domain] : hops) {
            seal_params p;
            p.key = key.pem;
            p.selector = selector;
            p.domain = domain;
            std::string error;
            m = seal_once(sealer.get(), m, p, &error);
            EXPECT_FALSE(m.fields.empty()) << error;
        }
        remove_file(keyfile);
        return m;
    }
};

// ---- Replies over the wire ----

struct wire_case {
    const char* selector;
    ARC_STAT status;
    std::string error;  // "%s" stands for the key query name
    std::string text;   // the record on ARC_STAT_OK
};

std::string expand(std::string t, const std::string& qname) {
    const size_t at = t.find("%s");
    if (at != std::string::npos) {
        t.replace(at, 2, qname);
    }
    return t;
}

TEST_F(UnboundTest, AnswersEveryCaseOverTheWire) {
    std::string long_text;
    for (int i = 0; i < 1024; ++i) {
        long_text.push_back("abcdefghijklmnopqrstuvwxyz0123456789"[i % 36]);
    }
    const wire_case cases[] = {
        {"s1", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"alias", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"strings", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"long", ARC_STAT_OK, "(none)", long_text},
        // The resolver follows the CNAME itself, to a name that does not exist.
        {"dangling", ARC_STAT_NOKEY, "'%s' record not found", ""},
        {"two", ARC_STAT_MULTIREPLY, "multiple DNS replies for '%s'", ""},
        {"nx", ARC_STAT_NOKEY, "'%s' record not found", ""},
        {"unknown", ARC_STAT_NOKEY, "'%s' record not found", ""},
        {"empty", ARC_STAT_NOKEY, "(none)", ""},
        {"aonly", ARC_STAT_NOKEY, "(none)", ""},
        // The resolver checks what the server says before the library sees
        // it: a truncated reply on both transports, a SERVFAIL, an answer of
        // the wrong type or past its end all become a failed query.
        {"tc", ARC_STAT_KEYFAIL, "'%s' query failed: SERVFAIL", ""},
        {"servfail", ARC_STAT_KEYFAIL, "'%s' query failed: SERVFAIL", ""},
        {"other", ARC_STAT_NOKEY, "(none)", ""},
        {"rdlen", ARC_STAT_KEYFAIL, "'%s' query failed: SERVFAIL", ""},
    };
    lib_ptr lib = resolver_library(false, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        const std::string qname = std::string{c.selector} + "._domainkey.d1";
        std::string text;
        std::string error;
        EXPECT_EQ(lookup(lib.get(), c.selector, "d1", &text, &error), c.status);
        EXPECT_EQ(error, expand(c.error, qname));
        EXPECT_EQ(text, c.text);
    }
}

TEST_F(UnboundTest, RefusesAConfigurationItCannotRead) {
    lib_ptr lib{arc_init()};
    char err[256] = "";
    EXPECT_EQ(arc_dns_unbound(lib.get(), "/nonexistent/unbound.conf", nullptr, err, sizeof err),
              ARC_STAT_KEYFAIL);
    EXPECT_EQ(std::string{err}.rfind("/nonexistent/unbound.conf: ", 0), 0u) << err;
    EXPECT_EQ(
        arc_dns_unbound(lib.get(), state->conf.c_str(), "/nonexistent/anchors", err, sizeof err),
        ARC_STAT_KEYFAIL);
    EXPECT_EQ(std::string{err}, "/nonexistent/anchors: No such file or directory");
    // A file libunbound cannot parse is refused now, not at the first lookup.
    const std::string bad = state->dir + "/bad-anchors.ds";
    ASSERT_TRUE(write_file(bad, ". IN DS this is no trust anchor\n"));
    EXPECT_EQ(arc_dns_unbound(lib.get(), state->conf.c_str(), bad.c_str(), err, sizeof err),
              ARC_STAT_KEYFAIL);
    EXPECT_EQ(std::string{err}, bad + ": the resolver cannot use these trust anchors");
    // The handle keeps the stub resolver it had.
    EXPECT_EQ(lib->arc_dns_service, reinterpret_cast<void*>(1));
    EXPECT_EQ(lib->arc_dns_waitreply, arc_res_waitreply);
}

// ---- Caching ----

TEST_F(UnboundTest, AnswersFromTheCacheUntilTheTtlEnds) {
    lib_ptr lib = resolver_library(false);
    std::string text;
    std::string error;
    const int s1_before = state->dns.count_queries("s1._domainkey.d1", 16);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(lookup(lib.get(), "s1", "d1", &text, &error), ARC_STAT_OK) << error;
        ASSERT_EQ(lookup(lib.get(), "short", "d1", &text, &error), ARC_STAT_OK) << error;
    }
    EXPECT_EQ(state->dns.count_queries("s1._domainkey.d1", 16), s1_before + 1);
    const int before = state->dns.count_queries("short._domainkey.d1", 16);
    EXPECT_GE(before, 1);  // one, unless the second passed between the lookups
    // short has a TTL of one second: once it has passed, the server is asked
    // again; s1 (300 seconds) still comes from the cache.
    std::this_thread::sleep_for(std::chrono::milliseconds{2200});
    ASSERT_EQ(lookup(lib.get(), "short", "d1", &text, &error), ARC_STAT_OK) << error;
    ASSERT_EQ(lookup(lib.get(), "s1", "d1", &text, &error), ARC_STAT_OK) << error;
    EXPECT_EQ(text, "v=DKIM1; k=rsa; p=ABC");
    EXPECT_EQ(state->dns.count_queries("short._domainkey.d1", 16), before + 1);
    EXPECT_EQ(state->dns.count_queries("s1._domainkey.d1", 16), s1_before + 1);
}

TEST_F(UnboundTest, CachesNegativeAnswers) {
    lib_ptr lib = resolver_library(false);
    std::string text;
    std::string error;
    const int aonly_before = state->dns.count_queries("aonly._domainkey.d1", 16);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lookup(lib.get(), "missing", "d1", &text, &error), ARC_STAT_NOKEY);
        EXPECT_EQ(error, "'missing._domainkey.d1' record not found");
        EXPECT_EQ(lookup(lib.get(), "aonly", "d1", &text, &error), ARC_STAT_NOKEY);
    }
    EXPECT_EQ(state->dns.count_queries("missing._domainkey.d1", 16), 1);
    EXPECT_EQ(state->dns.count_queries("aonly._domainkey.d1", 16), aonly_before + 1);
}

TEST_F(UnboundTest, TheAnswerCacheStaysBoundedAndAnswersRight) {
    lib_ptr lib = resolver_library(false, 5);
    std::string text;
    std::string error;
    // Twice round more names than it holds: every answer is still the
    // record's own, and the cache never grows past its room.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < many_keys; ++i) {
            const std::string selector = "k" + std::to_string(i);
            SCOPED_TRACE(selector);
            ASSERT_EQ(lookup(lib.get(), selector.c_str(), "many.example", &text, &error),
                      ARC_STAT_OK)
                << error;
            EXPECT_EQ(text, "v=DKIM1; p=K" + std::to_string(i));
        }
    }
    unsigned long hits = 0;
    EXPECT_EQ(arc_ub_cache_entries(lib->arc_dns_service, &hits), 64u);
    // The recent names are answered by the cache, in any case of letters.
    const unsigned long before = hits;
    ASSERT_EQ(lookup(lib.get(), "K79", "Many.Example", &text, &error), ARC_STAT_OK) << error;
    EXPECT_EQ(text, "v=DKIM1; p=K79");
    (void)arc_ub_cache_entries(lib->arc_dns_service, &hits);
    EXPECT_EQ(hits, before + 1);
    // Failures are not kept: each SERVFAIL is asked of libunbound again.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(lookup(lib.get(), "servfail", "d1", &text, &error), ARC_STAT_KEYFAIL);
    }
    (void)arc_ub_cache_entries(lib->arc_dns_service, &hits);
    EXPECT_EQ(hits, before + 1);
}

// ---- Time limits ----

// Validates m with lib and returns the seconds it took; state and error out.
double timed_validation(arc_library* lib, const message& m, std::string* chain,
                        std::string* error) {
    const auto start = clock_type::now();
    *chain = validate(lib, m, error);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

TEST_F(UnboundTest, TheMessageBudgetCutsASilentServer) {
    // Margins are generous on purpose: the budget must cut the wait, and a
    // loaded machine must not make the test flaky.
    constexpr double budget = 2.0;
    constexpr double margin = 1.5;
    lib_ptr lib = resolver_library(false, 2);
    std::string chain;
    std::string error;

    // One key, never answered: the lookup gives up at the limit.
    const message silent = sealed({{"s1", "silent.example"}});
    auto start = clock_type::now();
    msg_ptr msg = run_message(lib.get(), silent, ARC_MODE_VERIFY);
    double took = std::chrono::duration<double>(clock_type::now() - start).count();
    ASSERT_TRUE(msg);
    EXPECT_STREQ(arc_chain_status_str(msg.get()), "fail");
    EXPECT_STREQ(arc_geterror(msg.get()),
                 "arc_get_key() failed: 's1._domainkey.silent.example' query timed out");
    EXPECT_TRUE(arc_key_dnstempfail(msg.get()));  // a later try may pass
    EXPECT_GE(took, budget - 0.1);
    EXPECT_LT(took, budget + margin);
    std::printf("silent server: validation ended after %.3f s (limit %.0f s)\n", took, budget);

    // Three keys: two slow answers use up most of the budget, the third
    // lookup only waits for what is left, so the message ends at the limit
    // and not at two slow answers plus a whole limit.
    const message three =
        sealed({{"s3", "slow.example"}, {"s2", "slow.example"}, {"s1", "slow.example"}});
    took = timed_validation(lib.get(), three, &chain, &error);
    EXPECT_EQ(chain, "fail");
    EXPECT_EQ(error, "arc_get_key() failed: 's3._domainkey.slow.example' query timed out");
    EXPECT_GE(took, budget - 0.1);
    EXPECT_LT(took, budget + margin);
    std::printf("slow server: validation ended after %.3f s (limit %.0f s)\n", took, budget);

    // A lookup that finds the budget used up fails at once, without a query.
    msg.reset(arc_message(lib.get(), ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, nullptr));
    (void)clock_gettime(CLOCK_MONOTONIC, &msg->arc_dnsdeadline);
    msg->arc_selector = "s1";
    msg->arc_domain = "d1";
    char buf[1025];
    const int asked = state->dns.count_queries("s1._domainkey.d1", 16);
    EXPECT_EQ(arc_get_key_dns(msg.get(), buf, sizeof buf), ARC_STAT_KEYFAIL);
    EXPECT_STREQ(arc_geterror(msg.get()),
                 "'s1._domainkey.d1' query timed out (DNS time limit of 2 seconds per message "
                 "used up)");
    EXPECT_EQ(state->dns.count_queries("s1._domainkey.d1", 16), asked);
}

// ---- DNSSEC ----

struct dnssec_case {
    const char* name;
    const char* selector;
    const char* domain;
    bool use_attacker_key;  // the message is sealed with the attacker's key
    bool validating;        // the resolver has the trust anchor
    const char* chain;
    int dnssec;  // outcome of every key fetched
    const char* error_start;
};

TEST_F(UnboundTest, TellsSecureInsecureAndBogusKeys) {
    const dnssec_case cases[] = {
        {"signed zone", "good", "signed.example", false, true, "pass", ARC_DNSSEC_SECURE, ""},
        {"unsigned zone", "s1", "plain.example", false, true, "pass", ARC_DNSSEC_INSECURE, ""},
        {"no trust anchor", "good", "signed.example", false, false, "pass", ARC_DNSSEC_UNKNOWN, ""},
        // The record was replaced after signing by one naming the key that
        // sealed the message: without validation the chain would pass.
        {"record altered after signing", "bogus", "signed.example", true, true, "fail",
         ARC_DNSSEC_BOGUS,
         "arc_get_key() failed: 'bogus._domainkey.signed.example' DNSSEC validation failed: "},
        {"altered, no trust anchor", "bogus", "signed.example", true, false, "pass",
         ARC_DNSSEC_UNKNOWN, ""},
        {"signature stripped", "stripped", "signed.example", false, true, "fail", ARC_DNSSEC_BOGUS,
         "arc_get_key() failed: 'stripped._domainkey.signed.example' DNSSEC validation failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lib_ptr lib = resolver_library(c.validating);
        const message m =
            sealed({{c.selector, c.domain}}, c.use_attacker_key ? state->attacker : state->signer);
        msg_ptr msg = run_message(lib.get(), m, ARC_MODE_VERIFY);
        ASSERT_TRUE(msg);
        EXPECT_STREQ(arc_chain_status_str(msg.get()), c.chain);
        const char* error = arc_geterror(msg.get());
        if (c.error_start[0] != '\0') {
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(std::string{error}.rfind(c.error_start, 0), 0u) << error;
            std::printf("%s: %s\n", c.name, error);
        }
        // A pass fetched the signature's key and the seal's; a bogus key
        // stops the validation at once.
        ASSERT_EQ(arc_key_count(msg.get()), c.dnssec == ARC_DNSSEC_BOGUS ? 1u : 2u);
        for (unsigned i = 0; i < arc_key_count(msg.get()); ++i) {
            const char* selector = nullptr;
            const char* domain = nullptr;
            int dnssec = -2;
            ASSERT_EQ(arc_key_info(msg.get(), i, &selector, &domain, &dnssec), ARC_STAT_OK);
            EXPECT_STREQ(selector, c.selector);
            EXPECT_STREQ(domain, c.domain);
            EXPECT_EQ(dnssec, c.dnssec);
        }
        EXPECT_EQ(arc_key_info(msg.get(), arc_key_count(msg.get()), nullptr, nullptr, nullptr),
                  ARC_STAT_INVALID);
        EXPECT_FALSE(arc_key_dnstempfail(msg.get()));  // an answer, even a bogus one
    }
}

// ---- Threads ----

TEST_F(UnboundTest, ManyThreadsShareOneResolver) {
    constexpr int threads = 8;
    constexpr int rounds = 6;
    lib_ptr lib = resolver_library(true, 10);
    const message good = sealed({{"good", "signed.example"}, {"s1", "plain.example"}});
    const message bad = sealed({{"bogus", "signed.example"}}, state->attacker);
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                const bool pass = (t + r) % 3 != 0;
                std::string error;
                if (validate(lib.get(), pass ? good : bad, &error) != (pass ? "pass" : "fail")) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
