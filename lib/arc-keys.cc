// SPDX-License-Identifier: BSD-2-Clause
// arc-keys.cc - fetching the text of a public-key record by DNS or from a key
// file.
//
// The record lives under selector._domainkey.domain: a TXT record, looked up
// through the resolver operations of the library handle, or one line of a flat
// key file. Parsing and checking the record text is the caller's job.
// Memory:  none kept; the reply is read in a stack buffer.
// Errors:  recorded with arc_error() in the message handle.
// Threads: runs on the message's thread and blocks it while the DNS waits.
#include "arc-keys.h"

#include <arpa/nameser.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <resolv.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "arc-dns.h"
#include "arc-unbound.h"
#include "arc-util.h"
#include "arc.h"

namespace {

// Size of the reply buffer of a key query.
constexpr size_t reply_buffer_size = 8192;

// Longest key query name for DNS (plus NUL) and for the key file.
constexpr size_t dns_qname_size = 256;
constexpr size_t file_qname_size = 257;

// Size of the scratch buffer names are expanded into.
constexpr int name_buffer_size = 257;

// Results of the "wait" resolver operation.
constexpr int wait_failed = -1;
constexpr int wait_timed_out = 2;

constexpr int rrtype_rrsig = 46;

using file_ptr = std::unique_ptr<FILE, free_with<fclose>>;

// Opens a key record file for reading without ever waiting on it: a FIFO or
// device put in its place is refused, not read. Null with errno set, or with
// errno 0 when the file is not a regular file.
FILE* open_regular(const char* path) noexcept {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    int failed = 0;
    if (fstat(fd, &st) != 0) {
        failed = errno;
    } else if (!S_ISREG(st.st_mode)) {
        failed = -1;
    } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        failed = errno;
    }
    if (failed != 0) {
        close(fd);
        errno = failed > 0 ? failed : 0;
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        close(fd);
    }
    return f;
}

// Writes selector._domainkey.domain into qname; false when it does not fit.
bool make_qname(const arc_msg* msg, char* qname, size_t size) noexcept {
    const int n =
        std::snprintf(qname, size, "%s.%s.%s", msg->arc_selector, "_domainkey", msg->arc_domain);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// Checks that a key query name can be asked in the DNS: labels of 1 to 63
// octets (a final dot allowed), at most 253 octets in all (RFC 1035 section
// 2.3.4), and no backslash, which the resolvers read as an escape. False
// records why; such a name fails on every try, so it is no passing failure.
bool askable_qname(arc_msg* msg, const char* qname) noexcept {
    constexpr size_t max_label = 63;
    constexpr size_t max_name = 253;
    std::string_view name{qname};
    if (name.size() > 1 && name.back() == '.') {
        name.remove_suffix(1);
    }
    const char* why = nullptr;
    if (name.size() > max_name) {
        why = "longer than 253 octets";
    } else if (name.find('\\') != std::string_view::npos) {
        why = "with a backslash";
    }
    for (size_t at = 0; why == nullptr && at <= name.size();) {
        const size_t dot = std::min(name.find('.', at), name.size());
        if (dot == at) {
            why = "with an empty label";
        } else if (dot - at > max_label) {
            why = "with a label longer than 63 octets";
        }
        at = dot + 1;
    }
    if (why != nullptr) {
        arc_error(msg, "key query name %s: '%s'", why, qname);
        return false;
    }
    return true;
}

uint16_t get16(const unsigned char* p) noexcept {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Records the key about to be fetched in the message's list; null when the
// list is full (a chain cannot fetch more, so nothing is lost).
arc_keyinfo* note_key(arc_msg* msg) noexcept {
    if (msg->arc_nkeys >= ARC_MAXKEYS) {
        return nullptr;
    }
    arc_keyinfo* ki = &msg->arc_keys[msg->arc_nkeys++];
    ki->ki_selector = msg->arc_selector;
    ki->ki_domain = msg->arc_domain;
    ki->ki_dnssec = ARC_DNSSEC_UNKNOWN;
    ki->ki_alg = msg->arc_keyalg;
    return ki;
}

// Stores in *left what is left of the message's DNS time budget, starting the
// budget at the first lookup; false when it is used up. Without a limit
// (arc_timeout 0) *left stays untouched and the answer is true.
bool budget_left(arc_msg* msg, struct timeval* left) noexcept {
    if (msg->arc_timeout == 0) {
        return true;
    }
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec& end = msg->arc_dnsdeadline;
    if (end.tv_sec == 0 && end.tv_nsec == 0) {
        end = now;
        end.tv_sec += static_cast<time_t>(msg->arc_timeout);
    }
    const long long us = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000000LL +
                         (end.tv_nsec - now.tv_nsec) / 1000;
    if (us <= 0) {
        return false;
    }
    left->tv_sec = static_cast<time_t>(us / 1000000);
    left->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return true;
}

// Waits for the reply of query q, at most `limit` (null: no limit), calling
// the library's wait callback as its settings say; returns the result of the
// last wait and stores the reply length and DNSSEC outcome.
int wait_for_reply(arc_msg* msg, void* q, struct timeval* limit, size_t* anslen,
                   int* dnssec) noexcept {
    arc_library* lib = msg->arc_lib;
    int error = 0;
    if (lib->arc_dns_callback == nullptr) {
        return lib->arc_dns_waitreply(lib->arc_dns_service, q, limit, anslen, &error, dnssec);
    }
    struct timeval master {};
    (void)gettimeofday(&master, nullptr);
    if (limit != nullptr) {
        timeradd(&master, limit, &master);
    }
    for (;;) {
        struct timeval next {};
        (void)gettimeofday(&next, nullptr);
        next.tv_sec += static_cast<time_t>(lib->arc_cbint);
        struct timeval wait {};
        struct timeval* which = nullptr;
        arc_min_timeval(&master, &next, &wait, &which);
        const int status = lib->arc_dns_waitreply(
            lib->arc_dns_service, q, limit != nullptr ? &wait : nullptr, anslen, &error, dnssec);
        if (which == &next && (status == 1 || status == wait_timed_out)) {
            lib->arc_dns_callback(msg->arc_user_context);
            continue;
        }
        return status;
    }
}

// Joins the character-strings of a TXT record's data into buf (zero-filled,
// at most buflen - 1 bytes).
void join_txt(std::span<const unsigned char> rdata, char* buf, size_t buflen) noexcept {
    std::memset(buf, 0, buflen);
    if (rdata.empty() || buflen < 2) {
        return;
    }
    size_t out = 0;
    size_t pos = 0;
    while (pos < rdata.size() && out < buflen - 1) {
        size_t n = rdata[pos++];
        n = std::min({n, rdata.size() - pos, buflen - 1 - out});
        std::memcpy(buf + out, rdata.data() + pos, n);
        out += n;
        pos += n;
    }
}

// Reads the key record out of a TXT reply for qname into buf.
ARC_STAT read_key_reply(arc_msg* msg, const char* qname, std::span<const unsigned char> reply,
                        char* buf, size_t buflen) noexcept {
    const unsigned char* const ans = reply.data();
    const unsigned char* const eom = ans + reply.size();
    // A reply shorter than its header, or with a broken question, cannot be
    // read at all; one with no question answers none (class/type -1/-1).
    arc_dns_question question{};
    if (!arc_dns_read_question(reply, &question)) {
        arc_error(msg, "'%s' reply corrupt", qname);
        return ARC_STAT_KEYFAIL;
    }
    if (question.qd_type != ns_t_txt || question.qd_class != ns_c_in) {
        arc_error(msg, "'%s' unexpected reply class/type (%d/%d)", qname, question.qd_class,
                  question.qd_type);
        return ARC_STAT_KEYFAIL;
    }
    const unsigned ancount = get16(ans + 6);
    size_t pos = question.qd_end;
    if ((ans[3] & 0x0f) == ns_r_nxdomain) {
        arc_error(msg, "'%s' record not found", qname);
        return ARC_STAT_NOKEY;
    }
    if (arc_check_dns_reply(ans, reply.size(), ns_c_in, ns_t_txt) == 1) {
        arc_error(msg, "'%s' reply truncated", qname);
        return ARC_STAT_KEYFAIL;
    }
    if (ancount == 0) {
        return ARC_STAT_NOKEY;
    }
    if (pos >= reply.size()) {
        arc_error(msg, "'%s' reply was unresolved CNAME", qname);
        return ARC_STAT_NOKEY;
    }

    char name[name_buffer_size];
    size_t txt = 0;  // offset of the TXT record's data, 0 = none found
    size_t txtlen = 0;
    for (unsigned i = 0; i < ancount && pos < reply.size(); ++i) {
        const int n = dn_expand(ans, eom, ans + pos, name, sizeof name);
        if (n < 0 || reply.size() - pos - static_cast<size_t>(n) < 10) {
            arc_error(msg, "'%s' reply corrupt", qname);
            return ARC_STAT_KEYFAIL;
        }
        pos += static_cast<size_t>(n);
        const int type = get16(ans + pos);
        const size_t rdlength = get16(ans + pos + 8);
        pos += 10;  // type, class, TTL, RDLENGTH
        if (type == ns_t_txt) {
            if (txt != 0) {
                arc_error(msg, "multiple DNS replies for '%s'", qname);
                return ARC_STAT_MULTIREPLY;
            }
            txt = pos;
            txtlen = rdlength;
        } else if (type != ns_t_cname && type != rrtype_rrsig) {
            arc_error(msg, "'%s' reply was unexpected type %d", qname, type);
            return ARC_STAT_KEYFAIL;
        }
        pos += rdlength;
    }
    if (txt == 0) {
        arc_error(msg, "'%s' reply was unresolved CNAME", qname);
        return ARC_STAT_NOKEY;
    }
    if (txtlen > reply.size() - txt) {
        arc_error(msg, "'%s' reply corrupt", qname);
        return ARC_STAT_SYNTAX;
    }
    join_txt(reply.subspan(txt, txtlen), buf, buflen);
    return ARC_STAT_OK;
}

}  // namespace

ARC_STAT arc_get_key_dns(arc_msg* msg, char* buf, size_t buflen) noexcept {
    assert(msg != NULL);
    assert(msg->arc_selector != NULL);
    assert(msg->arc_domain != NULL);
    arc_library* lib = msg->arc_lib;

    char qname[dns_qname_size];
    if (!make_qname(msg, qname, sizeof qname)) {
        arc_error(msg, "key query name too large");
        return ARC_STAT_NORESOURCE;
    }
    if (!askable_qname(msg, qname)) {
        return ARC_STAT_SYNTAX;
    }
    // The service was started with the handle (arc_dns_setup); a lookup only
    // reads it, so that lookups on several threads never race.
    if (!lib->arc_dns_ready) {
        msg->arc_dnstempfail = true;
        arc_error(msg, "cannot initialize resolver");
        return ARC_STAT_KEYFAIL;
    }
    arc_keyinfo* info = note_key(msg);
    struct timeval limit {};
    if (!budget_left(msg, &limit)) {
        msg->arc_dnstempfail = true;
        arc_error(msg, "'%s' query timed out (DNS time limit of %u seconds per message used up)",
                  qname, msg->arc_timeout);
        return ARC_STAT_KEYFAIL;
    }
    unsigned char reply[reply_buffer_size];
    void* q = nullptr;
    if (lib->arc_dns_start == nullptr ||
        lib->arc_dns_start(lib->arc_dns_service, ns_t_txt,
                           reinterpret_cast<const unsigned char*>(qname), reply, sizeof reply,
                           &q) != 0) {
        msg->arc_dnstempfail = true;
        arc_error(msg, "'%s' query failed", qname);
        return ARC_STAT_KEYFAIL;
    }
    size_t anslen = 0;
    int dnssec = ARC_DNSSEC_UNKNOWN;
    const int status =
        wait_for_reply(msg, q, msg->arc_timeout != 0 ? &limit : nullptr, &anslen, &dnssec);
    // The validating resolver says why a query failed or is bogus; keep the
    // text before the query handle goes.
    char reason[256] = "";
    if (lib->arc_dns_waitreply == arc_ub_waitreply && arc_ub_reason(q) != nullptr) {
        std::snprintf(reason, sizeof reason, "%s", arc_ub_reason(q));
    }
    if (lib->arc_dns_cancel != nullptr) {
        (void)lib->arc_dns_cancel(lib->arc_dns_service, q);
    }
    if (status == wait_failed || status == wait_timed_out) {
        msg->arc_dnstempfail = true;
    }
    if (status == wait_failed) {
        if (reason[0] != '\0') {
            arc_error(msg, "'%s' query failed: %s", qname, reason);
        } else {
            arc_error(msg, "'%s' query failed", qname);
        }
        return ARC_STAT_KEYFAIL;
    }
    if (status == wait_timed_out) {
        arc_error(msg, "'%s' query timed out", qname);
        return ARC_STAT_KEYFAIL;
    }
    if (info != nullptr) {
        info->ki_dnssec = dnssec;
    }
    if (dnssec == ARC_DNSSEC_BOGUS) {
        arc_error(msg, "'%s' DNSSEC validation failed: %s", qname,
                  reason[0] != '\0' ? reason : "bogus answer");
        return ARC_STAT_KEYFAIL;
    }
    // An adapter never hands back more than the buffer holds; do not trust it.
    if (anslen > sizeof reply) {
        anslen = sizeof reply;
    }
    return read_key_reply(msg, qname, std::span<const unsigned char>{reply, anslen}, buf, buflen);
}

ARC_STAT arc_get_key_file(arc_msg* msg, char* buf, size_t buflen) noexcept {
    assert(msg != NULL);
    assert(msg->arc_selector != NULL);
    assert(msg->arc_domain != NULL);
    assert(msg->arc_query == ARC_QUERY_FILE);
    const char* path = msg->arc_lib->arc_queryinfo;

    (void)note_key(msg);
    if (path[0] == '\0') {
        arc_error(msg, "query file not defined");
        return ARC_STAT_KEYFAIL;
    }
    file_ptr f{open_regular(path)};
    if (!f) {
        arc_error(msg, "%s: fopen(): %s", path,
                  errno != 0 ? std::strerror(errno) : "Not a regular file");
        return ARC_STAT_KEYFAIL;
    }
    char qname[file_qname_size];
    if (!make_qname(msg, qname, sizeof qname)) {
        arc_error(msg, "key query name too large");
        return ARC_STAT_NORESOURCE;
    }
    const size_t qlen = std::strlen(qname);
    // fgets cannot read anything into fewer than 2 bytes, so no line can match.
    if (buflen < 2) {
        if (buflen == 1) {
            buf[0] = '\0';
        }
        return ARC_STAT_NOKEY;
    }
    const int size = buflen > INT_MAX ? INT_MAX : static_cast<int>(buflen);
    std::memset(buf, 0, buflen);
    while (std::fgets(buf, size, f.get()) != nullptr) {
        if (buf[0] == '#') {
            continue;
        }
        char* p = buf;
        while (*p != '\0' && *p != '\n' && !arc_is_c_space(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (*p == '\0' || *p == '\n') {
            continue;  // no separator: no record on this line
        }
        const size_t namelen = static_cast<size_t>(p - buf);
        while (*p != '\0' && arc_is_c_space(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (namelen == qlen && strncasecmp(buf, qname, qlen) == 0) {
            const size_t reclen = std::strlen(p);
            std::memmove(buf, p, reclen);
            std::memset(buf + reclen, 0, buflen - reclen);
            return ARC_STAT_OK;
        }
    }
    std::memset(buf, 0, buflen);
    return ARC_STAT_NOKEY;
}

bool arc_key_dnstempfail(arc_msg* msg) noexcept {
    assert(msg != NULL);
    return msg->arc_dnstempfail;
}

unsigned int arc_key_count(arc_msg* msg) noexcept {
    assert(msg != NULL);
    return msg->arc_nkeys;
}

ARC_STAT arc_key_info(arc_msg* msg, unsigned int idx, const char** selector, const char** domain,
                      int* dnssec) noexcept {
    assert(msg != NULL);
    if (idx >= msg->arc_nkeys) {
        return ARC_STAT_INVALID;
    }
    const arc_keyinfo& ki = msg->arc_keys[idx];
    if (selector != nullptr) {
        *selector = ki.ki_selector;
    }
    if (domain != nullptr) {
        *domain = ki.ki_domain;
    }
    if (dnssec != nullptr) {
        *dnssec = ki.ki_dnssec;
    }
    return ARC_STAT_OK;
}
