// SPDX-License-Identifier: BSD-2-Clause
// startup_test.cc - the velmora program as init or an operator starts it:
// start-up failures with their status and text (also when they happen after
// the fork into the background), readiness, the pid file, test mode beside a
// live socket, UMask, and the auto-restart parent's restarts and stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e-support.h"
#include "velmora-fixture.h"

namespace {

using namespace velmora_e2e;

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Reaps `pid` (ours as the reaper of orphans) once it ends; false when it is
// still running after `seconds`.
bool wait_gone(pid_t pid, double seconds) {
    const double end = now() + seconds;
    while (now() < end) {
        const pid_t p = waitpid(pid, nullptr, WNOHANG);
        if (p == pid || (p < 0 && kill(pid, 0) != 0)) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

pid_t read_pid(const std::string& path) {
    return static_cast<pid_t>(std::atol(read_file(path).c_str()));
}

// The children of `parent` (from /proc), to find the auto-restart worker.
std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    const std::string text = read_file("/proc/" + std::to_string(parent) + "/task/" +
                                       std::to_string(parent) + "/children");
    size_t at = 0;
    while (at < text.size()) {
        const long pid = std::strtol(text.c_str() + at, nullptr, 10);
        if (pid > 0) {
            out.push_back(static_cast<pid_t>(pid));
        }
        at = text.find(' ', at);
        if (at == std::string::npos) {
            break;
        }
        ++at;
    }
    return out;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = skip_reason();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        become_subreaper();
        std::string err;
        ASSERT_TRUE(syslog.start(tmp / "log", &err)) << err;
        key = make_key(keys.path(), "test-sel1", 2048);
        ASSERT_FALSE(key.pem_path.empty());
        ASSERT_TRUE(
            write_file(tmp / "keys.txt", "sel1._domainkey.example.org " + key.record + "\n"));
        (void)mkdir((tmp / "ns").c_str(), 0755);
    }

    void TearDown() override {
        for (pid_t pid : daemons) {
            if (kill(pid, SIGTERM) == 0 && !wait_gone(pid, 15)) {
                kill(pid, SIGKILL);
                wait_gone(pid, 5);
            }
        }
    }

    std::string conf(const std::string& extra = "") const {
        return "Domain example.org\nSelector sel1\nKeyFile " + key.pem_path + "\nKeyRecordFile " +
               (tmp / "keys.txt") + "\nSyslog yes\n" + extra;
    }

    // Runs velmora as init would (backgrounding unless -f is among the
    // arguments) and waits for the starting process. Returns its exit status
    // (-1 when it did not end), its standard error in *err_text.
    int start(const std::string& conf_text, const std::vector<std::string>& args,
              std::string* err_text) {
        const std::string path = tmp / ("c" + std::to_string(++runs) + ".conf");
        EXPECT_TRUE(write_file(path, conf_text));
        std::vector<std::string> argv{velmora_program(), "-c", path};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string errpath = tmp / ("err" + std::to_string(runs));
        child c;
        std::string err;
        EXPECT_TRUE(
            c.start(argv, velmora_child_options(tmp / "ns", syslog.path(), "", errpath), &err))
            << err;
        int status = -1;
        if (!c.wait(30, &status)) {
            c.stop(SIGKILL);
            return -1;
        }
        *err_text = read_file(errpath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts a daemon that must come up; returns the pid its pid file names.
    pid_t start_daemon(const std::string& conf_text, const std::vector<std::string>& args,
                       const std::string& pidfile) {
        std::string err;
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-P", pidfile});
        EXPECT_EQ(start(conf_text, all, &err), 0) << err;
        const pid_t pid = read_pid(pidfile);
        EXPECT_GT(pid, 0);
        if (pid > 0) {
            daemons.push_back(pid);
        }
        return pid;
    }

    temp_dir tmp;
    temp_dir keys{"/run"};
    syslog_capture syslog;
    test_key key;
    std::vector<pid_t> daemons;
    int runs = 0;
};

// Flow 7, and failures after the fork: the starting process exits with the
// worker's status and its text, never 0.
TEST_F(Startup, FailuresReportStatusAndText) {
    const std::string live = "local:" + (tmp / "first.sock");
    const std::string live_inet = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    const pid_t first = start_daemon(conf(), {"-p", live}, tmp / "first.pid");
    ASSERT_GT(first, 0);
    const pid_t inet = start_daemon(conf(), {"-p", live_inet}, tmp / "inet.pid");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(write_file(keys / "test-open.pem", read_file(key.pem_path), 0644));

    struct failure {
        const char* name;
        std::string conf;
        std::vector<std::string> args;
        int status;
        std::string text;
    };
    const failure cases[] = {
        {"missing selector",
         "Domain example.org\nKeyFile " + key.pem_path + "\n",
         {"-p", "inet:1@127.0.0.1"},
         78,
         "required parameter \"Selector\" missing"},
        {"unsafe key file",
         conf("KeyFile " + (keys / "test-open.pem") + "\n"),
         {"-p", "inet:1@127.0.0.1"},
         78,
         "can be read or written by other users"},
        {"bad algorithm",
         conf("SignatureAlgorithm rsa-md5\n"),
         {"-p", "inet:1@127.0.0.1"},
         78,
         "unknown signature algorithm"},
        {"bad restart rate",
         conf("AutoRestartRate 3/1hx\n"),
         {"-A", "-p", "inet:1@127.0.0.1"},
         78,
         "AutoRestartRate invalid"},
        {"no such user",
         conf(),
         {"-u", "nosuchuser", "-p", "inet:1@127.0.0.1"},
         65,
         "no such user 'nosuchuser'"},
        {"no socket", conf(), {}, 78, "milter socket must be specified"},
        {"usage", conf(), {"-p", "inet:1@127.0.0.1", "extra"}, 64, "usage:"},
        {"empty value", conf(), {"-p", ""}, 64, "usage:"},
        // After the fork: the socket belongs to the running instance.
        {"socket in use",
         conf(),
         {"-p", live, "-P", tmp / "second.pid"},
         69,
         "socket cleanup failed"},
        {"socket in use, auto-restart",
         conf(),
         {"-A", "-p", live, "-P", tmp / "third.pid"},
         69,
         "socket cleanup failed"},
        {"port in use",
         conf(),
         {"-p", live_inet, "-P", tmp / "second.pid"},
         69,
         "smfi_opensocket() failed"},
        {"port in use, auto-restart",
         conf(),
         {"-A", "-p", live_inet, "-P", tmp / "third.pid"},
         69,
         "smfi_opensocket() failed"},
        {"socket directory missing",
         conf(),
         {"-p", "local:" + (tmp / "no/such/dir/s")},
         69,
         "smfi_opensocket() failed"},
        {"pid file of a running instance",
         conf(),
         {"-p", "inet:" + std::to_string(free_port()) + "@127.0.0.1", "-P", tmp / "first.pid"},
         69,
         "in use by running process"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        const double started = now();
        EXPECT_EQ(start(c.conf, c.args, &err), c.status);
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
        // A failing start-up does not spin, and leaves no pid file behind.
        EXPECT_LT(now() - started, 10);
        EXPECT_NE(access((tmp / "second.pid").c_str(), F_OK), 0);
        EXPECT_NE(access((tmp / "third.pid").c_str(), F_OK), 0);
    }
    // The running instance and its pid file survive all of it.
    EXPECT_EQ(read_pid(tmp / "first.pid"), first);
    EXPECT_EQ(kill(first, 0), 0);
    EXPECT_TRUE(milter_listening(live));
    EXPECT_EQ(read_pid(tmp / "inet.pid"), inet);
    EXPECT_TRUE(milter_listening(live_inet));
}

// The starting process returns once the socket accepts and the pid file
// names the worker; -r is a flag; -n checks and exits; SIGTERM ends the
// worker and removes the pid file.
TEST_F(Startup, ReadyMeansListeningWithPidFile) {
    std::string err;
    EXPECT_EQ(start(conf(), {"-r", "-n"}, &err), 0) << err;
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    const pid_t pid = start_daemon(conf(), {"-r", "-p", spec}, tmp / "v.pid");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(milter_listening(spec));
    EXPECT_TRUE(syslog.wait_for("starting (args:", 5));
    struct stat st;
    ASSERT_EQ(stat((tmp / "v.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(wait_gone(pid, 15));
    EXPECT_NE(access((tmp / "v.pid").c_str(), F_OK), 0);
    EXPECT_TRUE(syslog.wait_for("terminating with status 0", 5));
}

// Removing forged Authentication-Results fields needs header changes: the
// filter asks for them whatever protocol version the MTA speaks; an MTA that
// refuses them still has its connections served, with a warning; and -n says
// what validation then cannot do.
TEST_F(Startup, AsksForHeaderChanges) {
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    ASSERT_GT(start_daemon(conf(), {"-p", spec}, tmp / "h.pid"), 0);
    struct row {
        const char* name;
        unsigned version;
        unsigned long offered;
        long wanted;  // SMFIF_ADDHDRS 0x01, SMFIF_CHGHDRS 0x10
    };
    const row rows[] = {
        {"every action", 6, 0x1ff, 0x11},
        {"protocol version 2", 2, 0x1ff, 0x11},
        {"no header changes", 6, 0x01, 0x01},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(milter_negotiate_actions(spec, r.version, r.offered), r.wanted);
    }
    EXPECT_TRUE(syslog.wait_for("MTA does not allow removing header fields", 5));

    const std::string path = tmp / "check.conf";
    ASSERT_TRUE(write_file(path, conf()));
    child_options opt = velmora_child_options(tmp / "ns", syslog.path(), "", tmp / "check.err");
    opt.stdout_path = tmp / "check.out";
    child c;
    std::string err;
    ASSERT_TRUE(c.start({velmora_program(), "-c", path, "-n"}, opt, &err)) << err;
    int status = -1;
    ASSERT_TRUE(c.wait(30, &status));
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << read_file(tmp / "check.err");
    EXPECT_NE(read_file(tmp / "check.out").find("validation cannot remove forged fields"),
              std::string::npos)
        << read_file(tmp / "check.out");
}

// Test mode beside a live filter: the socket named in the configuration is
// left alone.
TEST_F(Startup, TestModeNeverTouchesTheSocket) {
    const std::string sock = tmp / "live.sock";
    const pid_t pid = start_daemon(conf("Socket local:" + sock + "\n"), {}, tmp / "live.pid");
    ASSERT_GT(pid, 0);
    struct stat before;
    ASSERT_EQ(stat(sock.c_str(), &before), 0);
    ASSERT_TRUE(write_file(tmp / "m.eml", "From: a@example.org\nSubject: t\n\nbody\n"));
    std::string err;
    EXPECT_EQ(start(conf("Socket local:" + sock + "\nPidFile " + (tmp / "live.pid") + "\n"),
                    {"-t", tmp / "m.eml"}, &err),
              0)
        << err;
    struct stat after;
    ASSERT_EQ(stat(sock.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_TRUE(milter_listening("unix:" + sock));
    EXPECT_EQ(read_pid(tmp / "live.pid"), pid);
}

// UMask shapes the local socket's mode, so an MTA in the filter's group can
// connect; without it the process's own umask applies.
TEST_F(Startup, UMaskOpensTheSocketToTheGroup) {
    struct mask_case {
        const char* umask;
        mode_t mode;
    };
    const mask_case cases[] = {{"007", 0770}, {"077", 0700}, {"0002", 0775}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.umask);
        const std::string sock = tmp / (std::string{"u"} + c.umask + ".sock");
        const std::string pidfile = tmp / (std::string{"u"} + c.umask + ".pid");
        const pid_t pid = start_daemon(conf(std::string{"UMask "} + c.umask + "\n"),
                                       {"-p", "local:" + sock}, pidfile);
        ASSERT_GT(pid, 0);
        struct stat st;
        ASSERT_EQ(stat(sock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, c.mode);
    }
    std::string err;
    EXPECT_EQ(start(conf("UMask 8\n"), {"-p", "inet:1@127.0.0.1"}, &err), 78);
    EXPECT_NE(err.find("UMask"), std::string::npos) << err;
}

// The auto-restart parent: a killed worker is replaced after a wait, within
// AutoRestartCount; a stop signal during the wait is not lost; SIGUSR1 reaches
// the worker as a reload.
TEST_F(Startup, AutoRestartWaitsCountsAndStops) {
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    const pid_t parent =
        start_daemon(conf("AutoRestartCount 2\n"), {"-A", "-p", spec}, tmp / "a.pid");
    ASSERT_GT(parent, 0);
    auto worker = [&] {
        const auto kids = children_of(parent);
        return kids.empty() ? -1 : kids.front();
    };
    auto wait_worker = [&](pid_t old) {
        const double end = now() + 20;
        pid_t w = -1;
        while (now() < end && ((w = worker()) <= 0 || w == old || !milter_listening(spec))) {
            usleep(50000);
        }
        return w;
    };
    pid_t w = wait_worker(-1);
    ASSERT_GT(w, 0);

    // SIGUSR1 to the parent reaches the worker, which reloads at its next
    // connection.
    ASSERT_EQ(kill(parent, SIGUSR1), 0);
    usleep(200000);
    EXPECT_TRUE(milter_negotiate(spec));
    EXPECT_TRUE(syslog.wait_for("configuration reloaded from", 5));
    // Two restarts are allowed, each after a wait of a second or more.
    for (int i = 0; i < 2; ++i) {
        const double killed = now();
        ASSERT_EQ(kill(w, SIGKILL), 0);
        const pid_t next = wait_worker(w);
        ASSERT_GT(next, 0) << "no new worker";
        EXPECT_GE(now() - killed, 1.0);
        w = next;
    }
    EXPECT_TRUE(syslog.wait_for("terminated with signal 9, restarting", 5));
    EXPECT_EQ(read_pid(tmp / "a.pid"), parent);
    // The third death is one too many: the parent gives up.
    ASSERT_EQ(kill(w, SIGKILL), 0);
    EXPECT_TRUE(wait_gone(parent, 15));
    EXPECT_TRUE(syslog.wait_for("maximum restart count exceeded", 5));
    EXPECT_NE(access((tmp / "a.pid").c_str(), F_OK), 0);
}

TEST_F(Startup, StopDuringRestartWaitIsNotLost) {
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    const pid_t parent = start_daemon(conf(), {"-A", "-p", spec}, tmp / "s.pid");
    ASSERT_GT(parent, 0);
    pid_t w = -1;
    for (int i = 0; i < 200 && (w <= 0 || !milter_listening(spec)); ++i) {
        const auto kids = children_of(parent);
        w = kids.empty() ? -1 : kids.front();
        usleep(25000);
    }
    ASSERT_GT(w, 0);
    // The worker dies, and the stop arrives while the parent waits to
    // restart it.
    ASSERT_EQ(kill(w, SIGKILL), 0);
    usleep(100000);
    ASSERT_EQ(kill(parent, SIGTERM), 0);
    const double stopped = now();
    EXPECT_TRUE(wait_gone(parent, 10));
    EXPECT_LT(now() - stopped, 5);
    EXPECT_NE(access((tmp / "s.pid").c_str(), F_OK), 0);
    EXPECT_FALSE(milter_listening(spec));
}

}  // namespace
