// SPDX-License-Identifier: BSD-2-Clause
// fuzz_ar.cc - libFuzzer target for the Authentication-Results parser.
//
// Parses the input as one field value and checks what the record promises:
// counts within their limits and every text terminated within its field.
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "velmora-ar.h"

namespace {

template <size_t N>
void check_text(const char (&text)[N]) {
    if (memchr(text, '\0', N) == nullptr) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser reads a NUL-terminated value; a NUL inside ends it early.
    std::unique_ptr<char[]> value{new char[size + 1]};
    memcpy(value.get(), data, size);
    value[size] = '\0';

    static authres ar;
    if (ares_parse(value.get(), &ar) != 0) {
        return 0;
    }
    if (ar.ares_nresults < 0 || ar.ares_nresults > 15) {
        abort();
    }
    check_text(ar.ares_host);
    check_text(ar.ares_version);
    for (int i = 0; i < ar.ares_nresults; ++i) {
        const authres_result& r = ar.ares_results[i];
        if (r.result_nprops < 0 || r.result_nprops > ARES_MAXPROPS) {
            abort();
        }
        check_text(r.result_reason);
        check_text(r.result_comment);
        ares_getmethod(r.result_method);
        if (ares_getresult(r.result_result) == nullptr) {
            abort();  // every result code the parser stores has a name
        }
        for (int p = 0; p < r.result_nprops; ++p) {
            check_text(r.result_property[p]);
            check_text(r.result_value[p]);
            if (ares_getptype(r.result_ptype[p]) == nullptr) {
                abort();
            }
        }
    }
    return 0;
}
