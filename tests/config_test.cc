// SPDX-License-Identifier: BSD-2-Clause
// config_test.cc - the configuration file reader, on real files and nested
// includes in temporary directories, with a definition table of its own.
#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

// ---- Allocation failures ----
// config_test is linked with --wrap for malloc, calloc, realloc and free, so
// the reader's allocations can be made to fail one at a time and counted.
extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
void __real_free(void* p);
void* __wrap_malloc(size_t n);
void* __wrap_calloc(size_t n, size_t size);
void* __wrap_realloc(void* p, size_t n);
void __wrap_free(void* p);
}

namespace {
long alloc_calls = 0;
long fail_at = 0;  // call number to fail, 0 = none
long live_blocks = 0;

bool fail_now() {
    return ++alloc_calls == fail_at;
}
}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) {
    if (fail_now()) {
        return nullptr;
    }
    void* p = __real_malloc(n);
    live_blocks += p != nullptr;
    return p;
}
void* __wrap_calloc(size_t n, size_t size) {
    if (fail_now()) {
        return nullptr;
    }
    void* p = __real_calloc(n, size);
    live_blocks += p != nullptr;
    return p;
}
void* __wrap_realloc(void* old, size_t n) {
    if (fail_now()) {
        return nullptr;
    }
    void* p = __real_realloc(old, n);
    live_blocks += p != nullptr && old == nullptr;
    return p;
}
void __wrap_free(void* p) {
    live_blocks -= p != nullptr;
    __real_free(p);
}
}

namespace {

constexpr config_def test_defs[] = {
    {"Socket", CONFIG_TYPE_STRING, 0},
    {"Syslog", CONFIG_TYPE_BOOLEAN, 0},
    {"Selector", CONFIG_TYPE_STRING, 1},
    {"Domain", CONFIG_TYPE_STRING, 1},
    {"Count", CONFIG_TYPE_INTEGER, 0},
    {"Include", CONFIG_TYPE_INCLUDE, 0},
    {"OldKey", CONFIG_TYPE_DEPRECATED, 0},
    {"Older", CONFIG_TYPE_DEPRECATED, 0},
    {"socket", CONFIG_TYPE_INTEGER, 0},  // shadowed: the first matching row wins
    {nullptr, -1, 0},
};

// Owns a list from config_load().
struct list_ptr {
    config_setting* p = nullptr;
    ~list_ptr() { config_free(p); }
    config_setting* get() const { return p; }
};

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/velmora-conf-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        free(deprecated_);
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            remove(it->c_str());
        }
        rmdir(dir_.c_str());
    }
    // Writes `text` to dir_/name (directories made as needed); returns the path.
    std::string write(const std::string& name, std::string_view text) {
        std::string path = dir_;
        size_t start = 0;
        for (size_t slash; (slash = name.find('/', start)) != std::string::npos;
             start = slash + 1) {
            path = dir_ + "/" + name.substr(0, slash);
            if (mkdir(path.c_str(), 0700) == 0) {
                made_.push_back(path);
            }
        }
        path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        made_.push_back(path);
        return path;
    }
    // Loads `path`; the list is kept in list_, the error place in line_/where_.
    config_setting* load(const std::string& path) {
        config_free(list_.p);
        line_ = 12345;
        std::strcpy(where_, "untouched");
        list_.p = config_load(path.c_str(), test_defs, &line_, where_, sizeof where_, &deprecated_);
        return list_.p;
    }
    // The value of `name` as config_dump() prints it, without the newline;
    // "<none>" when not set.
    std::string value(const char* name) {
        char* text = nullptr;
        size_t len = 0;
        FILE* f = open_memstream(&text, &len);
        const unsigned int n = config_dump(list_.get(), f, name);
        fclose(f);
        std::string out(text, len);
        __real_free(text);  // open_memstream allocated it inside the C library
        if (n == 0) {
            return "<none>";
        }
        return out.substr(0, out.find('\n'));
    }

    std::string dir_;
    std::vector<std::string> made_;
    list_ptr list_;
    unsigned int line_ = 0;
    char where_[1025];
    char* deprecated_ = nullptr;
};

// One line per case: a value the reader keeps, or the error it reports.
struct line_case {
    const char* text;
    const char* key;    // null: the load must fail
    const char* value;  // the value as printed, or the error text
};
constexpr line_case line_cases[] = {
    {"Socket local:/var/run/f.sock   # the filter socket", "Socket", "local:/var/run/f.sock"},
    {"  syslog   Yes", "Syslog", "True"},
    {"Syslog Off", nullptr, "illegal value"},
    {"Syslog no", "Syslog", "False"},
    {"Syslog true", "Syslog", "True"},
    {"Syslog 0", "Syslog", "False"},
    {"Syslog 1", "Syslog", "True"},
    {"Syslog nonsense", "Syslog", "False"},
    {"Syslog yikes", "Syslog", "True"},
    {"Syslog maybe", nullptr, "illegal value"},
    {"Count 0x10", "Count", "16"},
    {"Count 0X1f", "Count", "31"},
    {"Count 010", "Count", "8"},
    {"Count -3", "Count", "-3"},
    {"Count +7", "Count", "7"},
    // Kept whole, never cut to 32 bits; beyond 64 bits it is refused.
    {"Count 4294967297", "Count", "4294967297"},
    {"Count 99999999999999999999", nullptr, "illegal value"},
    {"Count 10k", nullptr, "illegal value"},
    {"Count 1 2", nullptr, "illegal value"},
    {"Selector", nullptr, "required value missing"},
    {"Selector  \t ", nullptr, "required value missing"},
    {"Selector #comment", nullptr, "required value missing"},
    {"Bogus value", nullptr, "unrecognized parameter"},
    {"Bogus", nullptr, "required value missing"},
    {"Bogus   ", nullptr, "unrecognized parameter"},
    {"\tSocket\t a b\tc  \t\r trailing", "Socket", "a b\tc"},
    {"Socket x#y", "Socket", "x"},
    {"SOCKET upper", "socket", "upper"},
    {"OldKey whatever", "OldKey", "<none>"},
};

TEST_F(ConfigFile, ReadsLinesByType) {
    for (const auto& c : line_cases) {
        SCOPED_TRACE(c.text);
        const std::string path = write("one.conf", std::string("\n# first\n") + c.text + "\n");
        config_setting* list = load(path);
        if (c.key == nullptr) {
            EXPECT_EQ(list, nullptr);
            EXPECT_STREQ(config_error(), c.value);
            EXPECT_EQ(line_, 3u);  // blank and comment lines count
            EXPECT_EQ(where_, path);
            continue;
        }
        ASSERT_NE(list, nullptr) << config_error();
        EXPECT_STREQ(config_error(), "no error");
        EXPECT_EQ(value(c.key), c.value);
        EXPECT_EQ(line_, 12345u);  // written only on failure
        EXPECT_STREQ(where_, "untouched");
    }
}

TEST_F(ConfigFile, LaterSettingWinsAndIncludesSpliceInPlace) {
    write("sub/inc.conf", "Socket included\nCount 2\n");
    const std::string top =
        write("top.conf", "Socket first\nCount 1\nInclude " + dir_ + "/sub/inc.conf\nSocket last");
    config_setting* list = load(top);
    ASSERT_NE(list, nullptr) << config_error();
    std::vector<std::string> order;
    for (const config_setting* s = list; s != nullptr; s = s->next) {
        order.push_back(
            std::string(s->name) + "=" +
            (s->type == CONFIG_TYPE_STRING ? s->str_value : std::to_string(s->int_value)));
    }
    const std::vector<std::string> want = {"Socket=last", "Count=2", "Socket=included", "Count=1",
                                           "Socket=first"};
    EXPECT_EQ(order, want);

    const char* str = nullptr;
    EXPECT_EQ(config_get(list, "socket", &str, sizeof str), 1);
    EXPECT_STREQ(str, "last");
    int n = 0;
    EXPECT_EQ(config_get(list, "COUNT", &n, sizeof n), 1);
    EXPECT_EQ(n, 2);
    // The name is the table's own text, not a copy.
    EXPECT_EQ(list->name, test_defs[0].name);
}

TEST_F(ConfigFile, CommentsOnlyGiveThePlaceholder) {
    config_setting* list = load(write("c.conf", "# nothing\n\n   \t\n#Socket x\n"));
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->name, "");
    EXPECT_EQ(list->type, CONFIG_TYPE_STRING);
    EXPECT_EQ(list->str_value, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_STREQ(config_check(list, test_defs), "Selector");
    EXPECT_STREQ(config_error(), "required value missing");
    const char* str = "untouched";
    EXPECT_EQ(config_get(list, "", &str, sizeof str), 0);
    EXPECT_STREQ(str, "untouched");
    EXPECT_EQ(config_dump(list, stdout, ""), 0u);

    ASSERT_NE(load(write("e.conf", "")), nullptr);
    EXPECT_STREQ(list_.get()->name, "");
}

TEST_F(ConfigFile, CheckFindsRequiredRowsByIdentity) {
    ASSERT_NE(load(write("r.conf", "Selector s1\nDomain example.com\n")), nullptr);
    EXPECT_EQ(config_check(list_.get(), test_defs), nullptr);
    EXPECT_STREQ(config_error(), "no error");

    // Only settings made from that very row count, not rows of the same text,
    // even when the two rows' names share one address (as a compiler merging
    // equal string literals makes them).
    static constexpr char same_text[] = "Selector";
    constexpr config_def other[] = {{same_text, CONFIG_TYPE_STRING, 1}, {nullptr, -1, 0}};
    EXPECT_STREQ(config_check(list_.get(), other), "Selector");
    const config_def shared[] = {{test_defs[2].name, CONFIG_TYPE_STRING, 1}, {nullptr, -1, 0}};
    ASSERT_EQ(shared[0].name, test_defs[2].name);
    EXPECT_STREQ(config_check(list_.get(), shared), "Selector");

    ASSERT_NE(load(write("r2.conf", "Domain example.com\n")), nullptr);
    EXPECT_STREQ(config_check(list_.get(), test_defs), "Selector");
}

TEST_F(ConfigFile, LongLinesAndLastLineWithoutNewline) {
    const std::string long_value(5000, 'v');
    ASSERT_NE(load(write("l.conf", "Socket " + long_value + "\nSelector end")), nullptr);
    EXPECT_EQ(value("Socket"), long_value);
    EXPECT_EQ(value("Selector"), "end");
}

TEST_F(ConfigFile, GetChecksTypeAndSize) {
    ASSERT_NE(load(write("g.conf", "Count 7\nSyslog yes\nSocket s\n")), nullptr);
    char small = 'u';
    EXPECT_EQ(config_get(list_.get(), "Count", &small, 1), -1);
    EXPECT_EQ(small, 'u');
    EXPECT_STREQ(config_error(), "illegal value");
    bool b = false;
    EXPECT_EQ(config_get(list_.get(), "Syslog", &b, sizeof b), 1);
    EXPECT_TRUE(b);
    int wide = 99;
    EXPECT_EQ(config_get(list_.get(), "Syslog", &wide, sizeof wide), -1);
    EXPECT_EQ(wide, 99);
    EXPECT_EQ(config_get(list_.get(), "Socket", &wide, sizeof wide), -1);
    EXPECT_EQ(config_get(list_.get(), "Domain", &wide, sizeof wide), 0);
    EXPECT_STREQ(config_error(), "no error");
    EXPECT_EQ(wide, 99);
}

TEST_F(ConfigFile, ValidnameAndDump) {
    EXPECT_TRUE(config_validname(test_defs, "socket"));
    EXPECT_TRUE(config_validname(test_defs, "Include"));
    EXPECT_FALSE(config_validname(test_defs, "OldKey"));
    EXPECT_FALSE(config_validname(test_defs, "Nope"));

    ASSERT_NE(load(write("d.conf", "Count 5\nSyslog n\n")), nullptr);
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    EXPECT_EQ(config_dump(list_.get(), f, nullptr), 2u);
    fclose(f);
    char want[256];
    std::snprintf(want, sizeof want, "%p: \"Syslog\" False\n%p: \"Count\" 5\n",
                  static_cast<void*>(list_.get()), static_cast<void*>(list_.get()->next));
    EXPECT_EQ(std::string(text, len), want);
    __real_free(text);
}

TEST_F(ConfigFile, DeprecatedKeysAreCollectedEvenOnFailure) {
    ASSERT_NE(load(write("dep.conf", "OldKey a\nSocket s\nOlder b\nOldKey c\n")), nullptr);
    ASSERT_NE(deprecated_, nullptr);
    EXPECT_STREQ(deprecated_, "OldKey,Older,OldKey");
    EXPECT_EQ(value("OldKey"), "<none>");
    free(deprecated_);
    deprecated_ = nullptr;

    EXPECT_EQ(load(write("dep2.conf", "Older a\nBogus z\n")), nullptr);
    EXPECT_STREQ(deprecated_, "Older");

    // Without the out-parameter the lines are just skipped.
    const std::string path = write("dep3.conf", "Older a\n");
    list_ptr quiet{config_load(path.c_str(), test_defs, nullptr, nullptr, 0, nullptr)};
    EXPECT_NE(quiet.get(), nullptr);
}

TEST_F(ConfigFile, ErrorsInIncludedFilesNameTheInnerFile) {
    const std::string inner = write("a/b/inner.conf", "Socket x\n\nCount bad\n");
    const std::string top = write("top.conf", "Selector s\nInclude " + inner + "\n");
    EXPECT_EQ(load(top), nullptr);
    EXPECT_STREQ(config_error(), "illegal value");
    EXPECT_EQ(line_, 3u);
    EXPECT_EQ(where_, inner);

    const std::string missing = dir_ + "/nowhere.conf";
    EXPECT_EQ(load(write("top2.conf", "\nInclude " + missing + "\n")), nullptr);
    EXPECT_STREQ(config_error(), "error reading configuration file");
    EXPECT_EQ(line_, 0u);
    EXPECT_EQ(where_, missing);

    EXPECT_EQ(load(missing), nullptr);
    EXPECT_STREQ(config_error(), "error reading configuration file");
    EXPECT_EQ(line_, 0u);
    EXPECT_EQ(where_, missing);

    // A directory opens but cannot be read.
    EXPECT_EQ(load(write("top3.conf", "Include " + dir_ + "/a\n")), nullptr);
    EXPECT_STREQ(config_error(), "error reading configuration file");
}

TEST_F(ConfigFile, FiveNestedLevelsLoadASixthIsTooDeep) {
    // top (depth 0) includes d1 ... each dK includes dK+1, one directory down.
    auto chain = [&](int files) {
        std::string next;
        for (int k = files - 1; k >= 1; --k) {
            std::string name;
            for (int j = 1; j <= k; ++j) {
                name += "d" + std::to_string(j) + "/";
            }
            name += "level.conf";
            const std::string body = "Count " + std::to_string(k) + "\n" +
                                     (next.empty() ? "" : "# deeper\nInclude " + next + "\n");
            next = write(name, body);
        }
        return write("top.conf", "Selector s\nInclude " + next + "\n");
    };
    ASSERT_NE(load(chain(6)), nullptr) << config_error();
    int n = 0;
    EXPECT_EQ(config_get(list_.get(), "Count", &n, sizeof n), 1);
    EXPECT_EQ(n, 5);  // the deepest file's Include line came last in reading order

    EXPECT_EQ(load(chain(7)), nullptr);
    EXPECT_STREQ(config_error(), "nesting too deep");
    EXPECT_EQ(line_, 3u);  // the Include line of the deepest file opened
    EXPECT_EQ(where_, dir_ + "/d1/d2/d3/d4/d5/level.conf");
}

TEST_F(ConfigFile, FileIncludingItselfIsTooDeep) {
    const std::string self = dir_ + "/self.conf";
    write("self.conf", "Socket s\n\nInclude " + self + "\n");
    EXPECT_EQ(load(self), nullptr);
    EXPECT_STREQ(config_error(), "nesting too deep");
    EXPECT_EQ(line_, 3u);
    EXPECT_EQ(where_, self);
}

TEST_F(ConfigFile, AllocationFailureIsReportedAndLeaksNothing) {
    const std::string inner = write("inc.conf", "Socket " + std::string(3000, 'i') + "\n");
    const std::string top = write("top.conf", "Selector s1\nOldKey x\nInclude " + inner + "\n" +
                                                  std::string(2500, ' ') + "Count 3\nOlder y\n");
    int failures = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        free(deprecated_);
        deprecated_ = nullptr;
        const long live_before = live_blocks;
        const long calls_before = alloc_calls;
        fail_at = alloc_calls + n;
        config_setting* list =
            config_load(top.c_str(), test_defs, &line_, where_, sizeof where_, &deprecated_);
        const bool hit = alloc_calls >= fail_at;
        fail_at = 0;
        if (!hit) {
            ASSERT_NE(list, nullptr);
            config_free(list);
            break;
        }
        ++failures;
        EXPECT_EQ(list, nullptr);
        EXPECT_STREQ(config_error(), "memory allocation failure");
        EXPECT_TRUE(where_ == top || where_ == inner) << where_;
        free(deprecated_);
        deprecated_ = nullptr;
        EXPECT_EQ(live_blocks, live_before) << "after " << alloc_calls - calls_before << " calls";
    }
    EXPECT_GT(failures, 6);
}

TEST(ConfigDeathTest, CallerErrorsAbort) {
    EXPECT_DEATH(config_get(nullptr, "x", nullptr, 1), "head != NULL");
    EXPECT_DEATH(config_check(nullptr, test_defs), "head != NULL");
    EXPECT_DEATH(config_validname(nullptr, "x"), "def != NULL");
    EXPECT_DEATH(config_load("/dev/null", nullptr, nullptr, nullptr, 0, nullptr), "def != NULL");
}

}  // namespace
