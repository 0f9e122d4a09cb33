// SPDX-License-Identifier: BSD-2-Clause
// velmora-actions_test.cc - the milter action layer in test mode and the test
// operations behind it: the lines printed at each verbosity, the private
// pointer, macro values, and the assertions on null arguments.
#include "velmora-actions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "velmora-config.h"
#include "velmora-test.h"

namespace {

class Actions : public ::testing::Test {
  protected:
    void SetUp() override {
        testmode = true;
        ctx_ = arcf_test_context_new();
        ASSERT_NE(ctx_, nullptr);
    }
    void TearDown() override {
        arcf_test_context_free(ctx_);
        testmode = false;
        test_verbosity = 0;
    }
    SMFICTX* ctx_ = nullptr;
};

// One call of the layer (or a test operation without a wrapper) and the line
// it prints at verbosity 2 and above.
struct print_case {
    const char* name;
    std::function<int(SMFICTX*)> call;
    const char* line;
};

const std::vector<print_case>& print_cases() {
    static const std::vector<print_case> cases = {
        {"insheader", [](SMFICTX* c) { return arcf_insheader(c, 0, "ARC-Seal", "i=1; cv=none"); },
         "### INSHEADER: idx=0 hname='ARC-Seal' hvalue='i=1; cv=none'\n"},
        {"insheader idx 1", [](SMFICTX* c) { return arcf_insheader(c, 1, "ARC-Seal", "v"); },
         "### INSHEADER: idx=1 hname='ARC-Seal' hvalue='v'\n"},
        {"chgheader", [](SMFICTX* c) { return arcf_chgheader(c, "Subject", 2, "new"); },
         "### CHGHEADER: hname='Subject' idx=2 hvalue='new'\n"},
        {"chgheader removal", [](SMFICTX* c) { return arcf_chgheader(c, "X-Old", 1, nullptr); },
         "### CHGHEADER: hname='X-Old' idx=1 hvalue='(null)'\n"},
        {"addheader", [](SMFICTX* c) { return arcf_addheader(c, "ARC-Filter", "velmora"); },
         "### ADDHEADER: hname='ARC-Filter' hvalue='velmora'\n"},
        {"quarantine", [](SMFICTX* c) { return arcf_quarantine(c, "suspect"); },
         "### QUARANTINE: reason='suspect'\n"},
        {"quarantine null", [](SMFICTX* c) { return arcf_quarantine(c, nullptr); },
         "### QUARANTINE: reason='(null)'\n"},
        {"setreply", [](SMFICTX* c) { return arcf_setreply(c, "451", "4.7.1", "try later"); },
         "### SETREPLY: rcode='451' xcode='4.7.1' replytxt='try later'\n"},
        {"setreply nulls", [](SMFICTX* c) { return arcf_setreply(c, "550", nullptr, nullptr); },
         "### SETREPLY: rcode='550' xcode='(null)' replytxt='(null)'\n"},
        {"addrcpt", [](SMFICTX* c) { return arcf_addrcpt(c, "<a@example.com>"); },
         "### ADDRCPT: '<a@example.com>'\n"},
        {"delrcpt", [](SMFICTX* c) { return arcf_delrcpt(c, "<b@example.com>"); },
         "### DELRCPT: '<b@example.com>'\n"},
        {"progress", [](SMFICTX* c) { return arcf_test_progress(c); }, "### PROGRESS\n"},
    };
    return cases;
}

TEST_F(Actions, TestModePrintsEachChangeFromVerbosityTwo) {
    for (const int verbosity : {0, 1, 2, 3}) {
        test_verbosity = verbosity;
        for (const auto& c : print_cases()) {
            SCOPED_TRACE(std::string(c.name) + " at verbosity " + std::to_string(verbosity));
            testing::internal::CaptureStdout();
            const int status = c.call(ctx_);
            fflush(stdout);
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(status, MI_SUCCESS);
            EXPECT_EQ(out, verbosity >= 2 ? c.line : "");
        }
    }
}

TEST_F(Actions, PrivatePointerIsKeptByTheTestContext) {
    EXPECT_EQ(arcf_getpriv(ctx_), nullptr);
    int connection = 0;
    EXPECT_EQ(arcf_setpriv(ctx_, &connection), MI_SUCCESS);
    EXPECT_EQ(arcf_getpriv(ctx_), &connection);
    EXPECT_EQ(arcf_test_getpriv(ctx_), &connection);
    // Another context has its own pointer.
    SMFICTX* other = arcf_test_context_new();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(arcf_getpriv(other), nullptr);
    arcf_test_context_free(other);
    EXPECT_EQ(arcf_setpriv(ctx_, nullptr), MI_SUCCESS);
    EXPECT_EQ(arcf_getpriv(ctx_), nullptr);
}

TEST_F(Actions, MacroValuesAreSeparateCopiesOwnedByTheContext) {
    test_verbosity = 2;
    testing::internal::CaptureStdout();
    char* first = arcf_getsymval(ctx_, "i");
    char* second = arcf_getsymval(ctx_, "i");
    char* braced = arcf_test_getsymval(ctx_, "{auth_authen}");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first, "DEBUG-i");
    EXPECT_STREQ(second, "DEBUG-i");
    EXPECT_NE(first, second);
    EXPECT_STREQ(braced, "DEBUG-{auth_authen}");
    // Changing one copy leaves the other alone; the context frees all three
    // in TearDown (the leak checker of the sanitizer build sees any it misses).
    first[0] = 'X';
    EXPECT_STREQ(second, "DEBUG-i");
    // A name as long as the formatting buffer is cut, not overrun.
    const std::string long_name(70000, 'm');
    const char* cut = arcf_getsymval(ctx_, long_name.c_str());
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(std::string(cut), "DEBUG-" + long_name.substr(0, 65535 - 6));
}

struct death_case {
    const char* name;
    std::function<void(SMFICTX*)> call;
    const char* assertion;
};

TEST_F(Actions, NullArgumentsAreCallerErrors) {
    const std::vector<death_case> cases = {
        {"getpriv", [](SMFICTX*) { arcf_getpriv(nullptr); }, "ctx != NULL"},
        {"setpriv", [](SMFICTX*) { arcf_setpriv(nullptr, nullptr); }, "ctx != NULL"},
        {"insheader ctx", [](SMFICTX*) { arcf_insheader(nullptr, 0, "a", "b"); }, "ctx != NULL"},
        {"insheader name", [](SMFICTX* c) { arcf_insheader(c, 0, nullptr, "b"); }, "hname != NULL"},
        {"insheader value", [](SMFICTX* c) { arcf_insheader(c, 0, "a", nullptr); },
         "hvalue != NULL"},
        {"chgheader ctx", [](SMFICTX*) { arcf_chgheader(nullptr, "a", 0, "b"); }, "ctx != NULL"},
        {"chgheader name", [](SMFICTX* c) { arcf_chgheader(c, nullptr, 0, "b"); }, "hname != NULL"},
        {"quarantine", [](SMFICTX*) { arcf_quarantine(nullptr, "r"); }, "ctx != NULL"},
        {"addheader ctx", [](SMFICTX*) { arcf_addheader(nullptr, "a", "b"); }, "ctx != NULL"},
        {"addheader name", [](SMFICTX* c) { arcf_addheader(c, nullptr, "b"); }, "hname != NULL"},
        {"addheader value", [](SMFICTX* c) { arcf_addheader(c, "a", nullptr); }, "hvalue != NULL"},
        {"addrcpt ctx", [](SMFICTX*) { arcf_addrcpt(nullptr, "a"); }, "ctx != NULL"},
        {"addrcpt addr", [](SMFICTX* c) { arcf_addrcpt(c, nullptr); }, "addr != NULL"},
        {"delrcpt ctx", [](SMFICTX*) { arcf_delrcpt(nullptr, "a"); }, "ctx != NULL"},
        {"delrcpt addr", [](SMFICTX* c) { arcf_delrcpt(c, nullptr); }, "addr != NULL"},
        {"setreply", [](SMFICTX*) { arcf_setreply(nullptr, "550", "5.7.1", "no"); }, "ctx != NULL"},
        {"getsymval ctx", [](SMFICTX*) { arcf_getsymval(nullptr, "i"); }, "ctx != NULL"},
        {"getsymval sym", [](SMFICTX* c) { arcf_getsymval(c, nullptr); }, "sym != NULL"},
        {"test progress", [](SMFICTX*) { arcf_test_progress(nullptr); }, "ctx != NULL"},
        {"test addrcpt", [](SMFICTX* c) { arcf_test_addrcpt(c, nullptr); }, "addr != NULL"},
        {"test delrcpt", [](SMFICTX* c) { arcf_test_delrcpt(c, nullptr); }, "addr != NULL"},
        {"test getsymval", [](SMFICTX* c) { arcf_test_getsymval(c, nullptr); }, "sym != NULL"},
    };
    // The assertions come first, in daemon mode as in test mode.
    for (const bool test : {true, false}) {
        testmode = test;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (test ? " in test mode" : " in daemon mode"));
            EXPECT_DEATH(c.call(ctx_), c.assertion);
        }
    }
}

}  // namespace
