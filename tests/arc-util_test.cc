// SPDX-License-Identifier: BSD-2-Clause
// arc-util_test.cc - growable strings and the small helpers of arc-util.
#include "arc-util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arc.h"
#include "test-support.h"

namespace {

using velmora_test::for_each_allocation_failure;
using velmora_test::live_allocations;

class ArcUtil : public ::testing::Test {
  protected:
    void SetUp() override {
        lib_ = arc_init();
        ASSERT_NE(lib_, nullptr);
        msg_ = arc_message(lib_, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                           ARC_MODE_VERIFY, nullptr);
        ASSERT_NE(msg_, nullptr);
    }
    void TearDown() override {
        arc_free(msg_);
        arc_close(lib_);
    }
    const char* error() { return arc_geterror(msg_); }

    arc_library* lib_ = nullptr;
    arc_msg* msg_ = nullptr;
};

std::string_view text_of(arc_dstring* d) {
    return {arc_dstring_get(d), static_cast<size_t>(arc_dstring_len(d))};
}

struct new_case {
    int size;
    int limit;
    int alloc;  // 0: refused
};
constexpr new_case new_cases[] = {
    {0, 0, 1024}, {1024, 1024, 1024}, {2000, 0, 2000}, {2000, 1500, 0}, {-1, 0, 0}, {10, -5, 1024},
};

TEST_F(ArcUtil, NewStringSizesAndRefusals) {
    for (const auto& c : new_cases) {
        SCOPED_TRACE(std::to_string(c.size) + "/" + std::to_string(c.limit));
        dstring_ptr d{arc_dstring_new(msg_, c.size, c.limit)};
        if (c.alloc == 0) {
            EXPECT_EQ(d, nullptr);
            EXPECT_EQ(error(), nullptr);  // refusals leave no text
            continue;
        }
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->ds_alloc, c.alloc);
        EXPECT_EQ(arc_dstring_len(d.get()), 0);
        EXPECT_STREQ(arc_dstring_get(d.get()), "");
    }
}

TEST_F(ArcUtil, LimitRefusesTheAppendThatReachesIt) {
    dstring_ptr d{arc_dstring_new(msg_, 0, 1024)};
    ASSERT_NE(d, nullptr);
    const std::string fill(1023, 'x');
    EXPECT_TRUE(arc_dstring_cat(d.get(), fill.c_str()));
    EXPECT_FALSE(arc_dstring_cat1(d.get(), 'y'));
    EXPECT_FALSE(arc_dstring_cat(d.get(), "y"));
    EXPECT_EQ(text_of(d.get()), fill);
    EXPECT_EQ(error(), nullptr);
    // A copy replaces the text and is measured alone.
    EXPECT_TRUE(arc_dstring_copy(d.get(), "short"));
    EXPECT_EQ(text_of(d.get()), "short");
}

TEST_F(ArcUtil, GrowthDoublesUntilLargeEnough) {
    dstring_ptr d{arc_dstring_new(msg_, 1024, 0)};
    ASSERT_NE(d, nullptr);
    const std::string big(5000, 'a');
    ASSERT_TRUE(arc_dstring_cat(d.get(), big.c_str()));
    EXPECT_EQ(d->ds_alloc, 8192);
    EXPECT_EQ(text_of(d.get()), big);

    dstring_ptr e{arc_dstring_new(msg_, 1024, 0)};
    const std::string exact(1024, 'b');  // needs 1025 bytes with its NUL
    ASSERT_TRUE(arc_dstring_cat(e.get(), exact.c_str()));
    EXPECT_EQ(e->ds_alloc, 2048);
}

TEST_F(ArcUtil, GrowthStopsAtTheLimitWithAText) {
    // The formatted append has no limit test of its own: growth refuses it.
    dstring_ptr d{arc_dstring_new(msg_, 1024, 1500)};
    ASSERT_NE(d, nullptr);
    const std::string big(5000, 'c');
    EXPECT_EQ(arc_dstring_printf(d.get(), "%s", big.c_str()), static_cast<size_t>(-1));
    EXPECT_STREQ(error(), "maximum string size exceeded");
    EXPECT_EQ(arc_dstring_len(d.get()), 0);
    EXPECT_STREQ(arc_dstring_get(d.get()), "");
}

TEST_F(ArcUtil, FormattedAppendNeverPassesTheLimit) {
    // One doubling (1024 to 2048 bytes) holds every text below, so only the
    // limit itself can refuse them.
    dstring_ptr d{arc_dstring_new(msg_, 1024, 1500)};
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(arc_dstring_printf(d.get(), "%s", std::string(1400, 'a').c_str()), 1400u);
    EXPECT_EQ(arc_dstring_printf(d.get(), "%s", std::string(200, 'b').c_str()),
              static_cast<size_t>(-1));
    EXPECT_STREQ(error(), "maximum string size exceeded");
    EXPECT_EQ(text_of(d.get()), std::string(1400, 'a'));

    dstring_ptr e{arc_dstring_new(msg_, 1024, 1500)};
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(arc_dstring_printf(e.get(), "%s", std::string(1600, 'c').c_str()),
              static_cast<size_t>(-1));
    EXPECT_EQ(arc_dstring_len(e.get()), 0);
    EXPECT_STREQ(arc_dstring_get(e.get()), "");
}

TEST_F(ArcUtil, GrowthStopsAtTheInternalLimit) {
    dstring_ptr d{arc_dstring_new(msg_, 1024, 0)};
    ASSERT_NE(d, nullptr);
    // Pretend a huge buffer so the doubling passes the internal limit at once.
    d->ds_alloc = 1 << 30;
    d->ds_len = (1 << 30) - 1;
    const unsigned char byte = 'z';
    EXPECT_FALSE(arc_dstring_catn(d.get(), &byte, 1));
    EXPECT_STREQ(error(), "internal string limit reached");
    d->ds_alloc = 1024;  // the real size, so that free stays sound
    d->ds_len = 0;
}

TEST_F(ArcUtil, FormattedAppendThatFillsTheFreeSpaceExactly) {
    dstring_ptr d{arc_dstring_new(msg_, 1024, 0)};
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(arc_dstring_cat(d.get(), "head:"));
    const std::string rest(1024 - 5, 'r');  // exactly the free space, no room for the NUL
    EXPECT_EQ(arc_dstring_printf(d.get(), "%s", rest.c_str()), 1024u);
    EXPECT_EQ(text_of(d.get()), "head:" + rest);
    EXPECT_EQ(d->ds_alloc, 2048);
    EXPECT_EQ(arc_dstring_printf(d.get(), "%d-%s", 42, "x"), 1028u);
    EXPECT_EQ(text_of(d.get()).substr(1024), "42-x");
}

TEST_F(ArcUtil, CatnKeepsInnerNuls) {
    dstring_ptr d{arc_dstring_new(msg_, 0, 0)};
    ASSERT_NE(d, nullptr);
    const unsigned char bytes[] = {'a', 0, 'b', 0};
    ASSERT_TRUE(arc_dstring_catn(d.get(), bytes, sizeof bytes));
    EXPECT_EQ(arc_dstring_len(d.get()), 4);
    EXPECT_EQ(std::memcmp(arc_dstring_get(d.get()), bytes, sizeof bytes), 0);
    arc_dstring_blank(d.get());
    EXPECT_EQ(arc_dstring_len(d.get()), 0);
    EXPECT_STREQ(arc_dstring_get(d.get()), "");
}

TEST_F(ArcUtil, NewStringAllocationFailuresLeakNothing) {
    arc_error(msg_, "%s", "the message's error buffer exists before counting starts");
    const long start = live_allocations();
    int failures = 0;
    const long points = for_each_allocation_failure([&] {
        arc_dstring* d = arc_dstring_new(msg_, 4096, 0);
        if (d == nullptr) {
            ++failures;
            EXPECT_NE(std::string_view{error()}.find("unable to allocate"), std::string_view::npos);
            return;
        }
        arc_dstring_free(d);
    });
    EXPECT_EQ(points, 2);  // the record, then the buffer
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(live_allocations(), start);
}

TEST_F(ArcUtil, GrowthAllocationFailureKeepsTheOldText) {
    dstring_ptr d{arc_dstring_new(msg_, 0, 0)};
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(arc_dstring_cat(d.get(), "kept"));
    const std::string big(3000, 'g');
    velmora_test::fail_allocation_in(1);
    EXPECT_FALSE(arc_dstring_cat(d.get(), big.c_str()));
    velmora_test::fail_allocation_in(0);
    EXPECT_STREQ(error(), "unable to allocate 4096 byte(s)");
    EXPECT_EQ(text_of(d.get()), "kept");
}

struct collapse_case {
    const char* in;
    const char* out;
};
constexpr collapse_case collapse_cases[] = {
    {"a b\t\r\nc", "abc"}, {"", ""}, {" \t ", ""}, {"abc", "abc"}, {"x\vy\fz", "xyz"}};

TEST(ArcUtilText, CollapseRemovesEveryWhitespaceByte) {
    for (const auto& c : collapse_cases) {
        SCOPED_TRACE(c.in);
        std::string s = c.in;
        arc_collapse(s.data());
        EXPECT_STREQ(s.c_str(), c.out);
    }
}

TEST(ArcUtilText, LowerhdrStopsAtTheColon) {
    std::string s = "Subject: Hello";
    arc_lowerhdr(s.data());
    EXPECT_EQ(s, "subject: Hello");
    std::string t = "X-\xC3\x89T";  // bytes above 0x7F stay
    arc_lowerhdr(t.data());
    EXPECT_EQ(t, "x-\xC3\x89t");
}

TEST(ArcUtilText, StrndupStopsAtNulAndZeroFills) {
    std::unique_ptr<char, free_with<arc_crypto_free>> p{arc_strndup("ab\0cd", 5)};
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p.get(), "ab\0\0\0\0", 6), 0);
    std::unique_ptr<char, free_with<arc_crypto_free>> q{arc_strndup("abcdef", 3)};
    EXPECT_STREQ(q.get(), "abc");
    std::unique_ptr<char, free_with<arc_crypto_free>> r{arc_strdup("copy")};
    EXPECT_STREQ(r.get(), "copy");
}

struct hdrlist_case {
    const char* start;
    std::initializer_list<const char*> names;
    bool first;
    size_t size;
    bool ok;
    const char* out;
};

TEST(ArcUtilText, HdrlistBuildsAlternatives) {
    const hdrlist_case cases[] = {
        {"^(", {"From", "X-*", "a.b"}, true, 1025, true, "^(From|X-.*|a\\.b"},
        {"^(", {"From"}, false, 1025, true, "^(|From"},
        {"^(", {}, true, 1025, true, "^("},
        {"", {"a\\*b", "c\\"}, true, 1025, true, "a*b|c"},
        {"", {"abc"}, true, 4, true, "abc"},  // uses all but the last byte
        {"", {"abcd"}, true, 4, false, nullptr},
        {"", {"ab."}, true, 4, false, nullptr},       // second byte of "\." does not fit
        {"ab", {"x", "y"}, true, 5, false, nullptr},  // "|" fits, "y" does not
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " size " + std::to_string(c.size));
        std::string buf(c.size, '\0');
        std::memcpy(buf.data(), c.start, std::strlen(c.start));
        std::vector<const char*> names(c.names);
        names.push_back(nullptr);
        EXPECT_EQ(arc_hdrlist(buf.data(), c.size, names.data(), c.first), c.ok);
        if (c.ok) {
            EXPECT_STREQ(buf.c_str(), c.out);
        }
        EXPECT_EQ(buf[c.size - 1], '\0');
    }
}

TEST(ArcUtilText, CopyAndClobberArrays) {
    const char* list[] = {"From", "To", nullptr};
    char** copy = arc_copy_array(list);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy[0], "From");
    EXPECT_STREQ(copy[1], "To");
    EXPECT_EQ(copy[2], nullptr);
    EXPECT_NE(copy[0], list[0]);
    arc_clobber_array(copy);

    const char* empty[] = {nullptr};
    char** none = arc_copy_array(empty);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], nullptr);
    arc_clobber_array(none);
}

TEST(ArcUtilText, CopyArrayAllocationFailuresLeakNothing) {
    const char* list[] = {"From", "To", "Subject", nullptr};
    const long start = live_allocations();
    const long points = for_each_allocation_failure([&] {
        char** copy = arc_copy_array(list);
        if (copy != nullptr) {
            arc_clobber_array(copy);
        }
    });
    EXPECT_EQ(points, 4);
    EXPECT_EQ(live_allocations(), start);
}

TEST_F(ArcUtil, TmpfileKeptOrRemoved) {
    char dir[] = "/tmp/arc-util-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_TMPDIR, dir, 0), ARC_STAT_OK);

    int fd = -1;
    ASSERT_EQ(arc_tmpfile(msg_, lib_->arc_tmpdir, &fd, true), ARC_STAT_OK);
    ASSERT_GE(fd, 0);
    char link[64];
    char path[1100] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ASSERT_GT(readlink(link, path, sizeof path - 1), 0);
    EXPECT_EQ(std::string_view(path).substr(0, std::strlen(dir) + 5), std::string(dir) + "/arc.");
    struct stat st;
    EXPECT_EQ(stat(path, &st), 0);  // kept on disk
    close(fd);
    unlink(path);

    ASSERT_EQ(arc_tmpfile(msg_, lib_->arc_tmpdir, &fd, false), ARC_STAT_OK);
    EXPECT_EQ(write(fd, "x", 1), 1);  // still usable
    close(fd);
    rmdir(dir);  // empty again: the unkept file was removed at once
    EXPECT_NE(stat(dir, &st), 0);

    ASSERT_EQ(arc_tmpfile(msg_, lib_->arc_tmpdir, &fd, false), ARC_STAT_NORESOURCE);
    const std::string text = error();
    const std::string prefix = std::string("can't create temporary file at ") + dir + "/arc.";
    const std::string suffix = ": No such file or directory";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.size(), prefix.size() + 6 + suffix.size());
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);

    // A directory too long for the path buffer is refused, not cut.
    const std::string longdir = "/" + std::string(1015, 'd');
    ASSERT_EQ(
        arc_options(lib_, ARC_OP_SETOPT, ARC_OPTS_TMPDIR, const_cast<char*>(longdir.c_str()), 0),
        ARC_STAT_OK);
    EXPECT_EQ(arc_tmpfile(msg_, lib_->arc_tmpdir, &fd, false), ARC_STAT_NORESOURCE);
    const std::string toolong = error();
    EXPECT_EQ(toolong.substr(toolong.size() - 20), ": File name too long");
}

}  // namespace
