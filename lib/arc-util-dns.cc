// SPDX-License-Identifier: BSD-2-Clause
// arc-util-dns.cc - the DNS helpers of the key lookup: the reply check and
// the wait until the earlier of two deadlines.
//
// Part of the arc-util module; the declarations are in arc-util.h.
// Memory:  none allocated.
// Errors:  none: the reply check classifies, it never fails.
// Threads: pure functions of their arguments (and the clock).
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/time.h>

#include <cassert>
#include <cstdint>

#include "arc-util.h"

namespace {

// Size of the scratch buffer names are expanded into.
constexpr int name_buffer_size = 257;

// Reads a 16-bit field in network byte order.
uint16_t get16(const unsigned char* p) noexcept {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// True when n bytes from p stay inside the reply that ends at eom.
bool fits(const unsigned char* p, const unsigned char* eom, size_t n) noexcept {
    return p <= eom && static_cast<size_t>(eom - p) >= n;
}

}  // namespace

int arc_check_dns_reply(const unsigned char* ansbuf, size_t anslen, int xclass,
                        int xtype) noexcept {
    assert(ansbuf != NULL);
    // A reply too short for its header is broken, not merely truncated.
    if (anslen < HFIXEDSZ) {
        return 2;
    }
    const unsigned char* const eom = ansbuf + anslen;
    const bool truncated = (ansbuf[2] & 0x02) != 0;
    const int rcode = ansbuf[3] & 0x0f;
    unsigned qdcount = get16(ansbuf + 4);
    unsigned ancount = get16(ansbuf + 6);
    const unsigned char* cp = ansbuf + HFIXEDSZ;

    int qtype = 0xffff;
    int qclass = 0xffff;
    while (qdcount-- > 0) {
        const int n = dn_skipname(cp, eom);
        if (n < 0) {
            return 2;
        }
        cp += n;
        if (!fits(cp, eom, QFIXEDSZ)) {
            return 2;
        }
        qtype = get16(cp);
        qclass = get16(cp + 2);
        cp += QFIXEDSZ;
    }
    if (qtype != xtype || qclass != xclass) {
        return 0;
    }
    if (rcode == ns_r_nxdomain) {
        return 0;
    }
    if (ancount == 0) {
        return truncated ? 2 : 0;
    }

    char name[name_buffer_size];
    while (ancount > 0 && cp < eom) {
        --ancount;
        int n = dn_expand(ansbuf, eom, cp, name, sizeof name);
        if (n < 0) {
            return 2;
        }
        cp += n;
        if (!fits(cp, eom, INT16SZ + INT16SZ + INT32SZ)) {
            return 2;
        }
        const int type = get16(cp);
        cp += INT16SZ + INT16SZ + INT32SZ;  // type, class, TTL
        if (type == ns_t_cname) {
            if (!fits(cp, eom, INT16SZ)) {
                return 2;
            }
            cp += INT16SZ;  // RDLENGTH; the target name is walked instead
            n = dn_expand(ansbuf, eom, cp, name, sizeof name);
            if (n < 0) {
                return 2;
            }
            cp += n;
            continue;
        }
        if (type != xtype) {
            return truncated ? 1 : 0;
        }
        if (!fits(cp, eom, INT16SZ) || !fits(cp + INT16SZ, eom, get16(cp))) {
            return 2;
        }
        return truncated ? 1 : 0;
    }
    if (ancount > 0) {
        return 2;
    }
    return truncated ? 1 : 0;
}

void arc_min_timeval(struct timeval* t1, struct timeval* t2, struct timeval* t,
                     struct timeval** which) noexcept {
    assert(t1 != NULL);
    assert(t != NULL);
    struct timeval* next = t1;
    if (t2 != nullptr &&
        (t2->tv_sec < t1->tv_sec || (t2->tv_sec == t1->tv_sec && t2->tv_usec <= t1->tv_usec))) {
        next = t2;
    }
    struct timeval now {};
    (void)gettimeofday(&now, nullptr);
    if (next->tv_sec < now.tv_sec || (next->tv_sec == now.tv_sec && next->tv_usec <= now.tv_usec)) {
        t->tv_sec = 0;
        t->tv_usec = 0;
    } else {
        t->tv_sec = next->tv_sec - now.tv_sec;
        t->tv_usec = next->tv_usec - now.tv_usec;
        if (t->tv_usec < 0) {
            t->tv_sec -= 1;
            t->tv_usec += 1000000;
        }
    }
    if (which != nullptr) {
        *which = next;
    }
}
