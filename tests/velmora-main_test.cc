// SPDX-License-Identifier: BSD-2-Clause
// velmora-main_test.cc - the process frame's routines: AutoRestartRate
// values, the restart ring, what a worker's end means for the parent, the
// wait between restarts, the start line's argument text, the pid file and
// the options of the listening socket.
#include "velmora-main.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct rate_case {
    const char* value;
    bool valid;
    unsigned n;
    long t;
};

constexpr rate_case rate_cases[] = {
    {"3/60", true, 3, 60},
    {"3/1m", true, 3, 60},
    {"3/1M", true, 3, 60},
    {"3/1h", true, 3, 3600},
    {"3/2d", true, 3, 172800},
    {"3/45s", true, 3, 45},
    {"0/60", true, 0, 60},
    {"3/1hx", false, 0, 0},
    {"3/0", false, 0, 0},
    {"3", false, 0, 0},
    {"-1/60", false, 0, 0},
    {"3/5w", false, 0, 0},
    {"/60", false, 0, 0},
    {"3/", false, 0, 0},
    {"3x/60", false, 0, 0},
    {"3/-5", false, 0, 0},
    {"3/0m", false, 0, 0},
    {"", false, 0, 0},
    {"3/99999999999999999999", false, 0, 0},
};

TEST(VelmoraMain, ParsesRestartRates) {
    for (const auto& c : rate_cases) {
        SCOPED_TRACE(c.value);
        unsigned n = 99;
        long t = 99;
        ASSERT_EQ(arcf_parse_rate(c.value, &n, &t), c.valid);
        if (c.valid) {
            EXPECT_EQ(n, c.n);
            EXPECT_EQ(t, c.t);
        }
    }
}

TEST(VelmoraMain, RingAllowsAtMostNRestartsPerPeriod) {
    arcf_restart_ring ring;
    ASSERT_TRUE(arcf_restart_ring_init(&ring, 3));
    // Three restarts at 100, 101, 102 pass; the fourth within 60 s of the
    // first is refused and changes nothing.
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 100));
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 101));
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 102));
    EXPECT_FALSE(arcf_restart_check(&ring, 60, 159));
    EXPECT_FALSE(arcf_restart_check(&ring, 60, 159));
    // 60 s after the first it may go, and the window slides.
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 160));
    EXPECT_FALSE(arcf_restart_check(&ring, 60, 160));
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 161));
    arcf_restart_ring_free(&ring);
    // No ring: no rate test.
    EXPECT_TRUE(arcf_restart_check(&ring, 60, 1));
}

TEST(VelmoraMain, WorkerStatusDecidesRestartWhateverTheLogging) {
    struct end_case {
        const char* name;
        int status;
        arcf_worker_end end;
    };
    const end_case cases[] = {
        {"exit 0", 0 << 8, arcf_worker_end::restart},
        {"exit 69", 69 << 8, arcf_worker_end::restart},
        {"exit 71", 71 << 8, arcf_worker_end::restart},
        {"exit 70", 70 << 8, arcf_worker_end::final},
        {"exit 78", 78 << 8, arcf_worker_end::final},
        {"SIGKILL", SIGKILL, arcf_worker_end::restart},
        {"SIGSEGV", SIGSEGV, arcf_worker_end::restart},
        {"stopped", 0x137f, arcf_worker_end::ignore},
        {"continued", 0xffff, arcf_worker_end::ignore},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(arcf_worker_outcome(c.status), c.end);
    }
}

TEST(VelmoraMain, RestartWaitGrowsWhileWorkersDieYoung) {
    // First restart waits a second; young deaths double it up to the cap; a
    // worker that lived long enough brings it back to one second.
    unsigned d = arcf_restart_delay(0, 0);
    EXPECT_EQ(d, 1u);
    const unsigned expected[] = {2, 4, 8, 16, 32, 60, 60};
    for (unsigned e : expected) {
        d = arcf_restart_delay(d, 0);
        EXPECT_EQ(d, e);
    }
    EXPECT_EQ(arcf_restart_delay(d, ARCF_YOUNG_WORKER), 1u);
    EXPECT_EQ(arcf_restart_delay(8, ARCF_YOUNG_WORKER - 1), 16u);
}

TEST(VelmoraMain, ArgumentTextQuotesArgumentsWithSpaces) {
    char a0[] = "velmora";
    char a1[] = "-c";
    char a2[] = "/etc/my velmora.conf";
    char a3[] = "-p";
    char a4[] = "local:/s";
    char* argv[] = {a0, a1, a2, a3, a4, nullptr};
    char buf[65536];
    const size_t len = arcf_argtext(5, argv, buf, sizeof buf);
    EXPECT_EQ(len, strlen(buf));
    EXPECT_STREQ(buf, "args: -c \"/etc/my velmora.conf\" -p local:/s");
    EXPECT_EQ(arcf_argtext(1, argv, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    // The text stops growing at the buffer's end.
    char small[10];
    EXPECT_EQ(arcf_argtext(5, argv, small, sizeof small), 9u);
    EXPECT_STREQ(small, "args: -c ");
}

class PidFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-pidfile.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        ASSERT_EQ(chmod(tmpl, 0755), 0);
        dir = tmpl;
        path = dir + "/velmora.pid";
    }
    void TearDown() override {
        for (const char* f : {"/velmora.pid", "/target", "/link"}) {
            unlink((dir + f).c_str());
        }
        rmdir(dir.c_str());
    }
    static std::string contents(const std::string& p) {
        std::ifstream in{p};
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir;
    std::string path;
    char err[1025] = "";
};

TEST_F(PidFile, WrittenOnlyWhenAskedAndRemovedWhileOurs) {
    arcf_pidfile pf;
    ASSERT_TRUE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err)) << err;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(contents(path), "");
    ASSERT_TRUE(arcf_pidfile_write(&pf, getpid()));
    EXPECT_EQ(contents(path), std::to_string(getpid()) + "\n");
    arcf_pidfile_remove(&pf);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(pf.pf_fd, -1);
}

TEST_F(PidFile, CreatedButNeverWrittenIsRemovedOnFailure) {
    arcf_pidfile pf;
    ASSERT_TRUE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err)) << err;
    arcf_pidfile_remove(&pf);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(PidFile, RunningInstanceKeepsItsFile) {
    // A live process (our parent) named in the file: refused, untouched.
    const std::string theirs = std::to_string(getppid()) + "\n";
    {
        std::ofstream out{path};
        out << theirs;
    }
    arcf_pidfile pf;
    EXPECT_FALSE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err));
    EXPECT_NE(std::string{err}.find("in use by running process"), std::string::npos) << err;
    EXPECT_EQ(contents(path), theirs);
}

TEST_F(PidFile, StaleFileIsTakenOver) {
    // A process that has ended.
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    {
        std::ofstream out{path};
        out << gone << "\n";
    }
    arcf_pidfile pf;
    ASSERT_TRUE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err)) << err;
    ASSERT_TRUE(arcf_pidfile_write(&pf, getpid()));
    EXPECT_EQ(contents(path), std::to_string(getpid()) + "\n");
    arcf_pidfile_remove(&pf);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(PidFile, ReplacedFileIsNotRemoved) {
    arcf_pidfile pf;
    ASSERT_TRUE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err)) << err;
    ASSERT_TRUE(arcf_pidfile_write(&pf, getpid()));
    // Another instance wrote its own file in the meantime.
    ASSERT_EQ(unlink(path.c_str()), 0);
    {
        std::ofstream out{path};
        out << "12345\n";
    }
    arcf_pidfile_remove(&pf);
    EXPECT_EQ(contents(path), "12345\n");
}

TEST_F(PidFile, NeverFollowsALink) {
    const std::string target = dir + "/target";
    {
        std::ofstream out{target};
        out << "precious\n";
    }
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    arcf_pidfile pf;
    EXPECT_FALSE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err));
    EXPECT_EQ(contents(target), "precious\n");
}

// An existing file that is a second name of another file, or that another
// user owns, is refused and left as it is: writing or removing it later
// would change what is not ours.
TEST_F(PidFile, ForeignOrLinkedFileIsRefused) {
    const std::string other = dir + "/elsewhere";
    struct foreign_case {
        const char* name;
        bool hard_link;
        uid_t owner;  // who the daemon runs as
        const char* text;
    };
    const uid_t me = geteuid();
    // As root the file is given to nobody and the daemon runs as uid 1000;
    // otherwise the file stays ours and the daemon runs as someone else.
    const foreign_case cases[] = {
        {"second link", true, me, "links; refusing"},
        {"another user's file", false, me == 0 ? 1000 : me + 1, "refusing to use it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        (void)unlink(path.c_str());
        (void)unlink(other.c_str());
        {
            std::ofstream out{c.hard_link ? other : path};
            out << "precious\n";
        }
        if (c.hard_link) {
            ASSERT_EQ(link(other.c_str(), path.c_str()), 0);
        } else if (me == 0) {
            ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        }
        arcf_pidfile pf;
        EXPECT_FALSE(arcf_pidfile_open(&pf, path.c_str(), c.owner, err, sizeof err));
        EXPECT_NE(std::string{err}.find(c.text), std::string::npos) << err;
        EXPECT_EQ(contents(path), "precious\n");
    }
    (void)unlink(other.c_str());
}

TEST_F(PidFile, EmptiedWhenItCannotBeUnlinked) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give up the right to the directory";
    }
    arcf_pidfile pf;
    ASSERT_TRUE(arcf_pidfile_open(&pf, path.c_str(), geteuid(), err, sizeof err)) << err;
    // A child that dropped its privileges, as a worker does.
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        if (!arcf_pidfile_write(&pf, getpid())) {
            _exit(3);
        }
        arcf_pidfile_remove(&pf);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(contents(path), "");
    arcf_pidfile_forget(&pf);
}

// TCP_NODELAY goes on listening inet sockets only, found through procfs or,
// without it, by probing the descriptors.
TEST(VelmoraMain, NoDelayOnListeningInetSocketsOnly) {
    auto inet_socket = [](bool listening) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin), 0);
        if (listening) {
            EXPECT_EQ(listen(fd, 1), 0);
        }
        return fd;
    };
    auto nodelay = [](int fd) {
        int on = 0;
        socklen_t len = sizeof on;
        EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
        return on != 0;
    };
    const int listener = inet_socket(true);
    const int idle = inet_socket(false);
    const int local = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    ASSERT_GE(idle, 0);
    ASSERT_GE(local, 0);
    ASSERT_FALSE(nodelay(listener));
    EXPECT_EQ(arcf_nodelay_listeners(), 1);
    EXPECT_TRUE(nodelay(listener));
    EXPECT_FALSE(nodelay(idle));
    close(listener);
    close(idle);
    close(local);
}

}  // namespace
