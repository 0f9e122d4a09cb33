// fuzz_message.cc - whole messages (header block and body, any bytes, ARC
// fields included) through validation and sealing, with keys from a key file.
//
// The first input byte chooses the canonicalizations, the algorithm and the
// library flags; the rest is the message. Header fields are split as an MTA
// splits them (a line starting with a blank continues the field), the body is
// fed in two chunks cut at a point chosen by the second byte.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "../test-keys.h"
#include "arc.h"
#include "base64.h"
#include "velmora.h"

namespace {

std::string key_pem;
std::string key_file;

void make_key() {
    std::string record;
    key_pem = velmora_test::make_rsa_key(1024, &record);
    if (key_pem.empty()) {
        abort();
    }
    const std::string b64 = record.substr(record.find("p=") + 2);

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
                             "\nrevoked._domainkey.example.org v=DKIM1; p=\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        abort();
    }
    close(fd);
    key_file = path;
}

// Feeds the header block; returns the offset of the body.
size_t feed_header(arc_msg* msg, std::string_view m) {
    size_t pos = 0;
    std::string field;
    auto flush = [&] {
        if (!field.empty()) {
            arc_header_field(msg, reinterpret_cast<const unsigned char*>(field.data()),
                             field.size());
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
    const int alg = opts & 0x04 ? ARC_ALG_RSASHA1 : ARC_ALG_RSASHA256;
    const int mode = opts & 0x08 ? ARC_MODE_SIGN : ARC_MODE_SIGN | ARC_MODE_VERIFY;
    arc_msg* msg = arc_message(lib, canonhdr, canonbody, alg, mode, nullptr);
    if (msg != nullptr) {
        const size_t body = feed_header(msg, m);
        if (arc_eoh(msg) == ARC_STAT_OK) {
            const std::string_view b = m.substr(body);
            const size_t at = b.empty() ? 0 : cut % (b.size() + 1);
            const unsigned char* p = reinterpret_cast<const unsigned char*>(b.data());
            arc_body(msg, p, at);
            arc_body(msg, p + at, b.size() - at);
            arc_eom(msg);
            char custody[64];
            arc_chain_custody_str(msg, custody, sizeof custody);
            arc_chain_status_str(msg);
            if (opts & 0x40) {
                arc_set_cv(msg, ARC_CHAIN_FAIL);
            }
            arc_hdr* set = nullptr;
            if (arc_getseal(msg, &set, "mx.example", "s1", "d1.example",
                            reinterpret_cast<const unsigned char*>(key_pem.data()), key_pem.size(),
                            "spf=pass") == ARC_STAT_OK) {
                for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
                    size_t len = 0;
                    if (arc_hdr_name(h, &len) == nullptr || arc_hdr_value(h) == nullptr) {
                        abort();
                    }
                }
            }
        }
        arc_free(msg);
    }
    arc_close(lib);
    return 0;
}
