// SPDX-License-Identifier: BSD-2-Clause
// load_test.cc - velmora under load behind a private Postfix and a private
// Sendmail: configuration reloads while mail flows, and a worker killed
// mid-load under the auto-restart parent. Either way every message the MTA
// accepted is delivered exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
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
    return "From: Load <load@example.org>\n"
           "To: Sink <sink@example.net>\n"
           "Subject: load " +
           id +
           "\n"
           "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
           "Message-ID: <" +
           id +
           "@example.org>\n"
           "\n"
           "Message " +
           id + " of the load test.\n";
}

// Sessions sending numbered messages until stopped; each session reconnects
// every few messages, so that new milter connections keep coming.
class load {
  public:
    load(int port, int sessions, const std::string& prefix) : port_(port), prefix_(prefix) {
        for (int i = 0; i < sessions; ++i) {
            threads_.emplace_back([this, i] { run(i); });
        }
    }
    ~load() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
    size_t sent() const { return next_; }
    // Ids the MTA accepted, and the codes of those it did not.
    std::set<std::string> accepted() const {
        std::lock_guard<std::mutex> guard{lock_};
        return accepted_;
    }
    std::map<std::string, int> refused() const {
        std::lock_guard<std::mutex> guard{lock_};
        return refused_;
    }

  private:
    void run(int session) {
        while (!stop_) {
            smtp_session s;
            std::string err;
            if (!s.open(port_, &err)) {
                usleep(100000);
                continue;
            }
            for (int i = 0; i < 4 && !stop_; ++i) {
                const std::string id =
                    prefix_ + "-" + std::to_string(session) + "-" + std::to_string(next_++);
                const int code = s.send("load@example.org", "sink@example.net", message(id));
                {
                    std::lock_guard<std::mutex> guard{lock_};
                    if (code == 250) {
                        accepted_.insert(id);
                        continue;
                    }
                    refused_[id] = code;
                }
                // As a client does after a temporary failure: later, anew.
                usleep(200000);
                break;
            }
        }
    }

    int port_;
    std::string prefix_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> next_{0};
    mutable std::mutex lock_;
    std::set<std::string> accepted_;
    std::map<std::string, int> refused_;
    std::vector<std::thread> threads_;
};

// How often each message id was delivered.
std::map<std::string, int> delivered_ids(const mta_instance& mta,
                                         std::map<std::string, std::string>* by_id = nullptr) {
    std::map<std::string, int> count;
    for (const auto& m : mta.delivered()) {
        const auto ids = field_values(m, "Message-ID");
        if (ids.empty()) {
            continue;
        }
        std::string id = ids.front();
        id = id.substr(1, id.find('@') - 1);
        ++count[id];
        if (by_id != nullptr) {
            (*by_id)[id] = m;
        }
    }
    return count;
}

class Load : public ::testing::TestWithParam<mta_kind> {
  protected:
    void SetUp() override {
        const std::string why = mta_skip_reason(GetParam());
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        become_subreaper();
        std::string err;
        ASSERT_TRUE(syslog.start(tmp / "log", &err)) << err;
        k1 = make_key(keys.path(), "test-sel1", 2048);
        k2 = make_key(keys.path(), "test-sel2", 2048);
        ASSERT_FALSE(k1.pem_path.empty());
        ASSERT_FALSE(k2.pem_path.empty());
        keyfile = tmp / "keys.txt";
        ASSERT_TRUE(write_file(keyfile, "sel1._domainkey.example.org " + k1.record + "\n" +
                                            "sel2._domainkey.example.org " + k2.record + "\n"));
        (void)mkdir((tmp / "ns").c_str(), 0755);
    }

    std::string conf(const std::string& selector, const test_key& k) const {
        return "Domain example.org\nSelector " + selector + "\nKeyFile " + k.pem_path +
               "\nAuthservID mx.velmora.test\nKeyRecordFile " + keyfile + "\nSyslog yes\nMode s\n";
    }

    temp_dir tmp;
    temp_dir keys{"/run"};
    syslog_capture syslog;
    test_key k1;
    test_key k2;
    std::string keyfile;
};

// Flow 5: reloads alternate two configurations ten times a second while 16
// sessions send; then a broken configuration is refused and the last good
// one stays in force.
TEST_P(Load, ReloadUnderLoadLosesNothing) {
    const std::string path = tmp / "velmora.conf";
    ASSERT_TRUE(write_file(path, conf("sel1", k1)));
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    child filter;
    std::string err;
    ASSERT_TRUE(filter.start({velmora_program(), "-f", "-c", path, "-p", spec},
                             velmora_child_options(tmp / "ns", syslog.path(), "", tmp / "err"),
                             &err))
        << err;
    for (int i = 0; i < 200 && !milter_listening(spec); ++i) {
        usleep(25000);
    }
    ASSERT_TRUE(milter_listening(spec)) << read_file(tmp / "err");
    const auto owned = make_mta(GetParam());
    mta_instance& mta = *owned;
    mta_options opt;
    opt.milter = spec;
    ASSERT_TRUE(mta.start(opt, &err)) << err;

    {
        load traffic{mta.smtp_port(), 16, "reload"};
        constexpr const char* reloaded = "configuration reloaded from";
        size_t reloads = 0;
        for (int i = 0; i < 30; ++i) {
            ASSERT_TRUE(replace_file(path, i % 2 == 0 ? conf("sel2", k2) : conf("sel1", k1)));
            reloads = syslog.count(reloaded);
            ASSERT_EQ(kill(filter.pid(), SIGUSR1), 0);
            usleep(100000);
        }
        // The last good one names sel1. A reload takes effect at the next
        // milter connection, which may come later than 100 ms on a busy
        // machine (more often behind Sendmail, which forks for each
        // session): it is in force once a reload has read it.
        for (int i = 0; i < 200 && syslog.count(reloaded) <= reloads; ++i) {
            usleep(50000);
        }
        ASSERT_GT(syslog.count(reloaded), reloads);
        // Then a broken file (no Selector).
        ASSERT_TRUE(replace_file(
            path, "Domain example.org\nKeyFile " + k1.pem_path + "\nSyslog yes\nMode s\n"));
        ASSERT_EQ(kill(filter.pid(), SIGUSR1), 0);
        usleep(1500000);
        traffic.stop();
        EXPECT_TRUE(traffic.refused().empty()) << traffic.refused().size() << " refused";
        EXPECT_GT(traffic.accepted().size(), 50u);
        ASSERT_TRUE(mta.wait_delivered(traffic.accepted().size(), 60)) << mta.log();
        std::map<std::string, std::string> by_id;
        const auto count = delivered_ids(mta, &by_id);
        size_t seen = 0;
        std::set<std::string> selectors;
        for (const auto& id : traffic.accepted()) {
            const auto it = count.find(id);
            ASSERT_NE(it, count.end()) << id << " lost";
            EXPECT_EQ(it->second, 1) << id;
            const std::string& m = by_id[id];
            const std::string as = field_values(m, "ARC-Seal").front();
            const std::string ams = field_values(m, "ARC-Message-Signature").front();
            EXPECT_EQ(tag_value(as, "s"), tag_value(ams, "s")) << m;
            selectors.insert(tag_value(as, "s"));
            int instance = 0;
            EXPECT_EQ(validate_chain(m, keyfile, &instance), "pass") << m;
            ++seen;
        }
        EXPECT_EQ(seen, traffic.accepted().size());
        EXPECT_EQ(selectors, (std::set<std::string>{"sel1", "sel2"}));
    }
    // How each logs a message its milter refused.
    EXPECT_EQ(mta.log().find(GetParam() == mta_kind::postfix ? "milter-reject" : "reject="),
              std::string::npos)
        << mta.log();
    EXPECT_TRUE(syslog.wait_for("required parameter \"Selector\" missing", 5));

    // After the refused file, new sessions still seal with sel1.
    const size_t before = mta.sent_count();
    {
        smtp_session s;
        ASSERT_TRUE(s.open(mta.smtp_port(), &err)) << err;
        EXPECT_EQ(s.send("load@example.org", "sink@example.net", message("after-broken")), 250);
    }
    ASSERT_TRUE(mta.wait_delivered(before + 1, 30));
    std::map<std::string, std::string> by_id;
    (void)delivered_ids(mta, &by_id);
    ASSERT_EQ(by_id.count("after-broken"), 1u);
    EXPECT_EQ(tag_value(field_values(by_id["after-broken"], "ARC-Seal").front(), "s"), "sel1");
    mta.stop();
    EXPECT_EQ(filter.stop(SIGTERM, 15), 0);
}

// Flow 6: with -A, the worker is killed mid-load. The parent logs it and
// starts another; messages in flight get 4xx and, sent again, arrive; all
// arrive exactly once. SIGTERM to the parent with sessions open ends all.
TEST_P(Load, WorkerCrashLosesNothing) {
    const std::string path = tmp / "velmora.conf";
    ASSERT_TRUE(write_file(path, conf("sel1", k1)));
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    child parent;
    std::string err;
    ASSERT_TRUE(parent.start({velmora_program(), "-A", "-f", "-c", path, "-p", spec},
                             velmora_child_options(tmp / "ns", syslog.path(), "", tmp / "err"),
                             &err))
        << err;
    for (int i = 0; i < 200 && !milter_listening(spec); ++i) {
        usleep(25000);
    }
    ASSERT_TRUE(milter_listening(spec)) << read_file(tmp / "err");
    const auto owned = make_mta(GetParam());
    mta_instance& mta = *owned;
    mta_options opt;
    opt.milter = spec;
    opt.milter_timeout = 10;
    ASSERT_TRUE(mta.start(opt, &err)) << err;
    auto worker = [&] {
        const std::string kids = read_file("/proc/" + std::to_string(parent.pid()) + "/task/" +
                                           std::to_string(parent.pid()) + "/children");
        return static_cast<pid_t>(std::atol(kids.c_str()));
    };

    std::set<std::string> accepted;
    std::map<std::string, int> refused;
    {
        load traffic{mta.smtp_port(), 8, "crash"};
        usleep(1500000);
        const pid_t w = worker();
        ASSERT_GT(w, 0);
        ASSERT_EQ(kill(w, SIGKILL), 0);
        EXPECT_TRUE(syslog.wait_for("terminated with signal 9, restarting", 10));
        // Load goes on into the new worker.
        const double end = now() + 15;
        while (now() < end && (worker() <= 0 || worker() == w || !milter_listening(spec))) {
            usleep(50000);
        }
        EXPECT_NE(worker(), w);
        usleep(1500000);
        traffic.stop();
        accepted = traffic.accepted();
        refused = traffic.refused();
    }
    EXPECT_GT(accepted.size(), 20u);
    for (const auto& [id, code] : refused) {
        EXPECT_TRUE(code < 0 || (code >= 400 && code < 500)) << id << " got " << code;
    }
    // Those refused are sent again, as a client would.
    {
        smtp_session s;
        ASSERT_TRUE(s.open(mta.smtp_port(), &err)) << err;
        for (const auto& r : refused) {
            EXPECT_EQ(s.send("load@example.org", "sink@example.net", message(r.first)), 250)
                << s.last_reply();
            accepted.insert(r.first);
        }
    }
    ASSERT_TRUE(mta.wait_delivered(accepted.size(), 60)) << mta.log();
    const auto count = delivered_ids(mta);
    for (const auto& id : accepted) {
        const auto it = count.find(id);
        ASSERT_NE(it, count.end()) << id << " lost";
        EXPECT_EQ(it->second, 1) << id;
    }
    EXPECT_EQ(count.size(), accepted.size());

    // Sessions open (milter connections holding the configuration), then a
    // stop: the parent and its worker end cleanly.
    std::vector<std::unique_ptr<smtp_session>> open_sessions;
    for (int i = 0; i < 4; ++i) {
        open_sessions.push_back(std::make_unique<smtp_session>());
        ASSERT_TRUE(open_sessions.back()->open(mta.smtp_port(), &err)) << err;
    }
    usleep(300000);
    const pid_t last = worker();
    ASSERT_EQ(kill(parent.pid(), SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(parent.wait(70, &status));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(kill(last, 0), 0);
    EXPECT_TRUE(syslog.wait_for("terminating with status 0", 5));
    const std::string errors = read_file(tmp / "err");
    EXPECT_EQ(errors.find("Assertion"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("ERROR"), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Mta, Load, ::testing::Values(mta_kind::postfix, mta_kind::sendmail),
                         [](const auto& p) { return std::string{mta_name(p.param)}; });

}  // namespace
