// SPDX-License-Identifier: BSD-2-Clause
// dns_integration_test.cc - the key lookup over real DNS: velmora-testdns on a
// loopback address and port 53, reached through the library's default resolver
// operations and the C library's stub resolver, whose /etc/resolv.conf is
// bind-mounted (in a private mount namespace of this process) to name it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "arc-dns.h"
#include "arc-keys.h"
#include "arc.h"
#include "test-keys.h"
#include "testdns-client.h"

namespace {

constexpr int long_record = 2000;
constexpr int huge_record = 9000;  // the reply is more than the 8192-byte buffer

std::string skip;     // why the suite cannot run here
std::string failure;  // why setting it up failed
velmora_testdns::server* dns = nullptr;
EVP_PKEY* key = nullptr;
std::string key_b64;
EVP_PKEY* ed_key = nullptr;
std::string ed_key_b64;  // the 32 raw bytes

std::string zone() {
    return "# keys of the integration test\n"
           "s1._domainkey.d1 TXT \"v=DKIM1; k=rsa; \" \"p=ABC\"\n"
           "alias._domainkey.d1 CNAME s1._domainkey.d1\n"
           "dangling._domainkey.d1 CNAME nowhere.d1\n"
           "aonly._domainkey.d1 A 127.0.0.9\n"
           "rsa._domainkey.d1 TXT v=DKIM1; k=rsa; p=" +
           key_b64 +
           "\n"
           "ed._domainkey.d1 TXT v=DKIM1; k=ed25519; p=" +
           ed_key_b64 +
           "\n"
           // 33 bytes: one too many for an Ed25519 key
           "ed33._domainkey.d1 TXT v=DKIM1; k=ed25519; "
           "p=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
           "tc._domainkey.d1 CASE tc-answer\n"
           "tcempty._domainkey.d1 CASE tc-empty\n"
           "cname._domainkey.d1 CASE cname-txt v=DKIM1; p=XYZ\n"
           "cnameonly._domainkey.d1 CASE cname-only\n"
           "two._domainkey.d1 CASE two-txt\n"
           "nx._domainkey.d1 CASE nxdomain\n"
           "empty._domainkey.d1 CASE empty\n"
           "servfail._domainkey.d1 CASE servfail\n"
           "other._domainkey.d1 CASE other-type\n"
           "qtype._domainkey.d1 CASE question-type\n"
           "qclass._domainkey.d1 CASE question-class\n"
           "noq._domainkey.d1 CASE no-question\n"
           "rdlen._domainkey.d1 CASE rdlength-past-end\n"
           "corrupt._domainkey.d1 CASE corrupt-name\n"
           "strings._domainkey.d1 CASE strings v=DKIM1; k=rsa; ||p=ABC\n"
           "long._domainkey.d1 CASE long-record " +
           std::to_string(long_record) +
           "\n"
           "huge._domainkey.d1 CASE long-record " +
           std::to_string(huge_record) +
           "\n"
           "drop._domainkey.d1 CASE drop\n";
}

std::string long_text(int n) {
    static constexpr std::string_view pattern = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    for (int i = 0; i < n; ++i) {
        s.push_back(pattern[static_cast<size_t>(i) % pattern.size()]);
    }
    return s;
}

class DnsIntegration : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        skip = velmora_testdns::skip_reason();
        if (!skip.empty()) {
            return;
        }
        key = EVP_RSA_gen(2048);
        unsigned char* der = nullptr;
        const int len = i2d_PUBKEY(key, &der);
        key_b64.assign(static_cast<size_t>(4 * ((len + 2) / 3) + 1), '\0');
        key_b64.resize(static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(key_b64.data()), der, len)));
        OPENSSL_free(der);
        ed_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        ed_key_b64 = velmora_test::raw_public_key_base64(ed_key);
        dns = new velmora_testdns::server;
        if (!velmora_testdns::start_and_enter(*dns, zone(), &failure) && failure.empty()) {
            failure = "cannot start the DNS server";
        }
    }
    static void TearDownTestSuite() {
        delete dns;
        dns = nullptr;
        EVP_PKEY_free(key);
        key = nullptr;
        EVP_PKEY_free(ed_key);
        ed_key = nullptr;
    }

    void SetUp() override {
        if (!skip.empty()) {
            GTEST_SKIP() << skip;
        }
        ASSERT_EQ(failure, "");
        lib = arc_init();
        ASSERT_NE(lib, nullptr);
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        ASSERT_NE(msg, nullptr);
        msg->arc_domain = "d1";
        msg->arc_hashtype = ARC_HASHTYPE_SHA256;
    }
    void TearDown() override {
        if (msg != nullptr) {
            arc_free(msg);
        }
        if (lib != nullptr) {
            arc_close(lib);
        }
    }

    std::string error() const {
        const char* e = arc_geterror(msg);
        return e != nullptr ? e : "(none)";
    }

    arc_library* lib = nullptr;
    arc_msg* msg = nullptr;
};

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

TEST_F(DnsIntegration, AnswersEveryCaseOverTheWire) {
    const wire_case cases[] = {
        {"s1", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"alias", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"cname", ARC_STAT_OK, "(none)", "v=DKIM1; p=XYZ"},
        {"strings", ARC_STAT_OK, "(none)", "v=DKIM1; k=rsa; p=ABC"},
        {"long", ARC_STAT_OK, "(none)", long_text(long_record).substr(0, 1024)},
        {"dangling", ARC_STAT_NOKEY, "'%s' reply was unresolved CNAME", ""},
        {"cnameonly", ARC_STAT_NOKEY, "'%s' reply was unresolved CNAME", ""},
        // UDP says truncated, and so does the TCP retry.
        {"tc", ARC_STAT_KEYFAIL, "'%s' reply truncated", ""},
        {"tcempty", ARC_STAT_NOKEY, "(none)", ""},
        {"two", ARC_STAT_MULTIREPLY, "multiple DNS replies for '%s'", ""},
        {"nx", ARC_STAT_NOKEY, "'%s' record not found", ""},
        {"unknown", ARC_STAT_NOKEY, "'%s' record not found", ""},
        {"empty", ARC_STAT_NOKEY, "(none)", ""},
        {"aonly", ARC_STAT_NOKEY, "(none)", ""},
        {"other", ARC_STAT_KEYFAIL, "'%s' reply was unexpected type 1", ""},
        {"rdlen", ARC_STAT_SYNTAX, "'%s' reply corrupt", ""},
        {"corrupt", ARC_STAT_KEYFAIL, "'%s' reply corrupt", ""},
        // Over TCP the stub resolver keeps 8192 bytes of the reply, sets the
        // truncation bit and reports the whole length; the record then runs
        // past what was kept.
        {"huge", ARC_STAT_SYNTAX, "'%s' reply corrupt", ""},
        // The stub resolver itself drops a reply whose question is not the one
        // asked, and gives up on SERVFAIL and on silence: the query fails.
        {"qtype", ARC_STAT_KEYFAIL, "'%s' query failed", ""},
        {"qclass", ARC_STAT_KEYFAIL, "'%s' query failed", ""},
        {"noq", ARC_STAT_KEYFAIL, "'%s' query failed", ""},
        {"servfail", ARC_STAT_KEYFAIL, "'%s' query failed", ""},
        {"drop", ARC_STAT_KEYFAIL, "'%s' query failed", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        const std::string qname = std::string{c.selector} + "._domainkey.d1";
        arc_free(msg);
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        ASSERT_NE(msg, nullptr);
        msg->arc_selector = c.selector;
        msg->arc_domain = "d1";
        char buf[1025];
        EXPECT_EQ(arc_get_key_dns(msg, buf, sizeof buf), c.status);
        EXPECT_EQ(error(), expand(c.error, qname));
        if (c.status == ARC_STAT_OK) {
            EXPECT_EQ(std::string{buf}, c.text);
        }
    }
    // The default adapter marks the resolver as initialized.
    EXPECT_EQ(lib->arc_dns_service, reinterpret_cast<void*>(1));
}

TEST_F(DnsIntegration, FetchesAndDecodesARealKey) {
    msg->arc_selector = "rsa";
    ASSERT_EQ(arc_get_key(msg, false), ARC_STAT_OK) << error();
    const unsigned char* p = msg->arc_key;
    EVP_PKEY* got = d2i_PUBKEY(nullptr, &p, static_cast<long>(msg->arc_keylen));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(got), 2048);
    EXPECT_EQ(EVP_PKEY_eq(got, key), 1);
    EVP_PKEY_free(got);

    msg->arc_selector = "unknown";
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_NOKEY);
    EXPECT_EQ(error(), "'unknown._domainkey.d1' record not found");
}

TEST_F(DnsIntegration, FetchesAnEd25519KeyAndRefusesTheWrongOnes) {
    msg->arc_selector = "ed";
    msg->arc_keyalg = ARC_ALG_ED25519SHA256;
    ASSERT_EQ(arc_get_key(msg, false), ARC_STAT_OK) << error();
    EXPECT_EQ(msg->arc_keytype, ARC_KEYTYPE_ED25519);
    unsigned char raw[32];
    size_t len = sizeof raw;
    ASSERT_EQ(EVP_PKEY_get_raw_public_key(ed_key, raw, &len), 1);
    ASSERT_EQ(msg->arc_keylen, 32u);
    EXPECT_EQ(memcmp(msg->arc_key, raw, 32), 0);

    msg->arc_selector = "ed33";
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_SYNTAX);
    EXPECT_EQ(error(), "ed25519 key is 33 bytes long, not 32");

    msg->arc_selector = "rsa";
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_CANTVRFY);
    EXPECT_EQ(error(), "key type mismatch");
}

TEST_F(DnsIntegration, TheAdapterSendsAndHandsBackTheReply) {
    void* srv = nullptr;
    ASSERT_EQ(arc_res_init(&srv), 0);
    EXPECT_EQ(srv, reinterpret_cast<void*>(1));
    unsigned char reply[512];
    void* qh = nullptr;
    ASSERT_EQ(arc_res_query(srv, 16, reinterpret_cast<const unsigned char*>("s1._domainkey.d1"),
                            reply, sizeof reply, &qh),
              0);
    size_t len = 0;
    int error = 1;
    int dnssec = 0;
    EXPECT_EQ(arc_res_waitreply(srv, qh, nullptr, &len, &error, &dnssec), 0);
    EXPECT_GT(len, 12u);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(dnssec, -1);
    EXPECT_EQ(arc_check_dns_reply(reply, len, 1, 16), 0);
    EXPECT_EQ(arc_res_cancel(srv, qh), 0);
    // A name the stub resolver cannot put into a query fails at once.
    const std::string label(64, 'x');
    EXPECT_EQ(arc_res_query(srv, 16, reinterpret_cast<const unsigned char*>(label.c_str()), reply,
                            sizeof reply, &qh),
              -1);
    arc_res_close(srv);
}

}  // namespace
