// SPDX-License-Identifier: BSD-2-Clause
// process_test.cc - the velmora program against a hostile or careless host:
// FIFOs where files belong, a reload signal in the middle of the start-up, a
// reload that stalls while mail flows, and a restarted worker after the
// configuration file broke, the last two behind the private Postfix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
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

std::string message(const std::string& id) {
    return "From: Process <process@example.org>\nTo: Sink <sink@example.net>\nSubject: " + id +
           "\nDate: Fri, 11 Dec 2026 12:00:00 +0000\nMessage-ID: <" + id +
           "@example.org>\n\nMessage " + id + ".\n";
}

// The delivered message whose Message-ID starts with `id`, or "".
std::string delivered(const postfix_instance& mta, const std::string& id) {
    for (const auto& m : mta.delivered()) {
        const auto ids = field_values(m, "Message-ID");
        if (!ids.empty() && ids.front().rfind("<" + id + "@", 0) == 0) {
            return m;
        }
    }
    return "";
}

// The authserv-id of the newest ARC-Authentication-Results ("i=1; ID; ...").
std::string aar_authserv(const std::string& m) {
    const auto aar = field_values(m, "ARC-Authentication-Results");
    if (aar.empty()) {
        return "";
    }
    const std::string& v = aar.front();
    const size_t semi = v.find(';');
    if (semi == std::string::npos) {
        return "";
    }
    const size_t start = v.find_first_not_of(" \t", semi + 1);
    const size_t end = v.find_first_of("; \t", start);
    return v.substr(start, end - start);
}

class Process : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = skip_reason();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        become_subreaper();
        // A write to a FIFO whose reader died fails with EPIPE rather than
        // end the test; children start with no signal blocked.
        sigset_t pipe_sig;
        sigemptyset(&pipe_sig);
        sigaddset(&pipe_sig, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_sig, nullptr);
        std::string err;
        ASSERT_TRUE(syslog.start(tmp / "log", &err)) << err;
        key = make_key(keys.path(), "test-sel1", 2048);
        ASSERT_FALSE(key.pem_path.empty());
        records = tmp / "keys.txt";
        ASSERT_TRUE(write_file(records, "sel1._domainkey.example.org " + key.record + "\n" +
                                            "sel2._domainkey.example.org " + key.record + "\n"));
        (void)mkdir((tmp / "ns").c_str(), 0755);
    }

    std::string conf(const std::string& selector, const std::string& authserv) const {
        return "Domain example.org\nSelector " + selector + "\nKeyFile " + key.pem_path +
               "\nAuthservID " + authserv + "\nKeyRecordFile " + records + "\nSyslog yes\nMode s\n";
    }

    // Starts velmora with `args` and waits for its socket.
    bool start_filter(child& c, const std::vector<std::string>& args, const std::string& spec) {
        std::vector<std::string> argv{velmora_program()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string err;
        if (!c.start(argv, velmora_child_options(tmp / "ns", syslog.path(), "", tmp / "err"),
                     &err)) {
            ADD_FAILURE() << err;
            return false;
        }
        for (int i = 0; i < 400 && !milter_listening(spec); ++i) {
            usleep(25000);
        }
        return milter_listening(spec);
    }

    // Sends one message through the MTA; its reply code.
    static int send(const postfix_instance& mta, const std::string& id) {
        smtp_session s;
        std::string err;
        if (!s.open(mta.smtp_port(), &err)) {
            return -1;
        }
        return s.send("process@example.org", "sink@example.net", message(id));
    }

    temp_dir tmp;
    temp_dir keys{"/run"};
    syslog_capture syslog;
    test_key key;
    std::string records;
};

// A FIFO (which would wait for a writer forever) at each file the loader
// reads is refused at once, with the path, by the configuration check.
TEST_F(Process, FifoWhereAFileBelongsIsRefused) {
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string base = "Domain example.org\nSelector sel1\nMode s\n";
    struct fifo_case {
        const char* setting;
        std::string conf;
    };
    const fifo_case cases[] = {
        {"KeyFile", base + "KeyFile " + fifo + "\n"},
        {"KeyRecordFile", conf("sel1", "mx") + "KeyRecordFile " + fifo + "\n"},
        {"SigningTable", conf("sel1", "mx") + "SigningTable " + fifo + "\n"},
        {"PeerList", conf("sel1", "mx") + "PeerList " + fifo + "\n"},
        {"InternalHosts", conf("sel1", "mx") + "InternalHosts " + fifo + "\n"},
        {"SealHeaderChecks", conf("sel1", "mx") + "SealHeaderChecks " + fifo + "\n"},
        {"ResolverConfiguration", "Domain example.org\nSelector sel1\nKeyFile " + key.pem_path +
                                      "\nMode s\nResolverConfiguration " + fifo + "\n"},
        {"TrustAnchorFile", "Domain example.org\nSelector sel1\nKeyFile " + key.pem_path +
                                "\nMode s\nTrustAnchorFile " + fifo + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        const std::string path = tmp / (std::string{c.setting} + ".conf");
        ASSERT_TRUE(write_file(path, c.conf));
        std::string out;
        // A hang ends in a kill, and -1.
        const int status = run({velmora_program(), "-n", "-c", path}, &out, 20);
        ASSERT_TRUE(WIFEXITED(status)) << status << " " << out;
        EXPECT_EQ(WEXITSTATUS(status), 78) << out;
        EXPECT_NE(out.find(fifo + ": "), std::string::npos) << out;
        EXPECT_NE(out.find("Not a regular file"), std::string::npos) << out;
    }
}

// SIGUSR1 while the start-up still reads its configuration asks for a
// reload; it never ends the process.
TEST_F(Process, ReloadSignalDuringStartUpIsSafe) {
    const std::string fifo = tmp / "startup.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    child c;
    std::string err;
    ASSERT_TRUE(c.start({velmora_program(), "-n", "-c", fifo}, child_options{}, &err)) << err;
    // The open for writing returns once velmora has the file open: it then
    // waits in its first read.
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    usleep(100000);
    EXPECT_EQ(kill(c.pid(), SIGUSR1), 0);
    usleep(100000);
    const std::string text = conf("sel1", "mx");
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    int status = -1;
    ASSERT_TRUE(c.wait(20, &status));
    EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A reload stalls on its configuration file (a FIFO nobody writes to yet):
// mail goes on, sealed with the settings in force; once the file arrives,
// the new settings take over.
TEST_F(Process, StalledReloadNeverStopsTheMail) {
    const std::string path = tmp / "velmora.conf";
    ASSERT_TRUE(write_file(path, conf("sel1", "first.test")));
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    child filter;
    ASSERT_TRUE(start_filter(filter, {"-f", "-c", path, "-p", spec}, spec))
        << read_file(tmp / "err");
    postfix_instance mta;
    mta_options opt;
    opt.milter = spec;
    opt.milter_timeout = 10;
    std::string err;
    ASSERT_TRUE(mta.start(opt, &err)) << err;
    ASSERT_EQ(send(mta, "before"), 250);

    // The configuration file becomes a FIFO; the next connection starts the
    // reload and waits in it.
    const std::string fifo = tmp / "velmora.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(rename(fifo.c_str(), path.c_str()), 0);
    ASSERT_EQ(kill(filter.pid(), SIGUSR1), 0);
    usleep(200000);
    // A milter connection of its own runs the reload and is left waiting in it.
    std::jthread trigger{[&spec] { (void)milter_negotiate(spec); }};
    int writer = -1;
    for (int i = 0; i < 200 && writer < 0; ++i) {
        writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer < 0) {
            usleep(25000);
        }
    }
    ASSERT_GE(writer, 0) << "the reload never opened the file";

    // The reload waits in its read; mail through new connections is served.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(mta, "during-" + std::to_string(i)), 250);
    }
    EXPECT_FALSE(syslog.contains("configuration reloaded from"));

    const std::string text = conf("sel2", "second.test");
    EXPECT_EQ(write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(writer);
    trigger.join();
    EXPECT_TRUE(syslog.wait_for("configuration reloaded from", 10));
    EXPECT_EQ(send(mta, "after"), 250);
    ASSERT_TRUE(mta.wait_delivered(5, 60)) << mta.log();
    for (const char* id : {"during-0", "during-1", "during-2"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(tag_value(field_values(delivered(mta, id), "ARC-Seal").front(), "s"), "sel1");
    }
    EXPECT_EQ(tag_value(field_values(delivered(mta, "after"), "ARC-Seal").front(), "s"), "sel2");
    mta.stop();
    EXPECT_EQ(filter.stop(SIGTERM, 15), 0);
}

// Under -A: a good reload, then the file breaks, then the worker dies. The
// new worker seals with the reloaded settings, and the restart says which
// configuration it runs with.
TEST_F(Process, RestartedWorkerServesTheLastGoodConfiguration) {
    const std::string path = tmp / "velmora.conf";
    ASSERT_TRUE(write_file(path, conf("sel1", "first.test")));
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    child parent;
    ASSERT_TRUE(start_filter(parent, {"-A", "-f", "-c", path, "-p", spec}, spec))
        << read_file(tmp / "err");
    postfix_instance mta;
    mta_options opt;
    opt.milter = spec;
    std::string err;
    ASSERT_TRUE(mta.start(opt, &err)) << err;
    auto worker = [&] {
        const std::string kids = read_file("/proc/" + std::to_string(parent.pid()) + "/task/" +
                                           std::to_string(parent.pid()) + "/children");
        return static_cast<pid_t>(std::atol(kids.c_str()));
    };

    ASSERT_TRUE(replace_file(path, conf("sel2", "second.test")));
    ASSERT_EQ(kill(parent.pid(), SIGUSR1), 0);
    usleep(300000);
    ASSERT_EQ(send(mta, "reloaded"), 250);
    ASSERT_TRUE(syslog.wait_for("configuration reloaded from", 10));
    // The operator's typo.
    ASSERT_TRUE(replace_file(path, "Domain example.org\nSelector\n"));
    usleep(300000);

    const pid_t w = worker();
    ASSERT_GT(w, 0);
    ASSERT_EQ(kill(w, SIGKILL), 0);
    EXPECT_TRUE(syslog.wait_for("restarted worker", 20));
    const double end = now() + 20;
    while (now() < end && (worker() <= 0 || worker() == w || !milter_listening(spec))) {
        usleep(50000);
    }
    ASSERT_NE(worker(), w);
    ASSERT_EQ(send(mta, "restarted"), 250);
    ASSERT_TRUE(mta.wait_delivered(2, 60)) << mta.log();
    for (const char* id : {"reloaded", "restarted"}) {
        SCOPED_TRACE(id);
        const std::string m = delivered(mta, id);
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(tag_value(field_values(m, "ARC-Seal").front(), "s"), "sel2");
        EXPECT_EQ(aar_authserv(m), "second.test");
    }
    EXPECT_TRUE(syslog.contains("with the configuration reloaded from " + path));
    mta.stop();
    EXPECT_EQ(parent.stop(SIGTERM, 20), 0);
}

}  // namespace
