// SPDX-License-Identifier: BSD-2-Clause
// velmora-metrics_test.cc - the counters and histograms, their Prometheus text,
// and the HTTP endpoint scraped by a real client (curl) on loopback; the
// scraped text is checked by Prometheus' own `promtool check metrics`.
#include "velmora-metrics.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int sign = 1;
constexpr int verify = 2;

// Renders a registry to a string.
std::string render(const arcf_metrics& m) {
    arcf_dstring_ptr out{arcf_dstring_new(1024, 0)};
    EXPECT_TRUE(m.render(out.get()));
    return arcf_dstring_get(out.get());
}

// Maps each sample line "name{labels} value" of an exposition to its value.
std::map<std::string, std::string> samples(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in{text};
    std::string l;
    while (std::getline(in, l)) {
        if (l.empty() || l[0] == '#') {
            continue;
        }
        const auto sp = l.rfind(' ');
        EXPECT_NE(sp, std::string::npos) << l;
        EXPECT_TRUE(out.emplace(l.substr(0, sp), l.substr(sp + 1)).second) << "repeated: " << l;
    }
    return out;
}

// Runs a shell command; returns its exit status and standard output.
std::pair<int, std::string> run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return {-1, out};
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

bool have_program(const char* name) {
    return run(std::string("command -v ") + name + " >/dev/null 2>&1").first == 0;
}

// A registry with a known history behind it.
void feed(arcf_metrics& m) {
    m.count_message(verify, arcf_outcome::pass);
    m.count_message(verify, arcf_outcome::pass);
    m.count_message(verify, arcf_outcome::fail);
    m.count_message(sign, arcf_outcome::sealed);
    m.count_message(sign | verify, arcf_outcome::deferred);
    m.count_message(sign, arcf_outcome::unprocessed);
    m.count_message(0, arcf_outcome::pass);  // no mode: not counted
    m.count_message(4, arcf_outcome::pass);
    m.count_lookup(arcf_lookup::found, arcf_dnssec::secure, 0.0003);
    m.count_lookup(arcf_lookup::found, arcf_dnssec::insecure, 0.002);
    m.count_lookup(arcf_lookup::notfound, arcf_dnssec::none, 0.7);
    m.count_lookup(arcf_lookup::error, arcf_dnssec::bogus, 20);
    m.observe_validation(0.01);
    m.observe_sealing(0.004);
    m.observe_sealing(-1);  // a clock step backwards counts as 0
    m.count_key_cache(true);
    m.count_key_cache(true);
    m.count_key_cache(false);
    m.count_reload(true);
    m.count_reload(false);
    m.count_reload(false);
}

struct sample_case {
    const char* series;
    const char* value;
};
constexpr sample_case fed_samples[] = {
    {"velmora_messages_total{mode=\"verify\",outcome=\"pass\"}", "2"},
    {"velmora_messages_total{mode=\"verify\",outcome=\"fail\"}", "1"},
    {"velmora_messages_total{mode=\"verify\",outcome=\"none\"}", "0"},
    {"velmora_messages_total{mode=\"sign\",outcome=\"sealed\"}", "1"},
    {"velmora_messages_total{mode=\"sign\",outcome=\"unprocessed\"}", "1"},
    {"velmora_messages_total{mode=\"sign\",outcome=\"pass\"}", "0"},
    {"velmora_messages_total{mode=\"sign+verify\",outcome=\"deferred\"}", "1"},
    {"velmora_key_lookups_total{result=\"found\",dnssec=\"secure\"}", "1"},
    {"velmora_key_lookups_total{result=\"found\",dnssec=\"insecure\"}", "1"},
    {"velmora_key_lookups_total{result=\"notfound\",dnssec=\"none\"}", "1"},
    {"velmora_key_lookups_total{result=\"error\",dnssec=\"bogus\"}", "1"},
    {"velmora_key_lookups_total{result=\"invalid\",dnssec=\"secure\"}", "0"},
    // Buckets are cumulative: 0.0003 | 0.002 | 0.7 | 20 (beyond the last bound).
    {"velmora_key_lookup_seconds_bucket{le=\"0.0005\"}", "1"},
    {"velmora_key_lookup_seconds_bucket{le=\"0.001\"}", "1"},
    {"velmora_key_lookup_seconds_bucket{le=\"0.0025\"}", "2"},
    {"velmora_key_lookup_seconds_bucket{le=\"0.5\"}", "2"},
    {"velmora_key_lookup_seconds_bucket{le=\"1\"}", "3"},
    {"velmora_key_lookup_seconds_bucket{le=\"10\"}", "3"},
    {"velmora_key_lookup_seconds_bucket{le=\"+Inf\"}", "4"},
    {"velmora_key_lookup_seconds_sum", "20.7023"},
    {"velmora_key_lookup_seconds_count", "4"},
    {"velmora_validation_seconds_bucket{le=\"0.005\"}", "0"},
    {"velmora_validation_seconds_bucket{le=\"0.01\"}", "1"},  // a bound is inclusive
    {"velmora_validation_seconds_count", "1"},
    {"velmora_sealing_seconds_bucket{le=\"0.0005\"}", "1"},
    {"velmora_sealing_seconds_bucket{le=\"0.005\"}", "2"},
    {"velmora_sealing_seconds_sum", "0.004"},
    {"velmora_key_cache_hits_total", "2"},
    {"velmora_key_cache_misses_total", "1"},
    {"velmora_reloads_total{result=\"done\"}", "1"},
    {"velmora_reloads_total{result=\"refused\"}", "2"},
};

void expect_fed(const std::string& text) {
    const auto got = samples(text);
    for (const auto& c : fed_samples) {
        SCOPED_TRACE(c.series);
        const auto it = got.find(c.series);
        ASSERT_NE(it, got.end());
        EXPECT_EQ(it->second, c.value);
    }
    // 3 modes x 6 outcomes, 4 results x 4 states, 3 histograms of 17 lines, 4.
    EXPECT_EQ(got.size(), 18u + 16u + 3 * 17u + 4u);
}

TEST(Metrics, RendersWhatWasCounted) {
    arcf_metrics m;
    feed(m);
    expect_fed(render(m));
}

TEST(Metrics, EverySeriesHasHelpAndType) {
    arcf_metrics m;
    const std::string text = render(m);
    for (const char* name :
         {"velmora_messages_total", "velmora_key_lookups_total", "velmora_key_lookup_seconds",
          "velmora_validation_seconds", "velmora_sealing_seconds", "velmora_key_cache_hits_total",
          "velmora_key_cache_misses_total", "velmora_reloads_total"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(text.find(std::string("# HELP ") + name + " "), std::string::npos);
        EXPECT_NE(text.find(std::string("# TYPE ") + name + " "), std::string::npos);
    }
}

TEST(Metrics, CountsFromManyThreadsAreNotLost) {
    arcf_metrics m;
    constexpr int threads = 4;
    constexpr int per_thread = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&m] {
            for (int i = 0; i < per_thread; ++i) {
                m.count_message(verify, arcf_outcome::pass);
                m.observe_validation(0.001);
            }
        });
    }
    // Scraping meanwhile must not disturb the counting.
    for (int i = 0; i < 20; ++i) {
        render(m);
    }
    for (auto& w : workers) {
        w.join();
    }
    const auto got = samples(render(m));
    EXPECT_EQ(got.at("velmora_messages_total{mode=\"verify\",outcome=\"pass\"}"), "80000");
    EXPECT_EQ(got.at("velmora_validation_seconds_count"), "80000");
    EXPECT_EQ(got.at("velmora_validation_seconds_bucket{le=\"0.001\"}"), "80000");
}

struct listen_case {
    const char* spec;
    int family;
    unsigned port;
};
constexpr listen_case good_listen[] = {
    {"127.0.0.1:9466", AF_INET, 9466},
    {"0.0.0.0:0", AF_INET, 0},
    {"[::1]:65535", AF_INET6, 65535},
    {"[::]:80", AF_INET6, 80},
    {"[2001:db8::1]:9466", AF_INET6, 9466},
    // A port alone: loopback only.
    {"9466", AF_INET, 9466},
    {":9467", AF_INET, 9467},
};
struct bad_listen_case {
    const char* spec;
    const char* message;
};
constexpr bad_listen_case bad_listen[] = {
    {"", "\"\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
    {"127.0.0.1", "\"127.0.0.1\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
    {":", "\":\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
    {"99999", "\"99999\": the port is not a number from 0 to 65535"},
    {"[]:9466", "\"[]:9466\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
    {"[::1]", "\"[::1]\" is not ADDRESS:PORT or [IPV6-ADDRESS]:PORT"},
    {"127.0.0.1:", "\"127.0.0.1:\": the port is not a number from 0 to 65535"},
    {"127.0.0.1:65536", "\"127.0.0.1:65536\": the port is not a number from 0 to 65535"},
    {"127.0.0.1:-1", "\"127.0.0.1:-1\": the port is not a number from 0 to 65535"},
    {"127.0.0.1:94 66", "\"127.0.0.1:94 66\": the port is not a number from 0 to 65535"},
    {"localhost:9466",
     "\"localhost:9466\": \"localhost\" is not an IPv4 address (write IPv6 as [ADDRESS])"},
    {"::1:9466", "\"::1:9466\": \"::1\" is not an IPv4 address (write IPv6 as [ADDRESS])"},
    {"[127.0.0.1]:9466", "\"[127.0.0.1]:9466\": \"127.0.0.1\" is not an IPv6 address"},
};

TEST(Metrics, ParsesListenAddresses) {
    for (const auto& c : good_listen) {
        SCOPED_TRACE(c.spec);
        struct sockaddr_storage ss;
        socklen_t len = 0;
        char err[256] = "";
        ASSERT_TRUE(arcf_metrics_listen_parse(c.spec, &ss, &len, err, sizeof err)) << err;
        EXPECT_EQ(ss.ss_family, c.family);
        const in_port_t port = c.family == AF_INET
                                   ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port;
        EXPECT_EQ(ntohs(port), c.port);
        EXPECT_EQ(len, c.family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (strchr(c.spec, '.') == nullptr && strchr(c.spec, '[') == nullptr) {
            EXPECT_EQ(ntohl(reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr), INADDR_LOOPBACK);
        }
    }
    for (const auto& c : bad_listen) {
        SCOPED_TRACE(c.spec);
        struct sockaddr_storage ss;
        socklen_t len = 0;
        char err[256] = "";
        EXPECT_FALSE(arcf_metrics_listen_parse(c.spec, &ss, &len, err, sizeof err));
        EXPECT_STREQ(err, c.message);
    }
}

// Owns a running endpoint.
struct server_owner {
    arcf_metrics_server* srv = nullptr;
    ~server_owner() { arcf_metrics_stop(srv); }
};

class MetricsServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_program("curl")) {
            GTEST_SKIP() << "curl is not installed (scripts/install-deps installs it)";
        }
    }
    // Fetches a URL with curl; returns "STATUS CONTENT-TYPE" and the body in *body.
    static std::string fetch(const std::string& url, std::string* body,
                             const char* method = "GET") {
        char tmpl[] = "/tmp/velmora-metrics-XXXXXX";
        const int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        close(fd);
        const auto [rc, status] =
            run(std::string("curl -s -g -X ") + method + " -o " + tmpl +
                " -w '%{http_code} %{content_type}' --max-time 10 '" + url + "'");
        EXPECT_EQ(rc, 0) << url;
        std::ifstream in{tmpl};
        std::stringstream ss;
        ss << in.rdbuf();
        *body = ss.str();
        unlink(tmpl);
        return status;
    }
};

TEST_F(MetricsServer, ServesTheRegistryToARealClient) {
    arcf_metrics m;
    feed(m);
    char err[256] = "";
    server_owner s;
    s.srv = arcf_metrics_start("127.0.0.1:0", &m, err, sizeof err);
    ASSERT_NE(s.srv, nullptr) << err;
    const std::string base = "http://127.0.0.1:" + std::to_string(arcf_metrics_port(s.srv));
    std::string body;
    EXPECT_EQ(fetch(base + "/metrics", &body), "200 text/plain; version=0.0.4; charset=utf-8");
    expect_fed(body);

    // Counting after start shows in the next scrape.
    m.count_message(verify, arcf_outcome::none);
    fetch(base + "/metrics", &body);
    EXPECT_EQ(samples(body).at("velmora_messages_total{mode=\"verify\",outcome=\"none\"}"), "1");

    EXPECT_EQ(fetch(base + "/", &body).substr(0, 3), "404");
    EXPECT_EQ(fetch(base + "/metrics", &body, "POST").substr(0, 3), "405");
}

TEST_F(MetricsServer, ScrapedTextPassesPromtool) {
    if (!have_program("promtool")) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    arcf_metrics m;
    feed(m);
    char err[256] = "";
    server_owner s;
    s.srv = arcf_metrics_start("127.0.0.1:0", &m, err, sizeof err);
    ASSERT_NE(s.srv, nullptr) << err;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(arcf_metrics_port(s.srv)) + "/metrics";
    // promtool reads the exposition from standard input and prints every
    // problem it finds; an empty report and status 0 mean a clean text.
    const auto [rc, report] =
        run("curl -sf --max-time 10 '" + url + "' | promtool check metrics 2>&1");
    EXPECT_EQ(rc, 0) << report;
    EXPECT_EQ(report, "");
}

TEST_F(MetricsServer, ServesOnIPv6Loopback) {
    arcf_metrics m;
    m.count_reload(true);
    char err[256] = "";
    server_owner s;
    s.srv = arcf_metrics_start("[::1]:0", &m, err, sizeof err);
    if (s.srv == nullptr) {
        GTEST_SKIP() << "no IPv6 loopback here: " << err;
    }
    std::string body;
    EXPECT_EQ(fetch("http://[::1]:" + std::to_string(arcf_metrics_port(s.srv)) + "/metrics", &body)
                  .substr(0, 3),
              "200");
    EXPECT_EQ(samples(body).at("velmora_reloads_total{result=\"done\"}"), "1");
}

// Starts a connection from `source` to 127.0.0.1:port without waiting for
// the server to take it, and sends the start of a request that never ends
// once it is taken; returns the descriptor, or -1.
int slow_client(const char* source, unsigned port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in from {};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<in_port_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    struct pollfd pfd {
        fd, POLLOUT, 0
    };
    if (poll(&pfd, 1, 50) == 1) {
        (void)!write(fd, "GET /metr", 9);
    }
    return fd;
}

// Forty clients from another address open connections and stall in the
// middle of a request: a scrape still answers.
TEST_F(MetricsServer, SlowClientsCannotLockTheScrapeOut) {
    arcf_metrics m;
    m.count_reload(true);
    char err[256] = "";
    server_owner s;
    s.srv = arcf_metrics_start("127.0.0.1:0", &m, err, sizeof err);
    ASSERT_NE(s.srv, nullptr) << err;
    const unsigned port = arcf_metrics_port(s.srv);
    std::vector<int> stalled;
    for (int i = 0; i < 40; ++i) {
        if (const int fd = slow_client("127.0.0.2", port); fd >= 0) {
            stalled.push_back(fd);
        }
    }
    EXPECT_EQ(stalled.size(), 40u);
    usleep(200000);  // the server has taken what it takes of them
    std::string body;
    EXPECT_EQ(fetch("http://127.0.0.1:" + std::to_string(port) + "/metrics", &body).substr(0, 3),
              "200");
    EXPECT_EQ(samples(body).at("velmora_reloads_total{result=\"done\"}"), "1");
    for (const int fd : stalled) {
        close(fd);
    }
}

TEST_F(MetricsServer, ReportsAPortInUse) {
    arcf_metrics m;
    char err[256] = "";
    server_owner first;
    first.srv = arcf_metrics_start("127.0.0.1:0", &m, err, sizeof err);
    ASSERT_NE(first.srv, nullptr) << err;
    const std::string spec = "127.0.0.1:" + std::to_string(arcf_metrics_port(first.srv));
    server_owner second;
    second.srv = arcf_metrics_start(spec.c_str(), &m, err, sizeof err);
    EXPECT_EQ(second.srv, nullptr);
    EXPECT_EQ(std::string(err), spec + ": bind(): Address already in use");
    // A bad address is refused before any socket is made.
    EXPECT_EQ(arcf_metrics_start("localhost:1", &m, err, sizeof err), nullptr);
    EXPECT_STREQ(err,
                 "\"localhost:1\": \"localhost\" is not an IPv4 address (write IPv6 as [ADDRESS])");
}

}  // namespace
