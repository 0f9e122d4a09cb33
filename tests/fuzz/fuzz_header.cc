// SPDX-License-Identifier: BSD-2-Clause
// fuzz_header.cc - arbitrary header blocks through message intake and the end
// of the header block, and so through the tag-value parser.
//
// The first input byte chooses the library flags and the mode; the rest is
// the header block. Fields are split as an MTA splits them: a line starting
// with a blank continues the field, and the line end closing a field is not
// handed over. The same bytes are also parsed directly as each kind of
// tag-value text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "arc.h"
#include "velmora.h"

namespace {

arc_library* library(unsigned flags) {
    static arc_library* lib = arc_init();
    if (lib == nullptr) {
        abort();
    }
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags);
    return lib;
}

// Reads every text the message hands out, so that a missing NUL shows.
void touch(arc_msg* msg) {
    if (const char* e = arc_geterror(msg); e != nullptr && strlen(e) > 100000) {
        abort();
    }
    for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = arc_hdr_next(h)) {
        size_t namelen = 0;
        const char* name = arc_hdr_name(h, &namelen);
        if (namelen > h->hdr_textlen || strlen(name) != h->hdr_textlen ||
            arc_hdr_value(h) > name + h->hdr_textlen) {
            abort();
        }
    }
}

// Feeds one field (without its closing line end) when it is not empty.
void feed(arc_msg* msg, std::string_view field) {
    while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) {
        field.remove_suffix(1);
    }
    if (!field.empty()) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(field.data()), field.size());
    }
}

void run_header_block(std::string_view block, unsigned flags, int mode) {
    arc_msg* msg = arc_message(library(flags), ARC_CANON_RELAXED, ARC_CANON_SIMPLE,
                               ARC_ALG_RSASHA256, mode, nullptr);
    if (msg == nullptr) {
        abort();
    }
    size_t start = 0;
    for (size_t i = 0; i < block.size(); ++i) {
        const bool line_end = block[i] == '\n';
        const bool continues =
            i + 1 < block.size() && (block[i + 1] == ' ' || block[i + 1] == '\t');
        if (line_end && !continues) {
            feed(msg, block.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    feed(msg, block.substr(start));
    if (arc_eoh(msg) == ARC_STAT_OK) {
        // The instance table never outgrows what RFC 8617 allows.
        if (msg->arc_nsets > ARC_MAXINSTANCES) {
            abort();
        }
        if (msg->arc_nsets != 0 && msg->arc_cstate != ARC_CHAIN_FAIL) {
            for (unsigned n = 0; n < msg->arc_nsets; ++n) {
                const arc_set& s = msg->arc_sets[n];
                if (s.arcset_aar == nullptr || s.arcset_ams == nullptr || s.arcset_as == nullptr) {
                    abort();  // an incomplete chain must have failed
                }
            }
        }
    }
    touch(msg);
    arc_free(msg);
}

void run_tag_values(std::string_view text) {
    arc_msg* msg = arc_message(library(0), 0, 0, 0, ARC_MODE_VERIFY, nullptr);
    if (msg == nullptr) {
        abort();
    }
    for (int type :
         {ARC_KVSETTYPE_SIGNATURE, ARC_KVSETTYPE_KEY, ARC_KVSETTYPE_SEAL, ARC_KVSETTYPE_AR}) {
        arc_kvset* set = nullptr;
        if (arc_process_set(msg, type, text.data(), text.size(), nullptr, &set) == ARC_STAT_OK) {
            for (const char* tag : {"i", "b", "bh", "h", "k", "p", "cv"}) {
                if (const char* v = arc_param_get(set, tag); v != nullptr) {
                    arc_check_uint(v);
                }
            }
        }
    }
    touch(msg);
    arc_free(msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned flags = (data[0] & 0x01) != 0 ? ARC_LIBFLAGS_FIXCRLF : 0;
    const int mode = (data[0] & 0x06) == 0 ? ARC_MODE_VERIFY : (data[0] >> 1) & 0x03;
    const std::string_view rest{reinterpret_cast<const char*>(data + 1), size - 1};
    run_header_block(rest, flags, mode);
    run_tag_values(rest);
    return 0;
}
