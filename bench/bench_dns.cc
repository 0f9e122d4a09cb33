// SPDX-License-Identifier: BSD-2-Clause
// bench_dns.cc - key lookups through the libunbound resolver: validations per
// second of a 3-set chain with keys from a warm resolver cache, next to keys
// from a key file in the same run; and with a cold cache and every DNS answer
// 20 ms late, the wall time of 32 concurrent messages next to that of one.
// velmora-testdns serves the keys on a loopback address (needs root).
//
// Usage: bench_dns [SECONDS per figure, default 2]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/test-keys.h"
#include "arc.h"
#include "bench-rates.h"
#include "testdns-client.h"
#include "velmora.h"

namespace {

using bench_rates::rates;
using clock_type = std::chrono::steady_clock;

constexpr int batch = 32;
constexpr int answer_delay_ms = 20;

struct message {
    std::vector<std::string> fields;
    std::string body;
};

message sample_message() {
    message m;
    m.fields = {"From: Alice <alice@d0.example>", "To: Bob <bob@example.net>",
                "Subject: quarterly figures", "Date: Thu, 10 Dec 2026 10:00:00 +0000",
                "Message-ID: <20261210100000.1@d0.example>"};
    const std::string line = "The figures for the quarter follow in the attached table.  \r\n";
    while (m.body.size() < 3500) {
        m.body += line;
    }
    return m;
}

// Runs a message through lib; returns the handle after arc_eom (caller frees).
arc_msg* run(arc_library* lib, const message& m, int mode) {
    arc_msg* msg =
        arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, mode, nullptr);
    for (const auto& f : m.fields) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_eoh(msg);
    arc_body(msg, reinterpret_cast<const unsigned char*>(m.body.data()), m.body.size());
    arc_eom(msg);
    return msg;
}

bool validates(arc_library* lib, const message& m) {
    arc_msg* msg = run(lib, m, ARC_MODE_VERIFY);
    const bool pass = std::string{arc_chain_status_str(msg)} == "pass";
    arc_free(msg);
    return pass;
}

// Seals m once (validating it first, keys from lib's key file).
message seal(arc_library* lib, const message& m, const std::string& key, const std::string& sel,
             const std::string& dom) {
    arc_msg* msg = run(lib, m, ARC_MODE_SIGN | ARC_MODE_VERIFY);
    arc_hdr* set = nullptr;
    message out;
    if (arc_getseal(msg, &set, "mx.example", sel.c_str(), dom.c_str(),
                    reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                    "spf=pass smtp.mailfrom=d0.example") == ARC_STAT_OK &&
        set != nullptr) {
        for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
            size_t namelen = 0;
            std::string f{arc_hdr_name(h, &namelen), namelen};
            f += ": ";
            for (const char* p = arc_hdr_value(h); *p != '\0'; ++p) {
                f += *p == '\n' ? std::string{"\r\n"} : std::string(1, *p);
            }
            out.fields.insert(out.fields.begin(), f);
        }
        out.fields.insert(out.fields.end(), m.fields.begin(), m.fields.end());
        out.body = m.body;
    }
    arc_free(msg);
    return out;
}

struct lib_free {
    void operator()(arc_library* lib) const { arc_close(lib); }
};
using lib_ptr = std::unique_ptr<arc_library, lib_free>;

lib_ptr file_library(const std::string& keyfile) {
    lib_ptr lib{arc_init()};
    arc_options(lib.get(), ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, const_cast<char*>(keyfile.c_str()),
                keyfile.size());
    return lib;
}

lib_ptr unbound_library(const std::string& conf) {
    lib_ptr lib{arc_init()};
    char err[256] = "";
    if (arc_dns_unbound(lib.get(), conf.c_str(), nullptr, err, sizeof err) != ARC_STAT_OK) {
        std::fprintf(stderr, "bench_dns: %s\n", err);
        std::exit(1);
    }
    unsigned timeout = 10;
    arc_options(lib.get(), ARC_OP_SETOPT, ARC_OPTS_DNSTIMEOUT, &timeout, sizeof timeout);
    return lib;
}

// The domain of message i's hop h (1..3).
std::string domain_of(int i, int h) {
    return "d" + std::to_string(h) + ".m" + std::to_string(i) + ".example";
}

}  // namespace

int main(int argc, char** argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 2.0;
    const std::string why = velmora_testdns::skip_reason();
    if (!why.empty()) {
        std::printf("bench_dns: skipped: %s\n", why.c_str());
        return 0;
    }
    std::string record;
    const std::string key = velmora_test::make_rsa_key(2048, &record);

    // Message 0 is the warm-cache chain; messages 0 .. batch-1 the cold batch,
    // each with keys of its own, so no lookup of one serves another.
    char dir[] = "/tmp/velmora-bench-dns.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string keyfile = std::string{dir} + "/keys";
    std::string zone;
    {
        std::ofstream kf{keyfile};
        for (int i = 0; i < batch; ++i) {
            for (int h = 1; h <= 3; ++h) {
                const std::string name = "s" + std::to_string(h) + "._domainkey." + domain_of(i, h);
                kf << name << " " << record << "\n";
                zone += name + " TXT " + record + "\n";
            }
        }
    }
    lib_ptr sealer = file_library(keyfile);
    std::vector<message> chains;
    for (int i = 0; i < batch; ++i) {
        message m = sample_message();
        for (int h = 1; h <= 3; ++h) {
            m = seal(sealer.get(), m, key, "s" + std::to_string(h), domain_of(i, h));
        }
        chains.push_back(m);
    }

    velmora_testdns::server fast;
    velmora_testdns::server slow;
    std::string err;
    if (!fast.start(zone, &err) ||
        !slow.start(zone, &err, {"-d", std::to_string(answer_delay_ms)})) {
        std::fprintf(stderr, "bench_dns: %s\n", err.c_str());
        return 1;
    }
    const std::string fast_conf = std::string{dir} + "/fast.conf";
    const std::string slow_conf = std::string{dir} + "/slow.conf";
    for (const auto& [conf, srv] : {std::pair{fast_conf, &fast}, std::pair{slow_conf, &slow}}) {
        std::ofstream c{conf};
        c << "server:\n  do-not-query-localhost: no\nforward-zone:\n  name: \".\"\n"
          << "  forward-addr: " << srv->address() << "\n";
    }

    // Warm cache against the key file.
    lib_ptr from_file = file_library(keyfile);
    lib_ptr from_dns = unbound_library(fast_conf);
    if (!validates(from_file.get(), chains[0]) || !validates(from_dns.get(), chains[0])) {
        std::fprintf(stderr, "bench_dns: the chain does not validate\n");
        return 1;
    }
    bool all_pass = true;
    const auto [dns_rate, file_rate] = rates(
        secs, [&] { all_pass &= validates(from_dns.get(), chains[0]); },
        [&] { all_pass &= validates(from_file.get(), chains[0]); });
    std::printf("3-set chain, warm resolver cache: %8.1f validations/s\n", dns_rate);
    std::printf("3-set chain, keys from key file:  %8.1f validations/s\n", file_rate);
    std::printf("  ratio unbound / key file: %.2f (goal >= 0.90)\n", dns_rate / file_rate);

    // Cold cache, answers 20 ms late: one message, then 32 at once, each run
    // with a fresh resolver (an empty cache). The best of three of each.
    double one = 1e9;
    double many = 1e9;
    for (int round = 0; round < 3; ++round) {
        {
            lib_ptr lib = unbound_library(slow_conf);
            const auto start = clock_type::now();
            all_pass &= validates(lib.get(), chains[static_cast<size_t>(round)]);
            one = std::min(one, std::chrono::duration<double>(clock_type::now() - start).count());
        }
        lib_ptr lib = unbound_library(slow_conf);
        std::vector<char> ok(batch, 0);
        const auto start = clock_type::now();
        std::vector<std::thread> pool;
        for (int i = 0; i < batch; ++i) {
            pool.emplace_back([&, i] {
                ok[static_cast<size_t>(i)] = validates(lib.get(), chains[static_cast<size_t>(i)]);
            });
        }
        for (auto& t : pool) {
            t.join();
        }
        many = std::min(many, std::chrono::duration<double>(clock_type::now() - start).count());
        all_pass &= std::all_of(ok.begin(), ok.end(), [](char c) { return c != 0; });
    }
    std::printf("cold cache, answers %d ms late: 1 message %.1f ms, %d concurrent %.1f ms\n",
                answer_delay_ms, one * 1000, batch, many * 1000);
    std::printf("  ratio %d messages / 1 message: %.2f (%d would mean no overlap)\n", batch,
                many / one, batch);
    if (!all_pass) {
        std::fprintf(stderr, "bench_dns: a validation did not pass\n");
    }
    fast.stop();
    slow.stop();
    std::remove(keyfile.c_str());
    std::remove(fast_conf.c_str());
    std::remove(slow_conf.c_str());
    rmdir(dir);
    return all_pass ? 0 : 1;
}
