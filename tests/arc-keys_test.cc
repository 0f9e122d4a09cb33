// SPDX-License-Identifier: BSD-2-Clause
// arc-keys_test.cc - the key-file method of the key lookup, and the limits on
// the key query name.
#include "arc-keys.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "arc.h"

namespace {

// A library handle reading keys from a key file, and one message for
// selector s1, domain d1.
class KeyFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-keys-test.XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        lib = arc_init();
        ASSERT_NE(lib, nullptr);
        ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE,
                              const_cast<char*>(path.c_str()), path.size()),
                  ARC_STAT_OK);
        new_message();
    }
    void TearDown() override {
        if (msg != nullptr) {
            arc_free(msg);
        }
        if (lib != nullptr) {
            arc_close(lib);
        }
        (void)unlink(path.c_str());
    }

    void new_message() {
        if (msg != nullptr) {
            arc_free(msg);
        }
        const char* err = nullptr;
        msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                          ARC_MODE_VERIFY, &err);
        ASSERT_NE(msg, nullptr) << (err != nullptr ? err : "");
        msg->arc_selector = "s1";
        msg->arc_domain = "d1";
    }

    void write_file(const std::string& text) {
        std::ofstream out{path, std::ios::binary | std::ios::trunc};
        out << text;
    }

    ARC_STAT lookup(size_t buflen = 1025) {
        buf.assign(buflen, 'x');
        return arc_get_key_file(msg, buf.data(), buf.size());
    }
    std::string text() const { return std::string{buf.data()}; }
    std::string error() const {
        const char* e = arc_geterror(msg);
        return e != nullptr ? e : "(none)";
    }

    std::string path;
    arc_library* lib = nullptr;
    arc_msg* msg = nullptr;
    std::vector<char> buf;
};

TEST_F(KeyFileTest, TheOptionSelectsTheFileForNewMessages) {
    EXPECT_EQ(msg->arc_query, ARC_QUERY_FILE);
    ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, nullptr, 0), ARC_STAT_OK);
    new_message();
    EXPECT_EQ(msg->arc_query, ARC_QUERY_DNS);
}

struct file_case {
    const char* name;
    const char* file;
    ARC_STAT status;
    const char* text;  // the record text on ARC_STAT_OK
};

constexpr file_case file_cases[] = {
    {"exact name", "s1._domainkey.d1 v=DKIM1; p=ABC\n", ARC_STAT_OK, "v=DKIM1; p=ABC\n"},
    {"name in another case, several blanks", "S1._DOMAINKEY.D1   v=DKIM1; p=ABC\n", ARC_STAT_OK,
     "v=DKIM1; p=ABC\n"},
    {"tab as separator, no final line break", "s1._domainkey.d1\tp=T", ARC_STAT_OK, "p=T"},
    {"comment lines are skipped",
     "# s1._domainkey.d1 v=DKIM1; p=COMMENT\n#s1._domainkey.d1 p=C2\ns1._domainkey.d1 p=REAL\n",
     ARC_STAT_OK, "p=REAL\n"},
    {"first match wins",
     "other._domainkey.d1 p=OTHER\ns1._domainkey.d1 p=FIRST\ns1._domainkey.d1 p=SECOND\n",
     ARC_STAT_OK, "p=FIRST\n"},
    {"a bare name has no record and does not match", "s1._domainkey.d1\ns1._domainkey.d1 p=B\n",
     ARC_STAT_OK, "p=B\n"},
    {"a name and blanks give an empty record", "s1._domainkey.d1   \n", ARC_STAT_OK, ""},
    {"prefixes and extensions of the name do not match",
     "s1._domainkey.d p=SHORT\ns1._domainkey.d1x p=LONG\n", ARC_STAT_NOKEY, ""},
    {"the name must start the line", "  s1._domainkey.d1 p=INDENTED\n", ARC_STAT_NOKEY, ""},
    {"no matching line", "a._domainkey.b p=A\n\n", ARC_STAT_NOKEY, ""},
    {"an empty file", "", ARC_STAT_NOKEY, ""},
};

TEST_F(KeyFileTest, FindsTheFirstMatchingLine) {
    for (const auto& c : file_cases) {
        SCOPED_TRACE(c.name);
        new_message();
        write_file(c.file);
        EXPECT_EQ(lookup(), c.status);
        EXPECT_EQ(text(), c.text);
        EXPECT_EQ(error(), "(none)");
    }
}

TEST_F(KeyFileTest, ReadsALongLineInPieces) {
    // A line longer than the buffer is read in pieces, each taken as a line:
    // the record comes back cut at the buffer's end.
    const std::string record(100, 'k');
    write_file("s1._domainkey.d1 " + record + "\n");
    ASSERT_EQ(lookup(40), ARC_STAT_OK);
    EXPECT_EQ(text(), record.substr(0, 40 - 1 - 17));
    EXPECT_EQ(lookup(1), ARC_STAT_NOKEY);
}

TEST_F(KeyFileTest, ReportsAMissingFileAndAMissingPath) {
    const std::string missing = path + ".missing";
    ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE,
                          const_cast<char*>(missing.c_str()), missing.size()),
              ARC_STAT_OK);
    EXPECT_EQ(lookup(), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), missing + ": fopen(): No such file or directory");

    // With the path cleared, a message made earlier still asks the file method.
    ASSERT_EQ(arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, const_cast<char*>(""), 0),
              ARC_STAT_OK);
    EXPECT_EQ(lookup(), ARC_STAT_KEYFAIL);
    EXPECT_EQ(error(), "query file not defined");
}

TEST_F(KeyFileTest, RefusesAKeyNameOver256Characters) {
    // "s." + "_domainkey." + domain: 13 + 243 = 256 characters fit the file.
    const std::string fits(243, 'd');
    const std::string too_long(244, 'd');
    write_file("s._domainkey." + fits + " p=LONGNAME\n");
    msg->arc_selector = "s";
    msg->arc_domain = fits.c_str();
    ASSERT_EQ(lookup(), ARC_STAT_OK);
    EXPECT_EQ(text(), "p=LONGNAME\n");
    msg->arc_domain = too_long.c_str();
    EXPECT_EQ(lookup(), ARC_STAT_NORESOURCE);
    EXPECT_EQ(error(), "key query name too large");
}

TEST_F(KeyFileTest, AKeyFileFeedsTheKeyCheck) {
    write_file("s1._domainkey.d1 v=DKIM1; k=rsa; p=\n");
    msg->arc_hashtype = ARC_HASHTYPE_SHA256;
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_REVOKED);
    write_file("s1._domainkey.d1 \n");
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_SYNTAX);
    EXPECT_EQ(error(), "empty key record");
    write_file("# nothing here\n");
    EXPECT_EQ(arc_get_key(msg, false), ARC_STAT_NOKEY);
}

TEST(ArcKeysDeathTest, TheFileMethodMustBeSelected) {
    arc_library* lib = arc_init();
    ASSERT_NE(lib, nullptr);
    const char* err = nullptr;
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY, &err);
    ASSERT_NE(msg, nullptr);
    char buf[16];
    EXPECT_DEATH(arc_get_key_file(msg, buf, sizeof buf), "msg->arc_selector != NULL");
    msg->arc_selector = "s1";
    EXPECT_DEATH(arc_get_key_dns(msg, buf, sizeof buf), "msg->arc_domain != NULL");
    msg->arc_domain = "d1";
    EXPECT_DEATH(arc_get_key_file(msg, buf, sizeof buf), "msg->arc_query == ARC_QUERY_FILE");
    EXPECT_DEATH(arc_get_key_dns(nullptr, buf, sizeof buf), "msg != NULL");
    arc_free(msg);
    arc_close(lib);
}

}  // namespace
