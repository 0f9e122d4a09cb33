// SPDX-License-Identifier: BSD-2-Clause
// arc-verify_test.cc - chain validation: chain states, the checks that fail a
// chain and their texts, rsa-sha1 refusal, body intake and the custody text.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "chain-support.h"

using namespace chain_test;

namespace {

class VerifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        small_ = make_rsa_key(768, &small_record_);
        keyfile_ = write_key_file({{"s1._domainkey.d1.example", key_of_bits(2048).record},
                                   {"s2._domainkey.d2.example", key_of_bits(1024).record},
                                   {"s3._domainkey.d3.example", key_of_bits(2048).record},
                                   {"s7._domainkey.d7.example", small_record_}});
        ASSERT_FALSE(keyfile_.empty());
        lib_ = make_library(keyfile_);
        msg_ = split_message(short_message);
    }
    void TearDown() override {
        lib_.reset();
        remove_file(keyfile_);
    }
    seal_params hop(int n) const {
        seal_params p;
        p.key = key_of_bits(n == 2 ? 1024 : 2048).pem;
        p.selector = "s" + std::to_string(n);
        p.domain = "d" + std::to_string(n) + ".example";
        return p;
    }
    // The message sealed by hops 1 .. n.
    message chain(int n, const seal_params* last = nullptr) const {
        message m = msg_;
        std::string error;
        for (int i = 1; i <= n; ++i) {
            m = seal_once(lib_.get(), m, i == n && last != nullptr ? *last : hop(i), &error);
            EXPECT_FALSE(m.fields.empty()) << error;
        }
        return m;
    }

    // The message sealed by hop n as a list does: it validated the chain on
    // arrival, then changed the message, so its seal says cv=pass whatever
    // the older signatures now say. (Opened for validation too: only then
    // does the library hash the existing sets into the new seal.)
    message reseal_as_pass(const message& m, int n) const {
        msg_ptr msg = run_message(lib_.get(), m, ARC_MODE_SIGN | ARC_MODE_VERIFY);
        EXPECT_TRUE(msg);
        arc_set_cv(msg.get(), ARC_CHAIN_PASS);
        const seal_params p = hop(n);
        arc_hdr* set = nullptr;
        EXPECT_EQ(
            arc_getseal(msg.get(), &set, p.authservid.c_str(), p.selector.c_str(), p.domain.c_str(),
                        reinterpret_cast<const unsigned char*>(p.key.data()), p.key.size(),
                        p.results),
            ARC_STAT_OK);
        EXPECT_NE(set, nullptr) << arc_geterror(msg.get());
        return with_set(m, set);
    }

    std::string small_;
    std::string small_record_;
    std::string keyfile_;
    lib_ptr lib_;
    message msg_;
};

TEST_F(VerifyTest, MessageWithoutArcFieldsHasNoChain) {
    msg_ptr msg = run_message(lib_.get(), msg_, ARC_MODE_VERIFY);
    ASSERT_TRUE(msg);
    EXPECT_STREQ(arc_chain_status_str(msg.get()), "none");
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(arc_chain_custody_str(msg.get(), buf, sizeof buf), 0);
    EXPECT_EQ(buf[0], 'x');
}

TEST_F(VerifyTest, ThreeHopChainPassesWithCustody) {
    const message m = chain(3);
    msg_ptr msg = run_message(lib_.get(), m, ARC_MODE_VERIFY);
    ASSERT_TRUE(msg);
    EXPECT_STREQ(arc_chain_status_str(msg.get()), "pass") << arc_geterror(msg.get());
    char buf[64];
    const std::string custody = "d3.example:d2.example:d1.example";
    EXPECT_EQ(arc_chain_custody_str(msg.get(), buf, sizeof buf), static_cast<int>(custody.size()));
    EXPECT_EQ(std::string{buf}, custody);
    char small[4];
    EXPECT_EQ(arc_chain_custody_str(msg.get(), small, sizeof small),
              static_cast<int>(custody.size()));
    EXPECT_STREQ(small, "d3.");
}

TEST_F(VerifyTest, BrokenChainsFail) {
    struct row {
        const char* name;
        std::function<message()> make;
        const char* error;  // null: no text of its own is required
        bool noseal;
    };
    const row rows[] = {
        {"body changed",
         [&] {
             message m = chain(1);
             m.body += "more\r\n";
             return m;
         },
         "body hash mismatch", false},
        {"signed header changed",
         [&] {
             message m = chain(1);
             for (auto& f : m.fields) {
                 if (f.rfind("Subject:", 0) == 0) {
                     f = "Subject: other figures";
                 }
             }
             return m;
         },
         "ARC-Message-Signature at instance 1 did not verify", false},
        {"older set changed",
         [&] {
             message m = chain(2);
             for (auto& f : m.fields) {
                 if (f.rfind("ARC-Authentication-Results: i=1;", 0) == 0) {
                     f += " (edited)";
                 }
             }
             return m;
         },
         "ARC-Seal at instance 2 did not verify", false},
        {"tag of a seal changed",
         [&] {
             message m = chain(1);
             for (auto& f : m.fields) {
                 if (const size_t t = f.find(" t="); f.rfind("ARC-Seal:", 0) == 0) {
                     f.insert(t + 3, "1");
                 }
             }
             return m;
         },
         "ARC-Seal at instance 1 did not verify", false},
        {"seal signature not base64",
         [&] {
             message m = chain(1);
             for (auto& f : m.fields) {
                 if (const size_t b = f.find("b="); f.rfind("ARC-Seal:", 0) == 0) {
                     f.replace(b, std::string::npos, "b=!!!!");
                 }
             }
             return m;
         },
         "ARC-Seal at instance 1 did not verify: b= is not a base64 signature", false},
        {"newest signature leaves From out",
         [&] {
             message m = chain(1);
             for (auto& f : m.fields) {
                 if (const size_t h = f.find("h=From:");
                     f.rfind("ARC-Message-Signature:", 0) == 0 && h != std::string::npos) {
                     f.erase(h + 2, 5);
                 }
             }
             return m;
         },
         "ARC-Message-Signature at instance 1 does not sign From", false},
        {"unknown algorithm in the newest signature",
         [&] {
             message m = chain(1);
             for (auto& f : m.fields) {
                 if (const size_t a = f.find("a=rsa-sha256");
                     f.rfind("ARC-Message-Signature:", 0) == 0 && a != std::string::npos) {
                     f.replace(a, 12, "a=rsa-sha512");
                 }
             }
             return m;
         },
         "ARC-Message-Signature at instance 1 has unknown algorithm 'rsa-sha512'", false},
        {"key not published",
         [&] {
             seal_params p = hop(1);
             p.domain = "unknown.example";
             return chain(1, &p);
         },
         "arc_get_key() failed: No key", false},
        {"only an ARC-Seal without instance",
         [&] {
             message m = msg_;
             m.fields.insert(m.fields.begin() + 1,
                             "ARC-Seal: from relay38.origin.example by relay39.origin.example");
             return m;
         },
         nullptr, false},
        {"first seal claims cv=pass",
         [&] {
             msg_ptr msg = run_message(lib_.get(), msg_, ARC_MODE_SIGN | ARC_MODE_VERIFY);
             arc_set_cv(msg.get(), ARC_CHAIN_PASS);
             arc_hdr* set = nullptr;
             const seal_params p = hop(1);
             arc_getseal(msg.get(), &set, p.authservid.c_str(), p.selector.c_str(),
                         p.domain.c_str(), reinterpret_cast<const unsigned char*>(p.key.data()),
                         p.key.size(), p.results);
             return with_set(msg_, set);
         },
         "ARC-Seal at instance 1 has cv=pass where none belongs", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const message m = r.make();
        msg_ptr msg = run_message(lib_.get(), m, ARC_MODE_VERIFY | ARC_MODE_SIGN);
        ASSERT_TRUE(msg);
        EXPECT_STREQ(arc_chain_status_str(msg.get()), "fail");
        if (r.error != nullptr) {
            ASSERT_NE(arc_geterror(msg.get()), nullptr);
            EXPECT_STREQ(arc_geterror(msg.get()), r.error);
        }
        EXPECT_EQ(msg->arc_noseal, r.noseal);
    }
}

TEST_F(VerifyTest, MinimumKeySizeAppliesToTheNewestSignatureOnly) {
    unsigned bits = 512;
    arc_options(lib_.get(), ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits);
    seal_params weak;
    weak.key = small_;
    weak.selector = "s7";
    weak.domain = "d7.example";
    const message one = chain(1, &weak);  // sealed with a 768-bit key
    std::string error;
    const message two = seal_once(lib_.get(), one, hop(2), &error);
    ASSERT_FALSE(two.fields.empty()) << error;

    bits = 1024;
    arc_options(lib_.get(), ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits);
    EXPECT_EQ(validate(lib_.get(), one, &error), "fail");
    EXPECT_EQ(error,
              "ARC-Message-Signature at instance 1 did not verify: key size (768) below minimum "
              "(1024)");
    // In an older seal the same key is accepted.
    EXPECT_EQ(validate(lib_.get(), two, &error), "pass") << error;
}

TEST_F(VerifyTest, Sha1IsRefusedOnlyWithTheFlag) {
    seal_params p = hop(1);
    p.alg = ARC_ALG_RSASHA1;
    const message m = chain(1, &p);
    std::string error;
    EXPECT_EQ(validate(lib_.get(), m, &error), "pass") << error;

    lib_ptr strict = make_library(keyfile_, ARC_LIBFLAGS_NOSHA1);
    EXPECT_EQ(validate(strict.get(), m, &error), "fail");
    EXPECT_NE(error.find("rsa-sha1"), std::string::npos) << error;
    EXPECT_EQ(validate(strict.get(), chain(1), &error), "pass") << error;
}

TEST_F(VerifyTest, BodyIntakeFollowsThePhase) {
    msg_ptr msg{arc_message(lib_.get(), ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                            ARC_MODE_VERIFY, nullptr)};
    const unsigned char chunk[] = "x\r\n";
    EXPECT_EQ(arc_body(msg.get(), chunk, 3), ARC_STAT_INVALID);
    const std::string f = "From: a@b.example";
    ASSERT_EQ(
        arc_header_field(msg.get(), reinterpret_cast<const unsigned char*>(f.data()), f.size()),
        ARC_STAT_OK);
    EXPECT_EQ(arc_body(msg.get(), chunk, 3), ARC_STAT_OK);
    EXPECT_EQ(msg->arc_state, ARC_STATE_HEADER);
}

TEST_F(VerifyTest, EndOfMessageWithoutVerifyKeepsTheForcedState) {
    msg_ptr msg = run_message(lib_.get(), chain(1), ARC_MODE_SIGN);
    arc_set_cv(msg.get(), ARC_CHAIN_UNKNOWN);
    EXPECT_EQ(arc_eom(msg.get()), ARC_STAT_OK);
    EXPECT_STREQ(arc_chain_status_str(msg.get()), "unknown");
}

// The Subject field of m replaced.
message with_subject(message m, const std::string& subject) {
    for (auto& f : m.fields) {
        if (f.rfind("Subject:", 0) == 0) {
            f = "Subject: " + subject;
        }
    }
    return m;
}

TEST_F(VerifyTest, OldestPassNamesTheOldestSignatureStillValid) {
    lib_ptr lib = make_library(keyfile_, ARC_LIBFLAGS_OLDESTPASS);
    struct row {
        const char* name;
        std::function<message()> make;
        const char* state;
        ARC_STAT status;  // of arc_chain_oldest_pass()
        unsigned oldest;
        unsigned keys;  // key records fetched
    };
    const row rows[] = {
        {"one intact set", [&] { return chain(1); }, "pass", ARC_STAT_OK, 0, 2},
        {"three intact sets", [&] { return chain(3); }, "pass", ARC_STAT_OK, 0, 6},
        {"footer added after hop 1",
         [&] {
             message m = chain(1);
             m.body += "-- \r\nThe list added this footer.\r\n";
             return seal_once(lib_.get(), reseal_as_pass(m, 2), hop(3));
         },
         "pass", ARC_STAT_OK, 2, 6},
        {"subject tagged after hop 2",
         [&] { return reseal_as_pass(with_subject(chain(2), "[list] quarterly figures"), 3); },
         "pass", ARC_STAT_OK, 3, 5},
        // The walk stops at the first signature that fails, newest first:
        // hop 2's signature breaks, hop 1's is intact again.
        {"subject changed and restored",
         [&] {
             const message one = chain(1);
             message two = reseal_as_pass(with_subject(one, "changed"), 2);
             return reseal_as_pass(with_subject(two, "quarterly figures"), 3);
         },
         "pass", ARC_STAT_OK, 3, 5},
        {"failed chain",
         [&] {
             message m = chain(2);
             m.body += "more\r\n";
             return m;
         },
         "fail", ARC_STAT_INVALID, 0, 1},
        {"no chain", [&] { return msg_; }, "none", ARC_STAT_INVALID, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const message m = r.make();
        msg_ptr msg = run_message(lib.get(), m, ARC_MODE_VERIFY);
        ASSERT_TRUE(msg);
        EXPECT_STREQ(arc_chain_status_str(msg.get()), r.state) << arc_geterror(msg.get());
        unsigned oldest = 99;
        ASSERT_EQ(arc_chain_oldest_pass(msg.get(), &oldest), r.status);
        if (r.status == ARC_STAT_OK) {
            EXPECT_EQ(oldest, r.oldest);
            // The checks made for the report leave no text behind.
            const char* e = arc_geterror(msg.get());
            EXPECT_TRUE(e == nullptr || e[0] == '\0') << e;
        }
        EXPECT_EQ(arc_key_count(msg.get()), r.keys);

        // Without the flag nothing is computed and only the newest
        // signature's key is fetched besides the seals'.
        msg_ptr plain = run_message(lib_.get(), m, ARC_MODE_VERIFY);
        EXPECT_STREQ(arc_chain_status_str(plain.get()), r.state);
        EXPECT_EQ(arc_chain_oldest_pass(plain.get(), &oldest), ARC_STAT_INVALID);
    }

    // A state forced afterwards takes the report away with the pass.
    msg_ptr msg = run_message(lib.get(), chain(2), ARC_MODE_VERIFY);
    unsigned oldest = 99;
    EXPECT_EQ(arc_chain_oldest_pass(msg.get(), &oldest), ARC_STAT_OK);
    arc_set_cv(msg.get(), ARC_CHAIN_FAIL);
    EXPECT_EQ(arc_chain_oldest_pass(msg.get(), &oldest), ARC_STAT_INVALID);
}

TEST_F(VerifyTest, KeyOutcomesTellStatusCacheAndTime) {
    lib_ptr lib = make_library(keyfile_);
    // Hop 1's signature and seal share a key: decoded once, then found in the
    // handle's cache.
    msg_ptr msg = run_message(lib.get(), chain(1), ARC_MODE_VERIFY);
    ASSERT_EQ(arc_key_count(msg.get()), 2u);
    const int want_cached[] = {0, 1};
    for (unsigned i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ARC_STAT status = -1;
        bool tempfail = true;
        unsigned long usec = 999999999;
        int cached = 7;
        ASSERT_EQ(arc_key_outcome(msg.get(), i, &status, &tempfail, &usec, &cached), ARC_STAT_OK);
        EXPECT_EQ(status, ARC_STAT_OK);
        EXPECT_FALSE(tempfail);
        EXPECT_LT(usec, 10000000ul);
        EXPECT_EQ(cached, want_cached[i]);
    }
    EXPECT_EQ(arc_key_outcome(msg.get(), 2, nullptr, nullptr, nullptr, nullptr), ARC_STAT_INVALID);

    seal_params p = hop(1);
    p.domain = "unknown.example";
    msg = run_message(lib.get(), chain(1, &p), ARC_MODE_VERIFY);
    ASSERT_EQ(arc_key_count(msg.get()), 1u);
    ARC_STAT status = -1;
    bool tempfail = true;
    int cached = 7;
    ASSERT_EQ(arc_key_outcome(msg.get(), 0, &status, &tempfail, nullptr, &cached), ARC_STAT_OK);
    EXPECT_EQ(status, ARC_STAT_NOKEY);
    EXPECT_FALSE(tempfail);
    EXPECT_EQ(cached, -1);
}

}  // namespace
