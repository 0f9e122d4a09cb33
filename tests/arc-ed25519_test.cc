// SPDX-License-Identifier: BSD-2-Clause
// arc-ed25519_test.cc - ed25519-sha256 signatures and seals (RFC 8463): the
// signature primitive against the RFC's own example, Ed25519 key records,
// chains sealed wholly or partly with Ed25519 checked by the validator and by
// the independent checker of chain-support.cc, and the tampered variants.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "arc.h"
#include "base64.h"
#include "chain-support.h"

using namespace chain_test;

namespace {

// ---- The example of RFC 8463 appendix A ----

// The Ed25519 key pair of RFC 8032 section 7.1, test 1, in base64.
constexpr const char* example_secret = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";
constexpr const char* example_record =
    "v=DKIM1; k=ed25519; p=11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// The signed header fields of the example message and its Ed25519 signature
// field, the continuation lines starting with one space.
constexpr const char* example_fields[] = {
    "From: Joe SixPack <joe@football.example.com>",
    "To: Suzie Q <suzie@shopping.example.net>",
    "Subject: Is dinner ready?",
    "Date: Fri, 11 Jul 2003 21:00:37 -0700 (PDT)",
    "Message-ID: <20030712040037.46341.5F8J@football.example.com>",
};
constexpr const char* example_signature_field =
    "DKIM-Signature: v=1; a=ed25519-sha256; c=relaxed/relaxed;\r\n"
    " d=football.example.com; i=@football.example.com;\r\n"
    " q=dns/txt; s=brisbane; t=1528637909; h=from : to :\r\n"
    " subject : date : message-id : from : subject : date;\r\n"
    " bh=2jUSOH9NhtVGCQWNr9BrIAPreKQjO6Sn7XIkfJVOzv8=;\r\n"
    " b=";
constexpr const char* example_b =
    "/gCrinpcQOoIfuHNQIbq4pgh9kyIK3AQUdt9OdqQehSwhEIug4D11BusFa3bT3FY5OsU7ZbnKELq+eXdp1Q1Dw==";

std::string decode(const std::string& b64) {
    std::string out(b64.size(), '\0');
    const int n = arc_base64_decode(reinterpret_cast<const unsigned char*>(b64.c_str()),
                                    reinterpret_cast<unsigned char*>(out.data()), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::span<const unsigned char> bytes_of(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// SHA-256 of the example's relaxed header hash input: the five fields in h=
// order (the repeated names find no further field) and the signature field
// with an empty b=, without a final line end.
std::string example_digest() {
    std::string input;
    for (const char* f : example_fields) {
        input += relaxed_header(f) + "\r\n";
    }
    input += relaxed_header(example_signature_field);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(input.data(), input.size(), md, &len, EVP_sha256(), nullptr), 1);
    return {reinterpret_cast<const char*>(md), len};
}

struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using pkey_owner = std::unique_ptr<EVP_PKEY, pkey_free>;

TEST(ArcEd25519, TheRfcExampleSignatureVerifiesAndIsReproduced) {
    const std::string digest = example_digest();
    const std::string pub = decode(tags_of(example_record)["p"]);
    ASSERT_EQ(pub.size(), 32u);
    pkey_owner key{
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes_of(pub).data(), pub.size())};
    ASSERT_TRUE(key);
    std::string sig = decode(example_b);
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_TRUE(
        arc_verify_digest(key.get(), ARC_ALG_ED25519SHA256, bytes_of(sig), bytes_of(digest)));
    // The signature is over the digest, not over the data it summarises.
    std::string tampered_digest = digest;
    tampered_digest[0] ^= 0x01;
    EXPECT_FALSE(arc_verify_digest(key.get(), ARC_ALG_ED25519SHA256, bytes_of(sig),
                                   bytes_of(tampered_digest)));
    sig[10] ^= 0x04;
    EXPECT_FALSE(
        arc_verify_digest(key.get(), ARC_ALG_ED25519SHA256, bytes_of(sig), bytes_of(digest)));

    // Ed25519 is deterministic: the secret key signs the digest into the very
    // b= value of the example.
    const std::string secret = decode(example_secret);
    pkey_owner priv{EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes_of(secret).data(),
                                                 secret.size())};
    ASSERT_TRUE(priv);
    unsigned char out[64];
    size_t outlen = 0;
    ASSERT_EQ(arc_sign_digest(priv.get(), ARC_ALG_ED25519SHA256, out, outlen, bytes_of(digest)), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), outlen), decode(example_b));
}

// ---- Key records ----

// The base64 of `n` bytes of a raw key.
std::string raw_key_b64(size_t n) {
    std::string raw(n, '\x5a');
    std::string b64(4 * ((n + 2) / 3) + 1, '\0');
    b64.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                        reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(n))));
    return b64;
}

TEST(ArcEd25519, KeyRecordsAreCheckedForTypeAndLength) {
    std::string ed_record;
    (void)make_ed25519_key(&ed_record);
    const std::string rsa_record = key_of_bits(1024).record;
    const std::string ed_der = "v=DKIM1; k=ed25519; p=" + tags_of(rsa_record)["p"];
    struct row {
        const char* name;
        std::string record;
        int alg;  // of the signature the key is fetched for
        ARC_STAT status;
        const char* error;  // null: none
        int keytype;
        size_t keylen;
    };
    const row rows[] = {
        {"ed25519 key", ed_record, ARC_ALG_ED25519SHA256, ARC_STAT_OK, nullptr, ARC_KEYTYPE_ED25519,
         32},
        {"key type in capitals", "k=ED25519; p=" + raw_key_b64(32), ARC_ALG_ED25519SHA256,
         ARC_STAT_OK, nullptr, ARC_KEYTYPE_ED25519, 32},
        {"rsa key still", rsa_record, ARC_ALG_RSASHA256, ARC_STAT_OK, nullptr, ARC_KEYTYPE_RSA, 0},
        {"33-byte key", "v=DKIM1; k=ed25519; p=" + raw_key_b64(33), ARC_ALG_ED25519SHA256,
         ARC_STAT_SYNTAX, "ed25519 key is 33 bytes long, not 32", -1, 0},
        {"31-byte key", "k=ed25519; p=" + raw_key_b64(31), ARC_ALG_ED25519SHA256, ARC_STAT_SYNTAX,
         "ed25519 key is 31 bytes long, not 32", -1, 0},
        {"DER key under k=ed25519", ed_der, ARC_ALG_ED25519SHA256, ARC_STAT_SYNTAX, nullptr, -1, 0},
        {"rsa record for an ed25519 signature", rsa_record, ARC_ALG_ED25519SHA256,
         ARC_STAT_CANTVRFY, "key type mismatch", -1, 0},
        {"record without k= for an ed25519 signature", "v=DKIM1; p=" + raw_key_b64(32),
         ARC_ALG_ED25519SHA256, ARC_STAT_CANTVRFY, "key type mismatch", -1, 0},
        {"ed25519 record for an rsa signature", ed_record, ARC_ALG_RSASHA256, ARC_STAT_CANTVRFY,
         "key type mismatch", -1, 0},
        {"revoked ed25519 key", "k=ed25519; p=", ARC_ALG_ED25519SHA256, ARC_STAT_REVOKED, nullptr,
         -1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string file = write_key_file({{"s1._domainkey.d1.example", r.record}});
        lib_ptr lib = make_library(file);
        msg_ptr msg{arc_message(lib.get(), ARC_CANON_RELAXED, ARC_CANON_RELAXED, r.alg,
                                ARC_MODE_VERIFY, nullptr)};
        ASSERT_TRUE(msg);
        msg->arc_selector = "s1";
        msg->arc_domain = "d1.example";
        msg->arc_keyalg = r.alg;
        msg->arc_hashtype = arc_alg_hashtype(r.alg);
        EXPECT_EQ(arc_get_key(msg.get(), false), r.status) << arc_geterror(msg.get());
        if (r.error != nullptr) {
            EXPECT_STREQ(arc_geterror(msg.get()), r.error);
        }
        if (r.keytype != -1) {
            EXPECT_EQ(msg->arc_keytype, r.keytype);
        }
        if (r.keylen != 0) {
            EXPECT_EQ(msg->arc_keylen, r.keylen);
        }
        remove_file(file);
    }
}

// ---- Chains ----

// Hops 1 to 3 seal with Ed25519 keys e1..e3 or RSA keys r1..r3 of domains
// d1..d3, all published in one key file.
class Ed25519ChainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        msg_ = split_message(short_message);
        std::vector<std::pair<std::string, std::string>> records;
        for (int n = 1; n <= 3; ++n) {
            ed_[n].pem = make_ed25519_key(&ed_[n].record);
            ASSERT_FALSE(ed_[n].pem.empty());
            records.emplace_back(name("e", n), ed_[n].record);
            records.emplace_back(name("r", n), key_of_bits(1024).record);
        }
        keyfile_ = write_key_file(records);
        ASSERT_FALSE(keyfile_.empty());
        lib_ = make_library(keyfile_);
    }
    void TearDown() override {
        lib_.reset();
        remove_file(keyfile_);
    }

    static std::string name(const char* kind, int n) {
        return kind + std::to_string(n) + "._domainkey.d" + std::to_string(n) + ".example";
    }
    // Hop n sealing with algorithm 'e' (Ed25519) or 'r' (RSA).
    seal_params hop(int n, char kind) const {
        seal_params p;
        p.alg = kind == 'e' ? ARC_ALG_ED25519SHA256 : ARC_ALG_RSASHA256;
        p.key = kind == 'e' ? ed_[n].pem : key_of_bits(1024).pem;
        p.selector = std::string(1, kind) + std::to_string(n);
        p.domain = "d" + std::to_string(n) + ".example";
        return p;
    }
    std::string record_of(int n, char kind) const {
        return kind == 'e' ? ed_[n].record : key_of_bits(1024).record;
    }

    // Seals the message with one hop per letter of `kinds`, checking every
    // new set with the independent checker before it is inserted.
    message chain(std::string_view kinds) const {
        message m = msg_;
        for (size_t i = 0; i < kinds.size(); ++i) {
            const int n = static_cast<int>(i) + 1;
            const seal_params p = hop(n, kinds[i]);
            msg_ptr msg = run_message(lib_.get(), m, p.mode, p.canonhdr, p.canonbody, p.alg);
            EXPECT_TRUE(msg);
            arc_hdr* set = nullptr;
            EXPECT_EQ(
                arc_getseal(msg.get(), &set, p.authservid.c_str(), p.selector.c_str(),
                            p.domain.c_str(), reinterpret_cast<const unsigned char*>(p.key.data()),
                            p.key.size(), p.results),
                ARC_STAT_OK)
                << arc_geterror(msg.get());
            if (set == nullptr) {
                return {};
            }
            const std::string alg = kinds[i] == 'e' ? "ed25519-sha256" : "rsa-sha256";
            EXPECT_EQ(tags_of(arc_hdr_value(set_field(set, 1)))["a"], alg);
            EXPECT_EQ(tags_of(arc_hdr_value(set_field(set, 2)))["a"], alg);
            EXPECT_TRUE(ams_signature_verifies(m, set, record_of(n, kinds[i]))) << "hop " << n;
            const message next = with_set(m, set);
            EXPECT_TRUE(seal_verifies_over_chain(next, set, record_of(n, kinds[i]))) << "hop " << n;
            m = next;
        }
        return m;
    }

    struct key_pair {
        std::string pem;
        std::string record;
    };
    key_pair ed_[4];
    std::string keyfile_;
    lib_ptr lib_;
    message msg_;
};

TEST_F(Ed25519ChainTest, WhollyAndMixedChainsPassInstanceByInstance) {
    for (const char* kinds : {"e", "eee", "ere", "rer", "ree"}) {
        SCOPED_TRACE(kinds);
        const message m = chain(kinds);
        ASSERT_FALSE(m.fields.empty());
        msg_ptr msg = run_message(lib_.get(), m, ARC_MODE_VERIFY);
        ASSERT_TRUE(msg);
        EXPECT_STREQ(arc_chain_status_str(msg.get()), "pass") << arc_geterror(msg.get());
        // Fetched: the newest signature's key, then every seal's from the
        // newest down, each named with its signature's algorithm.
        const size_t n = std::strlen(kinds);
        ASSERT_EQ(arc_key_count(msg.get()), n + 1);
        auto alg_of = [](char kind) {
            return kind == 'e' ? ARC_ALG_ED25519SHA256 : ARC_ALG_RSASHA256;
        };
        EXPECT_EQ(arc_key_algorithm(msg.get(), 0), alg_of(kinds[n - 1]));
        for (size_t k = 0; k < n; ++k) {
            EXPECT_EQ(arc_key_algorithm(msg.get(), static_cast<unsigned>(k + 1)),
                      alg_of(kinds[n - 1 - k]));
        }
        EXPECT_EQ(arc_key_algorithm(msg.get(), static_cast<unsigned>(n + 1)), -1);
    }
}

TEST_F(Ed25519ChainTest, OldestPassWalksMixedSignatures) {
    lib_ptr lib = make_library(keyfile_, ARC_LIBFLAGS_OLDESTPASS);
    message m = chain("ere");
    ASSERT_FALSE(m.fields.empty());
    msg_ptr msg = run_message(lib.get(), m, ARC_MODE_VERIFY);
    unsigned oldest = 99;
    ASSERT_EQ(arc_chain_oldest_pass(msg.get(), &oldest), ARC_STAT_OK) << arc_geterror(msg.get());
    EXPECT_EQ(oldest, 0u);
    // The older Ed25519 and RSA signatures were checked with their own keys.
    EXPECT_EQ(arc_key_count(msg.get()), 6u);
    EXPECT_EQ(arc_key_algorithm(msg.get(), 4), ARC_ALG_RSASHA256);
    EXPECT_EQ(arc_key_algorithm(msg.get(), 5), ARC_ALG_ED25519SHA256);
}

// Replaces the first field starting with `prefix` by `edit` of it.
message edit_field(message m, std::string_view prefix,
                   const std::function<void(std::string&)>& edit) {
    for (auto& f : m.fields) {
        if (f.rfind(prefix, 0) == 0) {
            edit(f);
            break;
        }
    }
    return m;
}

// Flips one bit of the first character of the b= value of a generated field,
// which starts a continuation line of its own.
void flip_b(std::string& f) {
    const size_t b = f.find("\tb=");
    ASSERT_NE(b, std::string::npos);
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t v = alphabet.find(f[b + 3]);
    ASSERT_NE(v, std::string_view::npos);
    f[b + 3] = alphabet[v ^ 0x01];  // the lowest of the six bits it carries
}

TEST_F(Ed25519ChainTest, TamperedVariantsFailWithTheirReasons) {
    const message good = chain("ee");
    ASSERT_FALSE(good.fields.empty());
    std::string other_record;
    (void)make_ed25519_key(&other_record);
    struct row {
        const char* name;
        message m;
        std::string e2_record;  // what is published for e2 (empty: its own key)
        const char* error;      // null: no text of its own is required
    };
    message longer = good;
    longer.body += "one more line\r\n";
    const row rows[] = {
        {"body changed", longer, "", "body hash mismatch"},
        {"signed field changed",
         edit_field(good, "Subject:", [](std::string& f) { f = "Subject: other figures"; }), "",
         nullptr},
        {"one bit of the newest signature's b=",
         edit_field(good, "ARC-Message-Signature: i=2", flip_b), "", nullptr},
        {"one bit of the newest seal's b=", edit_field(good, "ARC-Seal: i=2", flip_b), "", nullptr},
        {"the wrong key", good, other_record, nullptr},
        {"a 33-byte key", good, "v=DKIM1; k=ed25519; p=" + raw_key_b64(33),
         "arc_get_key() failed: ed25519 key is 33 bytes long, not 32"},
        {"an rsa record for the ed25519 signature", good, key_of_bits(1024).record,
         "arc_get_key() failed: key type mismatch"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::pair<std::string, std::string>> records = {
            {name("e", 1), ed_[1].record},
            {name("e", 2), r.e2_record.empty() ? ed_[2].record : r.e2_record}};
        const std::string file = write_key_file(records);
        lib_ptr lib = make_library(file);
        std::string error;
        EXPECT_EQ(validate(lib.get(), r.m, &error), "fail");
        if (r.error != nullptr) {
            EXPECT_EQ(error, r.error);
        }
        remove_file(file);
    }
    // The untouched chain passes with the same keys.
    std::string error;
    EXPECT_EQ(validate(lib_.get(), good, &error), "pass") << error;
}

TEST_F(Ed25519ChainTest, MinimumKeyBitsAppliesToRsaOnly) {
    unsigned bits = 2048;
    arc_options(lib_.get(), ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits);
    const message m = chain("e");
    ASSERT_FALSE(m.fields.empty());
    std::string error;
    EXPECT_EQ(validate(lib_.get(), m, &error), "pass") << error;
    std::string err;
    EXPECT_TRUE(seal_once(lib_.get(), msg_, hop(1, 'r'), &err).fields.empty());
    EXPECT_EQ(err, "key size (1024) below minimum (2048)");
}

TEST_F(Ed25519ChainTest, RefusingRsaSha1StillAcceptsEd25519) {
    lib_ptr strict = make_library(keyfile_, ARC_LIBFLAGS_NOSHA1);
    std::string error;
    EXPECT_EQ(validate(strict.get(), chain("ere"), &error), "pass") << error;
    seal_params sha1 = hop(2, 'r');
    sha1.alg = ARC_ALG_RSASHA1;
    const message mixed = seal_once(lib_.get(), chain("e"), sha1, &error);
    ASSERT_FALSE(mixed.fields.empty()) << error;
    EXPECT_EQ(validate(lib_.get(), mixed, &error), "pass") << error;
    EXPECT_EQ(validate(strict.get(), mixed, &error), "fail");
    EXPECT_EQ(error, "rsa-sha1 ARC-Message-Signature at instance 2 refused (RFC 8301)");
}

// ---- Sealing ----

TEST_F(Ed25519ChainTest, SealingRefusesAKeyOfTheOtherType) {
    struct row {
        const char* name;
        int alg;
        std::string key;
        const char* error;
    };
    const std::string rsa = key_of_bits(1024).pem;
    const row rows[] = {
        {"rsa key for ed25519-sha256", ARC_ALG_ED25519SHA256, rsa,
         "key type mismatch: ed25519-sha256 needs an Ed25519 private key"},
        {"ed25519 key for rsa-sha256", ARC_ALG_RSASHA256, ed_[1].pem, "EVP_PKEY_get1_RSA() failed"},
        {"ed25519 DER key for rsa-sha256", ARC_ALG_RSASHA256, pem_to_der(ed_[1].pem),
         "EVP_PKEY_get1_RSA() failed"},
    };
    // Each key has sealed once with its own algorithm, so the handle's key
    // cache holds it: the type check applies to a kept key as well.
    ASSERT_FALSE(seal_once(lib_.get(), msg_, hop(1, 'r')).fields.empty());
    ASSERT_FALSE(seal_once(lib_.get(), msg_, hop(1, 'e')).fields.empty());
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        for (int round = 0; round < 2; ++round) {
            lib_ptr fresh = make_library(keyfile_);
            seal_params p = hop(1, 'e');
            p.alg = r.alg;
            p.key = r.key;
            std::string error;
            EXPECT_TRUE(
                seal_once(round == 0 ? fresh.get() : lib_.get(), msg_, p, &error).fields.empty());
            EXPECT_EQ(error, r.error);
        }
    }
}

TEST_F(Ed25519ChainTest, ADerKeySealsAsThePemKeyDoes) {
    seal_params p = hop(1, 'e');
    p.key = pem_to_der(ed_[1].pem);
    std::string error;
    const message m = seal_once(lib_.get(), msg_, p, &error);
    ASSERT_FALSE(m.fields.empty()) << error;
    EXPECT_EQ(validate(lib_.get(), m, &error), "pass") << error;
    // The b= of an Ed25519 signature is 64 bytes, 88 base64 characters.
    EXPECT_EQ(decode(tags_of(m.fields[0].substr(m.fields[0].find(':') + 1))["b"]).size(), 64u);
}

}  // namespace
