// SPDX-License-Identifier: BSD-2-Clause
// velmora-config-ops_test.cc - the settings of monitoring, trust, crypto
// policy and several sealing identities: MetricsListen, MinimumKeyBits,
// RequireSafeAlgorithms, SigningTable, TrustedAuthservIDs, and which sealing
// settings a mode requires. Runs in the private mount namespace of the
// configuration tests (velmora-config-support.h); skipped without root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <functional>
#include <string>
#include <vector>

#include "test-keys.h"
#include "velmora-config-support.h"
#include "velmora-config.h"
#include "velmora-metrics.h"

namespace {

using velmora_test::load_config;
using velmora_test::log_capture;
using velmora_test::test_key_pem;
using velmora_test::write_file_as;

// Replaces every "%D" in `text` with `dir`.
std::string with_dir(std::string text, const std::string& dir) {
    for (size_t at = text.find("%D"); at != std::string::npos; at = text.find("%D", at)) {
        text.replace(at, 2, dir);
        at += dir.size();
    }
    return text;
}

struct record_owner {
    arcf_config* conf = nullptr;
    ~record_owner() {
        if (conf != nullptr) {
            arcf_config_free(conf);
        }
    }
};

const std::string& key_1024() {
    static const std::string pem = velmora_test::make_rsa_key(1024, nullptr);
    return pem;
}

const std::string& key_ed25519() {
    static const std::string pem = velmora_test::make_ed25519_key(nullptr);
    return pem;
}

class ConfigOps : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = velmora_test::enter_config_namespace();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        testmode = false;
        cmdline_dolog = false;
        dir_ = velmora_test::make_test_dir();
        write_file_as(dir_ + "/key.pem", test_key_pem());
        write_file_as(dir_ + "/small.pem", key_1024());
        write_file_as(dir_ + "/ed.pem", key_ed25519());
        write_file_as(dir_ + "/st-ed", with_dir("* any.net:e:%D/ed.pem\n", dir_));
        write_file_as(dir_ + "/st", "example.com example.com:a:%D/key.pem\n");
        write_file_as(dir_ + "/st-rel", "* any.net:b:key.pem\n");
        write_file_as(dir_ + "/st-bad", "example.com example.com:a\n");
        write_file_as(dir_ + "/st-small", "* any.net:b:%D/small.pem\n");
        for (const char* t : {"/st", "/st-small"}) {
            write_file_as(dir_ + t, with_dir(read(dir_ + t), dir_));
        }
    }
    static std::string read(const std::string& path) {
        FILE* f = fopen(path.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n;
        while (f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0) {
            out.append(buf, n);
        }
        if (f != nullptr) {
            fclose(f);
        }
        return out;
    }
    std::string dir_;
};

struct ops_case {
    const char* name;
    std::string conf;   // "%D" is the test's directory
    std::string error;  // "" for success
    std::function<void(const arcf_config&)> check = nullptr;
};

const std::string seal_conf = "Domain example.com\nSelector sel\nKeyFile %D/key.pem\n";

const std::vector<ops_case>& ops_cases() {
    static const std::vector<ops_case> cases = {
        {"validation only needs no sealing identity", "Mode v\n", "",
         [](const arcf_config& c) {
             EXPECT_EQ(c.conf_keydata, nullptr);
             EXPECT_EQ(c.conf_signtable, nullptr);
             EXPECT_EQ(c.conf_minkeybits, 1024u);
             EXPECT_FALSE(c.conf_safealgs);
             EXPECT_EQ(c.conf_metricslisten, nullptr);
         }},
        {"sealing needs Domain", "Mode sv\nSelector sel\nKeyFile %D/key.pem\n",
         "required parameter \"Domain\" missing"},
        {"per-connection mode may seal", "Domain example.com\nSelector sel\n",
         "required parameter \"KeyFile\" missing"},
        {"a signing table stands in for the three", "SigningTable %D/st\n", "",
         [](const arcf_config& c) {
             ASSERT_NE(c.conf_signtable, nullptr);
             EXPECT_EQ(c.conf_keydata, nullptr);
             EXPECT_STREQ(arcf_signtable_match(c.conf_signtable, "example.com")->se_selector, "a");
         }},
        {"a signing table with part of the three", "SigningTable %D/st\nDomain example.com\n",
         "required parameter \"Selector\" missing"},
        {"a signing table and the fallback", seal_conf + "SigningTable %D/st\nMode s\n", "",
         [](const arcf_config& c) {
             ASSERT_NE(c.conf_signtable, nullptr);
             EXPECT_NE(c.conf_keydata, nullptr);
         }},
        {"signing table relative to BaseDirectory",
         "BaseDirectory %D\nSigningTable st-rel\nMode s\n", "",
         [](const arcf_config& c) {
             ASSERT_NE(c.conf_signtable, nullptr);
             // The table's own relative key path is taken from there too.
             EXPECT_NE(arcf_signtable_match(c.conf_signtable, "other.org"), nullptr);
         }},
        {"signing table with a bad line", "SigningTable %D/st-bad\n",
         "%D/st-bad:1: \"example.com:a\" is not DOMAIN:SELECTOR:KEYFILE"},
        {"signing table missing", "SigningTable %D/none\n",
         "%D/none: open(): No such file or directory"},
        {"MinimumKeyBits read", seal_conf + "MinimumKeyBits 2048\nRequireSafeAlgorithms yes\n", "",
         [](const arcf_config& c) {
             EXPECT_EQ(c.conf_minkeybits, 2048u);
             EXPECT_TRUE(c.conf_safealgs);
         }},
        {"MinimumKeyBits below RFC 8301", seal_conf + "MinimumKeyBits 512\n",
         "MinimumKeyBits 512 is not from 1024 to 16384"},
        {"sealing key below MinimumKeyBits",
         "Domain example.com\nSelector sel\nKeyFile %D/small.pem\nMinimumKeyBits 2048\n",
         "%D/small.pem: the sealing key has 1024 bits, fewer than MinimumKeyBits (2048)"},
        {"table key below MinimumKeyBits", "SigningTable %D/st-small\nMinimumKeyBits 1536\n",
         "%D/st-small:1: %D/small.pem: the sealing key has 1024 bits, fewer than MinimumKeyBits "
         "(1536)"},
        {"MetricsListen read", seal_conf + "MetricsListen [::1]:9466\n", "",
         [](const arcf_config& c) { EXPECT_STREQ(c.conf_metricslisten, "[::1]:9466"); }},
        {"MetricsListen without a port", seal_conf + "MetricsListen 127.0.0.1\n",
         "MetricsListen: \"127.0.0.1\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
        {"TrustedAuthservIDs split and trimmed",
         seal_conf + "AuthservID mx1.example.org\n"
                     "TrustedAuthservIDs  mx2.example.org , ,MX3.example.org\n",
         "",
         [](const arcf_config& c) {
             std::vector<std::string> ids;
             for (char** t = c.conf_trustedids; t != nullptr && *t != nullptr; ++t) {
                 ids.emplace_back(*t);
             }
             EXPECT_EQ(ids, (std::vector<std::string>{"mx2.example.org", "MX3.example.org"}));
             EXPECT_STREQ(arcf_config_ours(&c, "MX1.example.org"), "mx1.example.org");
             EXPECT_STREQ(arcf_config_ours(&c, "mx3.example.ORG"), "MX3.example.org");
             EXPECT_EQ(arcf_config_ours(&c, "mx4.example.org"), nullptr);
             EXPECT_EQ(arcf_config_ours(&c, "example.org"), nullptr);
         }},
        {"TrustedAuthservIDs with a blank inside", seal_conf + "TrustedAuthservIDs a b,c\n",
         "TrustedAuthservIDs: \"a b\" is not an authserv-id"},
    };
    return cases;
}

TEST_F(ConfigOps, LoadsTheSettingsOrSaysWhy) {
    for (const ops_case& c : ops_cases()) {
        SCOPED_TRACE(c.name);
        write_file_as(dir_ + "/c.conf", with_dir(c.conf, dir_));
        record_owner rec;
        const std::string error = load_config(dir_ + "/c.conf", &rec.conf);
        EXPECT_EQ(error, with_dir(c.error, dir_));
        if (rec.conf != nullptr && c.check) {
            c.check(*rec.conf);
        }
    }
}

TEST_F(ConfigOps, WarnsOfSealingKeysBelow2048Bits) {
    log_capture log;
    write_file_as(dir_ + "/c.conf", with_dir("Syslog yes\nSigningTable %D/st-small\n"
                                             "Domain example.com\nSelector sel\n"
                                             "KeyFile %D/small.pem\n",
                                             dir_));
    record_owner rec;
    ASSERT_EQ(load_config(dir_ + "/c.conf", &rec.conf), "");
    EXPECT_EQ(rec.conf->conf_keybits, 1024);
    const std::vector<std::pair<int, std::string>> want = {
        {LOG_WARNING, dir_ + "/st-small:1: " + dir_ +
                          "/small.pem: the sealing key has 1024 bits; use 2048 or more"},
        {LOG_WARNING, dir_ + "/small.pem: the sealing key has 1024 bits; use 2048 or more"},
    };
    EXPECT_EQ(log.lines(), want);

    // A key of 2048 bits or more draws no warning.
    log.clear();
    write_file_as(dir_ + "/c.conf", with_dir("Syslog yes\n" + seal_conf, dir_));
    record_owner ok;
    ASSERT_EQ(load_config(dir_ + "/c.conf", &ok.conf), "");
    EXPECT_GE(ok.conf->conf_keybits, 2048);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ConfigOps, SealingKeysMustSuitTheSignatureAlgorithm) {
    const std::string ed = "Syslog yes\nDomain example.com\nSelector sel\nKeyFile %D/ed.pem\n";
    const std::string warning =
        "SignatureAlgorithm ed25519-sha256: some receivers do not verify Ed25519 seals yet, "
        "and a chain they cannot verify fails with them";
    struct row {
        const char* name;
        std::string conf;
        std::string error;                                // "" : loads
        std::vector<std::pair<int, std::string>> logged;  // when it loads
    };
    const row rows[] = {
        {"ed25519 key and algorithm, no MinimumKeyBits check",
         ed + "SignatureAlgorithm ed25519-sha256\nMinimumKeyBits 4096\n",
         "",
         {{LOG_WARNING, warning}}},
        {"ed25519 key in the signing table",
         "Syslog yes\nSigningTable %D/st-ed\nSignatureAlgorithm ed25519-sha256\n",
         "",
         {{LOG_WARNING, warning}}},
        {"ed25519 key for rsa-sha256",
         ed,
         "%D/ed.pem: the sealing key is an Ed25519 key, which cannot sign rsa-sha256",
         {}},
        {"rsa key for ed25519-sha256",
         seal_conf + "SignatureAlgorithm ed25519-sha256\n",
         "%D/key.pem: the sealing key is an RSA key, which cannot sign ed25519-sha256",
         {}},
        {"rsa key in the signing table for ed25519-sha256",
         "SigningTable %D/st\nSignatureAlgorithm ed25519-sha256\n",
         "%D/st:1: %D/key.pem: the sealing key is an RSA key, which cannot sign ed25519-sha256",
         {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        log_capture log;
        write_file_as(dir_ + "/c.conf", with_dir(r.conf, dir_));
        record_owner rec;
        EXPECT_EQ(load_config(dir_ + "/c.conf", &rec.conf), with_dir(r.error, dir_));
        if (r.error.empty()) {
            ASSERT_NE(rec.conf, nullptr);
            EXPECT_EQ(rec.conf->conf_signalg, ARC_ALG_ED25519SHA256);
            EXPECT_EQ(log.lines(), r.logged);
        }
    }
}

// Simple header canonicalization breaks behind an MTA that rewrites address
// fields after the filter; a sealing configuration that asks for it is warned.
TEST_F(ConfigOps, WarnsOfSimpleHeaderCanonicalization) {
    const std::string warning =
        "simple header canonicalization: seals break where the MTA rewrites address fields "
        "after the filter (Sendmail does); relaxed survives it";
    struct canon_case {
        const char* extra;
        bool warned;
    };
    constexpr canon_case cases[] = {
        {"", false},
        {"Canonicalization relaxed/simple\n", false},
        {"Canonicalization simple/relaxed\n", true},
        {"Canonicalization simple\n", true},
        {"Canonicalization simple/simple\nMode v\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        log_capture log;
        write_file_as(dir_ + "/c.conf", with_dir("Syslog yes\n" + seal_conf + c.extra, dir_));
        record_owner rec;
        ASSERT_EQ(load_config(dir_ + "/c.conf", &rec.conf), "");
        const auto lines = log.lines();
        EXPECT_EQ(lines.size(), c.warned ? 1u : 0u);
        if (c.warned && !lines.empty()) {
            EXPECT_EQ(lines[0], std::make_pair(LOG_WARNING, warning));
        }
    }
}

TEST_F(ConfigOps, SetlibHandsTheCryptoPolicyToTheLibrary) {
    for (const bool safe : {false, true}) {
        SCOPED_TRACE(safe);
        write_file_as(dir_ + "/c.conf",
                      with_dir(seal_conf + "MinimumKeyBits 2048\nRequireSafeAlgorithms " +
                                   (safe ? "yes" : "no") + "\nKeepTemporaryFiles yes\n",
                               dir_));
        record_owner rec;
        ASSERT_EQ(load_config(dir_ + "/c.conf", &rec.conf), "");
        const char* msg = nullptr;
        ASSERT_TRUE(arcf_config_setlib(rec.conf, &msg)) << msg;
        unsigned int flags = 0;
        unsigned int bits = 0;
        ASSERT_EQ(
            arc_options(rec.conf->conf_libarc, ARC_OP_GETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags),
            ARC_STAT_OK);
        ASSERT_EQ(arc_options(rec.conf->conf_libarc, ARC_OP_GETOPT, ARC_OPTS_MINKEYBITS, &bits,
                              sizeof bits),
                  ARC_STAT_OK);
        EXPECT_EQ(flags, ARC_LIBFLAGS_KEEPFILES | (safe ? ARC_LIBFLAGS_NOSHA1 : 0u));
        EXPECT_EQ(bits, 2048u);
    }
}

// The value of one sample line of the process's metrics.
long long metric(const std::string& series) {
    arcf_dstring_ptr out{arcf_dstring_new(1024, 0)};
    EXPECT_TRUE(arcf_metrics_global().render(out.get()));
    const std::string text = arcf_dstring_get(out.get());
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + series.size() + 2));
}

TEST_F(ConfigOps, CountsReloadsDoneAndRefused) {
    const std::string conf = dir_ + "/c.conf";
    write_file_as(conf, with_dir(seal_conf, dir_));
    char err[ARCF_ERRBUF_SIZE] = "";
    ASSERT_TRUE(arcf_config_setfile(conf.c_str(), err)) << err;
    ASSERT_EQ(load_config(conf, &curconf), "");
    const char* msg = nullptr;
    ASSERT_TRUE(arcf_config_setlib(curconf, &msg)) << msg;
    const char* done = "velmora_reloads_total{result=\"done\"}";
    const char* refused = "velmora_reloads_total{result=\"refused\"}";
    const long long done_before = metric(done);
    const long long refused_before = metric(refused);

    write_file_as(conf, with_dir(seal_conf + "MinimumKeyBits 2048\n", dir_));
    reload_pending = true;
    arcf_config_reload();
    EXPECT_EQ(curconf->conf_minkeybits, 2048u);
    write_file_as(conf, with_dir(seal_conf + "MetricsListen nowhere\n", dir_));
    reload_pending = true;
    arcf_config_reload();
    EXPECT_EQ(curconf->conf_minkeybits, 2048u);  // the old record stays
    arcf_config_reload();                        // nothing pending: not counted

    EXPECT_EQ(metric(done), done_before + 1);
    EXPECT_EQ(metric(refused), refused_before + 1);
    arcf_config_free(curconf);
    curconf = nullptr;
    arcf_config_setfile(nullptr, err);
}

}  // namespace
