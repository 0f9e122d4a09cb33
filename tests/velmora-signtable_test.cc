// SPDX-License-Identifier: BSD-2-Clause
// velmora-signtable_test.cc - the signing table: its file syntax, the key
// files it loads (real RSA keys, the real key-file safety check), matching
// against envelope sender domains, and the sender domain itself.
//
// The cases that read key files need a directory chain the safety check
// accepts, so they run in a private mount namespace with a fresh tmpfs of
// mode 0755 on /tmp (as root; skipped otherwise). The syntax cases run
// anywhere.
#include "velmora-signtable.h"

#if VELMORA_HAVE_UNSHARE
#include <sched.h>
#include <sys/mount.h>
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "test-keys.h"

namespace {

using table_owner = std::unique_ptr<arcf_signtable, decltype(&arcf_signtable_free)>;

// Enters the private namespace once; returns why it cannot, or "".
std::string enter_namespace() {
    static const std::string reason = []() -> std::string {
#if !VELMORA_HAVE_UNSHARE
        return "needs Linux mount namespaces (unshare)";
#else
        if (geteuid() != 0) {
            return "needs root for a private mount namespace";
        }
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("making mounts private: ") + std::strerror(errno);
        }
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755") != 0) {
            return std::string("mounting tmpfs on /tmp: ") + std::strerror(errno);
        }
        struct stat st;
        if (stat("/", &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) {
            return "/ is not a root-owned directory closed to writers";
        }
        return "";
#endif
    }();
    return reason;
}

// Replaces every "{dir}" in `text` by `dir`.
std::string with_dir(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;) {
        text.replace(at, 5, dir);
    }
    return text;
}

void write_file(const std::string& path, const std::string& data, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// The DER (PKCS#8) form of a PEM private key.
std::string pem_to_der(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    unsigned char* der = nullptr;
    const int len = key == nullptr ? -1 : i2d_PrivateKey(key, &der);
    EVP_PKEY_free(key);
    if (len <= 0) {
        return {};
    }
    std::string out{reinterpret_cast<char*>(der), static_cast<size_t>(len)};
    OPENSSL_free(der);
    return out;
}

// A PEM private key that is not RSA.
std::string make_ec_key() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string pem{data, static_cast<size_t>(n)};
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

class SignTable : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        key1024 = velmora_test::make_rsa_key(1024, nullptr);
        key2048 = velmora_test::make_rsa_key(2048, nullptr);
    }
    void SetUp() override {
        const std::string reason = enter_namespace();
        needs_keys_reason = reason;
        char tmpl[] = "/tmp/velmora-st-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
        dir = tmpl;
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    // Skips the test unless key files can pass the safety check here.
    bool keys_usable() { return needs_keys_reason.empty(); }
    // Writes the table text (with {dir} filled in) and loads it.
    table_owner load(const std::string& text, std::string* err, const char* basedir = nullptr) {
        const std::string path = dir + "/table";
        write_file(path, with_dir(text, dir), 0600);
        char buf[1025] = "";
        arcf_signtable* t = arcf_signtable_load(path.c_str(), basedir, UINT32_MAX, buf, sizeof buf);
        *err = buf;
        return table_owner{t, arcf_signtable_free};
    }
    // Writes the keys the cases refer to.
    void write_keys() {
        write_file(dir + "/k1.pem", key1024, 0600);
        write_file(dir + "/k2.der", pem_to_der(key2048), 0400);
        write_file(dir + "/open.pem", key2048, 0644);
        write_file(dir + "/notakey.pem", "hello\n", 0600);
        write_file(dir + "/ec.pem", make_ec_key(), 0600);
        ASSERT_EQ(mkdir((dir + "/adir").c_str(), 0700), 0);
    }

    static inline std::string key1024;
    static inline std::string key2048;
    std::string needs_keys_reason;
    std::string dir;
};

struct syntax_case {
    std::string_view text;
    const char* error;  // after "TABLE:"
};
// Each of these fails before any key file is read.
constexpr syntax_case syntax_cases[] = {
    {"example.com\n", "1: expected \"PATTERN DOMAIN:SELECTOR:KEYFILE\""},
    {"a.com d:s:k extra\n", "1: expected \"PATTERN DOMAIN:SELECTOR:KEYFILE\""},
    {"# one\n\n   # two\na b c\n", "4: expected \"PATTERN DOMAIN:SELECTOR:KEYFILE\""},
    {"ex!ample.com d:s:k\n", "1: \"ex!ample.com\" is not a domain, \"*.DOMAIN\" or \"*\""},
    {"**.a.com d:s:k\n", "1: \"**.a.com\" is not a domain, \"*.DOMAIN\" or \"*\""},
    {"*. d:s:k\n", "1: \"*.\" is not a domain, \"*.DOMAIN\" or \"*\""},
    {"a..com d:s:k\n", "1: \"a..com\" is not a domain, \"*.DOMAIN\" or \"*\""},
    {"a.*.com d:s:k\n", "1: \"a.*.com\" is not a domain, \"*.DOMAIN\" or \"*\""},
    {"a.com d:s\n", "1: \"d:s\" is not DOMAIN:SELECTOR:KEYFILE"},
    {"a.com d:s:\n", "1: \"d:s:\" is not DOMAIN:SELECTOR:KEYFILE"},
    {"a.com dsk\n", "1: \"dsk\" is not DOMAIN:SELECTOR:KEYFILE"},
    {"a.com :s:k\n", "1: \"\" is not a valid sealing domain"},
    {"a.com d;x:s:k\n", "1: \"d;x\" is not a valid sealing domain"},
    {"a.com d::k\n", "1: \"\" is not a valid selector"},
    {"a.com d:s=1:k\n", "1: \"s=1\" is not a valid selector"},
    {std::string_view("a.com d:s:k\0x\n", 14), "1: the line holds a NUL byte"},
};

TEST_F(SignTable, RejectsBadLinesNamingFileAndLine) {
    for (const auto& c : syntax_cases) {
        SCOPED_TRACE(std::string(c.text));
        std::string err;
        auto t = load(std::string(c.text), &err);
        EXPECT_EQ(t.get(), nullptr);
        EXPECT_EQ(err, dir + "/table:" + c.error);
    }
}

TEST_F(SignTable, ReportsAMissingTable) {
    char err[1025] = "";
    const std::string path = dir + "/none";
    EXPECT_EQ(arcf_signtable_load(path.c_str(), nullptr, UINT32_MAX, err, sizeof err), nullptr);
    EXPECT_EQ(std::string(err), path + ": open(): No such file or directory");
}

// Each of these fails on the key file of its one line.
constexpr syntax_case key_cases[] = {
    {"a.com d:s:{dir}/none.pem\n", "1: {dir}/none.pem: open(): No such file or directory"},
    {"a.com d:s:{dir}/adir\n", "1: {dir}/adir: open(): Not a regular file"},
    {"a.com d:s:{dir}/open.pem\n",
     "1: {dir}/open.pem: key data is not secure: {dir}/open.pem can be read or written by "
     "other users"},
    {"a.com d:s:{dir}/notakey.pem\n",
     "1: {dir}/notakey.pem holds no RSA or Ed25519 private key (PEM or DER)"},
    {"a.com d:s:{dir}/ec.pem\n",
     "1: {dir}/ec.pem holds no RSA or Ed25519 private key (PEM or DER)"},
    {"a.com d:s:{dir}/k1.pem\nb.com d:s:{dir}/k1.pem\nA.com e:t:{dir}/k2.der\n",
     "3: pattern \"a.com\" repeats line 1 and could never match"},
};

TEST_F(SignTable, RejectsUnusableKeyFiles) {
    if (!keys_usable()) {
        GTEST_SKIP() << needs_keys_reason;
    }
    write_keys();
    for (const auto& c : key_cases) {
        SCOPED_TRACE(std::string(c.text));
        std::string err;
        auto t = load(std::string(c.text), &err);
        EXPECT_EQ(t.get(), nullptr);
        EXPECT_EQ(err, with_dir(std::string("{dir}/table:") + c.error, dir));
    }
}

// The table chooses whose name we seal under: one others can read or write
// is refused like an unsafe key file, before any line is read.
TEST_F(SignTable, UnsafeTableIsRefused) {
    if (!keys_usable()) {
        GTEST_SKIP() << needs_keys_reason;
    }
    write_keys();
    const std::string path = dir + "/table";
    write_file(path, with_dir("example.com example.com:s1:{dir}/k1.pem\n", dir), 0666);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    char buf[1025] = "";
    table_owner t{arcf_signtable_load(path.c_str(), nullptr, UINT32_MAX, buf, sizeof buf),
                  arcf_signtable_free};
    EXPECT_EQ(t.get(), nullptr);
    EXPECT_EQ(std::string(buf), path + ": signing table is not secure: " + path +
                                    " can be read or written by other users");
}

constexpr char table_text[] =
    "# Sealing identities, first match wins.\n"
    "example.com          example.com:s1:{dir}/k1.pem\n"
    "*.example.com        example.com:s2:k2.der   # relative: from the base directory\n"
    "\n"
    "  Lists.Example.ORG\texample.org:lists:{dir}/k2.der\n"
    "*.lists.example.org  example.org:never:{dir}/k1.pem\n";

struct match_case {
    const char* domain;
    unsigned line;  // 0: no entry
};
constexpr match_case match_cases[] = {
    {"example.com", 2},
    {"EXAMPLE.Com.", 2},  // case and a trailing dot do not matter
    {"a.example.com", 3},
    {"x.a.example.com", 3},
    {"badexample.com", 0},  // "*.example.com" needs the dot
    {"com", 0},
    {"lists.example.org", 5},
    {"a.lists.example.org", 6},
    {"example.org", 0},
    {"", 0},
    {nullptr, 0},
};

TEST_F(SignTable, LoadsKeysAndMatchesSenderDomains) {
    if (!keys_usable()) {
        GTEST_SKIP() << needs_keys_reason;
    }
    write_keys();
    std::string err;
    auto t = load(table_text, &err, dir.c_str());
    ASSERT_NE(t.get(), nullptr) << err;

    const arcf_signentry* e = t->st_entries;
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->se_pattern, "example.com");
    EXPECT_STREQ(e->se_domain, "example.com");
    EXPECT_STREQ(e->se_selector, "s1");
    EXPECT_EQ(e->se_keybits, 1024);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e->se_keydata)), key1024);
    EXPECT_EQ(e->se_keylen, key1024.size() + 1);
    e = e->se_next;
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->se_keyfile), dir + "/k2.der");
    EXPECT_EQ(e->se_keybits, 2048);
    EXPECT_EQ(e->se_keylen, pem_to_der(key2048).size() + 1);
    e = e->se_next;
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->se_pattern, "lists.example.org");  // lowered
    EXPECT_EQ(e->se_line, 5u);

    for (const auto& c : match_cases) {
        SCOPED_TRACE(c.domain == nullptr ? "(null)" : c.domain);
        const arcf_signentry* m = arcf_signtable_match(t.get(), c.domain);
        EXPECT_EQ(m == nullptr ? 0u : m->se_line, c.line);
    }
}

TEST_F(SignTable, StarMatchesEverySenderAfterEarlierLines) {
    if (!keys_usable()) {
        GTEST_SKIP() << needs_keys_reason;
    }
    write_keys();
    std::string err;
    auto t = load("a.com a.com:s:{dir}/k1.pem\n*  fallback.net:any:{dir}/k2.der\n", &err);
    ASSERT_NE(t.get(), nullptr) << err;
    EXPECT_EQ(arcf_signtable_match(t.get(), "a.com")->se_line, 1u);
    EXPECT_EQ(arcf_signtable_match(t.get(), "b.com")->se_line, 2u);
    EXPECT_EQ(arcf_signtable_match(t.get(), "")->se_line, 2u);  // the null sender
    EXPECT_EQ(arcf_signtable_match(t.get(), nullptr)->se_line, 2u);

    // A table of comments only is empty and matches nothing.
    auto empty = load("# nothing yet\n", &err);
    ASSERT_NE(empty.get(), nullptr) << err;
    EXPECT_EQ(empty->st_entries, nullptr);
    EXPECT_EQ(arcf_signtable_match(empty.get(), "a.com"), nullptr);
}

struct sender_case {
    const char* envfrom;
    const char* domain;  // null: none
};
constexpr sender_case sender_cases[] = {
    {"<user@Example.COM>", "example.com"},
    {"user@example.com", "example.com"},
    {"<user@example.com.>", "example.com"},
    {"<user@example.com> SIZE=1000 BODY=8BITMIME", "example.com"},
    {"user@example.com SIZE=1000", "example.com"},
    {"  <user@example.com>", "example.com"},
    {"<@relay.net:user@example.com>", "example.com"},  // source route
    {"<\"a@b\"@example.com>", "example.com"},          // quoted local part
    {"<user@[192.0.2.1]>", "[192.0.2.1]"},
    {"<>", nullptr},
    {"", nullptr},
    {"<postmaster>", nullptr},
    {"<user@>", nullptr},
    {"<user@example.com", "example.com"},  // unclosed bracket
};

TEST(SenderDomain, TakesTheDomainOfTheEnvelopeSender) {
    for (const auto& c : sender_cases) {
        SCOPED_TRACE(c.envfrom);
        char buf[256] = "x";
        EXPECT_EQ(arcf_sender_domain(c.envfrom, buf, sizeof buf), c.domain != nullptr);
        EXPECT_STREQ(buf, c.domain == nullptr ? "" : c.domain);
    }
    char small[8];
    EXPECT_FALSE(arcf_sender_domain("<u@example.com>", small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(KeyBits, ReadsRsaKeysInPemAndDer) {
    const std::string pem = velmora_test::make_rsa_key(1024, nullptr);
    const std::string der = pem_to_der(pem);
    const std::string ec = make_ec_key();
    auto bits = [](const std::string& s) {
        return arcf_keybits(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    };
    EXPECT_EQ(bits(pem), 1024);
    EXPECT_EQ(bits(der), 1024);
    EXPECT_EQ(bits(ec), -1);
    EXPECT_EQ(bits("not a key"), -1);
    EXPECT_EQ(bits(der.substr(0, der.size() / 2)), -1);
    EXPECT_EQ(ERR_peek_error(), 0u);  // failed attempts leave no errors behind
}

}  // namespace
