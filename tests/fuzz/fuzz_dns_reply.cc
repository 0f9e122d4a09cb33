// SPDX-License-Identifier: BSD-2-Clause
// fuzz_dns_reply.cc - arbitrary DNS reply bytes through arc_check_dns_reply and
// through the key lookup's reply walk (arc_get_key_dns, then the key record
// checks of arc_get_key), by way of resolver operations that hand back the
// input as the reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arc-dns.h"
#include "arc-keys.h"
#include "arc-util.h"
#include "arc.h"

namespace {

const uint8_t* reply_data = nullptr;
size_t reply_size = 0;
int query_marker = 0;

int fuzz_init(void** srv) {
    *srv = &query_marker;
    return 0;
}

void fuzz_close(void*) {}

int fuzz_start(void*, int, const unsigned char*, unsigned char* buf, size_t buflen, void** qh) {
    std::memcpy(buf, reply_data, std::min(buflen, reply_size));
    *qh = &query_marker;
    return 0;
}

int fuzz_cancel(void*, void*) {
    return 0;
}

// Reports the input's whole length, even past the buffer, as a resolver may.
int fuzz_wait(void*, void*, struct timeval*, size_t* bytes, int* error, int* dnssec) {
    *bytes = reply_size;
    *error = 0;
    *dnssec = -1;
    return 0;
}

arc_library* library() {
    static arc_library* lib = [] {
        arc_library* l = arc_init();
        l->arc_dns_init = fuzz_init;
        l->arc_dns_close = fuzz_close;
        l->arc_dns_start = fuzz_start;
        l->arc_dns_cancel = fuzz_cancel;
        l->arc_dns_waitreply = fuzz_wait;
        (void)arc_dns_setup(l);
        return l;
    }();
    return lib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)arc_check_dns_reply(data, size, 1, 16);
    (void)arc_check_dns_reply(data, size, 1, 1);

    reply_data = data;
    reply_size = size;
    arc_library* lib = library();
    if (lib == nullptr) {
        return 0;
    }
    const char* err = nullptr;
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY, &err);
    if (msg == nullptr) {
        return 0;
    }
    msg->arc_selector = "s1";
    msg->arc_domain = "d1";
    msg->arc_hashtype = ARC_HASHTYPE_SHA256;
    char buf[1025];
    (void)arc_get_key_dns(msg, buf, sizeof buf);
    char small[7];
    (void)arc_get_key_dns(msg, small, sizeof small);
    (void)arc_get_key(msg, false);
    // Once more as for an Ed25519 signature: k=ed25519 records go on to the
    // key length check.
    msg->arc_keyalg = ARC_ALG_ED25519SHA256;
    (void)arc_get_key(msg, false);
    arc_free(msg);
    return 0;
}
