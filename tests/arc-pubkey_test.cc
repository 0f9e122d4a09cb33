// SPDX-License-Identifier: BSD-2-Clause
// arc-pubkey_test.cc - fetching and checking key records: the checks in their
// order, one row per failure text, the accepted forms, and the decoded key,
// with RSA keys generated here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "arc.h"
#include "test-keys.h"
#include "test-support.h"

namespace {

struct test_key {
    int bits;
    EVP_PKEY* pkey;
    std::string b64;  // base64 of the DER SubjectPublicKeyInfo
};

std::vector<test_key>& keys() {
    static std::vector<test_key> k;
    return k;
}

test_key make_key(int bits) {
    EVP_PKEY* pkey = EVP_RSA_gen(static_cast<unsigned>(bits));
    EXPECT_NE(pkey, nullptr);
    return {bits, pkey, velmora_test::public_key_base64(pkey)};
}

// Replaces every "%K" in the template with the key's base64 text.
std::string with_key(std::string t, const std::string& b64) {
    for (size_t at; (at = t.find("%K")) != std::string::npos;) {
        t.replace(at, 2, b64);
    }
    return t;
}

// Messages whose keys come from a key file holding one record for s1/d1.
class PubkeyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (keys().empty()) {
            keys().push_back(make_key(1024));
            keys().push_back(make_key(2048));
        }
    }
    static void TearDownTestSuite() {
        for (auto& k : keys()) {
            EVP_PKEY_free(k.pkey);
        }
        keys().clear();
    }

    void SetUp() override {
        char tmpl[] = "/tmp/velmora-pubkey-test.XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        lib = arc_init();
        ASSERT_NE(lib, nullptr);
        ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE,
                              const_cast<char*>(path.c_str()), path.size()),
                  ARC_STAT_OK);
    }
    void TearDown() override {
        if (msg != nullptr) {
            arc_free(msg);
        }
        arc_close(lib);
        (void)unlink(path.c_str());
    }

    // A fresh message validating a signature of the given hash.
    arc_msg* new_message(int hashtype = ARC_HASHTYPE_SHA256) {
        if (msg != nullptr) {
            arc_free(msg);
        }
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        EXPECT_NE(msg, nullptr);
        if (msg != nullptr) {
            msg->arc_selector = "s1";
            msg->arc_domain = "d1";
            msg->arc_hashtype = hashtype;
        }
        return msg;
    }

    void publish(const std::string& record) {
        std::ofstream out{path, std::ios::binary | std::ios::trunc};
        out << "# test key\ns1._domainkey.d1 " << record << "\n";
    }

    std::string error() const {
        const char* e = arc_geterror(msg);
        return e != nullptr ? e : "(none)";
    }

    int key_sets() const {
        int n = 0;
        for (arc_kvset* s = msg->arc_kvsethead; s != nullptr; s = s->set_next) {
            n += s->set_type == ARC_KVSETTYPE_KEY ? 1 : 0;
        }
        return n;
    }

    std::string path;
    arc_library* lib = nullptr;
    arc_msg* msg = nullptr;
};

struct failure_case {
    const char* record;
    int hashtype;
    ARC_STAT status;
    const char* error;
};

// Each record carries its own fault and those of the rows below it, so the
// row passes only when the checks run in this order. ("key type missing"
// cannot happen: the parser supplies k=rsa to every key record, and K= is
// another tag.)
constexpr failure_case failure_cases[] = {
    {"", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX, "empty key record"},
    {"v=DKIM1; p", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX, "tag without value at end of key data"},
    {"v=dkim1; h=sha512; s=xmpp; k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX,
     "invalid key version 'dkim1'"},
    {"v=DKIM1; h=sha512; s=xmpp; k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX,
     "unknown hash 'sha512'"},
    {"h=md5:sha384; s=xmpp; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX,
     "unknown hash 'md5:sha384'"},
    {"h=sha1; s=xmpp; k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_CANTVRFY,
     "signature-key hash mismatch"},
    {"h=sha256; s=xmpp; k=ed448; p=Q", ARC_HASHTYPE_SHA1, ARC_STAT_CANTVRFY,
     "signature-key hash mismatch"},
    {"s=xmpp; k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_CANTVRFY, "key type mismatch"},
    {"s=::; k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_CANTVRFY, "key type mismatch"},
    {"k=ed448; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX, "unknown key type 'ed448'"},
    // The signatures here are RSA ones, which an Ed25519 key cannot check.
    {"k=ed25519; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_CANTVRFY, "key type mismatch"},
    {"v=DKIM1; k=rsa", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX, "key missing"},
    {"v=DKIM1; k=rsa; p=Q", ARC_HASHTYPE_SHA256, ARC_STAT_SYNTAX, "key missing"},
};

TEST_F(PubkeyTest, ChecksTheRecordInOrder) {
    for (const auto& c : failure_cases) {
        SCOPED_TRACE(c.record);
        publish(c.record);
        ASSERT_NE(new_message(c.hashtype), nullptr);
        EXPECT_EQ(arc_get_key(msg, false), c.status);
        EXPECT_EQ(error(), c.error);
    }
}

TEST_F(PubkeyTest, ARevokedKeyLeavesTheEarlierText) {
    publish("v=DKIM1; k=rsa; p=");
    ASSERT_NE(new_message(), nullptr);
    arc_error(msg, "earlier text");
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_REVOKED);
    EXPECT_EQ(error(), "earlier text");
}

TEST_F(PubkeyTest, WithoutSha256OnlySha1Qualifies) {
    lib->arc_flist[0] &= ~(1u << ARC_FEATURE_SHA256);
    publish(with_key("h=sha256; p=%K", keys()[0].b64));
    ASSERT_NE(new_message(), nullptr);
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_SYNTAX);
    EXPECT_EQ(error(), "unknown hash 'sha256'");
    publish(with_key("h=sha256:sha1; p=%K", keys()[0].b64));
    ASSERT_NE(new_message(ARC_HASHTYPE_SHA1), nullptr);
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_OK);
    EXPECT_FALSE(arc_key_hashesok(lib, "sha256"));
    EXPECT_TRUE(arc_key_hashesok(lib, nullptr));
}

struct accepted_case {
    const char* record;  // "%K" stands for the key
    int hashtype;
    bool testing;
    uint64_t flags;
};

constexpr accepted_case accepted_cases[] = {
    {"v=DKIM1; k=rsa; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"v=DKIM1; h=sha256; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"h=sha512:sha256; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"h=:SHA256:; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"h=sha1:sha256; p=%K", ARC_HASHTYPE_SHA1, false, 0},
    {"h=sha1; p=%K", ARC_HASHTYPE_SHA256, true, 0},
    {"s=email:*; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"s=*; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"s=xmpp:EMAIL; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"k=RSA; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"t=y:s:x; p=%K", ARC_HASHTYPE_SHA256, false, ARC_KEYFLAG_Y | ARC_KEYFLAG_S},
    {"t=S; p=%K", ARC_HASHTYPE_SHA256, false, ARC_KEYFLAG_S},
    {"t=; p=%K", ARC_HASHTYPE_SHA256, false, 0},
    {"n=a note; x=; p=%K", ARC_HASHTYPE_SHA256, false, 0},
};

TEST_F(PubkeyTest, AcceptsTheValidForms) {
    for (const auto& k : keys()) {
        for (const auto& c : accepted_cases) {
            const std::string record = with_key(c.record, k.b64);
            SCOPED_TRACE(std::to_string(k.bits) + " " + c.record);
            publish(record);
            ASSERT_NE(new_message(c.hashtype), nullptr);
            msg->arc_keyflags = 0xf0;  // a fetch replaces the flags
            ASSERT_EQ(arc_get_key(msg, c.testing), ARC_STAT_OK) << error();
            EXPECT_EQ(msg->arc_keyflags, c.flags);
            EXPECT_EQ(std::string(msg->arc_b64key, msg->arc_b64keylen), k.b64);
            const unsigned char* p = msg->arc_key;
            EVP_PKEY* got = d2i_PUBKEY(nullptr, &p, static_cast<long>(msg->arc_keylen));
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(p, msg->arc_key + msg->arc_keylen);
            EXPECT_EQ(EVP_PKEY_get_bits(got), k.bits);
            EXPECT_EQ(EVP_PKEY_eq(got, k.pkey), 1);
            EVP_PKEY_free(got);
        }
    }
}

TEST_F(PubkeyTest, AFoldedKeyIsJoined) {
    std::string folded = keys()[1].b64;
    folded.insert(100, " \t ");
    folded.insert(50, "  ");
    publish("v=DKIM1; p=" + folded);
    ASSERT_NE(new_message(), nullptr);
    ASSERT_EQ(arc_get_key(msg, false), ARC_STAT_OK) << error();
    EXPECT_EQ(std::string(msg->arc_b64key), keys()[1].b64);
}

TEST_F(PubkeyTest, ARecordLongerThan1024CharactersIsFetchedWhole) {
    // The record of an 8192-bit key is about 1400 characters long.
    const std::string pem = velmora_test::read_file(velmora_test::data_path("test-8192.pem"));
    ASSERT_FALSE(pem.empty());
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(pkey, nullptr);
    const std::string b64 = velmora_test::public_key_base64(pkey);
    ASSERT_GT(b64.size(), 1024U);
    publish("v=DKIM1; k=rsa; p=" + b64);
    ASSERT_NE(new_message(), nullptr);
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_OK) << error();
    EXPECT_EQ(msg->arc_b64keylen, b64.size());
    EVP_PKEY_free(pkey);
}

TEST_F(PubkeyTest, EachFetchReplacesTheKeyAndAddsASet) {
    ASSERT_NE(new_message(), nullptr);
    publish(with_key("p=%K", keys()[1].b64));
    ASSERT_EQ(arc_get_key(msg, false), ARC_STAT_OK);
    const size_t long_len = msg->arc_keylen;
    EXPECT_EQ(key_sets(), 1);
    // Base64 that is not a key is accepted here; the signature check refuses it.
    publish("p=QUJD");
    ASSERT_EQ(arc_get_key(msg, false), ARC_STAT_OK);
    EXPECT_EQ(msg->arc_keylen, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(msg->arc_key), 3), "ABC");
    EXPECT_LT(msg->arc_keylen, long_len);
    EXPECT_EQ(key_sets(), 2);
    // A failed decode leaves no length that belongs to an earlier key.
    publish("p=Q");
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_SYNTAX);
    EXPECT_EQ(msg->arc_keylen, 0u);
    EXPECT_EQ(key_sets(), 3);
}

TEST_F(PubkeyTest, RunningOutOfMemoryFailsCleanly) {
    if (!velmora_test::allocator_installed()) {
        GTEST_SKIP() << "the counting allocator is not installed in this build";
    }
    publish(with_key("v=DKIM1; k=rsa; p=%K", keys()[0].b64));
    const std::string nomem =
        "unable to allocate " + std::to_string(keys()[0].b64.size()) + " byte(s)";
    std::set<ARC_STAT> statuses;
    bool saw_key_allocation = false;
    const long before = velmora_test::live_allocations();
    const long points = velmora_test::for_each_allocation_failure([&] {
        const char* err = nullptr;
        arc_msg* m = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                                 ARC_MODE_VERIFY, &err);
        if (m == nullptr) {
            return;
        }
        m->arc_selector = "s1";
        m->arc_domain = "d1";
        m->arc_hashtype = ARC_HASHTYPE_SHA256;
        const ARC_STAT st = arc_get_key(m, false);
        statuses.insert(st);
        const char* e = arc_geterror(m);
        if (st == ARC_STAT_NORESOURCE && e != nullptr && e == nomem) {
            saw_key_allocation = true;
        }
        arc_free(m);
    });
    EXPECT_GT(points, 0);
    EXPECT_TRUE(saw_key_allocation);
    EXPECT_TRUE(statuses.count(ARC_STAT_OK));
    for (ARC_STAT st : statuses) {
        EXPECT_TRUE(st == ARC_STAT_OK || st == ARC_STAT_NORESOURCE || st == ARC_STAT_INTERNAL)
            << st;
    }
    EXPECT_EQ(velmora_test::live_allocations(), before);
}

TEST(ArcPubkey, HashListsNameTheHash) {
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    EXPECT_TRUE(arc_key_hashesok(lib, "sha1"));
    EXPECT_TRUE(arc_key_hashesok(lib, "x:sha256"));
    EXPECT_FALSE(arc_key_hashesok(lib, "sha512"));
    EXPECT_FALSE(arc_key_hashesok(lib, ":::"));
    const char* err = nullptr;
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY, &err);
    ASSERT_NE(msg, nullptr);
    msg->arc_hashtype = ARC_HASHTYPE_SHA1;
    EXPECT_TRUE(arc_key_hashok(msg, nullptr));
    EXPECT_TRUE(arc_key_hashok(msg, "sha256:SHA1"));
    EXPECT_FALSE(arc_key_hashok(msg, "sha256"));
    EXPECT_FALSE(arc_key_hashok(msg, "sha1x"));
    arc_free(msg);
    arc_close(lib);
}

TEST(ArcPubkeyDeathTest, CallerErrorsAbort) {
    EXPECT_DEATH(arc_get_key(nullptr, false), "msg != NULL");
    EXPECT_DEATH(arc_key_hashesok(nullptr, "sha1"), "lib != NULL");
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    const char* err = nullptr;
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY, &err);
    ASSERT_NE(msg, nullptr);
    EXPECT_DEATH(arc_get_key(msg, false), "msg->arc_selector != NULL");
    msg->arc_selector = "s1";
    EXPECT_DEATH(arc_get_key(msg, false), "msg->arc_domain != NULL");
    msg->arc_domain = "d1";
    msg->arc_query = 7;
    EXPECT_DEATH(arc_get_key(msg, false), "arc_query");
    arc_free(msg);
    arc_close(lib);
}

}  // namespace
