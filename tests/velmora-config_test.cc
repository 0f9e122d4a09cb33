// SPDX-License-Identifier: BSD-2-Clause
// velmora-config_test.cc - the configuration record: loading every kind of
// setting from files written into a private /tmp, the library set-up, and the
// reload with reference counting. Runs in a private mount namespace (see
// velmora-config-support.h); skipped without root.
#include "velmora-config.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "velmora-config-support.h"

namespace {

using velmora_test::load_config;
using velmora_test::log_capture;
using velmora_test::test_key_pem;
using velmora_test::write_file_as;

constexpr char host_name[] = "mx.test.example";

// Replaces every "%D" in `text` with `dir`.
std::string with_dir(std::string text, const std::string& dir) {
    for (size_t at = text.find("%D"); at != std::string::npos; at = text.find("%D", at)) {
        text.replace(at, 2, dir);
        at += dir.size();
    }
    return text;
}

// The entries of a list, newest first.
std::vector<std::string> entries(const arcf_list* list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->list_next) {
        out.emplace_back(list->list_str);
    }
    return out;
}

// The texts of a null-terminated array.
std::vector<std::string> texts(char** array) {
    std::vector<std::string> out;
    for (; array != nullptr && *array != nullptr; ++array) {
        out.emplace_back(*array);
    }
    return out;
}

std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

// A SignHeaders setting too long for the library's pattern.
std::string long_signhdrs() {
    std::string line = "SignHeaders X-Header-0";
    for (int i = 1; i < 200; ++i) {
        line += ",X-Header-" + std::to_string(i);
    }
    return line + "\n";
}

// Owns a record loaded by a test.
struct record_owner {
    arcf_config* conf = nullptr;
    ~record_owner() {
        if (conf != nullptr) {
            arcf_config_free(conf);
        }
    }
};

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = velmora_test::enter_config_namespace();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        snprintf(myhostname, sizeof myhostname, "%s", host_name);
        testmode = false;
        cmdline_dolog = false;
        cmdline_reqhdrs = false;
        start_dir_ = cwd();
        dir_ = velmora_test::make_test_dir();
        // The files the cases name.
        write("key.pem", test_key_pem());
        write("key-open.pem", test_key_pem(), 0644);
        write("key-bob.pem", test_key_pem(), 0600, velmora_test::test_bob);
        write("key-alice.pem", test_key_pem(), 0600, velmora_test::test_alice);
        write("peers.txt", "relay.example\n192.0.2.0/24\n", 0644);
        write("internal.txt", "10.0.0.0/8\n", 0644);
        write("checks.txt", "Received:.*evil\n", 0644);
        write("keys.txt", "sel._domainkey.example.com " + velmora_test::test_key_record() + "\n",
              0644);
        write("inc.conf", "Selector incsel\nMaximumHeaders 77\n", 0644);
        write("inc-bad.conf", "Selector incsel\nBogus 1\n", 0644);
        mkdir(path("keydir").c_str(), 0755);
        mkdir(path("base").c_str(), 0755);
        write("base/key2.pem", test_key_pem());
        write("base/peers2.txt", "peer.base.example\n", 0644);
    }
    void TearDown() override {
        if (!start_dir_.empty()) {
            EXPECT_EQ(chdir(start_dir_.c_str()), 0);
        }
        testmode = false;
        cmdline_dolog = false;
        cmdline_reqhdrs = false;
    }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
    void write(const std::string& rel, const std::string& text, mode_t mode = 0600, uid_t uid = 0) {
        write_file_as(path(rel), text, mode, uid);
    }

    std::string dir_;
    std::string start_dir_;
};

// ---- Loading ----

constexpr char base_conf[] = "Domain example.com\nSelector sel\nKeyFile %D/key.pem\n";

// Every setting of the table, with a value that differs from its default.
constexpr char every_setting[] =
    "AuthservID mx.example.org\n"
    "AutoRestart yes\n"
    "AutoRestartCount 3\n"
    "AutoRestartRate 3/1m\n"
    "Background no\n"
    "Canonicalization simple/relaxed\n"
    "ChangeRootDirectory /\n"
    "Domain example.com\n"
    "EnableCoredumps yes\n"
    "FinalReceiver true\n"
    "FixedTimestamp 1700000000junk\n"
    "InternalHosts %D/internal.txt\n"
    "KeepTemporaryFiles 1\n"
    "KeyFile %D/key.pem\n"
    "KeyRecordFile %D/keys.txt\n"
    "MaximumHeaders 1000\n"
    "MilterDebug 2\n"
    "Mode sv\n"
    "OverSignHeaders Date\n"
    "PeerList %D/peers.txt\n"
    "PidFile /run/velmora-test.pid\n"
    "SealHeaderChecks %D/checks.txt\n"
    "Selector sel\n"
    "SignatureAlgorithm RSA-SHA1\n"
    "SignHeaders From,To,,Subject\n"
    "Socket local:/run/velmora-test.sock\n"
    "SoftwareHeader yes\n"
    "Syslog yes\n"
    "SyslogFacility LOCAL3\n"
    "TemporaryDirectory /var/tmp\n"
    "UMask 027\n"
    "UserID root\n";

struct load_case {
    const char* name;
    std::string conf;   // file text; "%D" is the test's directory
    std::string error;  // expected error text, "" for success
    std::function<void(const arcf_config&, const std::string& dir)> check = nullptr;
    const char* user = nullptr;  // the -u value
};

const std::vector<load_case>& load_cases() {
    static const std::vector<load_case> cases = {
        {"defaults", base_conf, "",
         [](const arcf_config& c, const std::string&) {
             EXPECT_EQ(c.conf_canonhdr, ARC_CANON_RELAXED);
             EXPECT_EQ(c.conf_canonbody, ARC_CANON_SIMPLE);
             EXPECT_EQ(c.conf_signalg, ARC_ALG_RSASHA256);
             EXPECT_EQ(c.conf_mode, 0);
             EXPECT_EQ(c.conf_maxhdrsz, 65536);
             EXPECT_STREQ(c.conf_authservid, host_name);
             EXPECT_STREQ(c.conf_domain, "example.com");
             EXPECT_STREQ(c.conf_selector, "sel");
             EXPECT_EQ(entries(c.conf_internal), (std::vector<std::string>{"::1", "127.0.0.1"}));
             EXPECT_EQ(c.conf_peers, nullptr);
             EXPECT_EQ(c.conf_sealchecks, nullptr);
             EXPECT_EQ(c.conf_keylen, test_key_pem().size() + 1);
             ASSERT_NE(c.conf_keydata, nullptr);
             EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.conf_keydata)), test_key_pem());
             EXPECT_FALSE(c.conf_dolog || c.conf_reqhdrs || c.conf_addswhdr || c.conf_enablecores ||
                          c.conf_keeptmpfiles || c.conf_finalreceiver);
             EXPECT_TRUE(c.conf_safekeys);
             EXPECT_EQ(c.conf_umask, -1);
             EXPECT_EQ(c.conf_fixedtime, 0u);
             EXPECT_EQ(c.conf_tmpdir, nullptr);
             EXPECT_EQ(c.conf_signhdrs, nullptr);
             EXPECT_EQ(c.conf_keyrecordfile, nullptr);
             EXPECT_EQ(c.conf_basedir, nullptr);
             EXPECT_EQ(c.conf_libarc, nullptr);
         }},
        {"every setting", every_setting, "",
         [](const arcf_config& c, const std::string& dir) {
             EXPECT_STREQ(c.conf_authservid, "mx.example.org");
             EXPECT_EQ(c.conf_mode, ARC_MODE_SIGN | ARC_MODE_VERIFY);
             EXPECT_EQ(c.conf_canonhdr, ARC_CANON_SIMPLE);
             EXPECT_EQ(c.conf_canonbody, ARC_CANON_RELAXED);
             EXPECT_EQ(c.conf_signalg, ARC_ALG_RSASHA1);
             EXPECT_TRUE(c.conf_enablecores && c.conf_finalreceiver && c.conf_keeptmpfiles &&
                         c.conf_addswhdr && c.conf_dolog);
             EXPECT_STREQ(c.conf_tmpdir, "/var/tmp");
             EXPECT_EQ(c.conf_maxhdrsz, 1000);
             EXPECT_STREQ(c.conf_signhdrs, "From,To,,Subject");
             EXPECT_STREQ(c.conf_oversignhdrs, "Date");
             EXPECT_EQ(c.conf_fixedtime, 1700000000u);
             EXPECT_EQ(c.conf_umask, 027);
             EXPECT_EQ(entries(c.conf_peers),
                       (std::vector<std::string>{"192.0.2.0/24", "relay.example"}));
             EXPECT_EQ(entries(c.conf_internal), (std::vector<std::string>{"10.0.0.0/8"}));
             EXPECT_EQ(entries(c.conf_sealchecks), (std::vector<std::string>{"Received:.*evil"}));
             EXPECT_STREQ(c.conf_keyrecordfile, (dir + "/keys.txt").c_str());
         }},
        {"AuthservID HOSTNAME", std::string(base_conf) + "AuthservID HOSTNAME\n", "",
         [](const arcf_config& c, const std::string&) {
             EXPECT_STREQ(c.conf_authservid, host_name);
         }},
        {"Mode v", std::string(base_conf) + "Mode v\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_EQ(c.conf_mode, ARC_MODE_VERIFY); }},
        {"Mode in capitals", std::string(base_conf) + "Mode SV\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_EQ(c.conf_mode, 0); }},
        {"Canonicalization header only", std::string(base_conf) + "Canonicalization relaxed\n", "",
         [](const arcf_config& c, const std::string&) {
             EXPECT_EQ(c.conf_canonhdr, ARC_CANON_RELAXED);
             EXPECT_EQ(c.conf_canonbody, ARC_CANON_SIMPLE);
         }},
        {"Canonicalization bad body", std::string(base_conf) + "Canonicalization simple/bogus\n",
         "unknown canonicalization"},
        {"Canonicalization bad header", std::string(base_conf) + "Canonicalization bogus\n",
         "unknown canonicalization"},
        {"Canonicalization slash only", std::string(base_conf) + "Canonicalization /\n",
         "unknown canonicalization"},
        {"SignatureAlgorithm unknown", std::string(base_conf) + "SignatureAlgorithm rsa-sha512\n",
         "unknown signature algorithm"},
        {"MaximumHeaders 0", std::string(base_conf) + "MaximumHeaders 0\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_EQ(c.conf_maxhdrsz, 0); }},
        {"MaximumHeaders negative", std::string(base_conf) + "MaximumHeaders -1\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_EQ(c.conf_maxhdrsz, -1); }},
        {"Domain missing", "Selector sel\nKeyFile %D/key.pem\n",
         "required parameter \"Domain\" missing"},
        {"KeyFile missing", "Domain example.com\nSelector sel\n",
         "required parameter \"KeyFile\" missing"},
        {"unknown setting", std::string(base_conf) + "NoSuchSetting 1\n",
         "%D/c.conf: configuration error at line 4: unrecognized parameter"},
        {"binary junk", "\x01\x02\xff\xfe junk\n",
         "%D/c.conf: configuration error at line 1: unrecognized parameter"},
        {"huge line", std::string(100000, 'K') + "\n",
         "%D/c.conf: configuration error at line 1: required value missing"},
        {"Include", "Domain example.com\nInclude %D/inc.conf\nKeyFile %D/key.pem\n", "",
         [](const arcf_config& c, const std::string&) {
             EXPECT_STREQ(c.conf_selector, "incsel");
             EXPECT_EQ(c.conf_maxhdrsz, 77);
         }},
        {"Include with an error", std::string(base_conf) + "Include %D/inc-bad.conf\n",
         "%D/inc-bad.conf: configuration error at line 2: unrecognized parameter"},
        {"key file open to others", "Domain example.com\nSelector sel\nKeyFile %D/key-open.pem\n",
         "%D/key-open.pem can be read or written by other users"},
        {"key file of another user",
         "Domain example.com\nSelector sel\nKeyFile %D/key-bob.pem\nUserID alice\n",
         "%D/key-bob.pem is not owned by the executing uid (2001) or the superuser"},
        {"numeric UserID",
         "Domain example.com\nSelector sel\nKeyFile %D/key-alice.pem\nUserID 2001\n", ""},
        {"numeric UserID with group",
         "Domain example.com\nSelector sel\nKeyFile %D/key-alice.pem\nUserID 2001:alice\n", ""},
        {"numeric UserID of another user",
         "Domain example.com\nSelector sel\nKeyFile %D/key-alice.pem\nUserID 2002\n",
         "%D/key-alice.pem is not owned by the executing uid (2002) or the superuser"},
        {"-u wins over UserID",
         "Domain example.com\nSelector sel\nKeyFile %D/key-alice.pem\nUserID bob\n", "", nullptr,
         "alice:alice"},
        {"no such user", std::string(base_conf) + "UserID nosuchuser\n",
         "nosuchuser: no such user"},
        {"no such uid", std::string(base_conf) + "UserID 2999:staff\n", "2999: no such user"},
        {"key file is a directory", "Domain example.com\nSelector sel\nKeyFile %D/keydir\n",
         "%D/keydir: open(): Not a regular file"},
        {"key file missing", "Domain example.com\nSelector sel\nKeyFile %D/nokey.pem\n",
         "%D/nokey.pem: open(): No such file or directory"},
        {"SealHeaderChecks is not taken from BaseDirectory",
         "Domain example.com\nSelector sel\nBaseDirectory %D\nKeyFile key.pem\n"
         "SealHeaderChecks checks.txt\n",
         "checks.txt: arcf_list_load(): No such file or directory"},
        {"BaseDirectory finds relative files",
         "Domain example.com\nSelector sel\nBaseDirectory %D/base\nKeyFile key2.pem\n"
         "PeerList peers2.txt\n",
         "",
         [](const arcf_config& c, const std::string& dir) {
             EXPECT_STREQ(c.conf_basedir, (dir + "/base").c_str());
             EXPECT_EQ(entries(c.conf_peers), (std::vector<std::string>{"peer.base.example"}));
             EXPECT_EQ(c.conf_keylen, test_key_pem().size() + 1);
         }},
        {"BaseDirectory missing", std::string(base_conf) + "BaseDirectory %D/nodir\n",
         "%D/nodir: chdir(): No such file or directory"},
        {"BaseDirectory is a file", std::string(base_conf) + "BaseDirectory %D/key.pem\n",
         "%D/key.pem: chdir(): Not a directory"},
        {"PeerList missing", std::string(base_conf) + "PeerList %D/nolist\n",
         "%D/nolist: arcf_list_load(): No such file or directory"},
        {"InternalHosts is a directory", std::string(base_conf) + "InternalHosts %D/keydir\n",
         "%D/keydir: arcf_list_load(): Not a regular file"},
        {"SyslogFacility unknown", std::string(base_conf) + "SyslogFacility bogus\n",
         "unknown syslog facility \"bogus\""},
        {"UMask not octal", std::string(base_conf) + "UMask 8\n", "invalid UMask \"8\""},
        {"UMask too wide", std::string(base_conf) + "UMask 01000\n", "invalid UMask \"01000\""},
        {"UMask 0777", std::string(base_conf) + "UMask 0777\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_EQ(c.conf_umask, 0777); }},
        {"KeyRecordFile missing", std::string(base_conf) + "KeyRecordFile %D/norecords\n",
         "KeyRecordFile: %D/norecords: open(): No such file or directory"},
        {"KeyRecordFile is a directory", std::string(base_conf) + "KeyRecordFile %D/keydir\n",
         "KeyRecordFile: %D/keydir: open(): Not a regular file"},
        // The library reads it inside the new root: it is looked for there.
        {"KeyRecordFile outside the new root",
         std::string(base_conf) + "ChangeRootDirectory %D/keydir\nKeyRecordFile %D/keys.txt\n",
         "KeyRecordFile: %D/keydir%D/keys.txt: open(): No such file or directory"},
        {"KeyRecordFile inside the new root",
         std::string(base_conf) + "ChangeRootDirectory %D\nKeyRecordFile /keys.txt\n", "",
         [](const arcf_config& c, const std::string&) {
             EXPECT_STREQ(c.conf_keyrecordfile, "/keys.txt");
         }},
        // Integers mean what they say: never cut to 32 bits, always in bounds.
        {"MaximumHeaders beyond 32 bits", std::string(base_conf) + "MaximumHeaders 4294967296\n",
         "MaximumHeaders 4294967296 is not from -2147483648 to 2147483647"},
        {"DNSTimeout beyond 32 bits", std::string(base_conf) + "DNSTimeout 4294967301\n",
         "DNSTimeout 4294967301 is not from 1 to 300 seconds"},
        {"AutoRestartCount negative", std::string(base_conf) + "AutoRestartCount -1\n",
         "AutoRestartCount -1 is not from 0 to 2147483647"},
        {"MilterDebug too high", std::string(base_conf) + "MilterDebug 7\n",
         "MilterDebug 7 is not from 0 to 6"},
        {"MinimumKeyBits beyond 32 bits", std::string(base_conf) + "MinimumKeyBits 4294968320\n",
         "MinimumKeyBits 4294968320 is not from 1024 to 16384"},
        {"Syslog read", std::string(base_conf) + "Syslog yes\n", "",
         [](const arcf_config& c, const std::string&) { EXPECT_TRUE(c.conf_dolog); }},
    };
    return cases;
}

TEST_F(ConfigTest, LoadsEveryKindOfSettingOrSaysWhy) {
    for (const load_case& c : load_cases()) {
        SCOPED_TRACE(c.name);
        write("c.conf", with_dir(c.conf, dir_));
        record_owner rec;
        const std::string error = load_config(path("c.conf"), &rec.conf, c.user);
        EXPECT_EQ(error, with_dir(c.error, dir_));
        if (error.empty() && rec.conf != nullptr && c.check) {
            c.check(*rec.conf, dir_);
        }
        // Loading never moves the process, whatever the outcome.
        EXPECT_EQ(cwd(), start_dir_);
    }
}

TEST_F(ConfigTest, WithoutFileOnlyTheDefaultsApply) {
    for (const bool test : {false, true}) {
        SCOPED_TRACE(test ? "test mode" : "daemon");
        testmode = test;
        record_owner rec;
        rec.conf = arcf_config_new();
        ASSERT_NE(rec.conf, nullptr);
        char err[ARCF_ERRBUF_SIZE] = "";
        ASSERT_EQ(arcf_config_load(nullptr, rec.conf, err, nullptr), 0) << err;
        EXPECT_STREQ(rec.conf->conf_authservid, host_name);
        const std::vector<std::string> want =
            test ? std::vector<std::string>{} : std::vector<std::string>{"::1", "127.0.0.1"};
        EXPECT_EQ(entries(rec.conf->conf_internal), want);
        EXPECT_EQ(rec.conf->conf_keydata, nullptr);
    }
}

TEST_F(ConfigTest, CommandLineChoicesWinOverTheFile) {
    cmdline_dolog = true;
    cmdline_reqhdrs = true;
    write("c.conf", with_dir(std::string(base_conf) + "Syslog no\n", dir_));
    record_owner rec;
    ASSERT_EQ(load_config(path("c.conf"), &rec.conf), "");
    EXPECT_TRUE(rec.conf->conf_dolog);
    EXPECT_TRUE(rec.conf->conf_reqhdrs);
}

TEST_F(ConfigTest, SetlibHandsTheSettingsToTheLibrary) {
    write("c.conf", with_dir(every_setting, dir_));
    record_owner rec;
    ASSERT_EQ(load_config(path("c.conf"), &rec.conf), "");
    // A second set-up (the version output runs one before the start-up's)
    // must give the same lists.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const char* msg = nullptr;
        ASSERT_TRUE(arcf_config_setlib(rec.conf, &msg)) << msg;
        arc_library* lib = rec.conf->conf_libarc;
        ASSERT_NE(lib, nullptr);
        char text[1025] = "";
        ASSERT_EQ(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_TMPDIR, text, sizeof text), ARC_STAT_OK);
        EXPECT_STREQ(text, "/var/tmp");
        ASSERT_EQ(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_QUERYFILE, text, sizeof text),
                  ARC_STAT_OK);
        EXPECT_EQ(text, path("keys.txt"));
        unsigned int flags = 0;
        ASSERT_EQ(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags),
                  ARC_STAT_OK);
        EXPECT_EQ(flags, static_cast<unsigned int>(ARC_LIBFLAGS_KEEPFILES));
        uint64_t fixed = 0;
        ASSERT_EQ(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_FIXEDTIME, &fixed, sizeof fixed),
                  ARC_STAT_OK);
        EXPECT_EQ(fixed, 1700000000u);
        char** oversign = nullptr;
        ASSERT_EQ(
            arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_OVERSIGNHDRS, &oversign, sizeof oversign),
            ARC_STAT_OK);
        EXPECT_EQ(texts(oversign), (std::vector<std::string>{"Date"}));
        EXPECT_EQ(texts(rec.conf->conf_signhdrs_list),
                  (std::vector<std::string>{"From", "To", "Subject"}));
    }
}

TEST_F(ConfigTest, SetlibRefusesABadSignHeaderPattern) {
    write("c.conf", with_dir(base_conf + long_signhdrs(), dir_));
    record_owner rec;
    ASSERT_EQ(load_config(path("c.conf"), &rec.conf), "");
    const char* msg = nullptr;
    EXPECT_FALSE(arcf_config_setlib(rec.conf, &msg));
    EXPECT_STREQ(msg, "failed to set ARC library options");
}

TEST_F(ConfigTest, RecordWithoutLibraryHandleIsFreed) {
    // Every record that fails before its set-up is released like this.
    arcf_config* conf = arcf_config_new();
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->conf_libarc, nullptr);
    arcf_config_free(conf);
}

using ConfigDeathTest = ConfigTest;

TEST_F(ConfigDeathTest, FreeingAHeldRecordIsACallerError) {
    arcf_config* conf = arcf_config_new();
    ASSERT_NE(conf, nullptr);
    conf->conf_refcnt = 1;
    EXPECT_DEATH(arcf_config_free(conf), "conf->conf_refcnt == 0");
    EXPECT_DEATH(arcf_config_free(nullptr), "conf != NULL");
    conf->conf_refcnt = 0;
    arcf_config_free(conf);
}

// ---- Reload ----

class ConfigReload : public ConfigTest {
  protected:
    void SetUp() override {
        ConfigTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        write("c.conf", with_dir(std::string(base_conf) + "Syslog yes\n", dir_));
        char err[ARCF_ERRBUF_SIZE] = "";
        ASSERT_TRUE(arcf_config_setfile(path("c.conf").c_str(), err)) << err;
        ASSERT_EQ(load_config(path("c.conf"), &curconf), "");
        const char* msg = nullptr;
        ASSERT_TRUE(arcf_config_setlib(curconf, &msg)) << msg;
        reload_pending = false;
    }
    void TearDown() override {
        if (curconf != nullptr) {
            EXPECT_EQ(curconf->conf_refcnt, 0);
            arcf_config_free(curconf);
            curconf = nullptr;
        }
        char err[ARCF_ERRBUF_SIZE];
        arcf_config_setfile(nullptr, err);
        reload_pending = false;
        dolog = false;
        ConfigTest::TearDown();
    }
    // Requests a reload and performs it as the next connection would.
    static void reload() {
        reload_pending = true;
        arcf_config_reload();
        EXPECT_FALSE(reload_pending.load());
    }
};

TEST_F(ConfigReload, HeldRecordsSurviveAndTheLastReleaseFreesThem) {
    log_capture log;
    arcf_config* first = arcf_config_take();
    arcf_config* also_first = arcf_config_take();
    ASSERT_EQ(first, curconf);
    EXPECT_EQ(first->conf_refcnt, 2);

    write("c.conf", with_dir(std::string(base_conf) + "Syslog yes\nSelector second\n", dir_));
    arcf_config_reload();  // nothing pending: nothing happens
    EXPECT_EQ(curconf, first);
    reload();
    ASSERT_NE(curconf, first);
    EXPECT_STREQ(curconf->conf_selector, "second");
    EXPECT_NE(curconf->conf_libarc, nullptr);
    EXPECT_NE(curconf->conf_data, nullptr);
    EXPECT_TRUE(dolog.load());
    // The connections still read the settings they started with.
    EXPECT_STREQ(first->conf_selector, "sel");
    EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                               {LOG_INFO, "configuration reloaded from " + path("c.conf")}}));

    // A reload while nobody holds the current record frees it at once; the
    // held one waits for its connections.
    reload();
    EXPECT_EQ(first->conf_refcnt, 2);
    arcf_config_release(also_first);
    EXPECT_EQ(first->conf_refcnt, 1);
    EXPECT_STREQ(first->conf_selector, "sel");
    arcf_config_release(first);  // freed here; the sanitizers see a double or missing free

    // Releasing the current record leaves it in force.
    arcf_config* held = arcf_config_take();
    arcf_config_release(held);
    EXPECT_EQ(curconf, held);
    EXPECT_STREQ(curconf->conf_selector, "second");
}

struct failed_reload_case {
    const char* name;
    std::string conf;
    std::vector<std::pair<int, std::string>> log;  // "%D" is the directory
    size_t own_lines = 0;  // leading lines the new record logs itself (it has Syslog)
};

TEST_F(ConfigReload, FailedReloadKeepsTheRecordAndSaysWhy) {
    const std::vector<failed_reload_case> cases = {
        {"syntax error",
         "Domain example.com\nSelector\n",
         {{LOG_ERR, "%D/c.conf: configuration error at line 2: required value missing"}}},
        {"error in an included file",
         std::string(base_conf) + "Include %D/inc-bad.conf\n",
         {{LOG_ERR, "%D/inc-bad.conf: configuration error at line 2: unrecognized parameter"}}},
        {"required setting missing",
         "Domain example.com\nKeyFile %D/key.pem\n",
         {{LOG_ERR, "%D/c.conf: required parameter \"Selector\" missing"}}},
        {"key file missing",
         "Domain example.com\nSelector sel\nKeyFile %D/nokey.pem\nSyslog yes\n",
         {{LOG_ERR, "%D/nokey.pem: open(): No such file or directory"},
          {LOG_ERR, "%D/c.conf: %D/nokey.pem: open(): No such file or directory"}},
         1},
        {"insecure key file",
         "Domain example.com\nSelector sel\nKeyFile %D/key-open.pem\nSyslog yes\n",
         {{LOG_ERR,
           "%D/key-open.pem: key data is not secure: %D/key-open.pem can be read or "
           "written by other users"},
          {LOG_ERR, "%D/c.conf: %D/key-open.pem can be read or written by other users"}},
         1},
        {"unknown signature algorithm",
         std::string(base_conf) + "SignatureAlgorithm rsa-md5\n",
         {{LOG_ERR, "%D/c.conf: unknown signature algorithm"}}},
        {"bad sign header pattern",
         base_conf + long_signhdrs(),
         {{LOG_WARNING,
           "can't configure ARC library: failed to set ARC library options; "
           "continuing"}}},
        {"base directory missing",
         std::string(base_conf) + "BaseDirectory %D/nodir\n",
         {{LOG_ERR, "%D/c.conf: %D/nodir: chdir(): No such file or directory"}}},
    };
    arcf_config* const before = curconf;
    const std::string dir_before = cwd();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        write("c.conf", with_dir(c.conf, dir_));
        reload();
        EXPECT_EQ(curconf, before);
        EXPECT_EQ(cwd(), dir_before);
        std::vector<std::pair<int, std::string>> want;
        for (const auto& [prio, text] : c.log) {
            want.emplace_back(prio, with_dir(text, dir_));
        }
        EXPECT_EQ(log.lines(), want);

        // The reload says nothing when the current record does not log.
        curconf->conf_dolog = false;
        log.clear();
        reload();
        EXPECT_EQ(curconf, before);
        want.resize(c.own_lines);
        EXPECT_EQ(log.lines(), want);
        curconf->conf_dolog = true;
    }
}

TEST_F(ConfigReload, WithoutConfigurationFileTheSignalIsIgnored) {
    log_capture log;
    char err[ARCF_ERRBUF_SIZE];
    ASSERT_TRUE(arcf_config_setfile(nullptr, err));
    arcf_config* const before = curconf;
    reload();
    EXPECT_EQ(curconf, before);
    EXPECT_EQ(log.lines(),
              (std::vector<std::pair<int, std::string>>{{LOG_ERR, "ignoring reload signal"}}));
}

TEST_F(ConfigReload, CommandLineChoicesSurviveReloads) {
    write("c.conf", with_dir(base_conf, dir_));
    for (const bool given : {false, true}) {
        SCOPED_TRACE(given ? "-l -r given" : "no options");
        cmdline_dolog = given;
        cmdline_reqhdrs = given;
        reload();
        EXPECT_EQ(curconf->conf_dolog, given);
        EXPECT_EQ(curconf->conf_reqhdrs, given);
        EXPECT_EQ(dolog.load(), given);
    }
}

TEST_F(ConfigReload, EntersTheBaseDirectoryOnlyAfterASuccessfulReload) {
    // A relative file name is fixed to an absolute one when it is given.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    char err[ARCF_ERRBUF_SIZE] = "";
    ASSERT_TRUE(arcf_config_setfile("c.conf", err)) << err;
    EXPECT_EQ(std::string(conffile), path("c.conf"));
    ASSERT_EQ(chdir("/"), 0);

    // The key is found through the base directory, so a failure comes after
    // the directory was checked.
    write("c.conf",
          with_dir("Domain example.com\nSelector sel\nBaseDirectory %D/base\nKeyFile nokey.pem\n",
                   dir_));
    arcf_config* const before = curconf;
    reload();
    EXPECT_EQ(curconf, before);
    EXPECT_EQ(cwd(), "/");

    write("c.conf",
          with_dir("Domain example.com\nSelector sel\nBaseDirectory %D/base\nKeyFile key2.pem\n",
                   dir_));
    reload();
    EXPECT_NE(curconf, before);
    EXPECT_EQ(cwd(), path("base"));
    // The next reload reads the same file although the process moved.
    write("c.conf", with_dir(std::string(base_conf) + "Selector third\n", dir_));
    reload();
    EXPECT_STREQ(curconf->conf_selector, "third");
}

}  // namespace
