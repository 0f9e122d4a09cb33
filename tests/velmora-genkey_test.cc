// SPDX-License-Identifier: BSD-2-Clause
// velmora-genkey_test.cc - the key tool, run as an operator runs it: the key
// it makes passes the filter's key-file check for the user it names, and a
// seal made with the key validates against the record it printed. Runs in a
// private mount namespace (a fresh tmpfs of its own, its own copies of
// /etc/passwd and /etc/group, as the key-file check's tests do); needs root,
// skipped otherwise.
#if VELMORA_HAVE_UNSHARE
#include <sched.h>
#include <sys/mount.h>
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "chain-support.h"
#include "test-support.h"
#include "velmora-securefile.h"

extern char** environ;

namespace {

using namespace chain_test;

// The tmpfs goes on a directory of its own rather than over /tmp, so that a
// build tree under /tmp (and the key tool in it) stays visible.
constexpr char base_dir[] = "/run/velmora-genkey-test";
constexpr uid_t filter_uid = 2001;  // the user "velmora" of the test database
constexpr gid_t filter_gid = 2001;

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
        if ((mkdir(base_dir, 0755) != 0 && errno != EEXIST) ||
            mount("tmpfs", base_dir, "tmpfs", 0, "mode=0755") != 0) {
            return std::string("mounting tmpfs on ") + base_dir + ": " + std::strerror(errno);
        }
        struct stat st;
        if (stat("/", &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) {
            return "/ is not a root-owned directory closed to writers";
        }
        const std::string pw = std::string(base_dir) + "/passwd";
        const std::string gr = std::string(base_dir) + "/group";
        std::ofstream(pw) << "root:x:0:0:root:/root:/bin/sh\n"
                             "velmora:x:2001:2001::/nonexistent:/usr/sbin/nologin\n";
        std::ofstream(gr) << "root:x:0:\nvelmora:x:2001:\n";
        if (mount(pw.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
            mount(gr.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
            return std::string("bind-mounting the user database: ") + std::strerror(errno);
        }
        return "";
#endif
    }();
    return reason;
}

struct run_result {
    int status = -1;  // exit status, or -1 when the program did not exit
    std::string out;
    std::string err;
};

// Runs the key tool with `args`, capturing both output streams.
run_result genkey(const std::vector<std::string>& args) {
    const std::string out_path = std::string(base_dir) + "/stdout";
    const std::string err_path = std::string(base_dir) + "/stderr";
    std::vector<std::string> words{VELMORA_GENKEY_PROGRAM};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    run_result r;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        r.err = std::strerror(rc);
        return r;
    }
    int ws = 0;
    if (waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) {
        r.status = WEXITSTATUS(ws);
    }
    r.out = velmora_test::read_file(out_path);
    r.err = velmora_test::read_file(err_path);
    return r;
}

// The character-strings of a zone-file TXT entry, in order.
std::vector<std::string> txt_strings(const std::string& zone) {
    std::vector<std::string> strings;
    for (size_t open = zone.find('"'); open != std::string::npos;) {
        const size_t close = zone.find('"', open + 1);
        if (close == std::string::npos) {
            ADD_FAILURE() << "unterminated string in " << zone;
            break;
        }
        strings.push_back(zone.substr(open + 1, close - open - 1));
        open = zone.find('"', close + 1);
    }
    return strings;
}

int key_bits(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    const int bits =
        key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA ? EVP_PKEY_get_bits(key) : 0;
    EVP_PKEY_free(key);
    return bits;
}

class Genkey : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = enter_namespace();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        dir_ = std::string(base_dir) + "/" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0) << dir_;
    }
    std::string dir_;
};

constexpr char message_text[] =
    "From: sender@example.org\r\n"
    "To: list@example.net\r\n"
    "Subject: key tool\r\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\r\n"
    "Message-ID: <genkey@example.org>\r\n"
    "\r\n"
    "A body to seal.\r\n";

TEST_F(Genkey, KeyPassesTheKeyFileCheckAndItsRecordValidatesASeal) {
    struct key_case {
        const char* selector;
        std::vector<std::string> extra;
        int bits;  // of an RSA key; 0 for Ed25519
        int alg;   // the seal made with the key
        std::string record_start;
    };
    const key_case cases[] = {
        {"default", {}, 2048, ARC_ALG_RSASHA256, "v=DKIM1; k=rsa; p="},
        {"big", {"-b", "4096"}, 4096, ARC_ALG_RSASHA256, "v=DKIM1; k=rsa; p="},
        {"ed", {"-t", "ed25519"}, 0, ARC_ALG_ED25519SHA256, "v=DKIM1; k=ed25519; p="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        std::vector<std::string> args{"-d", "example.org", "-s", c.selector,
                                      "-D", dir_,          "-u", "velmora"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const run_result r = genkey(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no warning: the filter accepts the key here

        // The private key: the user's own, closed to everyone else, and
        // accepted by the filter's check for that user.
        const std::string keypath = dir_ + "/" + c.selector + ".private";
        struct stat st;
        ASSERT_EQ(stat(keypath.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, filter_uid);
        EXPECT_EQ(st.st_gid, filter_gid);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        char reason[1024] = "";
        uint64_t ino = 0;
        EXPECT_EQ(arcf_securefile(keypath.c_str(), &ino, filter_uid, reason, sizeof reason), 1)
            << reason;
        EXPECT_EQ(ino, static_cast<uint64_t>(st.st_ino));
        const std::string pem = velmora_test::read_file(keypath);
        EXPECT_EQ(key_bits(pem), c.bits);

        // The record: printed and written alike, under the right name, in
        // strings of at most 255 bytes.
        const std::string zone = velmora_test::read_file(dir_ + "/" + c.selector + ".txt");
        EXPECT_EQ(r.out, zone);
        const std::string owner = std::string(c.selector) + "._domainkey.example.org.";
        ASSERT_EQ(zone.compare(0, owner.size(), owner), 0) << zone;
        std::string record;
        const std::vector<std::string> strings = txt_strings(zone);
        for (const auto& s : strings) {
            EXPECT_LE(s.size(), 255u);
            record += s;
        }
        EXPECT_GT(strings.size(), static_cast<size_t>(c.bits / 2048)) << zone;
        EXPECT_EQ(record.compare(0, c.record_start.size(), c.record_start), 0) << record;

        // A seal made with the key validates with the record as published.
        const message m = split_message(message_text);
        seal_params p;
        p.key = pem;
        p.selector = c.selector;
        p.domain = "example.org";
        p.alg = c.alg;
        std::string error;
        lib_ptr sealer = make_library("");
        const message sealed = seal_once(sealer.get(), m, p, &error);
        ASSERT_EQ(sealed.fields.size(), m.fields.size() + 3) << error;
        const std::string keyfile =
            write_key_file({{std::string(c.selector) + "._domainkey.example.org", record}});
        lib_ptr validator = make_library(keyfile);
        EXPECT_EQ(validate(validator.get(), sealed, &error), "pass") << error;
        remove_file(keyfile);
    }
}

TEST_F(Genkey, RefusesToOverwriteAnExistingKeyOrRecord) {
    const std::vector<std::string> args{"-d", "example.org", "-s", "s1", "-D", dir_};
    ASSERT_EQ(genkey(args).status, 0);
    const std::string keypath = dir_ + "/s1.private";
    const std::string before = velmora_test::read_file(keypath);

    run_result again = genkey(args);
    EXPECT_EQ(again.status, EX_CANTCREAT);
    EXPECT_NE(again.err.find(keypath + " exists; not overwriting"), std::string::npos) << again.err;
    EXPECT_EQ(velmora_test::read_file(keypath), before);

    // A record left without its key is not replaced either, and no key is
    // made beside it.
    ASSERT_EQ(rename(keypath.c_str(), (dir_ + "/kept.private").c_str()), 0);
    again = genkey(args);
    EXPECT_EQ(again.status, EX_CANTCREAT);
    EXPECT_NE(again.err.find("s1.txt exists; not overwriting"), std::string::npos) << again.err;
    struct stat st;
    EXPECT_NE(stat(keypath.c_str(), &st), 0);
}

TEST_F(Genkey, WarnsWhenTheFilterWouldRefuseTheKey) {
    // A directory everybody may write to: anybody could replace the key.
    const std::string open_dir = dir_ + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    const run_result r = genkey({"-d", "example.org", "-s", "s1", "-D", open_dir, "-u", "velmora"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: velmora will refuse " + open_dir + "/s1.private: " + open_dir +
                         " can be read or written by other users"),
              std::string::npos)
        << r.err;
}

TEST_F(Genkey, RejectsBadArgumentsWithoutWritingAnything) {
    struct bad_case {
        std::vector<std::string> args;
        int status;
        const char* text;
    };
    const bad_case cases[] = {
        {{"-d", "example.org"}, EX_USAGE, "usage:"},
        {{"-s", "s1"}, EX_USAGE, "usage:"},
        {{"-d", "example.org", "-s", "../s1"}, EX_USAGE, "'../s1' is not a selector"},
        {{"-d", "example.org", "-s", "s1/x"}, EX_USAGE, "is not a selector"},
        {{"-d", "exa mple.org", "-s", "s1"}, EX_USAGE, "'exa mple.org' is not a domain name"},
        {{"-d", "example..org", "-s", "s1"}, EX_USAGE, "is not a domain name"},
        {{"-d", "example.org", "-s", "s1", "-b", "512"}, EX_USAGE, "key size must be"},
        {{"-d", "example.org", "-s", "s1", "-b", "2048x"}, EX_USAGE, "key size must be"},
        {{"-d", "example.org", "-s", "s1", "-t", "dsa"}, EX_USAGE, "key type must be"},
        {{"-d", "example.org", "-s", "s1", "-t", "ed25519", "-b", "2048"},
         EX_USAGE,
         "-b applies to RSA keys only"},
        {{"-d", "example.org", "-s", "s1", "-u", "nosuchuser"}, EX_NOUSER, "no such user"},
        {{"-d", "example.org", "-s", "s1", "-u", "velmora:nosuchgroup"},
         EX_NOUSER,
         "no such group"},
        {{"-d", "example.org", "-s", "s1", "extra"}, EX_USAGE, "usage:"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        SCOPED_TRACE(testing::PrintToString(args));
        args.insert(args.end(), {"-D", dir_});
        const run_result r = genkey(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    struct stat st;
    EXPECT_NE(stat((dir_ + "/s1.private").c_str(), &st), 0);
    EXPECT_NE(stat((dir_ + "/s1.txt").c_str(), &st), 0);
}

}  // namespace
