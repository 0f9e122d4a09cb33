// SPDX-License-Identifier: BSD-2-Clause
// bench_filter.cc - what the filter's own work costs on top of the library:
// a 4 KiB message with a 3-set chain run through the real callbacks (one
// connection per message, as the MTA drives them, the actions going to the
// test operations) next to the library alone doing the same work in the same
// run: validating the chain, sealing on top of it, and validating it under
// 20,000 small header fields. Then the per-message log line: validating with
// and without it (its text goes to syslog() as in the daemon; the counting of
// the metrics happens in both).
//
// Usage: bench_filter [SECONDS per figure, default 2]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../tests/test-keys.h"
#include "bench-rates.h"
#include "velmora-callbacks.h"
#include "velmora-config.h"
#include "velmora-test.h"
#include "velmora.h"

namespace {

using bench_rates::rates;

struct message {
    std::vector<std::string> fields;  // "Name: value", CR LF folds
    std::string body;
};

message sample_message() {
    message m;
    m.fields = {
        "Received: from client.d0.example (client.d0.example [192.0.2.1])\r\n"
        "\tby mx.d0.example with ESMTPS id 4Xyz; Thu, 10 Dec 2026 10:00:00 +0000",
        "Authentication-Results: mx.d0.example; spf=pass smtp.mailfrom=d0.example",
        "From: Alice <alice@d0.example>",
        "To: Bob <bob@example.net>",
        "Subject: quarterly figures",
        "Date: Thu, 10 Dec 2026 10:00:00 +0000",
        "Message-ID: <20261210100000.1@d0.example>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=us-ascii"};
    const std::string line = "The figures for the quarter follow in the attached table.  \r\n";
    while (m.body.size() + line.size() <= 640) {
        m.body += line;
    }
    return m;
}

constexpr int all_modes = ARC_MODE_SIGN | ARC_MODE_VERIFY;

// The library alone: the message through one handle; seals when asked.
void library_run(arc_library* lib, const message& m, int mode, const std::string& key,
                 message* out = nullptr) {
    arc_msg* msg =
        arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_SIMPLE, ARC_ALG_RSASHA256, mode, nullptr);
    for (const auto& f : m.fields) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_eoh(msg);
    arc_body(msg, reinterpret_cast<const unsigned char*>(m.body.data()), m.body.size());
    arc_eom(msg);
    arc_chain_status_str(msg);
    arc_hdr* set = nullptr;
    if ((mode & ARC_MODE_SIGN) != 0 &&
        arc_getseal(msg, &set, "mx.example", "s1", "d0.example",
                    reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                    "arc=pass smtp.remote-ip=192.0.2.1") == ARC_STAT_OK &&
        out != nullptr) {
        *out = m;
        for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
            size_t namelen = 0;
            std::string f{arc_hdr_name(h, &namelen), namelen};
            f += ": ";
            for (const char* p = arc_hdr_value(h); *p != '\0'; ++p) {
                f += *p == '\n' ? std::string{"\r\n"} : std::string(1, *p);
            }
            out->fields.insert(out->fields.begin(), f);
        }
    }
    arc_free(msg);
}

// A message as libmilter hands it over: names and values apart.
struct split_message {
    std::vector<std::string> names, values;
    std::string body;
};

split_message split(const message& m) {
    split_message s;
    for (const auto& f : m.fields) {
        s.names.push_back(f.substr(0, f.find(':')));
        s.values.push_back(f.substr(f.find(':') + 2));
    }
    s.body = m.body;
    return s;
}

// The filter: one connection per message through the callbacks.
void filter_run(split_message& m) {
    SMFICTX* ctx = arcf_test_context_new();
    char host[] = "client.d0.example";
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(0xc0000201);
    mlfi_connect(ctx, host, reinterpret_cast<struct sockaddr*>(&sin));
    char sender[] = "<alice@d0.example>";
    char* envfrom[] = {sender, nullptr};
    mlfi_envfrom(ctx, envfrom);
    for (size_t i = 0; i < m.names.size(); ++i) {
        mlfi_header(ctx, m.names[i].data(), m.values[i].data());
    }
    mlfi_eoh(ctx);
    mlfi_body(ctx, reinterpret_cast<unsigned char*>(m.body.data()), m.body.size());
    if (mlfi_eom(ctx) != SMFIS_ACCEPT) {
        fprintf(stderr, "bench_filter: the filter did not accept the message\n");
        exit(1);
    }
    mlfi_close(ctx);
    arcf_test_context_free(ctx);
}

// A record like the one the configuration file would give.
arcf_config* make_config(const std::string& key, const char* keyfile, int mode) {
    arcf_config* conf = arcf_config_new();
    conf->conf_authservid = strdup("mx.example");
    conf->conf_selector = "s1";
    conf->conf_domain = "d0.example";
    conf->conf_canonhdr = ARC_CANON_RELAXED;
    conf->conf_canonbody = ARC_CANON_SIMPLE;
    conf->conf_signalg = ARC_ALG_RSASHA256;
    conf->conf_mode = mode;
    conf->conf_keydata = static_cast<unsigned char*>(calloc(1, key.size() + 1));
    memcpy(conf->conf_keydata, key.data(), key.size());
    conf->conf_keylen = key.size() + 1;
    conf->conf_keyrecordfile = strdup(keyfile);
    conf->conf_maxhdrsz = 0;
    const char* msg = nullptr;
    if (!arcf_config_setlib(conf, &msg)) {
        fprintf(stderr, "bench_filter: %s\n", msg);
        exit(1);
    }
    return conf;
}

void make_current(arcf_config* conf) {
    std::lock_guard<std::mutex> guard{conf_lock};
    curconf = conf;
}

}  // namespace

int main(int argc, char** argv) {
    const double secs = argc > 1 ? atof(argv[1]) : 2.0;
    progname = "bench_filter";
    testmode = true;
    test_verbosity = 0;

    std::string records[4];
    std::string keys[4];
    for (int i = 0; i < 4; ++i) {
        keys[i] = velmora_test::make_rsa_key(2048, &records[i]);
    }
    char path[] = "/tmp/bench-filter-keys.XXXXXX";
    const int fd = mkstemp(path);
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += "s1._domainkey.d" + std::to_string(i) + ".example " + records[i] + "\n";
    }
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        perror("bench_filter: key file");
        return 1;
    }
    close(fd);

    // A 3-set chain, sealed by d1, d2 and d3 in turn.
    arc_library* lib = arc_init();
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, path, strlen(path));
    message m = sample_message();
    for (int i = 1; i <= 3; ++i) {
        const std::string dom = "d" + std::to_string(i) + ".example";
        arc_msg* h = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_SIMPLE, ARC_ALG_RSASHA256,
                                 all_modes, nullptr);
        for (const auto& f : m.fields) {
            arc_header_field(h, reinterpret_cast<const unsigned char*>(f.data()), f.size());
        }
        arc_eoh(h);
        arc_body(h, reinterpret_cast<const unsigned char*>(m.body.data()), m.body.size());
        arc_eom(h);
        arc_hdr* set = nullptr;
        arc_getseal(h, &set, "mx.example", "s1", dom.c_str(),
                    reinterpret_cast<const unsigned char*>(keys[i].data()), keys[i].size(),
                    "spf=pass smtp.mailfrom=d0.example");
        message next = m;
        for (arc_hdr* s = set; s != nullptr; s = arc_hdr_next(s)) {
            size_t namelen = 0;
            std::string f{arc_hdr_name(s, &namelen), namelen};
            f += ": ";
            for (const char* p = arc_hdr_value(s); *p != '\0'; ++p) {
                f += *p == '\n' ? std::string{"\r\n"} : std::string(1, *p);
            }
            next.fields.insert(next.fields.begin(), f);
        }
        arc_free(h);
        m = next;
    }
    size_t size = m.body.size();
    for (const auto& f : m.fields) {
        size += f.size() + 2;
    }
    {
        arc_msg* h = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_SIMPLE, ARC_ALG_RSASHA256,
                                 ARC_MODE_VERIFY, nullptr);
        for (const auto& f : m.fields) {
            arc_header_field(h, reinterpret_cast<const unsigned char*>(f.data()), f.size());
        }
        arc_eoh(h);
        arc_body(h, reinterpret_cast<const unsigned char*>(m.body.data()), m.body.size());
        arc_eom(h);
        printf("message: %zu bytes, %zu header fields, chain %s\n", size, m.fields.size(),
               arc_chain_status_str(h));
        arc_free(h);
    }

    split_message parts = split(m);
    arcf_config* verify = make_config(keys[0], path, ARC_MODE_VERIFY);
    arcf_config* sign = make_config(keys[0], path, ARC_MODE_SIGN);

    make_current(verify);
    const auto [v_filter, v_lib] = rates(
        secs, [&] { filter_run(parts); },
        [&] { library_run(verify->conf_libarc, m, ARC_MODE_VERIFY, keys[0]); });
    make_current(sign);
    const auto [s_filter, s_lib] = rates(
        secs, [&] { filter_run(parts); },
        [&] { library_run(sign->conf_libarc, m, all_modes, keys[0]); });
    // The same chain under 20,000 more small fields: the filter walks its
    // fields once per message, so its share stays small.
    message many = m;
    for (int i = 0; i < 20000; ++i) {
        many.fields.push_back("X-Tag-" + std::to_string(i) + ": " + std::to_string(i));
    }
    split_message many_parts = split(many);
    make_current(verify);
    const auto [m_filter, m_lib] = rates(
        secs, [&] { filter_run(many_parts); },
        [&] { library_run(verify->conf_libarc, many, ARC_MODE_VERIFY, keys[0]); });
    // The log line: formatted, handed to syslog() and to a sink that drops it.
    make_current(verify);
    arcf_set_log_sink([](int, const char*) {});
    const auto [l_on, l_off] = rates(
        secs,
        [&] {
            verify->conf_dolog = true;
            filter_run(parts);
        },
        [&] {
            verify->conf_dolog = false;
            filter_run(parts);
        });
    verify->conf_dolog = false;
    arcf_set_log_sink(nullptr);
    make_current(nullptr);

    printf("%-36s %12s %12s %10s\n", "", "filter/s", "library/s", "overhead");
    printf("%-36s %12.0f %12.0f %9.1f%%\n", "validate a 3-set chain", v_filter, v_lib,
           100.0 * (v_lib / v_filter - 1.0));
    printf("%-36s %12.0f %12.0f %9.1f%%\n", "seal on top of it (validate + seal)", s_filter, s_lib,
           100.0 * (s_lib / s_filter - 1.0));
    printf("%-36s %12.1f %12.1f %9.1f%%\n", "validate under 20,000 more fields", m_filter, m_lib,
           100.0 * (m_lib / m_filter - 1.0));
    printf("%-36s %12s %12s %10s\n", "", "log on/s", "log off/s", "cost");
    printf("%-36s %12.0f %12.0f %9.1f%%\n", "validate with the per-message log line", l_on, l_off,
           100.0 * (l_off / l_on - 1.0));

    arcf_config_free(verify);
    arcf_config_free(sign);
    arc_close(lib);
    unlink(path);
    return 0;
}
