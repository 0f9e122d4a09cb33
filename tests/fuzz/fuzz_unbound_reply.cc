// SPDX-License-Identifier: BSD-2-Clause
// fuzz_unbound_reply.cc - results of any shape from libunbound through the
// resolver adapter's answer path (arc_ub_waitreply, then the key lookup's
// reply walk and the key record checks, and the copy kept in its answer
// cache): the input's first byte chooses the result's flags and TTL, its
// second the RCODE, and the rest is the answer packet.
// The query is never sent; the result is delivered as libunbound's callback
// delivers it.
#include <unbound.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arc-keys.h"
#include "arc-unbound.h"
#include "arc.h"

namespace {

const uint8_t* input = nullptr;
size_t input_size = 0;

// Builds a result as libunbound allocates one, so ub_resolve_free frees it.
ub_result* make_result() {
    auto* r = static_cast<ub_result*>(std::calloc(1, sizeof(ub_result)));
    const uint8_t flags = input[0];
    r->rcode = input[1] & 0x0f;
    r->secure = (flags & 0x02) != 0;
    r->bogus = (flags & 0x04) != 0;
    if ((flags & 0x08) != 0) {
        r->why_bogus = strdup("validation failure <s1._domainkey.d1. TXT IN>: fuzzed");
    }
    r->answer_len = static_cast<int>(input_size - 2);
    r->answer_packet = std::malloc(input_size - 2 + 1);
    std::memcpy(r->answer_packet, input + 2, input_size - 2);
    r->havedata = r->answer_len > 0;
    // A TTL makes the adapter keep a copy of the reply in its cache.
    r->ttl = (flags & 0x20) != 0 ? 60 : 0;
    return r;
}

int fuzz_start(void* srv, int type, const unsigned char* name, unsigned char* buf, size_t buflen,
               void** qh) {
    void* q = arc_ub_make_query(srv, reinterpret_cast<const char*>(name), type, buf, buflen);
    if (q == nullptr) {
        return -1;
    }
    const uint8_t flags = input[0];
    if ((flags & 0x10) != 0) {
        arc_ub_deliver(q, UB_SERVFAIL, nullptr);  // libunbound's own failure
    } else {
        arc_ub_deliver(q, 0, make_result());
    }
    *qh = q;
    return 0;
}

arc_library* library() {
    static arc_library* lib = [] {
        arc_library* l = arc_init();
        // An empty configuration: the context is made, and never asked.
        char path[] = "/tmp/velmora-fuzz-unbound.XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            close(fd);
        }
        char err[256];
        if (arc_dns_unbound(l, path, nullptr, err, sizeof err) != ARC_STAT_OK) {
            std::abort();
        }
        unlink(path);
        l->arc_dns_start = fuzz_start;
        return l;
    }();
    return lib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    input = data;
    input_size = size;
    arc_library* lib = library();
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
    (void)arc_key_count(msg);
    arc_free(msg);
    return 0;
}
