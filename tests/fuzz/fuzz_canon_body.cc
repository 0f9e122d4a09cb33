// SPDX-License-Identifier: BSD-2-Clause
// fuzz_canon_body.cc - arbitrary bodies through the simple and relaxed body
// rules, with and without the CR/LF repair, fed whole and cut into chunks at
// places the input chooses. The digest and the status must not depend on the
// cuts; any difference aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "arc-canon.h"
#include "arc.h"
#include "velmora.h"

namespace {

struct outcome {
    ARC_STAT status = ARC_STAT_OK;
    unsigned char digest[ARC_MAXDIGEST] = {};
    size_t len = 0;
};

outcome run(arc_library* lib, int canon, const uint8_t* body, size_t size,
            const std::vector<size_t>& cuts) {
    outcome o;
    arc_msg* msg = arc_message(lib, canon, canon, ARC_ALG_RSASHA256, ARC_MODE_VERIFY, nullptr);
    arc_canon* c = nullptr;
    if (msg == nullptr ||
        arc_add_canon(msg, ARC_CANONTYPE_BODY, canon, ARC_HASHTYPE_SHA256, nullptr, nullptr, -1,
                      &c) != ARC_STAT_OK ||
        arc_canon_init(msg, false, false) != ARC_STAT_OK) {
        abort();
    }
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : size;
        if (arc_canon_bodychunk(msg, body + from, to - from) != ARC_STAT_OK) {
            abort();
        }
        from = to;
    }
    o.status = arc_canon_closebody(msg);
    if (o.status == ARC_STAT_OK) {
        unsigned char* d = nullptr;
        if (arc_canon_getfinal(c, &d, &o.len) != ARC_STAT_OK) {
            abort();
        }
        memcpy(o.digest, d, o.len);
    }
    arc_free(msg);
    return o;
}

bool same(const outcome& a, const outcome& b) {
    return a.status == b.status && a.len == b.len && memcmp(a.digest, b.digest, a.len) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // First byte: canonicalization and repair; second: cut spacing.
    const int canon = (data[0] & 1) != 0 ? ARC_CANON_RELAXED : ARC_CANON_SIMPLE;
    const bool fix = (data[0] & 2) != 0;
    const size_t step = 1 + data[1] % 37;
    const uint8_t* body = data + 2;
    const size_t len = size - 2;

    static arc_library* lib[2] = {nullptr, nullptr};
    if (lib[fix] == nullptr) {
        lib[fix] = arc_init();
        unsigned flags = fix ? ARC_LIBFLAGS_FIXCRLF : 0;
        arc_options(lib[fix], ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags);
    }
    std::vector<size_t> cuts;
    for (size_t at = step; at < len; at += step + (at % 5)) {
        cuts.push_back(at);
    }
    const outcome whole = run(lib[fix], canon, body, len, {});
    const outcome cut = run(lib[fix], canon, body, len, cuts);
    if (!same(whole, cut)) {
        abort();
    }
    return 0;
}
