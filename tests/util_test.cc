// SPDX-License-Identifier: BSD-2-Clause
// util_test.cc - the filter's growable strings and small utilities, with real
// files and real local sockets.
#include "util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

namespace {

// ---- Growable string ----

struct new_case {
    int len;
    int maxlen;
    int alloc;  // 0: expect null
};
constexpr new_case new_cases[] = {{0, 0, 0},         {1024, 0, 1024}, {1, 0, 1024},
                                  {-5, 0, 1024},     {2000, 1500, 0}, {5000, 0, 5000},
                                  {1500, 1500, 1500}};

TEST(FilterDstring, NewChoosesBufferSize) {
    for (const auto& c : new_cases) {
        SCOPED_TRACE(std::to_string(c.len) + "/" + std::to_string(c.maxlen));
        arcf_dstring_ptr d{arcf_dstring_new(c.len, c.maxlen)};
        if (c.alloc == 0) {
            EXPECT_EQ(d, nullptr);
            continue;
        }
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->ds_alloc, c.alloc);
        EXPECT_EQ(d->ds_len, 0);
        EXPECT_EQ(d->ds_max, c.maxlen);
        EXPECT_STREQ(arcf_dstring_get(d.get()), "");
    }
}

TEST(FilterDstring, AppendsCopiesAndShortens) {
    arcf_dstring_ptr d{arcf_dstring_new(1024, 0)};
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(arcf_dstring_copy(d.get(), "hello"));
    EXPECT_TRUE(arcf_dstring_cat1(d.get(), ' '));
    EXPECT_TRUE(arcf_dstring_cat(d.get(), "world"));
    EXPECT_STREQ(arcf_dstring_get(d.get()), "hello world");
    EXPECT_EQ(arcf_dstring_len(d.get()), 11);
    arcf_dstring_chop(d.get(), 20);
    EXPECT_STREQ(arcf_dstring_get(d.get()), "hello world");
    arcf_dstring_chop(d.get(), 5);
    EXPECT_STREQ(arcf_dstring_get(d.get()), "hello");
    EXPECT_EQ(arcf_dstring_len(d.get()), 5);
    EXPECT_TRUE(arcf_dstring_copy(d.get(), "x"));
    EXPECT_STREQ(arcf_dstring_get(d.get()), "x");
    arcf_dstring_blank(d.get());
    EXPECT_EQ(arcf_dstring_len(d.get()), 0);
    EXPECT_STREQ(arcf_dstring_get(d.get()), "");
    EXPECT_EQ(d->ds_alloc, 1024);

    const unsigned char bytes[] = {'a', 0, 'b', 0};
    EXPECT_TRUE(arcf_dstring_catn(d.get(), bytes, sizeof bytes));
    EXPECT_EQ(arcf_dstring_len(d.get()), 4);
    EXPECT_EQ(std::memcmp(arcf_dstring_get(d.get()), bytes, 4), 0);
    EXPECT_EQ(arcf_dstring_get(d.get())[4], '\0');
}

TEST(FilterDstring, LimitIsNeverReached) {
    arcf_dstring_ptr d{arcf_dstring_new(1024, 1024)};
    ASSERT_NE(d, nullptr);
    const std::string s1023(1023, 'a');
    EXPECT_TRUE(arcf_dstring_cat(d.get(), s1023.c_str()));
    EXPECT_FALSE(arcf_dstring_cat1(d.get(), 'b'));
    EXPECT_FALSE(arcf_dstring_cat(d.get(), "b"));
    EXPECT_FALSE(arcf_dstring_copy(d.get(), (s1023 + "b").c_str()));
    EXPECT_EQ(arcf_dstring_len(d.get()), 1023);
    EXPECT_EQ(std::string(arcf_dstring_get(d.get())), s1023);

    // A limit above the buffer lets the first doubling happen but not a second.
    arcf_dstring_ptr e{arcf_dstring_new(1024, 1500)};
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(arcf_dstring_cat(e.get(), std::string(1400, 'c').c_str()));
    EXPECT_EQ(e->ds_alloc, 2048);
    EXPECT_FALSE(arcf_dstring_cat(e.get(), std::string(100, 'c').c_str()));
    EXPECT_EQ(arcf_dstring_len(e.get()), 1400);
}

TEST(FilterDstring, GrowsByDoubling) {
    arcf_dstring_ptr d{arcf_dstring_new(1024, 0)};
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(arcf_dstring_cat(d.get(), "head:"));
    const std::string big(5000, 'z');
    EXPECT_TRUE(arcf_dstring_cat(d.get(), big.c_str()));
    EXPECT_EQ(d->ds_alloc, 8192);
    EXPECT_EQ(std::string(arcf_dstring_get(d.get())), "head:" + big);
    EXPECT_EQ(arcf_dstring_len(d.get()), 5005);
}

TEST(FilterDstring, PrintfFillsAndGrows) {
    arcf_dstring_ptr d{arcf_dstring_new(1024, 0)};
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(arcf_dstring_cat(d.get(), "ab"));
    EXPECT_EQ(arcf_dstring_printf(d.get(), "%d-%s", 42, "x"), 6u);
    EXPECT_STREQ(arcf_dstring_get(d.get()), "ab42-x");

    // Output exactly as long as the free space needs one more byte for the NUL.
    const int free_space = d->ds_alloc - d->ds_len;
    const std::string fill(static_cast<size_t>(free_space), 'q');
    EXPECT_EQ(arcf_dstring_printf(d.get(), "%s", fill.c_str()), 6u + fill.size());
    EXPECT_EQ(d->ds_alloc, 2048);
    EXPECT_EQ(std::string(arcf_dstring_get(d.get())), "ab42-x" + fill);

    // The limit refuses a text that needs the buffer to grow past it.
    arcf_dstring_ptr lim{arcf_dstring_new(1024, 1100)};
    ASSERT_NE(lim, nullptr);
    ASSERT_TRUE(arcf_dstring_cat(lim.get(), std::string(1000, 'a').c_str()));
    EXPECT_EQ(arcf_dstring_printf(lim.get(), "%s", std::string(5000, 'b').c_str()),
              static_cast<size_t>(-1));
    EXPECT_EQ(arcf_dstring_len(lim.get()), 1000);
    EXPECT_EQ(std::strlen(arcf_dstring_get(lim.get())), 1000u);

    // A text one doubling of the buffer would hold still keeps the limit.
    arcf_dstring_ptr one{arcf_dstring_new(1024, 1500)};
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(arcf_dstring_printf(one.get(), "%s", std::string(1600, 'c').c_str()),
              static_cast<size_t>(-1));
    EXPECT_EQ(arcf_dstring_printf(one.get(), "%s", std::string(1400, 'd').c_str()), 1400u);
    EXPECT_EQ(arcf_dstring_printf(one.get(), "%s", std::string(200, 'e').c_str()),
              static_cast<size_t>(-1));
    EXPECT_EQ(std::string(arcf_dstring_get(one.get())), std::string(1400, 'd'));
}

TEST(FilterDstringDeathTest, NullArgumentsAbort) {
    EXPECT_DEATH(arcf_dstring_cat(nullptr, "x"), "dstr != NULL");
    arcf_dstring_ptr d{arcf_dstring_new(1024, 0)};
    EXPECT_DEATH(arcf_dstring_copy(d.get(), nullptr), "str != NULL");
    EXPECT_DEATH(arcf_dstring_catn(d.get(), nullptr, 1), "str != NULL");
}

// ---- Texts and lists ----

TEST(FilterUtil, MkarrayDropsEmptyFields) {
    struct mk_case {
        const char* in;
        std::vector<std::string> out;
    };
    const mk_case cases[] = {{"From,To,,Subject", {"From", "To", "Subject"}},
                             {"", {}},
                             {",,,", {}},
                             {"One", {"One"}},
                             {",a,", {"a"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        std::string text = c.in;
        calloc_ptr<char*> arr{arcf_mkarray(text.data())};
        ASSERT_NE(arr, nullptr);
        size_t n = 0;
        for (; arr.get()[n] != nullptr; ++n) {
            ASSERT_LT(n, c.out.size());
            EXPECT_EQ(arr.get()[n], c.out[n]);
        }
        EXPECT_EQ(n, c.out.size());
    }
}

TEST(FilterUtil, LowercaseTouchesOnlyAscii) {
    std::string s = "MiXeD.Example.COM \xc3\x89\xff";
    arcf_lowercase(s.data());
    EXPECT_EQ(s, "mixed.example.com \xc3\x89\xff");
}

TEST(FilterUtil, InetNtoaUsesMemoryOrder) {
    struct in_addr a;
    const unsigned char bytes[] = {192, 0, 2, 1};
    std::memcpy(&a.s_addr, bytes, 4);
    char buf[16];
    EXPECT_EQ(arcf_inet_ntoa(a, buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "192.0.2.1");
    char small[5];
    EXPECT_EQ(arcf_inet_ntoa(a, small, sizeof small), 9);
    EXPECT_STREQ(small, "192.");
}

TEST(FilterUtil, HostlistMatchesParentDomains) {
    const char* dotted[] = {".b.c", nullptr};
    const char* plain[] = {"b.c", nullptr};
    const char* single[] = {"a", nullptr};
    const char* empty[] = {nullptr};
    EXPECT_TRUE(arcf_hostlist("A.B.C", dotted));
    EXPECT_TRUE(arcf_hostlist("x.a.b.c", dotted));
    EXPECT_FALSE(arcf_hostlist("b.c", dotted));
    EXPECT_TRUE(arcf_hostlist("B.c", plain));
    EXPECT_FALSE(arcf_hostlist("a.b.c", plain));
    EXPECT_FALSE(arcf_hostlist("A.B.C", single));
    EXPECT_FALSE(arcf_hostlist("a", empty));
}

TEST(FilterUtil, OptlistWritesLibraryLine) {
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    ASSERT_NE(f, nullptr);
    arcf_optlist(f);
    fclose(f);
    EXPECT_STREQ(text, "\tlibvelmora 1.0.0:\n");
    free(text);
}

TEST(FilterUtil, RaiseNofileReachesHardLimit) {
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    struct rlimit lowered = before;
    if (lowered.rlim_max > 64) {
        lowered.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    arcf_raise_nofile();
    struct rlimit after;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    setrlimit(RLIMIT_NOFILE, &before);
}

// ---- Base64 dump ----

class Base64File : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/velmora-b64-XXXXXX";
        fd_.reset(mkstemp(name));
        ASSERT_TRUE(fd_);
        unlink(name);
    }
    // Encodes `bytes` through a real file and returns the output.
    std::string encode(std::string_view bytes, int lm, int rm, int initial) {
        EXPECT_EQ(ftruncate(fd_.get(), 0), 0);
        EXPECT_EQ(pwrite(fd_.get(), bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
        char* text = nullptr;
        size_t len = 0;
        FILE* f = open_memstream(&text, &len);
        arcf_base64_encode_file(fd_.get(), f, lm, rm, initial);
        fclose(f);
        std::string out(text, len);
        free(text);
        return out;
    }
    unique_fd fd_;
};

TEST_F(Base64File, EncodesKnownVectors) {
    struct b64_case {
        std::string_view bytes;
        std::string_view text;
    };
    constexpr b64_case cases[] = {{"", ""},       {"abc", "YWJj"},      {"\xff", "/w=="},
                                  {"ab", "YWI="}, {"abcd", "YWJjZA=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encode(c.bytes, 0, 0, 0), c.text);
    }
}

TEST_F(Base64File, GroupsSpanningReadBlocksStayWhole) {
    // 65536 is not a multiple of three: a group straddles the first block.
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    }
    std::string want(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(want.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    want.resize(static_cast<size_t>(n));
    EXPECT_EQ(encode(bytes, 0, 0, 0), want);
}

TEST_F(Base64File, WrapsBetweenMargins) {
    // Right margin 16: after a group the column grows while it stays below
    // 12, else the line breaks and goes on after lm spaces.
    EXPECT_EQ(encode("abcabcabcabcabcab", 2, 16, 0), "YWJjYWJjYWJj\n  YWJjYWJjYWI=");
    EXPECT_EQ(encode("abcabcabc", 2, 16, 10), "YWJj\n  YWJjYWJj");
    // A padded last group that would pass the margin goes on a new line.
    EXPECT_EQ(encode("ab", 1, 12, 8), "\n YWI=");
    EXPECT_EQ(encode("ab", 1, 12, 7), "YWI=");
    EXPECT_EQ(encode("abca", 0, 16, 12), "YWJjYQ==");
}

// ---- Socket clean-up ----

class SocketCleanup : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/velmora-sock-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/f.sock";
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    // Binds a socket at path_; listens when `listen_too`. The caller owns it.
    unique_fd bind_socket(bool listen_too) {
        unique_fd s{socket(AF_UNIX, SOCK_STREAM, 0)};
        EXPECT_TRUE(s);
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path_.c_str());
        EXPECT_EQ(bind(s.get(), reinterpret_cast<struct sockaddr*>(&sun), sizeof sun), 0);
        if (listen_too) {
            EXPECT_EQ(listen(s.get(), 1), 0);
        }
        return s;
    }
    bool exists() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0;
    }
    std::string dir_;
    std::string path_;
};

TEST_F(SocketCleanup, LiveListenerIsKept) {
    unique_fd s = bind_socket(true);
    EXPECT_EQ(arcf_socket_cleanup(("local:" + path_).c_str()), EADDRINUSE);
    EXPECT_EQ(arcf_socket_cleanup(("UNIX:" + path_).c_str()), EADDRINUSE);
    EXPECT_TRUE(exists());
}

TEST_F(SocketCleanup, StaleSocketFileIsRemoved) {
    bind_socket(false).reset();  // bound, never listening, closed: stale
    ASSERT_TRUE(exists());
    EXPECT_EQ(arcf_socket_cleanup(("local:" + path_).c_str()), 0);
    EXPECT_FALSE(exists());

    bind_socket(false).reset();
    EXPECT_EQ(arcf_socket_cleanup(path_.c_str()), 0);  // a bare path is local
    EXPECT_FALSE(exists());
}

TEST_F(SocketCleanup, NothingThereOrNotLocal) {
    EXPECT_EQ(arcf_socket_cleanup(("local:" + path_).c_str()), 0);
    EXPECT_EQ(arcf_socket_cleanup(path_.c_str()), 0);
    EXPECT_EQ(arcf_socket_cleanup("local:"), EINVAL);
    EXPECT_EQ(arcf_socket_cleanup("unix:"), EINVAL);

    // A non-local socket (inet:, inet6:) touches nothing, even a file of that name.
    const std::string spec = "inet:12345";
    EXPECT_EQ(arcf_socket_cleanup(spec.c_str()), 0);
    EXPECT_EQ(arcf_socket_cleanup(("inet:" + path_).c_str()), 0);
    bind_socket(false).reset();
    EXPECT_EQ(arcf_socket_cleanup(("inet6:" + path_).c_str()), 0);
    EXPECT_TRUE(exists());
}

TEST_F(SocketCleanup, PlainFileOfThatNameIsNotRemoved) {
    const int fd = open(path_.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(arcf_socket_cleanup(("local:" + path_).c_str()), ENOTSOCK);
    EXPECT_TRUE(exists());
}

// The descriptors the process frame makes are closed on exec, and the
// metrics listener does not block, whichever way the system makes them.
TEST(Util, DescriptorsAreClosedOnExec) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(arcf_pipe_cloexec(fds), 0) << std::strerror(errno);
    for (const int fd : fds) {
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        close(fd);
    }
    for (const bool nonblock : {false, true}) {
        SCOPED_TRACE(nonblock ? "non-blocking" : "blocking");
        const int fd = arcf_socket_cloexec(AF_INET, SOCK_STREAM, nonblock);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ((fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, nonblock);
        int type = 0;
        socklen_t len = sizeof type;
        EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
        EXPECT_EQ(type, SOCK_STREAM);
        close(fd);
    }
    EXPECT_EQ(arcf_socket_cloexec(-1, SOCK_STREAM, false), -1);
}

}  // namespace
