// SPDX-License-Identifier: BSD-2-Clause
// velmora-resolver_test.cc - the filter's key lookups in DNS: the settings
// Resolver, ResolverConfiguration, TrustAnchorFile, DNSTimeout and
// DNSErrorAction, loaded (values and refusals) and at work, with sealed
// message files run through test mode against velmora-testdns on loopback:
// the default resolver forwarding to /etc/resolv.conf, a configured one, the
// stub resolver, a server that never answers (the message ends within
// DNSTimeout), SERVFAIL, a bogus DNSSEC record, and what DNSErrorAction makes
// of each. Runs in the private mount namespace of the configuration tests,
// with /etc/resolv.conf naming the server; skipped without root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "chain-support.h"
#include "testdns-client.h"
#include "velmora-config-support.h"
#include "velmora-config.h"
#include "velmora-test.h"

namespace {

using chain_test::message;
using clock_type = std::chrono::steady_clock;

constexpr const char* base_message =
    "From: Alice <alice@d0.example>\r\n"
    "To: bob@example.net\r\n"
    "Subject: resolver\r\n"
    "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
    "Message-ID: <1@d0.example>\r\n"
    "\r\n"
    "Hello Bob.\r\n";

// What the suite shares.
struct suite_state {
    std::string skip;
    std::string failure;
    std::string dir;     // test directory: configurations, messages, zone files
    std::string anchor;  // trust anchor of signed.example
    velmora_testdns::server dns;
    chain_test::test_key attacker;  // named by the record altered after signing
};
suite_state* state = nullptr;

// The signed zone, altered after signing: bogus._domainkey names the
// attacker's key, so its signature no longer fits.
bool signed_zone(const std::string& record, std::string* zone, std::string* err) {
    const std::string text =
        "$ORIGIN signed.example.\n$TTL 300\n"
        "@ SOA ns.signed.example. host.signed.example. 1 3600 600 86400 60\n"
        "@ NS ns.signed.example.\n"
        "ns A 127.0.0.1\n"
        "good._domainkey TXT " +
        velmora_testdns::txt_strings(record) + "\nbogus._domainkey TXT " +
        velmora_testdns::txt_strings(record) + "\n";
    std::vector<std::string> lines;
    if (!velmora_testdns::sign_zone(state->dir, "signed.example", text, &lines, &state->anchor,
                                    err)) {
        return false;
    }
    for (std::string line : lines) {
        if (line.rfind("bogus._domainkey.", 0) == 0 &&
            line.find("\tTYPE16\t") != std::string::npos) {
            line = "bogus._domainkey.signed.example. 300 TXT " +
                   velmora_testdns::txt_strings(state->attacker.record);
        }
        *zone += line + "\n";
    }
    return true;
}

// The base message sealed once by (selector, domain) with `key`, validated
// first from a key file as a real hop would.
message sealed(const std::string& selector, const std::string& domain,
               const chain_test::test_key& key) {
    const std::string keyfile =
        chain_test::write_key_file({{selector + "._domainkey." + domain, key.record}});
    chain_test::lib_ptr sealer = chain_test::make_library(keyfile);
    chain_test::seal_params p;
    p.key = key.pem;
    p.selector = selector;
    p.domain = domain;
    std::string error;
    message m =
        chain_test::seal_once(sealer.get(), chain_test::split_message(base_message), p, &error);
    EXPECT_FALSE(m.fields.empty()) << error;
    chain_test::remove_file(keyfile);
    return m;
}

class FilterResolver : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        state = new suite_state;
        state->skip = velmora_test::enter_config_namespace();
        if (state->skip.empty()) {
            state->skip = velmora_testdns::skip_reason();
        }
        if (!state->skip.empty()) {
            return;
        }
        state->dir = velmora_test::make_test_dir();
        const chain_test::test_key& signer = chain_test::key_of_bits(2048);
        state->attacker.pem = velmora_test::make_rsa_key(2048, &state->attacker.record);
        std::string zone =
            "good.example SOA ns.good.example host.good.example 1 3600 600 86400 60\n"
            "s1._domainkey.good.example TXT " +
            velmora_testdns::txt_strings(signer.record) +
            "\n"
            "s1._domainkey.silent.example CASE drop\n"
            "s1._domainkey.broken.example CASE servfail\n";
        if (!signed_zone(signer.record, &zone, &state->failure) ||
            !state->dns.start(zone, &state->failure) ||
            // Before any thread starts: the default resolver reads this file.
            !velmora_testdns::enter_resolver_namespace(state->dns.address(), &state->failure)) {
            return;
        }
        velmora_test::write_file_as(state->dir + "/unbound.conf",
                                    velmora_testdns::forward_configuration(state->dns.address()),
                                    0644);
        velmora_test::write_file_as(state->dir + "/bad-unbound.conf",
                                    "server:\n  no-such-option: yes\n", 0644);
        velmora_test::write_file_as(state->dir + "/bad.ds", "this is no trust anchor\n", 0644);
        for (const auto& [name, sel, dom, key] :
             {std::tuple{"good", "s1", "good.example", &signer},
              std::tuple{"missing", "s2", "good.example", &signer},
              std::tuple{"silent", "s1", "silent.example", &signer},
              std::tuple{"broken", "s1", "broken.example", &signer},
              std::tuple{"secure", "good", "signed.example", &signer},
              std::tuple{"bogus", "bogus", "signed.example",
                         static_cast<const chain_test::test_key*>(&state->attacker)}}) {
            velmora_test::write_file_as(state->dir + "/" + name + ".eml",
                                        chain_test::join_message(sealed(sel, dom, *key)), 0644);
        }
        // Names no resolver can ask (the last one: 254 octets with
        // "s1._domainkey."): they fail at once, on every try.
        const std::string label63(63, 'l');
        const std::string long_domain =
            label63 + "." + label63 + "." + label63 + "." + std::string(240 - 3 * 64, 'l');
        for (const auto& [name, sel, dom] :
             {std::tuple{"long-label", std::string(70, 's'), std::string{"good.example"}},
              std::tuple{"empty-label", std::string{"s1"}, std::string{"a..b"}},
              std::tuple{"long-name", std::string{"s1"}, long_domain}}) {
            velmora_test::write_file_as(state->dir + "/" + name + ".eml",
                                        chain_test::join_message(sealed(sel, dom, signer)), 0644);
        }
        // A Subject changed after sealing.
        message changed = sealed("s1", "good.example", signer);
        for (auto& f : changed.fields) {
            if (f.rfind("Subject:", 0) == 0) {
                f = "Subject: resolver, changed";
            }
        }
        velmora_test::write_file_as(state->dir + "/changed.eml", chain_test::join_message(changed),
                                    0644);
        progname = "velmora";
        testmode = true;
    }
    static void TearDownTestSuite() {
        delete state;
        state = nullptr;
    }

    void SetUp() override {
        if (!state->skip.empty()) {
            GTEST_SKIP() << state->skip;
        }
        ASSERT_EQ(state->failure, "");
    }

    // Writes a validating configuration with the extra lines and returns its
    // path.
    static std::string write_conf(const std::string& name, const std::string& extra) {
        const std::string path = state->dir + "/" + name + ".conf";
        velmora_test::write_file_as(
            path, "Mode v\nAuthservID mx.example\nBaseDirectory " + state->dir + "\n" + extra,
            0644);
        return path;
    }
};

// ---- Loading ----

TEST_F(FilterResolver, DefaultsAndValuesLoad) {
    struct load_case {
        const char* name;
        std::string extra;
        bool stub;
        bool configured;  // ResolverConfiguration set
        bool anchored;    // TrustAnchorFile set
        uint32_t timeout;
        bool tempfail;
    };
    const load_case cases[] = {
        {"defaults", "", false, false, false, 5, false},
        {"stub", "Resolver Stub\n", true, false, false, 5, false},
        {"everything",
         "Resolver unbound\nResolverConfiguration unbound.conf\nTrustAnchorFile " + state->anchor +
             "\nDNSTimeout 300\nDNSErrorAction TempFail\n",
         false, true, true, 300, true},
        {"shortest timeout", "DNSTimeout 1\nDNSErrorAction fail\n", false, false, false, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        arcf_config* conf = nullptr;
        ASSERT_EQ(velmora_test::load_config(write_conf("load", c.extra), &conf), "");
        EXPECT_EQ(conf->conf_stubresolver, c.stub);
        EXPECT_EQ(conf->conf_dnstimeout, c.timeout);
        EXPECT_EQ(conf->conf_dnstempfail, c.tempfail);
        if (c.configured) {
            // Absolute, so that BaseDirectory and a reload do not move it.
            EXPECT_STREQ(conf->conf_resolverconf, (state->dir + "/unbound.conf").c_str());
        } else {
            EXPECT_EQ(conf->conf_resolverconf, nullptr);
        }
        EXPECT_EQ(conf->conf_trustanchors != nullptr, c.anchored);
        arcf_config_free(conf);
    }
}

TEST_F(FilterResolver, BadValuesAndFilesStopTheLoad) {
    const std::string& d = state->dir;
    const std::pair<std::string, std::string> cases[] = {
        {"Resolver recursive\n", "Resolver \"recursive\" is neither \"unbound\" nor \"stub\""},
        {"DNSErrorAction defer\n", "DNSErrorAction \"defer\" is neither \"fail\" nor \"tempfail\""},
        {"DNSTimeout 0\n", "DNSTimeout 0 is not from 1 to 300 seconds"},
        {"DNSTimeout 301\n", "DNSTimeout 301 is not from 1 to 300 seconds"},
        {"DNSTimeout -5\n", "DNSTimeout -5 is not from 1 to 300 seconds"},
        {"ResolverConfiguration missing.conf\n",
         "ResolverConfiguration: " + d + "/missing.conf: open(): No such file or directory"},
        {"ResolverConfiguration .\n",
         "ResolverConfiguration: " + d + "/.: open(): Not a regular file"},
        {"ResolverConfiguration bad-unbound.conf\n",
         "ResolverConfiguration: " + d + "/bad-unbound.conf: syntax error"},
        // libunbound reads the anchors only at its first lookup: tried at load.
        {"TrustAnchorFile bad.ds\n",
         "TrustAnchorFile: " + d + "/bad.ds: the resolver cannot use these trust anchors"},
        {"TrustAnchorFile /nonexistent/root.ds\n",
         "TrustAnchorFile: /nonexistent/root.ds: open(): No such file or directory"},
        // The stub resolver would silently not validate.
        {"Resolver stub\nTrustAnchorFile " + state->anchor + "\n",
         "TrustAnchorFile needs Resolver unbound"},
        {"Resolver stub\nResolverConfiguration unbound.conf\n",
         "ResolverConfiguration needs Resolver unbound"},
        // Where the resolver will read it: inside the new root.
        {"ChangeRootDirectory /nonexistent\nResolverConfiguration unbound.conf\n",
         "ResolverConfiguration: /nonexistent" + d +
             "/unbound.conf: open(): No such file or "
             "directory"},
    };
    for (const auto& [extra, error] : cases) {
        SCOPED_TRACE(extra);
        arcf_config* conf = nullptr;
        EXPECT_EQ(velmora_test::load_config(write_conf("bad", extra), &conf), error);
        EXPECT_EQ(conf, nullptr);
    }
}

// ---- Messages through test mode ----

// The output with each folded line joined back (LF TAB made one blank).
std::string unfolded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && i + 1 < text.size() && text[i + 1] == '\t') {
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct run_case {
    const char* name;
    std::string extra;   // configuration lines
    const char* file;    // message file
    int status;          // exit status of the run: 0, or 75 for a deferral
    const char* result;  // the arc= result written, or "" when deferred
    const char* reason;  // text the chain's failure (or the deferral) names
    double at_least;     // seconds the run must take (a cut budget), or 0
};

TEST_F(FilterResolver, MessagesMeetEveryResolverOutcome) {
    const std::string anchor = "TrustAnchorFile " + state->anchor + "\n";
    const std::string configured = "ResolverConfiguration unbound.conf\n";
    // The budget is cut by the filter, not by the MTA: the run must end
    // within DNSTimeout plus a margin generous enough for a loaded machine.
    constexpr double budget = 2;
    constexpr double margin = 2.5;
    const run_case cases[] = {
        {"default resolver", "", "good.eml", 0, "pass", "", 0},
        {"configured resolver", configured, "good.eml", 0, "pass", "", 0},
        {"stub resolver", "Resolver stub\n", "good.eml", 0, "pass", "", 0},
        {"no such key", configured + "DNSErrorAction tempfail\n", "missing.eml", 0, "fail",
         "'s2._domainkey.good.example' record not found", 0},
        {"silent server, fail", configured + "DNSTimeout 2\n", "silent.eml", 0, "fail",
         "'s1._domainkey.silent.example' query timed out", budget},
        {"silent server, tempfail", configured + "DNSTimeout 2\nDNSErrorAction tempfail\n",
         "silent.eml", 75, "", "'s1._domainkey.silent.example' query timed out", budget},
        {"silent server, stub, tempfail", "Resolver stub\nDNSTimeout 2\nDNSErrorAction tempfail\n",
         "silent.eml", 75, "", "'s1._domainkey.silent.example' query", 0},
        {"servfail, fail", configured, "broken.eml", 0, "fail",
         "'s1._domainkey.broken.example' query failed: SERVFAIL", 0},
        {"servfail, tempfail", configured + "DNSErrorAction tempfail\n", "broken.eml", 75, "",
         "'s1._domainkey.broken.example' query failed: SERVFAIL", 0},
        {"secure key", configured + anchor, "secure.eml", 0, "pass", "", 0},
        // A bogus answer is an answer: it fails whatever DNSErrorAction says.
        {"bogus key", configured + anchor + "DNSErrorAction tempfail\n", "bogus.eml", 0, "fail",
         "'bogus._domainkey.signed.example' DNSSEC validation failed: ", 0},
        {"bogus key, no anchor", configured, "bogus.eml", 0, "pass", "", 0},
        // A signature that does not verify says so.
        {"changed subject", configured, "changed.eml", 0, "fail",
         "ARC-Message-Signature at instance 1 did not verify", 0},
        // A name that can never be asked fails the chain whatever
        // DNSErrorAction says: a later try would not do better.
        {"label of 70 octets, tempfail", configured + "DNSErrorAction tempfail\n", "long-label.eml",
         0, "fail", "key query name with a label longer than 63 octets: 'sss", 0},
        {"empty label, tempfail", configured + "DNSErrorAction tempfail\n", "empty-label.eml", 0,
         "fail", "key query name with an empty label: 's1._domainkey.a..b'", 0},
        {"name of 254 octets, tempfail", configured + "DNSErrorAction tempfail\n", "long-name.eml",
         0, "fail", "key query name longer than 253 octets: 's1._domainkey.lll", 0},
        {"name of 254 octets, stub, tempfail", "Resolver stub\nDNSErrorAction tempfail\n",
         "long-name.eml", 0, "fail", "key query name longer than 253 octets: 's1._domainkey.lll",
         0},
    };
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const arcf_testclient client{"localhost", reinterpret_cast<const sockaddr*>(&sin), 0, false};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        arcf_config* conf = nullptr;
        ASSERT_EQ(velmora_test::load_config(write_conf("run", c.extra), &conf), "");
        conf->conf_dolog = true;
        const char* msg = nullptr;
        ASSERT_TRUE(arcf_config_setlib(conf, &msg)) << msg;
        {
            std::lock_guard<std::mutex> guard{conf_lock};
            curconf = conf;
        }
        velmora_test::log_capture logs;
        std::string list = state->dir + "/" + c.file;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto start = clock_type::now();
        const int status = arcf_testfiles_as(conf->conf_libarc, list.data(), 2, &client);
        const double took = std::chrono::duration<double>(clock_type::now() - start).count();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string out = unfolded(testing::internal::GetCapturedStdout());
        {
            std::lock_guard<std::mutex> guard{conf_lock};
            curconf = nullptr;
        }
        arcf_config_free(conf);

        EXPECT_EQ(status, c.status) << err;
        std::string line;  // the per-message log line
        for (const auto& [priority, text] : logs.lines()) {
            if (text.find(" outcome=") != std::string::npos) {
                line = text;
            }
        }
        if (c.result[0] != '\0') {
            const std::string written =
                "hname='Authentication-Results' hvalue='mx.example; arc=" + std::string{c.result};
            EXPECT_NE(out.find(written), std::string::npos) << out;
            EXPECT_NE(line.find(std::string{"outcome="} + c.result), std::string::npos) << line;
        } else {
            EXPECT_NE(err.find("mlfi_eom() returned SMFIS_TEMPFAIL"), std::string::npos) << err;
            EXPECT_EQ(out.find("Authentication-Results"), std::string::npos) << out;
            EXPECT_NE(line.find("outcome=deferred"), std::string::npos) << line;
        }
        // The reason reaches the field (a failure) and the log line (both).
        if (c.reason[0] != '\0') {
            if (c.result[0] != '\0') {
                EXPECT_NE(out.find(c.reason), std::string::npos) << out;
            }
            EXPECT_NE(line.find(c.reason), std::string::npos) << line;
        }
        if (c.at_least > 0) {
            EXPECT_GE(took, c.at_least - 0.1);
            EXPECT_LT(took, c.at_least + margin);
            std::printf("%s: message ended after %.3f s (DNSTimeout %.0f s)\n", c.name, took,
                        c.at_least);
        }
    }
}

}  // namespace
