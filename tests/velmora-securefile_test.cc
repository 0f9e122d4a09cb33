// SPDX-License-Identifier: BSD-2-Clause
// velmora-securefile_test.cc - the key-file safety check, run hermetically:
// the test moves itself into a private mount namespace, mounts a fresh tmpfs
// on /tmp and bind-mounts its own copies of /etc/passwd and /etc/group, so the
// machine's user database is never read or changed. Needs root; skipped
// otherwise.
#include "velmora-securefile.h"

#if VELMORA_HAVE_UNSHARE
#include <sched.h>
#include <sys/mount.h>
#endif
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr char base_dir[] = "/tmp/velmora-sf";

// The users and groups the cases need. alice (2001) runs the filter.
constexpr char test_passwd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "alice:x:2001:2001::/nonexistent:/bin/false\n"
    "bob:x:2002:2002::/nonexistent:/bin/false\n"
    "carol:x:2003:2400::/nonexistent:/bin/false\n";
constexpr char test_group[] =
    "root:x:0:\n"
    "alice:x:2001:\n"
    "bob:x:2002:\n"
    "keys:x:2100:alice,bob\n"  // another member
    "solo:x:2200:alice\n"      // only the executing user
    "withroot:x:2300:root,alice\n"
    "staff:x:2400:\n";  // carol's primary group
constexpr uid_t alice = 2001;
constexpr uid_t bob = 2002;
constexpr gid_t keys = 2100;
constexpr gid_t solo = 2200;
constexpr gid_t withroot = 2300;
constexpr gid_t staff = 2400;
constexpr gid_t no_such_group = 2999;

// Sets up the namespace once; returns why it cannot be, or "".
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
        // A fresh /tmp of mode 0755 gives every case a safe chain of parents.
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755") != 0) {
            return std::string("mounting tmpfs on /tmp: ") + std::strerror(errno);
        }
        struct stat st;
        if (stat("/", &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) {
            return "/ is not a root-owned directory closed to writers";
        }
        mkdir(base_dir, 0755);
        const std::string pw = std::string(base_dir) + "/passwd";
        const std::string gr = std::string(base_dir) + "/group";
        std::ofstream(pw) << test_passwd;
        std::ofstream(gr) << test_group;
        if (mount(pw.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
            mount(gr.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
            return std::string("bind-mounting the user database: ") + std::strerror(errno);
        }
        return "";
#endif
    }();
    return reason;
}

class SecureFile : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = enter_namespace();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
    // Creates a directory or file under base_dir with exactly this owner and mode.
    static std::string make(const std::string& rel, bool dir, mode_t mode, uid_t uid, gid_t gid) {
        const std::string path = std::string(base_dir) + "/" + rel;
        if (dir) {
            EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        } else {
            const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            EXPECT_GE(fd, 0) << path;
            EXPECT_EQ(write(fd, "key\n", 4), 4);
            close(fd);
        }
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0) << path;
        EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
        return path;
    }
    static uint64_t inode_of(const std::string& path) {
        struct stat st;
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return static_cast<uint64_t>(st.st_ino);
    }
};

TEST_F(SecureFile, ReadsTheTestUserDatabase) {
    // The check must see the bind-mounted copies through the C library.
    const struct passwd* pw = getpwnam("alice");
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->pw_uid, alice);
    pw = getpwuid(bob);
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->pw_name, "bob");
    const struct group* gr = getgrgid(keys);
    ASSERT_NE(gr, nullptr);
    ASSERT_NE(gr->gr_mem[0], nullptr);
    EXPECT_STREQ(gr->gr_mem[1], "bob");
    EXPECT_EQ(getgrgid(no_such_group), nullptr);
}

// One layout per case: the nodes are made under base_dir/<name>, which is
// itself root-owned 0755, and `target` is checked for `uid`.
struct node {
    const char* rel;
    bool dir;
    mode_t mode;
    uid_t uid;
    gid_t gid;
};
enum class ino_want { untouched, target_inode, all_ones };
struct sf_case {
    const char* name;
    std::vector<node> nodes;
    const char* target;
    uint32_t uid;
    int result;
    const char* message;  // "%D" stands for the case's directory
    ino_want ino;
};

const sf_case sf_cases[] = {
    {"safe", {{"k", false, 0600, alice, alice}}, "k", alice, 1, "", ino_want::target_inode},
    {"root-owned", {{"k", false, 0600, 0, 0}}, "k", alice, 1, "", ino_want::target_inode},
    {"member",
     {{"k", false, 0640, alice, keys}},
     "k",
     alice,
     0,
     "%D/k is in group 2100 which has multiple users (e.g., \"bob\")",
     ino_want::untouched},
    {"primary",
     {{"k", false, 0620, alice, staff}},
     "k",
     alice,
     0,
     "%D/k is in group 2400 which has multiple users (e.g. \"carol\")",
     ino_want::untouched},
    {"primary-dir",
     {{"d", true, 0775, 0, staff}, {"d/k", false, 0600, alice, alice}},
     "d/k",
     alice,
     0,
     "%D/d is in group 2400 which has multiple users (e.g., \"carol\")",
     ino_want::untouched},
    {"member-dir",
     {{"d", true, 0770, 0, keys}, {"d/k", false, 0600, alice, alice}},
     "d/k",
     alice,
     0,
     "%D/d is in group 2100 which has multiple users (e.g., \"bob\")",
     ino_want::untouched},
    {"solo-group", {{"k", false, 0640, alice, solo}}, "k", alice, 1, "", ino_want::target_inode},
    {"root-group",
     {{"k", false, 0660, alice, withroot}},
     "k",
     alice,
     1,
     "",
     ino_want::target_inode},
    {"world-dir",
     {{"d", true, 0777, 0, 0}, {"d/k", false, 0644, bob, bob}},
     "d/k",
     alice,
     0,
     "%D/d can be read or written by other users",
     ino_want::untouched},
    {"other-owner",
     {{"k", false, 0600, bob, bob}},
     "k",
     alice,
     0,
     "%D/k is not owned by the executing uid (2001) or the superuser",
     ino_want::untouched},
    {"other-owner-root",
     {{"k", false, 0600, bob, bob}},
     "k",
     0,
     0,
     "%D/k is not owned by the executing uid (0)",
     ino_want::untouched},
    {"effective-uid",
     {{"k", false, 0600, bob, bob}},
     "k",
     UINT32_MAX,
     0,
     "%D/k is not owned by the executing uid (0)",
     ino_want::untouched},
    {"world-readable",
     {{"k", false, 0604, alice, alice}},
     "k",
     alice,
     0,
     "%D/k can be read or written by other users",
     ino_want::untouched},
    {"owner-dir",
     {{"d", true, 0755, bob, bob}, {"d/k", false, 0600, alice, alice}},
     "d/k",
     alice,
     0,
     "%D/d is writeable and owned by uid 2002 which is not the executing uid (2001) or the "
     "superuser",
     ino_want::untouched},
    {"own-dir",
     {{"d", true, 0755, alice, alice}, {"d/k", false, 0400, alice, alice}},
     "d/k",
     alice,
     1,
     "",
     ino_want::target_inode},
    {"private-dir", {{"d", true, 0700, alice, alice}}, "d", alice, 1, "", ino_want::all_ones},
    {"private-dir-file",
     {{"d", true, 0700, alice, alice}, {"d/k", false, 0600, alice, alice}},
     "d/k",
     alice,
     1,
     "",
     ino_want::target_inode},
    {"missing", {}, "nothing-here", alice, -1, "", ino_want::untouched},
    {"unknown-user", {{"k", false, 0600, alice, alice}}, "k", 4242, -1, "", ino_want::untouched},
    {"unknown-group",
     {{"k", false, 0640, alice, no_such_group}},
     "k",
     alice,
     -1,
     "",
     ino_want::untouched},
};

TEST_F(SecureFile, Cases) {
    for (const auto& c : sf_cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = make(c.name, true, 0755, 0, 0);
        for (const auto& n : c.nodes) {
            make(std::string(c.name) + "/" + n.rel, n.dir, n.mode, n.uid, n.gid);
        }
        const std::string target = dir + "/" + c.target;
        uint64_t ino = 12345;
        char err[1025] = "";
        EXPECT_EQ(arcf_securefile(target.c_str(), &ino, c.uid, err, sizeof err), c.result);
        std::string want = c.message;
        if (const size_t at = want.find("%D"); at != std::string::npos) {
            want.replace(at, 2, dir);
        }
        EXPECT_EQ(err, want);
        switch (c.ino) {
            case ino_want::untouched:
                EXPECT_EQ(ino, 12345u);
                break;
            case ino_want::target_inode:
                EXPECT_EQ(ino, inode_of(target));
                break;
            case ino_want::all_ones:
                EXPECT_EQ(ino, UINT64_MAX);
                break;
        }
        // The lock is free again on every way out.
        ASSERT_TRUE(passwd_lock.try_lock());
        passwd_lock.unlock();
    }
}

TEST_F(SecureFile, SymlinkIsJudgedByWhereItLeads) {
    const std::string safe = make("link-safe", true, 0755, 0, 0);
    const std::string open_dir = make("link-open", true, 0777, 0, 0);
    const std::string key = make("link-open/k", false, 0600, alice, alice);
    const std::string link = safe + "/k";
    ASSERT_EQ(symlink(key.c_str(), link.c_str()), 0);
    uint64_t ino = 0;
    char err[1025] = "";
    EXPECT_EQ(arcf_securefile(link.c_str(), &ino, alice, err, sizeof err), 0);
    EXPECT_EQ(std::string(err), open_dir + " can be read or written by other users");
}

// A link in a directory others can write lets them choose the key, however
// safe the file it points to today: refused, also when it is met half-way
// through a chain of links.
TEST_F(SecureFile, LinkInAnOpenDirectoryIsRefused) {
    const std::string safe = make("via-safe", true, 0755, 0, 0);
    const std::string open_dir = make("via-open", true, 0777, 0, 0);
    const std::string key = make("via-safe/k", false, 0600, alice, alice);
    ASSERT_EQ(symlink(key.c_str(), (open_dir + "/direct").c_str()), 0);
    ASSERT_EQ(symlink((open_dir + "/direct").c_str(), (safe + "/chain").c_str()), 0);
    ASSERT_EQ(symlink("../via-open/direct", (safe + "/relative").c_str()), 0);
    struct link_case {
        std::string path;
    };
    const link_case cases[] = {{open_dir + "/direct"}, {safe + "/chain"}, {safe + "/relative"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        uint64_t ino = 0;
        char err[1025] = "";
        EXPECT_EQ(arcf_securefile(c.path.c_str(), &ino, alice, err, sizeof err), 0);
        EXPECT_EQ(std::string(err),
                  open_dir + "/direct is a symbolic link in an unsafe directory: " + open_dir +
                      " can be read or written by other users");
    }
    // The same key through a link in a safe directory is fine.
    ASSERT_EQ(symlink(key.c_str(), (safe + "/fine").c_str()), 0);
    uint64_t ino = 0;
    EXPECT_EQ(arcf_securefile((safe + "/fine").c_str(), &ino, alice, nullptr, 0), 1);
    EXPECT_EQ(ino, inode_of(key));
}

TEST_F(SecureFile, MessageIsCutOrNotWritten) {
    make("cut", true, 0755, 0, 0);
    const std::string key = make("cut/k", false, 0640, alice, keys);
    uint64_t ino = 0;
    char small[11];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(arcf_securefile(key.c_str(), &ino, alice, small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(key).substr(0, 10));
    EXPECT_EQ(arcf_securefile(key.c_str(), &ino, alice, nullptr, 0), 0);
}

TEST_F(SecureFile, OverlongResolvedPathIsNotJudged) {
    // Nest directories until the path passes 1024 characters.
    std::string rel = "deep";
    make(rel, true, 0755, 0, 0);
    while (rel.size() < 1100) {
        rel += "/" + std::string(100, 'd');
        make(rel, true, 0755, 0, 0);
    }
    const std::string key = make(rel + "/k", false, 0600, alice, alice);
    uint64_t ino = 0;
    char err[1025] = "";
    EXPECT_EQ(arcf_securefile(key.c_str(), &ino, alice, err, sizeof err), -1);
}

TEST(SecureFileDeathTest, NullArgumentsAbort) {
    uint64_t ino = 0;
    EXPECT_DEATH(arcf_securefile(nullptr, &ino, 0, nullptr, 0), "path != NULL");
    EXPECT_DEATH(arcf_securefile("/", nullptr, 0, nullptr, 0), "ino != NULL");
}

}  // namespace
