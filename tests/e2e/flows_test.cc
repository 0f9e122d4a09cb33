// SPDX-License-Identifier: BSD-2-Clause
// flows_test.cc - velmora behind a private Postfix and a private Sendmail,
// checked on the bytes smtp-sink received: inbound validation, outbound
// sealing over SMTP and local submission, two hops (with a list that changes
// the subject between validating and sealing), forged Authentication-Results
// and what each MTA changes after the filter, behind both MTAs; trusted
// authserv-ids, sealing identities by sender, daemons that need no Domain or
// Selector, the metrics endpoint, and a forwarding host sealing what it
// validated for the next hop, behind Postfix.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <string>
#include <vector>

#include "e2e-support.h"
#include "forged-results.h"
#include "testdns-client.h"
#include "velmora-fixture.h"

namespace {

using namespace velmora_e2e;

constexpr const char* authserv = "mx.velmora.test";

// A message of `fields` header fields (at least five).
std::string make_message(const std::string& id, int fields = 5, const std::string& body = "") {
    std::string m =
        "From: Alice <alice@example.org>\n"
        "To: Bob <bob@example.net>\n"
        "Subject: flow " +
        id +
        "\n"
        "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
        "Message-ID: <" +
        id + "@example.org>\n";
    for (int i = 5; i < fields; ++i) {
        m += "X-Extra-" + std::to_string(i) + ": value " + std::to_string(i) + "\n";
    }
    return m + "\n" + (body.empty() ? "Hello,\nthis is " + id + ".\n" : body);
}

// The message smtp-sink kept, less Postfix's own Received field.
std::string without_first_field(const std::string& m) {
    size_t end = m.find('\n');
    while (end != std::string::npos && end + 1 < m.size() &&
           (m[end + 1] == ' ' || m[end + 1] == '\t')) {
        end = m.find('\n', end + 1);
    }
    return end == std::string::npos ? std::string{} : m.substr(end + 1);
}

// Removes the first field named `name` (with its folds) from the text.
std::string without_field(const std::string& m, const std::string& name) {
    const std::string key = name + ":";
    size_t at = m.rfind(key, 0) == 0 ? 0 : m.find("\n" + key);
    if (at == std::string::npos) {
        return m;
    }
    if (at != 0) {
        ++at;
    }
    size_t end = m.find('\n', at);
    while (end != std::string::npos && end + 1 < m.size() &&
           (m[end + 1] == ' ' || m[end + 1] == '\t')) {
        end = m.find('\n', end + 1);
    }
    return m.substr(0, at) + m.substr(end + 1);
}

class Flows : public ::testing::TestWithParam<mta_kind> {
  protected:
    // The MTA of a TEST_P case; Postfix for a TEST_F one.
    mta_kind kind() const {
        return ::testing::UnitTest::GetInstance()->current_test_info()->value_param() != nullptr
                   ? GetParam()
                   : mta_kind::postfix;
    }

    void SetUp() override {
        const std::string why = mta_skip_reason(kind());
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        become_subreaper();
        std::string err;
        ASSERT_TRUE(syslog.start(tmp / "log", &err)) << err;
        key = make_key(keys.path(), "test-sel1", 2048);
        ASSERT_FALSE(key.pem_path.empty());
        suite_pass = load_suite_message("cv_pass_i1_1", &suite_record);
        ASSERT_FALSE(suite_pass.empty());
        keyfile = tmp / "keys.txt";
        ASSERT_TRUE(write_file(keyfile, "sel1._domainkey.example.org " + key.record + "\n" +
                                            "dummy._domainkey.example.org " + suite_record + "\n"));
    }

    void TearDown() override {
        for (auto& m : mtas) {
            m->stop();
        }
        for (auto& f : filters) {
            f->stop(SIGTERM, 15);
        }
        for (auto& f : helpers) {
            f->stop(SIGKILL);
        }
    }

    // A message of the public ARC test suite, and its key record.
    static std::string load_suite_message(const std::string& name, std::string* record) {
        for (const auto& doc : YAML::LoadAllFromFile(std::string{VELMORA_ARC_SUITE_DIR} +
                                                     "/arc-draft-validation-tests.yml")) {
            if (doc["tests"] && doc["tests"][name]) {
                *record = doc["txt-records"]["dummy._domainkey.example.org"].as<std::string>();
                return doc["tests"][name]["message"].as<std::string>();
            }
        }
        return {};
    }

    // Starts velmora in the foreground with `conf`; returns its socket.
    std::string start_velmora(const std::string& name, const std::string& conf,
                              const std::string& dns = "") {
        const std::string path = tmp / (name + ".conf");
        EXPECT_TRUE(write_file(path, conf));
        const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
        const std::string scratch = tmp / name;
        (void)mkdir(scratch.c_str(), 0755);
        filters.push_back(std::make_unique<child>());
        std::string err;
        EXPECT_TRUE(filters.back()->start(
            {velmora_program(), "-f", "-c", path, "-p", spec},
            velmora_child_options(scratch, syslog.path(), dns, tmp / (name + ".err")), &err))
            << err;
        for (int i = 0; i < 200 && !milter_listening(spec); ++i) {
            usleep(25000);
        }
        EXPECT_TRUE(milter_listening(spec)) << read_file(tmp / (name + ".err"));
        return spec;
    }

    // The configuration of a filter sealing as example.org with selector sel1.
    std::string conf(const std::string& extra) const {
        return "Domain example.org\nSelector sel1\nKeyFile " + key.pem_path + "\nAuthservID " +
               authserv + "\nKeyRecordFile " + keyfile + "\nSyslog yes\n" + extra;
    }

    mta_instance& start_mta(const std::vector<std::string>& milters, int relay = 0,
                            const std::vector<std::string>& extra_main = {}) {
        mtas.push_back(make_mta(kind()));
        mta_options opt;
        for (const auto& m : milters) {
            opt.milter += (opt.milter.empty() ? "" : ",") + m;
        }
        opt.relay_port = relay;
        opt.extra_main = extra_main;
        std::string err;
        EXPECT_TRUE(mtas.back()->start(opt, &err)) << err;
        return *mtas.back();
    }

    // Sends each message on one session; every one must be accepted.
    void send_all(mta_instance& mta, const std::vector<std::string>& messages) {
        smtp_session s;
        std::string err;
        ASSERT_TRUE(s.open(mta.smtp_port(), &err)) << err;
        for (const auto& m : messages) {
            EXPECT_EQ(s.send("alice@example.org", "bob@example.net", m), 250) << s.last_reply();
        }
    }

    temp_dir tmp;
    temp_dir keys{"/run"};
    syslog_capture syslog;
    test_key key;
    std::string keyfile;
    std::string suite_pass;
    std::string suite_record;
    std::vector<std::unique_ptr<child>> filters;
    std::vector<std::unique_ptr<child>> helpers;
    std::vector<std::unique_ptr<mta_instance>> mtas;
};

// Flow 1: an external client's messages are validated; the result sits just
// below Postfix's Received field and nothing else of the message changes.
TEST_P(Flows, InboundValidationReportsTheChainState) {
    ASSERT_TRUE(write_file(tmp / "internal.hosts", "192.0.2.0/24\n"));
    const std::string spec =
        start_velmora("v", conf("InternalHosts " + (tmp / "internal.hosts") + "\n"));
    auto& mta = start_mta({spec});
    const std::string plain = make_message("none-1");
    std::string changed = suite_pass;
    changed.replace(changed.find("This is a test message."), 23, "This is a changed message.");
    send_all(mta, {plain, suite_pass, changed});
    ASSERT_TRUE(mta.wait_delivered(3, 30)) << mta.log();

    struct expected {
        const std::string* sent;
        const char* state;
    };
    const expected cases[] = {
        {&plain, "arc=none"}, {&suite_pass, "arc=pass"}, {&changed, "arc=fail"}};
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        bool found = false;
        for (const auto& m : got) {
            const std::string rest = without_first_field(m);
            // Postfix drops Return-Path on arrival (message_drop_headers).
            if (without_field(rest, "Authentication-Results") !=
                without_field(*c.sent, "Return-Path")) {
                continue;
            }
            found = true;
            const auto names = field_names(m);
            ASSERT_GE(names.size(), 2u);
            EXPECT_EQ(names[0], "Received");
            EXPECT_EQ(names[1], "Authentication-Results");
            const std::string ar = field_values(m, "Authentication-Results").front();
            EXPECT_EQ(ar.rfind(authserv, 0), 0u) << ar;
            EXPECT_NE(ar.find(c.state), std::string::npos) << ar;
        }
        EXPECT_TRUE(found) << "not delivered byte for byte";
    }
}

// Flow 2: internal clients (SMTP from loopback, and local submission) get a
// set that validates, with either header canonicalization and key size.
TEST_P(Flows, OutboundSealingValidates) {
    const test_key big = make_key(keys.path(), "test-sel4096", 4096);
    ASSERT_FALSE(big.pem_path.empty());
    ASSERT_TRUE(write_file(
        keyfile, read_file(keyfile) + "sel4096._domainkey.example.org " + big.record + "\n"));
    struct variant {
        const char* name;
        std::string extra;
        int fields;
    };
    const variant variants[] = {
        {"relaxed-2048", "Canonicalization relaxed/simple\n", 5},
        {"simple-2048", "Canonicalization simple/simple\n", 5},
        {"relaxed-4096-40",
         "Canonicalization relaxed/relaxed\nSelector sel4096\nKeyFile " + big.pem_path + "\n", 40},
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        // A later Selector or KeyFile line wins over the first.
        std::string c = conf("Mode s\n");
        if (v.extra.find("Selector") != std::string::npos) {
            c = "Domain example.org\nSelector sel4096\nKeyFile " + big.pem_path + "\nAuthservID " +
                authserv + "\nKeyRecordFile " + keyfile + "\nSyslog yes\nMode s\n" +
                "Canonicalization relaxed/relaxed\n";
        } else {
            c += v.extra;
        }
        const std::string spec = start_velmora(v.name, c);
        auto& mta = start_mta({spec});
        const std::string smtp = make_message(std::string{v.name} + "-smtp", v.fields);
        const std::string local = make_message(std::string{v.name} + "-local", v.fields);
        send_all(mta, {smtp});
        // Sendmail's local submission is SMTP to its own port.
        size_t sent = 1;
        if (kind() == mta_kind::postfix) {
            std::string out;
            ASSERT_EQ(static_cast<postfix_instance&>(mta).sendmail("alice@example.org",
                                                                   "bob@example.net", local, &out),
                      0)
                << out;
            ++sent;
        }
        ASSERT_TRUE(mta.wait_delivered(sent, 30)) << mta.log();
        const auto got = mta.delivered();
        ASSERT_EQ(got.size(), sent);
        for (const auto& m : got) {
            int instance = 0;
            EXPECT_EQ(validate_chain(m, keyfile, &instance), "pass") << m;
            EXPECT_EQ(instance, 1);
            const auto names = field_names(m);
            ASSERT_GE(names.size(), 4u);
            // The set sits below Postfix's Received field, seal on top.
            EXPECT_EQ(names[1], "ARC-Seal");
            EXPECT_EQ(names[2], "ARC-Message-Signature");
            EXPECT_EQ(names[3], "ARC-Authentication-Results");
            const std::string ams = field_values(m, "ARC-Message-Signature").front();
            const std::string hc = tag_value(ams, "c");
            EXPECT_EQ(hc.substr(0, hc.find('/')),
                      v.extra.find("simple/simple") != std::string::npos ? "simple" : "relaxed");
        }
        mtas.back()->stop();
        filters.back()->stop(SIGTERM, 15);
    }
}

// Sealing with an Ed25519 key on request: the delivered set carries
// a=ed25519-sha256, validates with the k=ed25519 record, and the log line
// names the algorithm.
TEST_P(Flows, Ed25519SealingValidates) {
    const test_key ed = make_ed25519_key(keys.path(), "test-ed");
    ASSERT_FALSE(ed.pem_path.empty());
    ASSERT_TRUE(
        write_file(keyfile, read_file(keyfile) + "ed._domainkey.example.org " + ed.record + "\n"));
    const std::string spec =
        start_velmora("ed25519", "Domain example.org\nSelector ed\nKeyFile " + ed.pem_path +
                                     "\nAuthservID " + authserv + "\nKeyRecordFile " + keyfile +
                                     "\nSyslog yes\nMode s\nSignatureAlgorithm ed25519-sha256\n");
    auto& mta = start_mta({spec});
    send_all(mta, {make_message("ed25519")});
    ASSERT_TRUE(mta.wait_delivered(1, 30)) << mta.log();
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), 1u);
    int instance = 0;
    EXPECT_EQ(validate_chain(got[0], keyfile, &instance), "pass") << got[0];
    EXPECT_EQ(instance, 1);
    for (const char* name : {"ARC-Seal", "ARC-Message-Signature"}) {
        const std::string v = field_values(got[0], name).at(0);
        EXPECT_EQ(tag_value(v, "a"), "ed25519-sha256") << v;
        EXPECT_EQ(tag_value(v, "s"), "ed") << v;
    }
    EXPECT_TRUE(syslog.wait_for("outcome=sealed d=example.org s=ed a=ed25519-sha256", 5));
}

// Flow 3: A seals, B validates and seals again: i=2 validates. Then a list
// at B changes the subject between B's validating and sealing filters; the
// validation result carried into B's set keeps the chain passing.
TEST_P(Flows, TwoHopsKeepTheChain) {
    // B's keys come from velmora-testdns through the real resolver.
    const std::string why = velmora_testdns::skip_reason();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const test_key bkey = make_key(keys.path(), "test-hopb", 2048);
    velmora_testdns::server dns;
    std::string err;
    ASSERT_TRUE(dns.start("sel1._domainkey.example.org TXT " + key.record +
                              "\nhopb._domainkey.example.net TXT " + bkey.record + "\n",
                          &err))
        << err;
    ASSERT_TRUE(write_file(
        keyfile, read_file(keyfile) + "hopb._domainkey.example.net " + bkey.record + "\n"));
    const std::string b_common = "Domain example.net\nSelector hopb\nKeyFile " + bkey.pem_path +
                                 "\nAuthservID mx.example.net\nSyslog yes\n";
    for (const bool list : {false, true}) {
        SCOPED_TRACE(list ? "list changes the subject" : "plain relay");
        std::vector<std::string> b_milters;
        if (!list) {
            b_milters.push_back(start_velmora("b-both", b_common + "Mode sv\n", dns.address()));
        } else {
            b_milters.push_back(start_velmora("b-verify", b_common + "Mode v\n", dns.address()));
            helpers.push_back(std::make_unique<child>());
            const std::string lspec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
            ASSERT_TRUE(helpers.back()->start(
                {VELMORA_NULL_MILTER, "-p", lspec, "-S", "[list] changed subject"}, {}, &err))
                << err;
            b_milters.push_back(lspec);
            b_milters.push_back(start_velmora("b-seal", b_common + "Mode s\n", dns.address()));
        }
        auto& b = start_mta(b_milters);
        const std::string a_spec = start_velmora(list ? "a2" : "a1", conf("Mode s\n"));
        auto& a = start_mta({a_spec}, b.smtp_port());
        send_all(a, {make_message(list ? "hop-list" : "hop-plain")});
        ASSERT_TRUE(a.wait_delivered(1, 30)) << a.log() << b.log();
        ASSERT_TRUE(b.wait_delivered(1, 30)) << b.log();
        const auto got = b.delivered();
        ASSERT_EQ(got.size(), 1u);
        int instance = 0;
        EXPECT_EQ(validate_chain(got[0], keyfile, &instance), "pass") << got[0];
        EXPECT_EQ(instance, 2);
        if (list) {
            EXPECT_EQ(field_values(got[0], "Subject").front(), "[list] changed subject");
        }
        for (const auto& seal : field_values(got[0], "ARC-Seal")) {
            if (tag_value(seal, "i") == "2") {
                EXPECT_EQ(tag_value(seal, "cv"), "pass");
                EXPECT_EQ(tag_value(seal, "s"), "hopb");
            }
        }
        for (auto& m : mtas) {
            m->stop();
        }
        mtas.clear();
        for (auto& f : filters) {
            f->stop(SIGTERM, 15);
        }
        filters.clear();
        for (auto& h : helpers) {
            h->stop(SIGKILL);
        }
        helpers.clear();
    }
}

// Flow 4: an Authentication-Results field with our authserv-id from outside
// is removed and never reaches an ARC-Authentication-Results.
TEST_P(Flows, ForgedResultsAreRemoved) {
    const std::string spec = start_velmora("forged", conf("Mode sv\n"));
    auto& mta = start_mta({spec});
    const std::string forged = "Authentication-Results: " + std::string{authserv} +
                               "; arc=pass; dkim=pass header.d=example.org\n" +
                               make_message("forged");
    send_all(mta, {forged});
    ASSERT_TRUE(mta.wait_delivered(1, 30)) << mta.log();
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), 1u);
    for (const auto& ar : field_values(got[0], "Authentication-Results")) {
        EXPECT_EQ(ar.find("dkim=pass header.d=example.org"), std::string::npos) << ar;
    }
    for (const auto& aar : field_values(got[0], "ARC-Authentication-Results")) {
        EXPECT_EQ(aar.find("dkim=pass"), std::string::npos) << aar;
        EXPECT_EQ(aar.find("arc=pass"), std::string::npos) << aar;
    }
    int instance = 0;
    EXPECT_EQ(validate_chain(got[0], keyfile, &instance), "pass") << got[0];
}

// Flow 4b: forged values of every shape, and a message past the validating
// filter's header limit with forged fields above and below it, through a
// validating and then a sealing velmora behind one MTA (a site's border
// and its sealing relay): the border removes every field that claims us, and
// no forged result is sealed.
TEST_P(Flows, ForgedResultsOfEveryShapeNeverReachTheSeal) {
    auto& mta = start_mta({start_velmora("shapes-v", conf("Mode v\nMaximumHeaders 3000\n")),
                           start_velmora("shapes-s", conf("Mode s\n"))});
    std::vector<std::string> messages;
    for (size_t i = 0; i < std::size(velmora_test::forged_cases); ++i) {
        messages.push_back(
            "Authentication-Results: " +
            velmora_test::forged_value(velmora_test::forged_cases[i].pattern, authserv) + "\n" +
            make_message("shape-" + std::to_string(i)));
    }
    // Past the limit the border does no ARC work, yet still removes both.
    const std::string forged = "Authentication-Results: " + std::string{authserv} + "; arc=pass;" +
                               velmora_test::forged_result + "\n";
    std::string big = forged + make_message("shape-limit", 200);
    big.insert(big.find("\n\n") + 1, forged);
    messages.push_back(big);
    send_all(mta, messages);
    ASSERT_TRUE(mta.wait_delivered(messages.size(), 60)) << mta.log();
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), messages.size());
    for (const auto& m : got) {
        const std::string subject = field_values(m, "Subject").at(0);
        SCOPED_TRACE(subject);
        const size_t n = subject.rfind('-');
        const std::string which = subject.substr(n + 1);
        const bool claims =
            which == "limit" || velmora_test::forged_cases[std::stoul(which)].claims;
        int foreign = 0;
        for (const auto& ar : field_values(m, "Authentication-Results")) {
            foreign += ar.find("bank.example") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(foreign, claims ? 0 : 1) << m;
        const auto aars = field_values(m, "ARC-Authentication-Results");
        ASSERT_EQ(aars.size(), 1u) << m;
        EXPECT_EQ(aars[0].find("bank.example"), std::string::npos) << aars[0];
        EXPECT_EQ(aars[0].find("dkim="), std::string::npos) << aars[0];
        int instance = 0;
        EXPECT_EQ(validate_chain(m, keyfile, &instance), "pass") << m;
    }
    EXPECT_TRUE(syslog.wait_for("too much header data; accepting", 5));
}

// Flow 5: what each MTA does to a message after its filter saw it, judged
// on the delivered seal. Sendmail unfolds the address fields (From, To, Cc,
// Reply-To) and drops their trailing blanks: relaxed header
// canonicalization, the default, survives that and simple does not. Both
// add a missing Date and Message-ID after the filter, which the seal does
// not cover. Both break body lines that are too long for their next hop
// (Postfix's smtp_line_length_limit, 998; the line limit of Sendmail's mailer,
// 990 for esmtp, 2040 for relay): no canonicalization survives that, only
// a limit of the MTA's that leaves the line alone.
TEST_P(Flows, SealsSurviveWhatTheMtaChangesOrFailAsDocumented) {
    const std::string folded =
        "From: Alice <alice@example.org>\n"
        "To: Bob <bob@example.net>,\n"
        "\tCarol <carol@example.net>\n"
        "Cc: Dave <dave@example.net> \n"
        "Subject: folded\n"
        "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
        "Message-ID: <folded@example.org>\n"
        "\n"
        "Hello.\n";
    const std::string undated =
        "From: Alice <alice@example.org>\nTo: Bob <bob@example.net>\nSubject: undated\n\nHello.\n";
    const std::string long_line = make_message("long", 5, std::string(1500, 'x') + "\n");
    const std::string esmtp = "define(`SMART_HOST', `esmtp:[127.0.0.1]')dnl";
    struct rewrite_case {
        const char* name;
        const std::string* message;
        const char* canon;
        std::vector<std::string> extra_main;
        std::vector<std::string> extra_mc;
        const char* postfix;  // the delivered chain's state
        const char* sendmail;
    };
    const rewrite_case cases[] = {
        {"folded address fields, relaxed", &folded, "relaxed/simple", {}, {}, "pass", "pass"},
        {"folded address fields, simple", &folded, "simple/simple", {}, {}, "pass", "fail"},
        {"no Date or Message-ID", &undated, "simple/simple", {}, {}, "pass", "pass"},
        {"1500-octet line, default limits", &long_line, "relaxed/relaxed", {}, {}, "fail", "pass"},
        {"1500-octet line, Sendmail's esmtp mailer",
         &long_line,
         "relaxed/relaxed",
         {},
         {esmtp},
         "fail",
         "fail"},
        {"1500-octet line, limits raised",
         &long_line,
         "relaxed/relaxed",
         {"smtp_line_length_limit = 2040"},
         {esmtp, "define(`SMTP_MAILER_LL', `2040')dnl"},
         "pass",
         "pass"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto& mta = [&]() -> mta_instance& {
            mtas.push_back(make_mta(kind()));
            mta_options opt;
            opt.milter = start_velmora(
                "rewrite", conf("Mode s\nCanonicalization " + std::string{c.canon} + "\n"));
            opt.extra_main = c.extra_main;
            opt.extra_mc = c.extra_mc;
            std::string err;
            EXPECT_TRUE(mtas.back()->start(opt, &err)) << err;
            return *mtas.back();
        }();
        send_all(mta, {*c.message});
        ASSERT_TRUE(mta.wait_delivered(1, 30)) << mta.log();
        const auto got = mta.delivered();
        ASSERT_EQ(got.size(), 1u);
        int instance = 0;
        EXPECT_EQ(validate_chain(got[0], keyfile, &instance),
                  kind() == mta_kind::postfix ? c.postfix : c.sendmail)
            << got[0];
        EXPECT_EQ(instance, 1);
        mta.stop();
        filters.back()->stop(SIGTERM, 15);
    }
}

// Flow 6: TrustedAuthservIDs names the site's other MTAs. Their results
// arriving from outside are removed like this host's own; a sealing hop
// behind them copies their results into its set.
TEST_F(Flows, TrustedAuthservIdsAreOursBothWays) {
    const std::string trusted = "TrustedAuthservIDs mx2.velmora.test, mx3.velmora.test\n";
    auto& border = start_mta({start_velmora("trusted-v", conf("Mode v\n" + trusted))});
    auto& inside = start_mta({start_velmora("trusted-s", conf("Mode s\n" + trusted))});
    send_all(border,
             {"Authentication-Results: MX2.velmora.test; dkim=pass header.d=bank.example\n"
              "Authentication-Results: other.example; spf=pass smtp.mailfrom=example.org\n" +
              make_message("trusted-outside")});
    send_all(inside,
             {"Authentication-Results: mx3.velmora.test; spf=pass smtp.mailfrom=example.org\n"
              "Authentication-Results: other.example; dkim=pass header.d=other.example\n" +
              make_message("trusted-inside")});
    ASSERT_TRUE(border.wait_delivered(1, 30)) << border.log();
    ASSERT_TRUE(inside.wait_delivered(1, 30)) << inside.log();

    const std::string outside = border.delivered().at(0);
    const auto results = field_values(outside, "Authentication-Results");
    ASSERT_EQ(results.size(), 2u) << outside;
    EXPECT_EQ(results[0].rfind(std::string{authserv} + "; arc=none", 0), 0u) << results[0];
    EXPECT_EQ(results[1].rfind("other.example;", 0), 0u) << results[1];
    EXPECT_TRUE(syslog.wait_for("claiming authserv-id mx2.velmora.test", 5));

    const std::string sealed = inside.delivered().at(0);
    int instance = 0;
    EXPECT_EQ(validate_chain(sealed, keyfile, &instance), "pass") << sealed;
    EXPECT_EQ(instance, 1);
    const std::string aar = field_values(sealed, "ARC-Authentication-Results").at(0);
    EXPECT_EQ(
        aar.rfind(std::string{"i=1; "} + authserv + "; spf=pass smtp.mailfrom=example.org", 0), 0u)
        << aar;
    EXPECT_EQ(aar.find("dkim=pass"), std::string::npos) << aar;
}

// Flow 7: a SigningTable picks the sealing identity by the envelope sender's
// domain; each delivered set validates with its own d= and s=, and a sender
// the table does not name gets Domain and Selector.
TEST_F(Flows, SigningTableSealsEachSenderWithItsIdentity) {
    const test_key other = make_key(keys.path(), "test-list", 2048);
    ASSERT_FALSE(other.pem_path.empty());
    ASSERT_TRUE(write_file(
        keyfile, read_file(keyfile) + "lists._domainkey.lists.example.net " + other.record + "\n"));
    // The table chooses the sealing identity: kept where the keys are.
    ASSERT_TRUE(write_file(keys / "signing.table",
                           "# lists and their subdomains seal as the list host\n"
                           "*.example.net     lists.example.net:lists:" +
                               other.pem_path +
                               "\nexample.org       example.org:sel1:" + key.pem_path + "\n",
                           0600));
    auto& mta = start_mta(
        {start_velmora("table", conf("Mode s\nSigningTable " + (keys / "signing.table") + "\n"))});
    struct sender_case {
        const char* from;
        const char* id;
        const char* d;
        const char* s;
    };
    constexpr sender_case cases[] = {
        {"news@announce.example.net", "table-list", "lists.example.net", "lists"},
        {"alice@example.org", "table-org", "example.org", "sel1"},
        {"carol@elsewhere.example", "table-fallback", "example.org", "sel1"},
    };
    {
        smtp_session s;
        std::string err;
        ASSERT_TRUE(s.open(mta.smtp_port(), &err)) << err;
        for (const auto& c : cases) {
            EXPECT_EQ(s.send(c.from, "bob@example.net", make_message(c.id)), 250) << s.last_reply();
        }
    }
    ASSERT_TRUE(mta.wait_delivered(std::size(cases), 30)) << mta.log();
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        size_t found = 0;
        for (const auto& m : got) {
            if (m.find("<" + std::string{c.id} + "@example.org>") == std::string::npos) {
                continue;
            }
            ++found;
            int instance = 0;
            EXPECT_EQ(validate_chain(m, keyfile, &instance), "pass") << m;
            for (const char* name : {"ARC-Seal", "ARC-Message-Signature"}) {
                const std::string v = field_values(m, name).at(0);
                EXPECT_EQ(tag_value(v, "d"), c.d) << v;
                EXPECT_EQ(tag_value(v, "s"), c.s) << v;
            }
            EXPECT_TRUE(syslog.wait_for(std::string{"outcome=sealed d="} + c.d + " s=" + c.s, 5));
        }
        EXPECT_EQ(found, 1u);
    }
}

// Flow 8: a configuration that only validates, and one that seals only
// through a SigningTable, need no Domain or Selector: both daemons start and
// serve a message, which arrives validated and sealed.
TEST_F(Flows, ValidatingAndSigningTableOnlyDaemonsServe) {
    // The table chooses the sealing identity: kept private, where the keys are.
    ASSERT_TRUE(write_file(keys / "only.table",
                           "example.org example.org:sel1:" + key.pem_path + "\n", 0600));
    const std::string common =
        std::string{"AuthservID "} + authserv + "\nKeyRecordFile " + keyfile + "\nSyslog yes\n";
    const std::string validating = start_velmora("only-v", "Mode v\n" + common);
    const std::string sealing = start_velmora(
        "only-table", "Mode s\nSigningTable " + (keys / "only.table") + "\n" + common);
    auto& mta = start_mta({validating, sealing});
    send_all(mta, {make_message("only")});
    ASSERT_TRUE(mta.wait_delivered(1, 30)) << mta.log();
    const auto got = mta.delivered();
    ASSERT_EQ(got.size(), 1u);
    const auto results = field_values(got[0], "Authentication-Results");
    ASSERT_FALSE(results.empty()) << got[0];
    EXPECT_EQ(results.front().rfind(std::string{authserv} + "; arc=none", 0), 0u) << got[0];
    int instance = 0;
    EXPECT_EQ(validate_chain(got[0], keyfile, &instance), "pass") << got[0];
    EXPECT_EQ(instance, 1);
}

// Fetches http://127.0.0.1:PORT/metrics with curl; the body, or "" on failure.
std::string scrape(int port) {
    std::string out;
    const int status = run({"/usr/bin/curl", "-sf", "--max-time", "10",
                            "http://127.0.0.1:" + std::to_string(port) + "/metrics"},
                           &out, 20);
    return status == 0 ? out : std::string{};
}

// The value of one sample line ("name{labels} value") of an exposition, or -1.
long long sample(const std::string& text, const std::string& series) {
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + series.size() + 2));
}

// Flow 9: the metrics endpoint answers while mail flows, and once the mail is
// delivered its counters match what was sent: messages by outcome, and the
// key lookups the chains needed.
TEST_F(Flows, MetricsCountTheMailThatFlowed) {
    if (access("/usr/bin/curl", X_OK) != 0) {
        GTEST_SKIP() << "curl is not installed (scripts/install-deps installs it)";
    }
    const int port = free_port();
    auto& mta = start_mta({start_velmora(
        "metrics", conf("Mode v\nMetricsListen 127.0.0.1:" + std::to_string(port) + "\n"))});
    std::string changed = suite_pass;
    changed.replace(changed.find("This is a test message."), 23, "This is a changed message.");
    constexpr int rounds = 4;
    // The endpoint opens just after the milter socket.
    std::string before = scrape(port);
    for (int i = 0; i < 40 && before.empty(); ++i) {
        usleep(250000);
        before = scrape(port);
    }
    ASSERT_NE(before, "") << "no answer from the metrics endpoint";
    EXPECT_EQ(sample(before, "velmora_messages_total{mode=\"verify\",outcome=\"pass\"}"), 0);

    std::vector<std::string> during;
    {
        smtp_session s;
        std::string err;
        ASSERT_TRUE(s.open(mta.smtp_port(), &err)) << err;
        for (int i = 0; i < rounds; ++i) {
            for (const std::string* m : {&suite_pass, &changed}) {
                EXPECT_EQ(s.send("alice@example.org", "bob@example.net", *m), 250)
                    << s.last_reply();
            }
            EXPECT_EQ(s.send("alice@example.org", "bob@example.net",
                             make_message("metrics-" + std::to_string(i))),
                      250)
                << s.last_reply();
            during.push_back(scrape(port));
        }
    }
    for (const auto& text : during) {
        EXPECT_NE(text.find("# TYPE velmora_messages_total counter"), std::string::npos) << text;
    }
    ASSERT_TRUE(mta.wait_delivered(3 * rounds, 60)) << mta.log();
    const std::string after = scrape(port);
    struct counted {
        const char* series;
        long long value;
    };
    // A passing chain needs its signature's key and its seal's (the same key,
    // decoded once per process); a changed body stops after the signature's.
    const counted want[] = {
        {"velmora_messages_total{mode=\"verify\",outcome=\"pass\"}", rounds},
        {"velmora_messages_total{mode=\"verify\",outcome=\"fail\"}", rounds},
        {"velmora_messages_total{mode=\"verify\",outcome=\"none\"}", rounds},
        {"velmora_messages_total{mode=\"verify\",outcome=\"deferred\"}", 0},
        {"velmora_key_lookups_total{result=\"found\",dnssec=\"none\"}", 3 * rounds},
        {"velmora_key_lookup_seconds_count", 3 * rounds},
        {"velmora_key_cache_misses_total", 1},
        {"velmora_key_cache_hits_total", 3 * rounds - 1},
        {"velmora_validation_seconds_count", 3 * rounds},
    };
    for (const auto& c : want) {
        SCOPED_TRACE(c.series);
        EXPECT_EQ(sample(after, c.series), c.value) << after;
    }
    if (access("/usr/bin/promtool", X_OK) == 0) {
        std::string out;
        EXPECT_EQ(run({"/usr/bin/promtool", "check", "metrics"}, &out, 60, after), 0) << out;
    }
}

// Flow 10: a forwarding host. Its MX runs one instance in Mode sv: it
// validates what arrives from outside and seals it as example.org with the
// state it computed; virtual_alias_maps sends fwd@forward.velmora.test on to
// the next hop, which validates the chain with our set on top.
TEST_F(Flows, ForwarderSealsWhatItValidated) {
    // The later AuthservID line wins: the next hop reports as mx.example.net.
    const std::string next = start_velmora("next", conf("Mode v\nAuthservID mx.example.net\n"));
    auto& hop = start_mta({next});
    ASSERT_TRUE(write_file(tmp / "virtual", "fwd@forward.velmora.test carol@example.net\n"));
    auto& mx = start_mta({start_velmora("forwarder", conf("Mode sv\n"))}, hop.smtp_port(),
                         {"virtual_alias_domains = forward.velmora.test",
                          "virtual_alias_maps = texthash:" + (tmp / "virtual")});

    std::string changed = suite_pass;
    changed.replace(changed.find("This is a test message."), 23, "This is a changed message.");
    struct forwarded {
        const char* name;
        std::string message;
        int instance;       // the set we add
        const char* state;  // what we validated: our A-R, our AAR and our cv
        const char* final;  // what the next hop validates
    };
    const forwarded cases[] = {
        {"no chain", make_message("forward-none"), 1, "none", "pass"},
        {"passing chain", suite_pass, 2, "pass", "pass"},
        {"broken chain", changed, 2, "fail", "fail"},
    };
    smtp_session s;
    std::string err;
    ASSERT_TRUE(s.open(mx.smtp_port(), &err)) << err;
    for (const auto& c : cases) {
        EXPECT_EQ(s.send("alice@example.org", "fwd@forward.velmora.test", c.message), 250)
            << c.name << ": " << s.last_reply();
    }
    s.close();
    ASSERT_TRUE(mx.wait_delivered(std::size(cases), 30)) << mx.log();
    ASSERT_TRUE(hop.wait_delivered(std::size(cases), 30)) << hop.log();
    const auto got = hop.delivered();
    ASSERT_EQ(got.size(), std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string* m = nullptr;
        for (const auto& d : got) {
            if (body_of(d) == body_of(c.message)) {
                m = &d;
            }
        }
        ASSERT_NE(m, nullptr) << "not delivered at the next hop";
        const std::string i = std::to_string(c.instance);
        bool sealed = false;
        for (const auto& seal : field_values(*m, "ARC-Seal")) {
            if (tag_value(seal, "i") == i) {
                sealed = true;
                EXPECT_EQ(tag_value(seal, "d"), "example.org") << seal;
                EXPECT_EQ(tag_value(seal, "s"), "sel1") << seal;
                EXPECT_EQ(tag_value(seal, "cv"), c.state) << seal;
            }
        }
        EXPECT_TRUE(sealed) << *m;
        bool ours = false;
        for (const auto& aar : field_values(*m, "ARC-Authentication-Results")) {
            if (aar.rfind("i=" + i + "; ", 0) == 0) {
                ours = true;
                EXPECT_EQ(aar.rfind("i=" + i + "; " + authserv + "; arc=" + c.state, 0), 0u) << aar;
                EXPECT_NE(aar.find("smtp.remote-ip=127.0.0.1"), std::string::npos) << aar;
            }
        }
        EXPECT_TRUE(ours) << *m;
        const auto results = field_values(*m, "Authentication-Results");
        bool hop_result = false;
        for (const auto& ar : results) {
            if (ar.rfind("mx.example.net;", 0) == 0) {
                hop_result = true;
                EXPECT_NE(ar.find(std::string{"arc="} + c.final), std::string::npos) << ar;
            }
        }
        EXPECT_TRUE(hop_result) << *m;
        int instance = 0;
        EXPECT_EQ(validate_chain(*m, keyfile, &instance), c.final) << *m;
        EXPECT_EQ(instance, c.instance);
    }
}

INSTANTIATE_TEST_SUITE_P(Mta, Flows, ::testing::Values(mta_kind::postfix, mta_kind::sendmail),
                         [](const auto& p) { return std::string{mta_name(p.param)}; });

}  // namespace
