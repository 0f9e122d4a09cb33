// SPDX-License-Identifier: BSD-2-Clause
// harness_test.cc - the private Postfix and Sendmail instances themselves,
// before any velmora: each relays byte for byte with no milter and through
// the null milter, and refuses mail temporarily while its milter is down;
// a field the milter inserts at index 1 sits just below the MTA's Received
// field; Postfix runs local submissions through non_smtpd_milters.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "e2e-support.h"

namespace {

using namespace velmora_e2e;

const std::string sample =
    "From: Alice <alice@example.org>\n"
    "To: Bob <bob@example.net>\n"
    "Subject: harness\n"
    "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
    "Message-ID: <harness-1@example.org>\n"
    "\n"
    "one line\n"
    "\n"
    ".a line that starts with a dot\n";

class Harness : public ::testing::TestWithParam<mta_kind> {
  protected:
    void SetUp() override {
        const std::string why = mta_skip_reason(GetParam());
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        become_subreaper();
    }

    // Starts the null milter on a loopback port; returns its socket.
    std::string start_null_milter(bool insert) {
        const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
        std::vector<std::string> argv{VELMORA_NULL_MILTER, "-p", spec};
        if (insert) {
            argv.push_back("-i");
        }
        std::string err;
        EXPECT_TRUE(milter.start(argv, {}, &err)) << err;
        return spec;
    }

    void TearDown() override {
        mta->stop();
        // Nothing to finish: a kill spares libmilter's five-second stop poll.
        milter.stop(SIGKILL);
    }

    child milter;
    std::unique_ptr<mta_instance> owned = make_mta(GetParam());
    mta_instance* mta = owned.get();
};

// What the MTA delivers: its own Received field, then the message as sent,
// with `inserted` just below that field.
void expect_relayed(const std::string& delivered, const std::string& sent,
                    const std::string& inserted = "") {
    ASSERT_EQ(field_names(delivered).front(), "Received");
    size_t end = delivered.find('\n');
    while (end != std::string::npos && end + 1 < delivered.size() &&
           (delivered[end + 1] == '\t' || delivered[end + 1] == ' ')) {
        end = delivered.find('\n', end + 1);
    }
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(delivered.substr(end + 1), inserted + sent);
}

TEST_P(Harness, RelaysByteForByteWithoutMilter) {
    std::string err;
    ASSERT_TRUE(mta->start({}, &err)) << err;
    smtp_session s;
    ASSERT_TRUE(s.open(mta->smtp_port(), &err)) << err;
    EXPECT_EQ(s.send("alice@example.org", "bob@example.net", sample), 250) << s.last_reply();
    s.close();
    ASSERT_TRUE(mta->wait_delivered(1, 30)) << mta->log();
    const auto got = mta->delivered();
    ASSERT_EQ(got.size(), 1u);
    expect_relayed(got[0], sample);
}

TEST_P(Harness, NullMilterPassesEveryMessageUnchanged) {
    mta_options opt;
    opt.milter = start_null_milter(false);
    std::string err;
    ASSERT_TRUE(mta->start(opt, &err)) << err;
    constexpr int sessions = 2;
    constexpr int per_session = 5;
    for (int i = 0; i < sessions; ++i) {
        smtp_session s;
        ASSERT_TRUE(s.open(mta->smtp_port(), &err)) << err;
        for (int j = 0; j < per_session; ++j) {
            EXPECT_EQ(s.send("alice@example.org", "bob@example.net", sample), 250)
                << s.last_reply();
        }
    }
    ASSERT_TRUE(mta->wait_delivered(sessions * per_session, 30)) << mta->log();
    const auto got = mta->delivered();
    ASSERT_EQ(got.size(), static_cast<size_t>(sessions * per_session));
    for (const auto& m : got) {
        expect_relayed(m, sample);
    }
    EXPECT_EQ(mta->log().find("milter"), std::string::npos) << mta->log();
}

// Index 1 is just below the MTA's own Received field, over SMTP and (Postfix)
// for local submission.
TEST_P(Harness, InsertedFieldSitsBelowTheReceivedField) {
    mta_options opt;
    opt.milter = start_null_milter(true);
    std::string err;
    ASSERT_TRUE(mta->start(opt, &err)) << err;
    size_t sent = 0;
    if (GetParam() == mta_kind::postfix) {
        std::string out;
        ASSERT_EQ(static_cast<postfix_instance&>(*mta).sendmail("alice@example.org",
                                                                "bob@example.net", sample, &out),
                  0)
            << out;
        ++sent;
    }
    smtp_session s;
    ASSERT_TRUE(s.open(mta->smtp_port(), &err)) << err;
    EXPECT_EQ(s.send("alice@example.org", "bob@example.net", sample), 250) << s.last_reply();
    ++sent;
    s.close();
    ASSERT_TRUE(mta->wait_delivered(sent, 30)) << mta->log();
    const auto got = mta->delivered();
    ASSERT_EQ(got.size(), sent);
    for (const auto& m : got) {
        expect_relayed(m, sample, "X-Null-Milter: passed\n");
    }
}

TEST_P(Harness, MilterDownDefersAndLosesNothing) {
    mta_options opt;
    const int port = free_port();
    opt.milter = "inet:" + std::to_string(port) + "@127.0.0.1";
    std::string err;
    ASSERT_TRUE(mta->start(opt, &err)) << err;
    smtp_session s;
    ASSERT_TRUE(s.open(mta->smtp_port(), &err)) << err;
    const int rc = s.send("alice@example.org", "bob@example.net", sample);
    EXPECT_GE(rc, 400) << s.last_reply();
    EXPECT_LT(rc, 500) << s.last_reply();
    s.close();
    EXPECT_TRUE(mta->queue_empty());
    EXPECT_TRUE(mta->delivered().empty());

    // The milter comes up: the same message is now accepted and delivered once.
    std::vector<std::string> argv{VELMORA_NULL_MILTER, "-p", opt.milter};
    ASSERT_TRUE(milter.start(argv, {}, &err)) << err;
    int code = -1;
    for (int attempt = 0; attempt < 50 && code != 250; ++attempt) {
        usleep(100000);
        smtp_session again;
        ASSERT_TRUE(again.open(mta->smtp_port(), &err)) << err;
        code = again.send("alice@example.org", "bob@example.net", sample);
    }
    EXPECT_EQ(code, 250);
    ASSERT_TRUE(mta->wait_delivered(1, 30)) << mta->log();
    EXPECT_EQ(mta->delivered().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Mta, Harness, ::testing::Values(mta_kind::postfix, mta_kind::sendmail),
                         [](const auto& p) { return std::string{mta_name(p.param)}; });

}  // namespace
