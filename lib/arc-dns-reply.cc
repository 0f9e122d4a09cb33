// SPDX-License-Identifier: BSD-2-Clause
// arc-dns-reply.cc - reading DNS replies for the key lookup: the walk over the
// header and question section that every reader of a reply shares, the reply
// check, and the wait until the earlier of two deadlines.
//
// Part of the arc-dns module; the declarations are in arc-dns.h.
// Memory:  none allocated.
// Errors:  none: the readers classify, they never fail.
// Threads: pure functions of their arguments (and the clock).
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/time.h>

#include <cassert>
#include <cstdint>

#include "arc-dns.h"

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

bool arc_dns_read_question(std::span<const unsigned char> reply, arc_dns_question* out) noexcept {
    assert(out != NULL);
    if (reply.size() < HFIXEDSZ) {
        return false;
    }
    const unsigned char* const ans = reply.data();
    const unsigned char* const eom = ans + reply.size();
    arc_dns_question q{};
    q.qd_count = get16(ans + 4);
    q.qd_type = -1;
    q.qd_class = -1;
    const unsigned char* cp = ans + HFIXEDSZ;
    for (unsigned i = 0; i < q.qd_count; ++i) {
        const int n = dn_skipname(cp, eom);
        if (n < 0 || !fits(cp + n, eom, QFIXEDSZ)) {
            return false;
        }
        cp += n;
        q.qd_type = get16(cp);
        q.qd_class = get16(cp + 2);
        cp += QFIXEDSZ;
    }
    q.qd_end = static_cast<size_t>(cp - ans);
    *out = q;
    return true;
}

int arc_check_dns_reply(const unsigned char* ansbuf, size_t anslen, int xclass,
                        int xtype) noexcept {
    assert(ansbuf != NULL);
    // A reply too short for its header, or with a broken question, is broken,
    // not merely truncated.
    arc_dns_question question{};
    if (!arc_dns_read_question({ansbuf, anslen}, &question)) {
        return 2;
    }
    if (question.qd_type != xtype || question.qd_class != xclass) {
        return 0;
    }
    const unsigned char* const eom = ansbuf + anslen;
    const bool truncated = (ansbuf[2] & 0x02) != 0;
    const int rcode = ansbuf[3] & 0x0f;
    unsigned ancount = get16(ansbuf + 6);
    const unsigned char* cp = ansbuf + question.qd_end;
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
