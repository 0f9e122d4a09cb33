// SPDX-License-Identifier: BSD-2-Clause
// fuzz_message.cc - whole messages (header block and body, any bytes, ARC
// fields included) through validation and sealing, with keys from a key file.
//
// The first input byte chooses the canonicalizations, the algorithm (bit 0x80:
// ed25519-sha256, with an Ed25519 key) and the library flags; the rest is the
// message. Header fields are split as an MTA
// splits them (a line starting with a blank continues the field), the body is
// fed in two chunks cut at a point chosen by the second byte.
//
// It takes the filter's road: after a failed end of header it goes on, forces
// the chain to fail and asks for a seal. Besides crashes it aborts when a set
// comes back after a failed end of header, or when the set's AMS does not
// verify over the fields it lists or its seal over the sets it covers, both
// checked independently of the library, or when its h= does not list From
// (RFC 6376 section 5.4 requires From to be signed, present or not).
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "../chain-support.h"
#include "../test-keys.h"
#include "arc.h"
#include "base64.h"
#include "velmora.h"

namespace {

std::string key_pem;
std::string key_record;
std::string ed_pem;
std::string ed_record;
std::string key_file;

void make_key() {
    key_pem = velmora_test::make_rsa_key(1024, &key_record);
    if (key_pem.empty()) {
        abort();
    }
    const std::string b64 = key_record.substr(key_record.find("p=") + 2);
    ed_pem = velmora_test::make_ed25519_key(&ed_record);
    if (ed_pem.empty()) {
        abort();
    }

    char path[] = "/tmp/fuzz-message-keys.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        abort();
    }
    // The key the seeds were sealed with is not known here: records for the
    // suite's names make the lookups succeed and the checks run.
    const std::string text = "s1._domainkey.d1.example v=DKIM1; k=rsa; p=" + b64 +
                             "\ndummy._domainkey.example.org v=DKIM1; k=rsa; p=" + b64 +
                             "\nsha1._domainkey.example.org v=DKIM1; h=sha1; p=" + b64 +
                             "\nrevoked._domainkey.example.org v=DKIM1; p=\n" +
                             "ed._domainkey.example.org " + ed_record + "\n" +
                             "ed33._domainkey.example.org v=DKIM1; k=ed25519; " +
                             "p=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        abort();
    }
    close(fd);
    key_file = path;
}

// Feeds the header block; returns the offset of the body. The fields the
// library took are kept in *taken.
size_t feed_header(arc_msg* msg, std::string_view m, chain_test::message* taken) {
    size_t pos = 0;
    std::string field;
    auto flush = [&] {
        if (!field.empty()) {
            if (arc_header_field(msg, reinterpret_cast<const unsigned char*>(field.data()),
                                 field.size()) == ARC_STAT_OK) {
                taken->fields.push_back(field);
            }
            field.clear();
        }
    };
    while (pos < m.size()) {
        size_t nl = m.find('\n', pos);
        const size_t end = nl == std::string_view::npos ? m.size() : nl;
        std::string_view line = m.substr(pos, end - pos);
        pos = nl == std::string_view::npos ? m.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !field.empty()) {
            field += "\r\n";
        } else {
            flush();
        }
        field += line;
    }
    flush();
    return pos;
}

// True when the independent check reads every field as the library does: a
// field name of RFC 5322 characters, and no NUL, no VT or FF and no CR or LF
// outside a fold in the value (bytes whose reading the RFCs leave open).
bool checkable(const chain_test::message& m) {
    for (const std::string& f : m.fields) {
        const size_t colon = f.find(':');
        if (colon == 0 || colon == std::string::npos) {
            return false;
        }
        for (size_t i = 0; i < colon; ++i) {
            if (f[i] <= ' ' || f[i] > '~') {
                return false;
            }
        }
        for (size_t i = colon + 1; i < f.size(); ++i) {
            const char c = f[i];
            if (c == '\0' || c == '\v' || c == '\f') {
                return false;
            }
            const bool fold = c == '\r' && i + 2 < f.size() && f[i + 1] == '\n' &&
                              (f[i + 2] == ' ' || f[i + 2] == '\t');
            if (c == '\r' && !fold) {
                return false;
            }
            if (c == '\n' && f[i - 1] != '\r') {
                return false;
            }
        }
    }
    return true;
}

// The oracle over a set arc_getseal() returned for the fields `in`, made
// with the key whose record is `record`.
void check_set(const chain_test::message& in, arc_hdr* set, const std::string& record) {
    for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
        size_t len = 0;
        if (arc_hdr_name(h, &len) == nullptr || arc_hdr_value(h) == nullptr) {
            abort();
        }
    }
    std::string names = ":" + chain_test::tags_of(arc_hdr_value(arc_hdr_next(set)))["h"] + ":";
    for (char& c : names) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    if (names.find(":from:") == std::string::npos) {
        fprintf(stderr, "fuzz_message: the new AMS does not sign From\n");
        abort();
    }
    if (!checkable(in)) {
        return;
    }
    if (!chain_test::ams_signature_verifies(in, set, record)) {
        fprintf(stderr, "fuzz_message: the new AMS does not verify over the fields it lists\n");
        abort();
    }
    if (!chain_test::seal_verifies_over_chain(chain_test::with_set(in, set), set, record)) {
        fprintf(stderr, "fuzz_message: the new seal does not verify over its sets\n");
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_key();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t opts = data[0];
    const uint8_t cut = data[1];
    const std::string_view m{reinterpret_cast<const char*>(data + 2), size - 2};

    arc_library* lib = arc_init();
    if (lib == nullptr) {
        return 0;
    }
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, const_cast<char*>(key_file.c_str()),
                key_file.size());
    unsigned flags =
        (opts & 0x10 ? ARC_LIBFLAGS_FIXCRLF : 0) | (opts & 0x20 ? ARC_LIBFLAGS_NOSHA1 : 0);
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags);
    unsigned minbits = 512;
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &minbits, sizeof minbits);

    const int canonhdr = opts & 0x01 ? ARC_CANON_SIMPLE : ARC_CANON_RELAXED;
    const int canonbody = opts & 0x02 ? ARC_CANON_SIMPLE : ARC_CANON_RELAXED;
    const bool ed25519 = (opts & 0x80) != 0;
    const int alg = ed25519       ? ARC_ALG_ED25519SHA256
                    : opts & 0x04 ? ARC_ALG_RSASHA1
                                  : ARC_ALG_RSASHA256;
    const std::string& pem = ed25519 ? ed_pem : key_pem;
    const int mode = opts & 0x08 ? ARC_MODE_SIGN : ARC_MODE_SIGN | ARC_MODE_VERIFY;
    arc_msg* msg = arc_message(lib, canonhdr, canonbody, alg, mode, nullptr);
    if (msg != nullptr) {
        chain_test::message in;
        const size_t body = feed_header(msg, m, &in);
        // As the filter does, a failed end of header goes on with a failed chain.
        const bool eoh_ok = arc_eoh(msg) == ARC_STAT_OK;
        const std::string_view b = m.substr(body);
        const size_t at = b.empty() ? 0 : cut % (b.size() + 1);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data());
        arc_body(msg, p, at);
        arc_body(msg, p + at, b.size() - at);
        arc_eom(msg);
        char custody[64];
        arc_chain_custody_str(msg, custody, sizeof custody);
        arc_chain_status_str(msg);
        if (!eoh_ok || (opts & 0x40) != 0) {
            arc_set_cv(msg, ARC_CHAIN_FAIL);
        }
        arc_hdr* set = nullptr;
        if (arc_getseal(msg, &set, "mx.example", "s1", "d1.example",
                        reinterpret_cast<const unsigned char*>(pem.data()), pem.size(),
                        "spf=pass") == ARC_STAT_OK &&
            set != nullptr) {
            if (!eoh_ok) {
                fprintf(stderr, "fuzz_message: a set after a failed end of header\n");
                abort();
            }
            check_set(in, set, ed25519 ? ed_record : key_record);
        }
        arc_free(msg);
    }
    arc_close(lib);
    return 0;
}
