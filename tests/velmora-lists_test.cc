// SPDX-License-Identifier: BSD-2-Clause
// velmora-lists_test.cc - list files and the matching of host names and
// addresses against peer and internal-host lists.
#include "velmora-lists.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// Owns a list built in a test.
struct list_owner {
    arcf_list* head = nullptr;
    list_owner() = default;
    list_owner(std::initializer_list<const char*> entries) {
        const char* err = nullptr;
        for (const char* e : entries) {
            EXPECT_TRUE(arcf_addlist(&head, e, &err));
        }
    }
    ~list_owner() { arcf_list_destroy(&head); }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const arcf_list* e = head; e != nullptr; e = e->list_next) {
            out.emplace_back(e->list_str);
        }
        return out;
    }
};

struct host_case {
    std::initializer_list<const char*> list;
    const char* host;
    bool admitted;
};
const host_case host_cases[] = {
    {{"!.b.c", "a.b.c"}, "a.b.c", true},  // the exact form is tested first
    {{"!.b.c", "a.b.c"}, "x.b.c", false},
    {{"!.b.c", "a.b.c"}, "b.c", false},
    {{".b.c"}, "a.b.c", true},
    {{".b.c"}, "x.y.b.c", true},
    {{".b.c"}, "b.c", false},  // a domain entry never matches the bare domain
    {{"b.c"}, "b.c", true},
    {{"b.c"}, "a.b.c", false},
    {{"A.B.C"}, "a.b.c", false},  // byte for byte
    {{".c", "!.b.c"}, "a.b.c", false},
    {{".c", "!.b.c"}, "a.x.c", true},
    {{"!a.b.c", ".b.c"}, "a.b.c", false},
    {{"!a.b.c", ".b.c"}, "z.b.c", true},
    {{}, "a.b.c", false},
    {{""}, "a", false},
    {{""}, "", false},
    {{"a."}, "a.", true},
    {{"."}, "a.", true},
};

TEST(VelmoraLists, HostNames) {
    for (const auto& c : host_cases) {
        std::string trace = c.host;
        for (const char* e : c.list) {
            trace += std::string(" [") + e + "]";
        }
        SCOPED_TRACE(trace);
        list_owner list(c.list);
        EXPECT_EQ(arcf_checkhost(list.head, c.host), c.admitted);
    }
    EXPECT_FALSE(arcf_checkhost(nullptr, "a.b.c"));
}

// Builds a socket address from text (IPv4 or IPv6).
sockaddr_storage address(const char* text) {
    sockaddr_storage ss{};
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, text, &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &sin6->sin6_addr), 1) << text;
        sin6->sin6_family = AF_INET6;
    }
    return ss;
}

struct ip_case {
    std::initializer_list<const char*> list;
    const char* ip;
    bool admitted;
};
const ip_case ip_cases[] = {
    {{"192.0.2.7"}, "192.0.2.7", true},
    {{"[192.0.2.7]"}, "192.0.2.7", true},
    {{"192.0.2.7/32"}, "192.0.2.7", true},
    {{"192.0.2.6/31"}, "192.0.2.7", true},
    {{"[192.0.2.0]/24"}, "192.0.2.200", true},
    {{"192.0.2.7/24"}, "192.0.2.7", false},  // not a network address
    {{"010.0.0.0/8"}, "10.0.0.1", false},
    {{"10.0.0.0/08"}, "10.0.0.1", false},
    {{"10.0.0.0/8"}, "10.1.2.3", true},
    {{"10.0.0.0/8"}, "11.0.0.1", false},
    {{"10.0.0.0/8", "!10.1.0.0/16"}, "10.1.2.3", false},  // /16 is tried before /8
    {{"10.0.0.0/8", "!10.1.0.0/16"}, "10.2.0.1", true},
    {{"!192.0.2.7", "192.0.2.0/24"}, "192.0.2.7", false},
    {{"!192.0.2.7", "192.0.2.0/24"}, "192.0.2.8", true},
    {{"192.0.2.7", "!192.0.2.0/24"}, "192.0.2.7", true},  // the more specific form wins
    {{"192.0.2.7", "!192.0.2.0/24"}, "192.0.2.8", false},
    {{"!192.0.2.7", "192.0.2.7"}, "192.0.2.7", false},
    {{"0.0.0.0/0"}, "198.51.100.9", true},
    {{"[0.0.0.0]/0"}, "255.255.255.255", true},
    {{"0.0.0.0/0"}, "::1", false},
    {{"::/0"}, "2001:db8::1", true},
    {{"::/0"}, "192.0.2.1", false},
    {{"::1"}, "::1", true},
    {{"[::1]"}, "::1", true},
    {{"::1/128"}, "::1", true},
    {{"::/127"}, "::1", true},
    {{"2001:db8::/32"}, "2001:db8:1::5", true},
    {{"2001:DB8::/32"}, "2001:db8:1::5", false},
    {{"2001:db8::/33"}, "2001:db8:8000::1", false},
    {{"2001:db8::/33"}, "2001:db8::1", true},
    {{"[2001:db8::]/32", "!2001:db8:ab::/48"}, "2001:db8:ab::1", false},
    {{"[2001:db8::]/32", "!2001:db8:ab::/48"}, "2001:db8:ac::1", true},
    {{"2001:db8:0:0:0:0:0:1"}, "2001:db8::1", false},  // only the compressed form
    {{"2001:db8::1"}, "2001:0DB8::1", true},
    // An IPv4-mapped address is matched in its IPv6 form only.
    {{"192.0.2.7"}, "::ffff:192.0.2.7", false},
    {{"192.0.2.0/24"}, "::ffff:192.0.2.7", false},
    {{"::ffff:192.0.2.7"}, "::ffff:192.0.2.7", true},
    {{"::ffff:192.0.2.0/120"}, "::ffff:192.0.2.9", true},
    // The default internal hosts.
    {{"127.0.0.1", "::1"}, "127.0.0.1", true},
    {{"127.0.0.1", "::1"}, "::1", true},
    {{"127.0.0.1", "::1"}, "127.0.0.2", false},
    {{}, "127.0.0.1", false},
    {{"", ""}, "127.0.0.1", false},
};

TEST(VelmoraLists, Addresses) {
    for (const auto& c : ip_cases) {
        std::string trace = c.ip;
        for (const char* e : c.list) {
            trace += std::string(" [") + e + "]";
        }
        SCOPED_TRACE(trace);
        list_owner list(c.list);
        const sockaddr_storage ss = address(c.ip);
        EXPECT_EQ(arcf_checkip(list.head, reinterpret_cast<const sockaddr*>(&ss)), c.admitted);
    }
}

TEST(VelmoraLists, OtherFamiliesAndNullListAnswerNo) {
    list_owner all{"0.0.0.0/0", "::/0", "/tmp/x.sock", ""};
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strcpy(sun.sun_path, "/tmp/x.sock");
    EXPECT_FALSE(arcf_checkip(all.head, reinterpret_cast<const sockaddr*>(&sun)));
    const sockaddr_storage ss = address("192.0.2.1");
    EXPECT_TRUE(arcf_checkip(all.head, reinterpret_cast<const sockaddr*>(&ss)));
    EXPECT_FALSE(arcf_checkip(nullptr, reinterpret_cast<const sockaddr*>(&ss)));
}

TEST(VelmoraListsDeathTest, NullArgumentsAbort) {
    list_owner list{"a"};
    EXPECT_DEATH(arcf_checkhost(list.head, nullptr), "host != NULL");
    EXPECT_DEATH(arcf_checkip(list.head, nullptr), "ip != NULL");
}

class ListFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/velmora-list-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
    }
    void TearDown() override { unlink(path_.c_str()); }
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string path_;
};

TEST_F(ListFile, LinesBecomeEntriesNewestFirst) {
    write("first\n\n  spaced \r\n!.b.c\nlast-without-newline");
    list_owner list;
    const char* err = nullptr;
    ASSERT_TRUE(arcf_list_load(&list.head, path_.c_str(), &err));
    const std::vector<std::string> want = {"last-without-newline", "!.b.c", "  spaced \r", "",
                                           "first"};
    EXPECT_EQ(list.entries(), want);

    // A second load adds in front; duplicates stay.
    write("first\n");
    ASSERT_TRUE(arcf_list_load(&list.head, path_.c_str(), &err));
    EXPECT_EQ(list.entries().size(), 6u);
    EXPECT_EQ(list.entries().front(), "first");
}

TEST_F(ListFile, LongLinesAreCutEvery1023Bytes) {
    const std::string a(1023, 'a');
    const std::string b(1023, 'b');
    write(a + b + "ccc\nshort\n");
    list_owner list;
    const char* err = nullptr;
    ASSERT_TRUE(arcf_list_load(&list.head, path_.c_str(), &err));
    const std::vector<std::string> want = {"short", "ccc", b, a};
    EXPECT_EQ(list.entries(), want);
}

TEST_F(ListFile, MissingFileGivesTheSystemText) {
    list_owner list{"kept"};
    const char* err = nullptr;
    EXPECT_FALSE(arcf_list_load(&list.head, (path_ + ".missing").c_str(), &err));
    EXPECT_STREQ(err, std::strerror(ENOENT));
    EXPECT_EQ(list.entries(), std::vector<std::string>{"kept"});

    arcf_list_destroy(&list.head);
    EXPECT_EQ(list.head, nullptr);
}

}  // namespace
