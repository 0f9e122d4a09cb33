// SPDX-License-Identifier: BSD-2-Clause
// postfix_bench.cc - throughput of a private Postfix (or, with -T sendmail,
// a private Sendmail) with and without milters, driven by smtp-source: no milter, the null milter,
// the null milter inserting one field (with and without TCP_NODELAY), and velmora validating and
// sealing, over an inet and a unix socket. Figures are messages per second
// and ratios against the null milter measured in the same run, plus the
// milter's resident memory after the first and after the last thousand
// messages. Then the cost of the metrics: velmora validating and sealing with
// neither its per-message log line (to a syslog socket of the benchmark's
// own) nor MetricsListen, with the log line alone, and with both, in turn;
// each round's ratios and their medians are printed, and the log lines and
// the scraped message count must match the messages sent. Needs root and
// Debian's postfix package.
//
// Usage: postfix_bench [-T postfix|sendmail] [-m messages] [-s sessions,...]
//                      [-r rounds] [-k] [-M]
//   -T the MTA (default postfix; Sendmail as scripts/fetch-sendmail unpacked
//   it); -r rounds of metrics runs per mode (default 3, 0: none); -k keeps
//   going after a failed scenario; -M runs only the metrics comparison.
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e-support.h"
#ifdef VELMORA_PROGRAM
#include "testdns-client.h"
#include "velmora-fixture.h"
#endif

namespace {

using namespace velmora_e2e;
using clock_type = std::chrono::steady_clock;

struct scenario {
    std::string name;
    // "", "null", "null-insert", "null-insert-nodelay", "verify", "seal"; velmora's
    // may end in "-log" (log line on) or "-metrics" (log line and metrics on).
    std::string milter;
    bool unix_socket;
};

// The metrics port of the velmora configurations that serve metrics.
int metrics_port = 0;

struct result {
    double rate = 0;  // messages per second
    long rss_first = 0;
    long rss_last = 0;
    bool ok = false;
};

long rss_kib(pid_t pid) {
    std::ifstream in{"/proc/" + std::to_string(pid) + "/status"};
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

size_t count_sink(const mta_instance& mta) {
    size_t n = 0;
    std::string out;
    // The sink directory holds one file per delivered message.
    if (DIR* d = opendir((mta.dir() + "/sink").c_str()); d != nullptr) {
        while (const struct dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// A 4 KiB message for smtp-source -F.
std::string sample_message(size_t body_bytes) {
    std::string m =
        "From: Bench Sender <sender@example.org>\n"
        "To: Bench Receiver <receiver@example.net>\n"
        "Subject: benchmark message\n"
        "Date: Thu, 10 Dec 2026 12:00:00 +0000\n"
        "Message-ID: <bench@example.org>\n"
        "MIME-Version: 1.0\n"
        "Content-Type: text/plain; charset=us-ascii\n"
        "\n";
    const std::string line =
        "The quick brown fox jumps over the lazy dog, and the dog does not mind.\n";
    while (m.size() < body_bytes) {
        m += line;
    }
    return m;
}

class bench {
  public:
    bench(mta_kind kind, int messages, std::vector<int> sessions)
        : kind_(kind), messages_(messages), sessions_(sessions) {}

    bool setup(std::string* err);
    std::optional<result> run(const scenario& sc, int sessions, std::string* err);

  private:
    bool start_milter(const scenario& sc, const std::string& spec, child& proc, std::string* err);

    mta_kind kind_;
    int messages_;
    std::vector<int> sessions_;
    temp_dir tmp_;
    temp_dir keys_{"/run"};  // a key file must sit where no other user can write
    std::string plain_;      // the message file
    std::string sealed_;     // the same message sealed once by velmora
#ifdef VELMORA_PROGRAM
    velmora_testdns::server dns_;
    syslog_capture syslog_;
#endif
};

bool bench::setup(std::string* err) {
    plain_ = tmp_ / "plain.eml";
    if (!write_file(plain_, sample_message(4096))) {
        *err = "cannot write the message file";
        return false;
    }
#ifdef VELMORA_PROGRAM
    // The sealing key, its record served by the test DNS server.
    const std::string key = keys_ / "test-bench.pem";
    std::string out;
    if (velmora_e2e::run({"/usr/bin/openssl", "genrsa", "-out", key, "2048"}, &out) != 0) {
        *err = "openssl genrsa: " + out;
        return false;
    }
    (void)chmod(key.c_str(), 0600);
    if (velmora_e2e::run(
            {"/bin/sh", "-c",
             "openssl rsa -in " + key + " -pubout -outform DER 2>/dev/null | base64 -w0"},
            &out) != 0) {
        *err = "cannot extract the public key";
        return false;
    }
    if (!dns_.start("bench._domainkey.example.org TXT v=DKIM1; k=rsa; p=" + out + "\n", err)) {
        return false;
    }
    metrics_port = free_port();
    for (const char* mode : {"verify", "seal"}) {
        const std::string common = std::string{"Domain example.org\nSelector bench\nKeyFile "} +
                                   key + "\nAuthservID mx.example.net\nMode " + mode[0] + "\n";
        const std::string log = "Syslog yes\n";
        const std::string metrics =
            "MetricsListen 127.0.0.1:" + std::to_string(metrics_port) + "\n";
        for (const auto& [suffix, extra] : {std::pair<std::string, std::string>{"", ""},
                                            {"-log", log},
                                            {"-metrics", log + metrics}}) {
            const std::string conf = tmp_ / ("velmora-" + std::string{mode} + suffix + ".conf");
            if (!write_file(conf, common + extra)) {
                *err = "cannot write " + conf;
                return false;
            }
        }
    }
    // The log lines go to a socket of our own, read as a syslog daemon would.
    if (!syslog_.start(tmp_ / "devlog", err)) {
        return false;
    }
    // One pass through a sealing Postfix gives the message the validating
    // runs check.
    scenario sc{"seal once", "seal", false};
    child milter;
    const std::string spec = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    postfix_instance mta;
    mta_options opt;
    opt.milter = spec;
    if (!start_milter(sc, spec, milter, err) || !mta.start(opt, err)) {
        return false;
    }
    smtp_session s;
    if (!s.open(mta.smtp_port(), err) ||
        s.send("sender@example.org", "receiver@example.net", read_file(plain_)) != 250 ||
        !mta.wait_delivered(1, 30)) {
        *err = "sealing the sample failed: " + s.last_reply() + mta.log();
        return false;
    }
    const auto got = mta.delivered();
    sealed_ = tmp_ / "sealed.eml";
    if (got.size() != 1 || !write_file(sealed_, got[0])) {
        *err = "no sealed sample delivered";
        return false;
    }
#endif
    return true;
}

bool bench::start_milter(const scenario& sc, const std::string& spec, child& proc,
                         std::string* err) {
    std::vector<std::string> argv;
    child_options opt;
    opt.stderr_path = tmp_ / "milter.log";
    if (sc.milter.rfind("null", 0) == 0) {
        argv = {VELMORA_NULL_MILTER, "-p", spec};
        if (sc.milter != "null") {
            argv.push_back("-i");
        }
        if (sc.milter == "null-insert-nodelay") {
            argv.push_back("-N");
        }
    } else {
#ifdef VELMORA_PROGRAM
        const std::string conf = tmp_ / ("velmora-" + sc.milter + ".conf");
        argv = {VELMORA_PROGRAM, "-f", "-c", conf, "-p", spec};
        const std::string scratch = tmp_ / "scratch";
        (void)mkdir(scratch.c_str(), 0755);
        opt = velmora_child_options(scratch, syslog_.path(), dns_.address(), tmp_ / "milter.log");
#else
        *err = "velmora is not built";
        return false;
#endif
    }
    if (!proc.start(argv, opt, err)) {
        return false;
    }
    // Ready once the socket accepts a connection.
    for (int i = 0; i < 200; ++i) {
        usleep(25000);
        if (!proc.running()) {
            *err = "the milter exited: " + read_file(tmp_ / "milter.log");
            return false;
        }
        if (spec.rfind("unix:", 0) == 0) {
            struct stat st;
            if (stat(spec.c_str() + 5, &st) == 0) {
                return true;
            }
        } else if (sc.milter.size() > 0) {
            smtp_session probe;  // any connect will do
            std::string e;
            const int port = std::atoi(spec.c_str() + 5);
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in sin {};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = connect(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0;
            close(fd);
            if (up) {
                return true;
            }
        }
    }
    *err = "the milter did not open its socket";
    return false;
}

std::optional<result> bench::run(const scenario& sc, int sessions, std::string* err) {
    child milter;
    mta_options opt;
    if (!sc.milter.empty()) {
        opt.milter = sc.unix_socket ? "unix:" + (tmp_ / "milter.sock")
                                    : "inet:" + std::to_string(free_port()) + "@127.0.0.1";
        (void)unlink((tmp_ / "milter.sock").c_str());
        if (!start_milter(sc, opt.milter, milter, err)) {
            return std::nullopt;
        }
        if (sc.unix_socket) {
            // Postfix's smtpd and cleanup run as the postfix user.
            (void)chmod((tmp_ / "milter.sock").c_str(), 0666);
        }
    }
    const auto owned = make_mta(kind_);
    mta_instance& mta = *owned;
    if (!mta.start(opt, err)) {
        return std::nullopt;
    }
    const bool verify = sc.milter.rfind("verify", 0) == 0;
    const bool velmora = verify || sc.milter.rfind("seal", 0) == 0;
    const std::string file = verify ? sealed_ : plain_;
#ifdef VELMORA_PROGRAM
    const size_t logged_before = syslog_.count(" outcome=");
#endif
    child source;
    child_options so;
    so.stderr_path = tmp_ / "source.log";
    const auto start = clock_type::now();
    if (!source.start(
            {"/usr/sbin/smtp-source", "-s", std::to_string(sessions), "-m",
             std::to_string(messages_), "-d", "-F", file, "-f", "sender@example.org", "-t",
             "receiver@example.net", "127.0.0.1:" + std::to_string(mta.smtp_port())},
            so, err)) {
        return std::nullopt;
    }
    result r;
    const pid_t worker = milter.pid();
    while (source.running()) {
        if (r.rss_first == 0 && worker > 0 && count_sink(mta) >= 1000) {
            r.rss_first = rss_kib(worker);
        }
        usleep(20000);
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (source.status() != 0) {
        *err = "smtp-source failed: " + read_file(tmp_ / "source.log");
        return std::nullopt;
    }
    if (!mta.wait_delivered(static_cast<size_t>(messages_), 120)) {
        *err = "not every message was delivered";
        return std::nullopt;
    }
    if (r.rss_first == 0 && worker > 0) {
        r.rss_first = rss_kib(worker);
    }
    r.rss_last = worker > 0 ? rss_kib(worker) : 0;
    if (velmora) {
        // Every delivered message carries velmora's work.
        const auto got = mta.delivered();
        const std::string want = verify ? "Authentication-Results" : "ARC-Seal";
        size_t marked = 0;
        for (const auto& m : got) {
            marked += !field_values(m, want).empty();
        }
        if (marked != got.size()) {
            *err = "velmora missed " + std::to_string(got.size() - marked) + " messages";
            return std::nullopt;
        }
    }
#ifdef VELMORA_PROGRAM
    if (sc.milter.ends_with("-log") || sc.milter.ends_with("-metrics")) {
        // One log line per message reached the syslog socket.
        size_t logged = 0;
        for (int i = 0; i < 100 && logged < static_cast<size_t>(messages_); ++i) {
            logged = syslog_.count(" outcome=") - logged_before;
            usleep(50000);
        }
        if (logged != static_cast<size_t>(messages_)) {
            *err = std::to_string(logged) + " log lines for " + std::to_string(messages_) +
                   " messages";
            return std::nullopt;
        }
    }
#endif
    if (sc.milter.ends_with("-metrics")) {
        // The endpoint counted every message.
        std::string out;
        const std::string series = verify
                                       ? "velmora_messages_total{mode=\"verify\",outcome=\"pass\"}"
                                       : "velmora_messages_total{mode=\"sign\",outcome=\"sealed\"}";
        (void)velmora_e2e::run({"/usr/bin/curl", "-sf", "--max-time", "10",
                                "http://127.0.0.1:" + std::to_string(metrics_port) + "/metrics"},
                               &out, 20);
        const size_t at = out.find("\n" + series + " ");
        if (at == std::string::npos ||
            std::atol(out.c_str() + at + series.size() + 2) != messages_) {
            *err = "the metrics do not count " + std::to_string(messages_) + " messages";
            return std::nullopt;
        }
    }
    r.rate = messages_ / seconds;
    r.ok = true;
    return r;
}

// The median of a list of ratios.
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs velmora in `mode` ("verify" or "seal") bare (no log line, no
// endpoint), with the log line, and with the log line and metrics, `rounds`
// times in turn, and prints each round and the median ratios: metrics on
// against off (log line on in both), and both features against bare.
// Returns false when a run failed.
bool metrics_cost(bench& b, const std::string& mode, int sessions, int rounds, std::string* err) {
    constexpr const char* variants[] = {"", "-log", "-metrics"};
    std::vector<double> metrics_ratios;
    std::vector<double> both_ratios;
    for (int i = 0; i < rounds; ++i) {
        double rate[3] = {0, 0, 0};
        for (int v = 0; v < 3; ++v) {
            const scenario sc{"", mode + variants[v], false};
            std::fflush(stdout);
            const auto r = b.run(sc, sessions, err);
            if (!r) {
                std::printf("velmora %s%s: failed: %s\n", mode.c_str(), variants[v], err->c_str());
                return false;
            }
            rate[v] = r->rate;
        }
        metrics_ratios.push_back(rate[2] / rate[1]);
        both_ratios.push_back(rate[2] / rate[0]);
        std::printf("%-28s %8d %9.1f %9.1f %9.1f %8.3f %8.3f\n",
                    ("velmora " + mode + ", round " + std::to_string(i + 1)).c_str(), sessions,
                    rate[0], rate[1], rate[2], metrics_ratios.back(), both_ratios.back());
    }
    std::printf("%-28s %8d %29s %8.3f %8.3f\n", ("velmora " + mode + ", median").c_str(), sessions,
                "", median(metrics_ratios), median(both_ratios));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 3000;
    std::vector<int> sessions{8, 32};
    bool keep_going = false;
    bool metrics_only = false;
    int rounds = 3;
    mta_kind kind = mta_kind::postfix;
    for (int c; (c = getopt(argc, argv, "kMm:r:s:T:")) != -1;) {
        switch (c) {
            case 'T':
                if (std::strcmp(optarg, mta_name(mta_kind::sendmail)) == 0) {
                    kind = mta_kind::sendmail;
                } else if (std::strcmp(optarg, mta_name(mta_kind::postfix)) != 0) {
                    std::fprintf(stderr, "postfix_bench: -T takes postfix or sendmail\n");
                    return 64;
                }
                break;
            case 'k':
                keep_going = true;
                break;
            case 'M':
                metrics_only = true;
                break;
            case 'r':
                rounds = std::max(0, std::atoi(optarg));
                break;
            case 'm':
                messages = std::atoi(optarg);
                break;
            case 's': {
                sessions.clear();
                std::istringstream in{optarg};
                for (std::string n; std::getline(in, n, ',');) {
                    sessions.push_back(std::atoi(n.c_str()));
                }
                break;
            }
            default:
                std::fprintf(stderr,
                             "usage: %s [-T postfix|sendmail] [-m messages] [-s sessions,...] "
                             "[-r rounds] [-k] [-M]\n",
                             argv[0]);
                return 64;
        }
    }
    const std::string why = mta_skip_reason(kind);
    if (!why.empty()) {
        std::printf("postfix_bench skipped: %s\n", why.c_str());
        return 0;
    }
    become_subreaper();
    signal(SIGPIPE, SIG_IGN);
    bench b{kind, messages, sessions};
    std::string err;
    if (!b.setup(&err)) {
        std::fprintf(stderr, "postfix_bench: %s\n", err.c_str());
        return 1;
    }
    const std::vector<scenario> scenarios = {
        {"no milter", "", false},
        {"null milter, inet", "null", false},
        {"null milter, unix", "null", true},
        {"null + 1 field, inet, Nagle on", "null-insert", false},
        {"null + 1 field, inet, TCP_NODELAY", "null-insert-nodelay", false},
#ifdef VELMORA_PROGRAM
        {"velmora validating, inet", "verify", false},
        {"velmora validating, unix", "verify", true},
        {"velmora sealing, inet", "seal", false},
        {"velmora sealing, unix", "seal", true},
#endif
    };
    std::printf("%s, %d messages of 4 KiB per run\n", mta_name(kind), messages);
    if (!metrics_only) {
        std::printf("ratio against the null milter on the same socket\n");
        std::printf("%-36s %8s %10s %8s %12s %12s\n", "scenario", "sessions", "msg/s", "ratio",
                    "RSS@1k KiB", "RSS@end KiB");
    }
    int failures = 0;
    for (int s : metrics_only ? std::vector<int>{} : sessions) {
        double null_inet = 0;
        double null_unix = 0;
        for (const auto& sc : scenarios) {
            std::fflush(stdout);
            const auto r = b.run(sc, s, &err);
            if (!r) {
                std::printf("%-36s %8d failed: %s\n", sc.name.c_str(), s, err.c_str());
                ++failures;
                if (!keep_going) {
                    return 1;
                }
                continue;
            }
            if (sc.milter == "null") {
                (sc.unix_socket ? null_unix : null_inet) = r->rate;
            }
            const double base = sc.unix_socket ? null_unix : null_inet;
            std::printf("%-36s %8d %10.1f %8.2f %12ld %12ld\n", sc.name.c_str(), s, r->rate,
                        base > 0 ? r->rate / base : 0.0, r->rss_first, r->rss_last);
        }
    }
#ifdef VELMORA_PROGRAM
    if (rounds == 0) {
        return failures == 0 ? 0 : 1;
    }
    std::printf(
        "\nmetrics cost, msg/s of velmora bare, with its log line (metrics off), and with\n"
        "log line and metrics on; on/off: metrics on against off, on/bare: both\n"
        "features against neither\n");
    std::printf("%-28s %8s %9s %9s %9s %8s %8s\n", "round", "sessions", "bare", "log", "log+met",
                "on/off", "on/bare");
    for (int s : sessions) {
        for (const char* mode : {"verify", "seal"}) {
            if (!metrics_cost(b, mode, s, rounds, &err)) {
                ++failures;
                if (!keep_going) {
                    return 1;
                }
            }
        }
    }
#endif
    return failures == 0 ? 0 : 1;
}
