// SPDX-License-Identifier: BSD-2-Clause
// velmora-lists.cc - peer and internal-host lists.
//
// A list holds its file's lines newest first. Matching tries the candidate
// forms of a host name or address from the most specific to the least; for
// each, a negated entry ("!" and the form) answers no before a plain entry
// answers yes.
// Memory:  malloc/free for the entries.
// Errors:  loaders report the system's error text; matching cannot fail.
// Threads: none; lists are read-only once loaded.
#include "velmora-lists.h"

#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "util.h"

namespace {

// Longest entry read from one line piece, without its NUL.
constexpr size_t list_line_max = 1023;

}  // namespace

bool arcf_addlist(arcf_list** list, const char* str, const char** err) noexcept {
    const size_t len = strlen(str) + 1;
    calloc_ptr<arcf_list> entry{static_cast<arcf_list*>(calloc(1, sizeof(arcf_list)))};
    char* copy = entry ? static_cast<char*>(malloc(len)) : nullptr;
    if (copy == nullptr) {
        *err = strerror(errno);
        return false;
    }
    memcpy(copy, str, len);
    entry->list_str = copy;
    entry->list_next = *list;
    *list = entry.release();
    return true;
}

bool arcf_list_load(arcf_list** list, const char* path, const char** err) noexcept {
    // A FIFO or device here would stall the load (and every connection
    // waiting on it); only a regular file is read.
    char why[1100];
    file_ptr f{arcf_fopen_regular(path, why, sizeof why)};
    if (!f) {
        *err = errno == 0 ? "Not a regular file" : strerror(errno);
        return false;
    }
    char buf[list_line_max + 1];
    while (fgets(buf, sizeof buf, f.get()) != nullptr) {
        buf[strcspn(buf, "\n")] = '\0';
        if (!arcf_addlist(list, buf, err)) {
            return false;
        }
    }
    if (ferror(f.get())) {
        *err = strerror(errno);
        return false;
    }
    return true;
}

void arcf_list_destroy(arcf_list** list) noexcept {
    arcf_list* entry = *list;
    while (entry != nullptr) {
        arcf_list* next = entry->list_next;
        free(entry->list_str);
        free(entry);
        entry = next;
    }
    *list = nullptr;
}

namespace {

enum class verdict { no, yes, undecided };

// Tests one candidate form: a negated entry for it answers no, a plain one yes.
verdict test_candidate(const arcf_list* list, const char* cand) noexcept {
    for (const arcf_list* e = list; e != nullptr; e = e->list_next) {
        if (e->list_str[0] == '!' && strcmp(e->list_str + 1, cand) == 0) {
            return verdict::no;
        }
    }
    for (const arcf_list* e = list; e != nullptr; e = e->list_next) {
        if (strcmp(e->list_str, cand) == 0) {
            return verdict::yes;
        }
    }
    return verdict::undecided;
}

// Tests A, [A], and then M/N and [M]/N for every prefix length N from `bits`
// down to 0, where format(N, M) writes the address masked to N bits.
template <typename Format>
bool check_address(const arcf_list* list, int bits, Format&& format) noexcept {
    char text[INET6_ADDRSTRLEN];
    char cand[INET6_ADDRSTRLEN + 8];
    format(bits, text, sizeof text);
    for (const bool bracket : {false, true}) {
        snprintf(cand, sizeof cand, bracket ? "[%s]" : "%s", text);
        if (const verdict v = test_candidate(list, cand); v != verdict::undecided) {
            return v == verdict::yes;
        }
    }
    for (int n = bits; n >= 0; --n) {
        format(n, text, sizeof text);
        for (const bool bracket : {false, true}) {
            snprintf(cand, sizeof cand, bracket ? "[%s]/%d" : "%s/%d", text, n);
            if (const verdict v = test_candidate(list, cand); v != verdict::undecided) {
                return v == verdict::yes;
            }
        }
    }
    return false;
}

}  // namespace

bool arcf_checkhost(const arcf_list* list, const char* host) noexcept {
    assert(host != NULL);
    if (list == nullptr || host[0] == '\0') {
        return false;
    }
    for (const char* cand = host; cand != nullptr; cand = strchr(cand + 1, '.')) {
        if (const verdict v = test_candidate(list, cand); v != verdict::undecided) {
            return v == verdict::yes;
        }
    }
    return false;
}

bool arcf_checkip(const arcf_list* list, const struct sockaddr* ip) noexcept {
    assert(ip != NULL);
    if (list == nullptr) {
        return false;
    }
    if (ip->sa_family == AF_INET) {
        struct sockaddr_in sin;
        memcpy(&sin, ip, sizeof sin);
        const uint32_t host_order = ntohl(sin.sin_addr.s_addr);
        return check_address(list, 32, [&](int n, char* buf, size_t len) {
            const uint32_t mask = n == 0 ? 0 : ~uint32_t{0} << (32 - n);
            struct in_addr masked;
            masked.s_addr = htonl(host_order & mask);
            arcf_inet_ntoa(masked, buf, len);
        });
    }
    if (ip->sa_family == AF_INET6) {
        struct sockaddr_in6 sin6;
        memcpy(&sin6, ip, sizeof sin6);
        return check_address(list, 128, [&](int n, char* buf, size_t len) {
            struct in6_addr masked = sin6.sin6_addr;
            for (int bit = n; bit < 128; ++bit) {
                masked.s6_addr[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
            }
            if (inet_ntop(AF_INET6, &masked, buf, static_cast<socklen_t>(len)) == nullptr) {
                buf[0] = '\0';
            }
            arcf_lowercase(buf);
        });
    }
    return false;
}
