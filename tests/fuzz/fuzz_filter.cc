// SPDX-License-Identifier: BSD-2-Clause
// fuzz_filter.cc - whole messages through the filter's callbacks in test mode:
// validating, sealing and both at once, with or without leading blanks kept,
// the RFC 5322 check, the header data limit and seal header checks,
// Authentication-Results fields of any shape claiming this host. No crash,
// leak or hang; a message sealed in one pass that also validated it, with or
// without a From field, validates as its seal says: "fail" when the seal has
// cv=fail, else "pass". Sealing runs as a site does it: a validating hop
// first, then a sign-only hop on what the first delivered; the seal's
// ARC-Authentication-Results then holds no result but the chain state, since
// the only field of this host that survives the first hop is its own.
//
// The first input byte chooses the mode (bits 0-1: validate, validate then
// seal, both, both with seal header checks), leading blanks (bit 2), the
// header check (bit 3), simple header canonicalization (bit 4) and a small
// header data limit when validating (bit 5); the second where the body is cut
// into two chunks; the rest is the message. Seeds in
// tests/fuzz/corpus/fuzz_filter/.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "../test-keys.h"
#include "arc.h"
#include "velmora-ar.h"
#include "velmora-callbacks.h"
#include "velmora-config.h"
#include "velmora-test.h"
#include "velmora.h"

namespace {

std::string key_pem;
std::string key_file;
arcf_config* configs[3];  // validate, seal, both

arcf_config* make_config(int mode) {
    arcf_config* conf = arcf_config_new();
    if (conf == nullptr) {
        abort();
    }
    conf->conf_authservid = strdup("mx.example");
    conf->conf_selector = "s1";
    conf->conf_domain = "d1.example";
    conf->conf_canonhdr = ARC_CANON_RELAXED;
    conf->conf_canonbody = ARC_CANON_SIMPLE;
    conf->conf_signalg = ARC_ALG_RSASHA256;
    conf->conf_mode = mode;
    conf->conf_keydata = static_cast<unsigned char*>(calloc(1, key_pem.size() + 1));
    memcpy(conf->conf_keydata, key_pem.data(), key_pem.size());
    conf->conf_keylen = key_pem.size() + 1;
    conf->conf_keyrecordfile = strdup(key_file.c_str());
    const char* msg = nullptr;
    if (!arcf_config_setlib(conf, &msg)) {
        abort();
    }
    return conf;
}

void setup() {
    std::string record;
    key_pem = velmora_test::make_rsa_key(1024, &record);
    char path[] = "/tmp/fuzz-filter-keys.XXXXXX";
    const int fd = mkstemp(path);
    const std::string text = "s1._domainkey.d1.example " + record + "\n";
    if (key_pem.empty() || fd < 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        abort();
    }
    close(fd);
    key_file = path;
    progname = "fuzz_filter";
    testmode = true;
    test_verbosity = 0;
    configs[0] = make_config(ARC_MODE_VERIFY);
    configs[1] = make_config(ARC_MODE_SIGN);
    configs[2] = make_config(ARC_MODE_SIGN | ARC_MODE_VERIFY);
    const char* err = nullptr;
    for (const char* check : {"X-Seal:^a", "X-Route:relay\\.example", "Bad", "X:[", "Subject:."}) {
        arcf_addlist(&configs[2]->conf_sealchecks, check, &err);
    }
}

// A header field as the harness hands it over.
struct field {
    std::string name, value;
};

// Splits the header block as the harness does; returns the body's offset.
size_t split_header(std::string_view m, bool leadspc, std::vector<field>& out) {
    size_t pos = 0;
    std::string cur;
    auto flush = [&] {
        const size_t colon = cur.find(':');
        if (colon != std::string::npos) {
            std::string value = cur.substr(colon + 1);
            if (!leadspc && !value.empty() && value[0] == ' ') {
                value.erase(0, 1);
            }
            out.push_back({cur.substr(0, colon), value});
        }
        cur.clear();
    };
    while (pos < m.size()) {
        const size_t nl = m.find('\n', pos);
        std::string_view line = m.substr(pos, nl == std::string_view::npos ? m.npos : nl - pos);
        pos = nl == std::string_view::npos ? m.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !cur.empty()) {
            cur += "\r\n";
            cur += line;
            continue;
        }
        flush();
        cur = line;
    }
    flush();
    return pos;
}

// The chain state the library finds in the message as an MTA would write it
// with the new set inserted below its first field.
std::string validate(arcf_config* conf, const arcf_msgctx* afc, arc_hdr* set, bool leadspc,
                     const std::string& body) {
    std::vector<std::string> fields;
    for (const arcf_header* h = afc->mctx_hqhead; h != nullptr; h = h->hdr_next) {
        fields.push_back(std::string(h->hdr_name) + (leadspc ? ":" : ": ") + h->hdr_value);
    }
    std::vector<std::string> added;
    for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
        size_t namelen = 0;
        std::string f{arc_hdr_name(h, &namelen), namelen};
        f += ": ";
        for (const char* p = arc_hdr_value(h); *p != '\0'; ++p) {
            f += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
        }
        added.insert(added.begin(), f);
    }
    fields.insert(fields.begin() + (fields.empty() ? 0 : 1), added.begin(), added.end());
    arc_msg* msg = arc_message(conf->conf_libarc, ARC_CANON_RELAXED, ARC_CANON_SIMPLE,
                               ARC_ALG_RSASHA256, ARC_MODE_VERIFY, nullptr);
    if (msg == nullptr) {
        abort();
    }
    for (const auto& f : fields) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_eoh(msg);
    arc_body(msg, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    arc_eom(msg);
    std::string state = arc_chain_status_str(msg);
    arc_free(msg);
    return state;
}

// One change a hop asked for, as the test operations print it.
struct change {
    bool insert;  // else a removal
    int idx;
    std::string name, value;
};

// Reads the INSHEADER and CHGHEADER lines a hop printed. A value runs to the
// quote that ends its line before the next "### " line.
std::vector<change> read_changes(const std::string& out) {
    std::vector<change> list;
    size_t pos = 0;
    while ((pos = out.find("### ", pos)) != std::string::npos) {
        const size_t next = out.find("\n### ", pos + 4);
        std::string line = out.substr(pos, next == std::string::npos ? out.npos : next - pos);
        pos = next == std::string::npos ? out.size() : next + 1;
        change c{};
        char name[128] = "";
        int used = 0;
        if (sscanf(line.c_str(), "### INSHEADER: idx=%d hname='%127[^']' hvalue='%n", &c.idx, name,
                   &used) == 2 &&
            used > 0) {
            c.insert = true;
        } else if (sscanf(line.c_str(), "### CHGHEADER: hname='%127[^']' idx=%d hvalue='%n", name,
                          &c.idx, &used) != 2 ||
                   used <= 0) {
            abort();  // the filter asked for something no hop may ask for
        }
        std::string value = line.substr(static_cast<size_t>(used));
        while (!value.empty() && value.back() == '\n') {
            value.pop_back();
        }
        if (!value.empty() && value.back() == '\'') {
            value.pop_back();
        }
        c.name = name;
        c.value = value;
        list.push_back(c);
    }
    return list;
}

// Applies one hop's changes to the fields as the MTA delivers them.
void apply_changes(std::vector<field>& fields, const std::vector<change>& changes) {
    for (const auto& c : changes) {
        if (c.insert) {
            const size_t at = std::min(static_cast<size_t>(c.idx), fields.size());
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), {c.name, c.value});
            continue;
        }
        int seen = 0;
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            if (strcasecmp(it->name.c_str(), c.name.c_str()) == 0 && ++seen == c.idx) {
                fields.erase(it);
                break;
            }
        }
    }
}

// Runs one message through one connection with `conf`; `at_eom` sees the
// connection before it closes, after an end of message that accepted. With
// `printed`, the test operations' lines are collected there.
void run_hop(arcf_config* conf, bool leadspc, std::vector<field> fields, std::string body,
             size_t at, std::string* printed,
             const std::function<void(arcf_connctx*, const std::string&)>& at_eom) {
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        curconf = conf;
    }
    FILE* saved = stdout;
    char* buf = nullptr;
    size_t len = 0;
    if (printed != nullptr) {
        test_verbosity = 2;
        stdout = open_memstream(&buf, &len);
        if (stdout == nullptr) {
            abort();
        }
    }
    SMFICTX* ctx = arcf_test_context_new();
    sfsistat st = SMFIS_CONTINUE;
    if (leadspc) {
        unsigned long f0 = 0, f1 = 0, f2 = 0, f3 = 0;
        st = mlfi_negotiate(ctx, SMFIF_ADDHDRS | SMFIF_CHGHDRS, SMFIP_HDR_LEADSPC, 0, 0, &f0, &f1,
                            &f2, &f3);
    }
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(0xc0000207);
    char host[] = "client.example";
    if (st == SMFIS_CONTINUE) {
        st = mlfi_connect(ctx, host, reinterpret_cast<struct sockaddr*>(&sin));
    }
    char sender[] = "<a@client.example>";
    char* envfrom[] = {sender, nullptr};
    if (st == SMFIS_CONTINUE) {
        st = mlfi_envfrom(ctx, envfrom);
    }
    for (size_t i = 0; i < fields.size() && st == SMFIS_CONTINUE; ++i) {
        st = mlfi_header(ctx, fields[i].name.data(), fields[i].value.data());
    }
    if (st == SMFIS_CONTINUE) {
        st = mlfi_eoh(ctx);
    }
    if (st == SMFIS_CONTINUE && at > 0) {
        st = mlfi_body(ctx, reinterpret_cast<unsigned char*>(body.data()), at);
    }
    if (st == SMFIS_CONTINUE && body.size() > at) {
        st = mlfi_body(ctx, reinterpret_cast<unsigned char*>(body.data() + at), body.size() - at);
    }
    if (st == SMFIS_CONTINUE) {
        st = mlfi_eom(ctx);
        if (st != SMFIS_ACCEPT) {
            abort();  // nothing a message holds may defer it
        }
        at_eom(static_cast<arcf_connctx*>(arcf_test_getpriv(ctx)), body);
    }
    mlfi_close(ctx);
    arcf_test_context_free(ctx);
    if (printed != nullptr) {
        fclose(stdout);
        stdout = saved;
        test_verbosity = 0;
        printed->assign(buf, len);
        free(buf);
    }
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        curconf = nullptr;
    }
}

// The oracle of the two hops: the seal's ARC-Authentication-Results parses
// and holds this host's chain state only.
void check_sealed_results(const std::vector<change>& changes) {
    for (const auto& c : changes) {
        if (!c.insert || c.name != "ARC-Authentication-Results") {
            continue;
        }
        const size_t semi = c.value.find(';');
        if (semi == std::string::npos) {
            abort();
        }
        static authres ar;
        if (ares_parse(c.value.c_str() + semi + 1, &ar) != 0 ||
            strcmp(ar.ares_host, "mx.example") != 0) {
            abort();
        }
        for (int i = 0; i < ar.ares_nresults; ++i) {
            if (ar.ares_results[i].result_method != ARES_METHOD_ARC) {
                abort();  // a result from a field that was not this host's own
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t opts = data[0];
    const uint8_t cut = data[1];
    const std::string_view m{reinterpret_cast<const char*>(data + 2), size - 2};
    const int which = opts & 0x03;
    const bool leadspc = (opts & 0x04) != 0;
    for (arcf_config* conf : configs) {
        conf->conf_reqhdrs = (opts & 0x08) != 0;
        conf->conf_canonhdr = (opts & 0x10) != 0 ? ARC_CANON_SIMPLE : ARC_CANON_RELAXED;
    }
    configs[0]->conf_maxhdrsz = (opts & 0x20) != 0 ? 512 : 0;
    arcf_config* conf = configs[which == 3 ? 2 : which == 1 ? 0 : which];
    arcf_list* checks = configs[2]->conf_sealchecks;
    if (which != 3) {
        configs[2]->conf_sealchecks = nullptr;
    }

    std::vector<field> fields;
    const size_t body_at = split_header(m, leadspc, fields);
    const std::string body{m.substr(body_at)};
    const size_t at = body.empty() ? 0 : cut % (body.size() + 1);
    if (which == 1) {
        // The border validates; the sealing relay seals what it delivered.
        std::string printed;
        bool delivered = false;
        run_hop(conf, leadspc, fields, body, at, &printed,
                [&](arcf_connctx*, const std::string&) { delivered = true; });
        if (delivered) {
            apply_changes(fields, read_changes(printed));
            run_hop(configs[1], leadspc, fields, body, at, &printed,
                    [](arcf_connctx*, const std::string&) {});
            check_sealed_results(read_changes(printed));
        }
    } else {
        run_hop(
            conf, leadspc, fields, body, at, nullptr, [&](arcf_connctx* cc, const std::string& b) {
                arc_msg* msg = cc->cctx_msg->mctx_arcmsg;
                arc_hdr* set = msg != nullptr ? msg->arc_sealhead : nullptr;
                if (which < 2 || set == nullptr) {
                    return;
                }
                const arc_hdr* seal = arc_hdr_next(arc_hdr_next(set));
                const bool failed =
                    strstr(arc_hdr_value(const_cast<arc_hdr*>(seal)), "cv=fail") != nullptr;
                if (validate(conf, cc->cctx_msg, set, leadspc, b) != (failed ? "fail" : "pass")) {
                    abort();
                }
            });
    }
    configs[2]->conf_sealchecks = checks;
    return 0;
}
