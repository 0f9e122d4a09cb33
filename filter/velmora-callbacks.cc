// SPDX-License-Identifier: BSD-2-Clause
// velmora-callbacks.cc - connection and message contexts and the intake
// callbacks: negotiate, connect, envelope sender, header, end of headers,
// body, abort and close.
//
// A connection decides here whether it is filtered and in which mode; each
// message's header fields are collected, gated by the optional compliance and
// seal header checks, and handed with the body to the library's message handle.
// Memory:  the C library's allocator; contexts are freed by arcf_cleanup() and
//          mlfi_close().
// Errors:  each callback answers a milter status and logs once; only resource
//          and internal faults answer SMFIS_TEMPFAIL.
// Threads: one connection's callbacks run in one thread at a time; shared state
//          is reached through arcf_config_take()/arcf_config_release().
#include "velmora-callbacks.h"

#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <netinet/in.h>
#include <regex.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <cctype>
#include <iterator>

#include <jansson.h>

#include "velmora-actions.h"
#include "velmora-config.h"
#include "velmora-signtable.h"

const char* const arcf_status_names[5] = {"SMFIS_CONTINUE", "SMFIS_REJECT", "SMFIS_DISCARD",
                                          "SMFIS_ACCEPT", "SMFIS_TEMPFAIL"};

std::atomic<bool> warn_nojobid{true};

void arcf_conflog(const arcf_config* conf, int priority, const char* fmt, ...) noexcept {
    if (conf != nullptr ? !conf->conf_dolog : !dolog.load()) {
        return;
    }
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    // Whatever a caller quoted, the line stays one line.
    for (char* p = line; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) {
            *p = ' ';
        }
    }
    arcf_log(priority, "%s", line);
}

namespace {

// Set once the missing header-change permission has been logged.
std::atomic<bool> warned_nochghdrs{false};

arcf_connctx* connctx_of(SMFICTX* ctx) noexcept {
    return static_cast<arcf_connctx*>(arcf_getpriv(ctx));
}

// Drops a connection context: its message, its reference and the record.
void drop_connctx(arcf_connctx* cc) noexcept {
    if (cc->cctx_config != nullptr) {
        arcf_config_release(cc->cctx_config);
    }
    free(cc);
}

// A new connection context holding a reference on the current record.
arcf_connctx* new_connctx() noexcept {
    auto* cc = static_cast<arcf_connctx*>(calloc(1, sizeof(arcf_connctx)));
    if (cc != nullptr) {
        cc->cctx_config = arcf_config_take();
    }
    return cc;
}

}  // namespace

// ---- Contexts ----

arcf_msgctx* arcf_initcontext(arcf_config* conf) noexcept {
    assert(conf != NULL);
    auto* afc = static_cast<arcf_msgctx*>(calloc(1, sizeof(arcf_msgctx)));
    if (afc != nullptr) {
        snprintf(afc->mctx_jobid, sizeof afc->mctx_jobid, "%s", "(unknown-jobid)");
    }
    return afc;
}

void arcf_cleanup(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    arcf_connctx* cc = connctx_of(ctx);
    if (cc == nullptr || cc->cctx_msg == nullptr) {
        return;
    }
    arcf_msgctx* afc = cc->cctx_msg;
    for (arcf_header* h = afc->mctx_hqhead; h != nullptr;) {
        arcf_header* next = h->hdr_next;
        free(h);
        h = next;
    }
    if (afc->mctx_arcmsg != nullptr) {
        arc_free(afc->mctx_arcmsg);
    }
    arcf_dstring_free(afc->mctx_tmpstr);
    free(afc->mctx_claims);
    free(afc);
    cc->cctx_msg = nullptr;
}

bool arcf_validates(const arcf_connctx* cc) noexcept {
    assert(cc != NULL);
    return (cc->cctx_mode & ARC_MODE_VERIFY) != 0;
}

arcf_header* arcf_findheader(arcf_msgctx* afc, const char* hname, int n) noexcept {
    assert(afc != NULL);
    assert(hname != NULL);
    for (arcf_header* h = afc->mctx_hqhead; h != nullptr; h = h->hdr_next) {
        if (strcasecmp(h->hdr_name, hname) == 0) {
            if (n == 0) {
                return h;
            }
            --n;
        }
    }
    return nullptr;
}

arc_msg* arcf_getarc(void* vp) noexcept {
    assert(vp != NULL);
    const auto* cc = static_cast<arcf_connctx*>(vp);
    return cc->cctx_msg != nullptr ? cc->cctx_msg->mctx_arcmsg : nullptr;
}

// ---- Connection ----

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long /*f2*/,
                        unsigned long /*f3*/, unsigned long* pf0, unsigned long* pf1,
                        unsigned long* pf2, unsigned long* pf3) noexcept {
    assert(ctx != NULL);
    arcf_config_reload();

    arcf_connctx* cc = new_connctx();
    if (cc == nullptr) {
        arcf_conflog(nullptr, LOG_ERR, "mlfi_negotiate(): malloc(): %s", strerror(errno));
        return SMFIS_TEMPFAIL;
    }
    const arcf_config* conf = cc->cctx_config;
    if ((f0 & SMFIF_ADDHDRS) == 0) {
        arcf_conflog(conf, LOG_ERR,
                     "mlfi_negotiate(): required milter action(s) not available (got 0x%lx, "
                     "need 0x%lx)",
                     f0, static_cast<unsigned long>(SMFIF_ADDHDRS));
        drop_connctx(cc);
        return SMFIS_REJECT;
    }
    // Removing Authentication-Results fields that claim to be ours needs
    // SMFIF_CHGHDRS; without it such fields are only ignored.
    cc->cctx_chghdrs = (f0 & SMFIF_CHGHDRS) != 0;
    if (!cc->cctx_chghdrs && !warned_nochghdrs.exchange(true)) {
        arcf_conflog(conf, LOG_WARNING,
                     "mlfi_negotiate(): MTA does not allow removing header fields; "
                     "Authentication-Results fields naming this host are ignored, not removed");
    }
    *pf0 = SMFIF_ADDHDRS | (f0 & SMFIF_CHGHDRS);
    constexpr unsigned long wanted_steps =
        SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN | SMFIP_NODATA | SMFIP_SKIP;
    static_assert(wanted_steps == 0x70a, "the protocol steps the filter skips");
    *pf1 = f1 & wanted_steps;
    if ((f1 & SMFIP_HDR_LEADSPC) != 0) {
        *pf1 |= SMFIP_HDR_LEADSPC;
        cc->cctx_leadspc = true;
    }
    *pf2 = 0;
    *pf3 = 0;
    if (arcf_setpriv(ctx, cc) != MI_SUCCESS) {
        drop_connctx(cc);
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_CONTINUE;
}

namespace {

// Records the client's address in cc as connect step 4 describes.
void store_address(arcf_connctx* cc, const struct sockaddr* ip) noexcept {
    memset(&cc->cctx_ip, 0, sizeof cc->cctx_ip);
    cc->cctx_haveip = false;
    if (ip == nullptr) {
        auto* sin = reinterpret_cast<struct sockaddr_in*>(&cc->cctx_ip);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return;
    }
    if (ip->sa_family == AF_INET6) {
        memcpy(&cc->cctx_ip, ip, sizeof(struct sockaddr_in6));
        cc->cctx_haveip = true;
    } else if (ip->sa_family == AF_INET) {
        memcpy(&cc->cctx_ip, ip, sizeof(struct sockaddr_in));
        cc->cctx_haveip = true;
    }
}

// The peer and internal-host test: by name unless the name is a bracketed
// address, then by address when the MTA gave one.
bool host_listed(const arcf_list* list, const char* host, const struct sockaddr* ip) noexcept {
    return (host[0] != '[' && arcf_checkhost(list, host)) ||
           (ip != nullptr && arcf_checkip(list, ip));
}

}  // namespace

sfsistat mlfi_connect(SMFICTX* ctx, char* host, struct sockaddr* ip) noexcept {
    assert(ctx != NULL);
    arcf_config_reload();

    arcf_connctx* cc = connctx_of(ctx);
    if (cc == nullptr) {
        cc = new_connctx();
        if (cc == nullptr) {
            arcf_conflog(nullptr, LOG_ERR, "%s malloc(): %s", host != nullptr ? host : "",
                         strerror(errno));
            return SMFIS_TEMPFAIL;
        }
        // Without negotiation the registration's flags apply, and they ask
        // for header changes.
        cc->cctx_chghdrs = true;
        if (arcf_setpriv(ctx, cc) != MI_SUCCESS) {
            drop_connctx(cc);
            return SMFIS_TEMPFAIL;
        }
    }
    char empty[] = "";
    if (host == nullptr) {
        host = empty;
    }
    arcf_lowercase(host);
    snprintf(cc->cctx_host, sizeof cc->cctx_host, "%s", host);
    store_address(cc, ip);

    const arcf_config* conf = cc->cctx_config;
    if (conf == nullptr) {
        return SMFIS_TEMPFAIL;
    }
    // The client's name may come from its own DNS records.
    char safe_host[sizeof cc->cctx_host];
    arcf_log_safe(cc->cctx_host, safe_host, sizeof safe_host);
    if (host_listed(conf->conf_peers, host, ip)) {
        arcf_conflog(conf, LOG_INFO, "ignoring connection from %s", safe_host);
        return SMFIS_ACCEPT;
    }
    if (conf->conf_mode != 0) {
        cc->cctx_mode = conf->conf_mode;
    } else {
        const bool internal = host_listed(conf->conf_internal, host, ip);
        cc->cctx_mode = internal ? ARC_MODE_SIGN : ARC_MODE_VERIFY;
        arcf_conflog(conf, LOG_INFO, "assuming %s mode for host %s", internal ? "sign" : "verify",
                     safe_host);
    }
    cc->cctx_msg = nullptr;
    return SMFIS_CONTINUE;
}

sfsistat mlfi_close(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    arcf_cleanup(ctx);
    if (arcf_connctx* cc = connctx_of(ctx); cc != nullptr) {
        drop_connctx(cc);
        arcf_setpriv(ctx, nullptr);
    }
    return SMFIS_CONTINUE;
}

// ---- Message intake ----

sfsistat mlfi_envfrom(SMFICTX* ctx, char** envfrom) noexcept {
    assert(ctx != NULL);
    assert(envfrom != NULL);
    arcf_connctx* cc = connctx_of(ctx);
    assert(cc != NULL);
    arcf_cleanup(ctx);
    cc->cctx_msg = arcf_initcontext(cc->cctx_config);
    if (cc->cctx_msg == nullptr) {
        arcf_conflog(cc->cctx_config, LOG_INFO, "message requeueing (internal error)");
        arcf_cleanup(ctx);
        return SMFIS_TEMPFAIL;
    }
    clock_gettime(CLOCK_MONOTONIC, &cc->cctx_msg->mctx_start);
    if (envfrom[0] != nullptr) {
        arcf_sender_domain(envfrom[0], cc->cctx_msg->mctx_senderdomain,
                           sizeof cc->cctx_msg->mctx_senderdomain);
    }
    return SMFIS_CONTINUE;
}

namespace {

// In a validating connection, counts an Authentication-Results field and
// records it when it claims this ADMD; false when memory ran out.
bool note_claim(const arcf_connctx* cc, arcf_msgctx* afc, const char* name,
                const char* value) noexcept {
    if (!arcf_validates(cc) || strcasecmp(name, "Authentication-Results") != 0) {
        return true;
    }
    ++afc->mctx_arcount;
    const char* id = nullptr;
    if (arcf_config_claim(cc->cctx_config, value, &id) == ares_claim::other) {
        return true;
    }
    if (afc->mctx_nclaims == afc->mctx_claimcap) {
        const size_t cap = afc->mctx_claimcap == 0 ? 4 : afc->mctx_claimcap * 2;
        auto* grown = static_cast<arcf_claim*>(realloc(afc->mctx_claims, cap * sizeof(arcf_claim)));
        if (grown == nullptr) {
            return false;
        }
        afc->mctx_claims = grown;
        afc->mctx_claimcap = cap;
    }
    afc->mctx_claims[afc->mctx_nclaims++] = {afc->mctx_arcount, id};
    return true;
}

// Answers a field the filter cannot record: the message is deferred.
sfsistat header_fault(SMFICTX* ctx, arcf_connctx* cc, arcf_msgctx* afc) noexcept {
    arcf_conflog(cc->cctx_config, LOG_ERR, "malloc(): %s", strerror(errno));
    arcf_finish(cc, afc, arcf_outcome::deferred, "out of memory", nullptr, nullptr);
    arcf_cleanup(ctx);
    return SMFIS_TEMPFAIL;
}

}  // namespace

sfsistat mlfi_header(SMFICTX* ctx, char* headerf, char* headerv) noexcept {
    assert(ctx != NULL);
    assert(headerf != NULL);
    assert(headerv != NULL);
    arcf_connctx* cc = connctx_of(ctx);
    assert(cc != NULL);
    arcf_msgctx* afc = cc->cctx_msg;
    assert(afc != NULL);
    const arcf_config* conf = cc->cctx_config;

    // Past the limit a validating connection still looks at every
    // Authentication-Results field, to remove those claiming this ADMD.
    if (afc->mctx_passwhy != nullptr) {
        return note_claim(cc, afc, headerf, headerv) ? SMFIS_CONTINUE : header_fault(ctx, cc, afc);
    }
    const size_t namelen = strlen(headerf);
    if (conf->conf_maxhdrsz > 0 && afc->mctx_hdrbytes + namelen + strlen(headerv) + 2 >
                                       static_cast<uint64_t>(conf->conf_maxhdrsz)) {
        arcf_conflog(conf, LOG_NOTICE, "too much header data; accepting");
        if (!arcf_validates(cc)) {
            arcf_finish(cc, afc, arcf_outcome::unprocessed, "too much header data", nullptr,
                        nullptr);
            return SMFIS_ACCEPT;
        }
        afc->mctx_passwhy = "too much header data";
        return note_claim(cc, afc, headerf, headerv) ? SMFIS_CONTINUE : header_fault(ctx, cc, afc);
    }
    if (strchr(headerf, ';') != nullptr) {
        char safe[256];
        arcf_log_safe(headerf, safe, sizeof safe);
        arcf_conflog(conf, LOG_NOTICE, "ignoring header field '%s'", safe);
        return SMFIS_CONTINUE;
    }
    const char* value = headerv;
    if (!cc->cctx_leadspc) {
        while (*value != '\0' && isspace(static_cast<unsigned char>(*value))) {
            ++value;
        }
    }
    // One allocation holds the record, the name and the value.
    const size_t vlen = strlen(value);
    calloc_ptr<arcf_header> h{
        static_cast<arcf_header*>(malloc(sizeof(arcf_header) + namelen + vlen + 2))};
    if (!h || !note_claim(cc, afc, headerf, value)) {
        return header_fault(ctx, cc, afc);
    }
    char* text = reinterpret_cast<char*>(h.get() + 1);
    memcpy(text, headerf, namelen + 1);
    memcpy(text + namelen + 1, value, vlen + 1);
    h->hdr_name = text;
    h->hdr_value = text + namelen + 1;
    h->hdr_next = nullptr;
    if (afc->mctx_hqtail == nullptr) {
        afc->mctx_hqhead = h.get();
    } else {
        afc->mctx_hqtail->hdr_next = h.get();
    }
    afc->mctx_hqtail = h.release();
    afc->mctx_hdrbytes += namelen + vlen + 2;
    ++afc->mctx_nhdrs;
    return SMFIS_CONTINUE;
}

namespace {

// The basic RFC 5322 header check: exactly one From and Date, at most one of
// each other originator, destination, identification and Subject field.
bool rfc5322_compliant(const arcf_msgctx* afc) noexcept {
    constexpr const char* at_most_one[] = {"reply-to",   "to",          "cc",         "bcc",
                                           "message-id", "in-reply-to", "references", "subject"};
    int from = 0;
    int date = 0;
    int seen[std::size(at_most_one)] = {};
    if (afc->mctx_hqhead == nullptr) {
        return false;
    }
    for (const arcf_header* h = afc->mctx_hqhead; h != nullptr; h = h->hdr_next) {
        if (strcasecmp(h->hdr_name, "from") == 0) {
            ++from;
        } else if (strcasecmp(h->hdr_name, "date") == 0) {
            ++date;
        } else {
            for (size_t i = 0; i < std::size(at_most_one); ++i) {
                if (strcasecmp(h->hdr_name, at_most_one[i]) == 0 && ++seen[i] > 1) {
                    return false;
                }
            }
        }
    }
    return from == 1 && date == 1;
}

// Owns a compiled pattern.
struct regex_owner {
    regex_t re;
    bool compiled = false;
    ~regex_owner() {
        if (compiled) {
            regfree(&re);
        }
    }
};

struct json_free {
    void operator()(json_t* j) const noexcept { json_decref(j); }
};
using json_ptr = std::unique_ptr<json_t, json_free>;

// True when the pattern matches the field value: each string of a JSON
// array, the raw value when it is not a JSON array or object, never an object.
bool value_matches(const regex_t* re, const char* value) noexcept {
    json_error_t err;
    json_ptr json{json_loads(value, 0, &err)};
    if (!json) {
        return regexec(re, value, 0, nullptr, 0) == 0;
    }
    if (!json_is_array(json.get())) {
        return false;
    }
    for (size_t i = 0; i < json_array_size(json.get()); ++i) {
        const char* s = json_string_value(json_array_get(json.get(), i));
        if (s != nullptr && regexec(re, s, 0, nullptr, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Runs the seal header checks; true when one of them matched.
bool seal_checks_match(const arcf_config* conf, const arcf_msgctx* afc) noexcept {
    bool matched = false;
    for (const arcf_list* e = conf->conf_sealchecks; e != nullptr; e = e->list_next) {
        char entry[1024];
        snprintf(entry, sizeof entry, "%s", e->list_str);
        char* colon = strchr(entry, ':');
        regex_owner re;
        if (colon != nullptr) {
            *colon = '\0';
            re.compiled = regcomp(&re.re, colon + 1, REG_NOSUB) == 0;
        }
        if (!re.compiled) {
            arcf_conflog(conf, LOG_ERR, "%s: invalid seal header check \"%s\"", afc->mctx_jobid,
                         e->list_str);
            continue;
        }
        for (const arcf_header* h = afc->mctx_hqhead; h != nullptr && !matched; h = h->hdr_next) {
            matched = strcasecmp(h->hdr_name, entry) == 0 && value_matches(&re.re, h->hdr_value);
        }
    }
    return matched;
}

// Copies the MTA's queue ID (macro "i") into the message context.
void fetch_jobid(SMFICTX* ctx, arcf_msgctx* afc) noexcept {
    const char* id = arcf_getsymval(ctx, "i");
    if (id != nullptr && id[0] != '\0') {
        snprintf(afc->mctx_jobid, sizeof afc->mctx_jobid, "%s", id);
    }
}

// Builds "name:value" as the library takes a field: one blank after the colon
// unless the MTA keeps leading blanks, every bare LF made CR LF.
bool field_text(arcf_dstring* out, const arcf_header* h, bool leadspc) noexcept {
    arcf_dstring_blank(out);
    if (!arcf_dstring_cat(out, h->hdr_name) || !arcf_dstring_cat1(out, ':') ||
        (!leadspc && !arcf_dstring_cat1(out, ' '))) {
        return false;
    }
    // Copies runs up to each LF; a LF without its CR gets one.
    const char* run = h->hdr_value;
    for (const char* lf = strchr(run, '\n'); lf != nullptr; lf = strchr(lf + 1, '\n')) {
        const bool bare = lf == h->hdr_value || lf[-1] != '\r';
        if (!arcf_dstring_catn(out, reinterpret_cast<const unsigned char*>(run),
                               static_cast<size_t>(lf - run)) ||
            (bare && !arcf_dstring_cat1(out, '\r'))) {
            return false;
        }
        run = lf;
    }
    return arcf_dstring_cat(out, run);
}

bool is_resource_fault(ARC_STAT status) noexcept {
    return status == ARC_STAT_NORESOURCE || status == ARC_STAT_INTERNAL;
}

// Feeds every collected field to the library. A field the library refuses
// for its content fails the chain; false only for a resource fault.
bool feed_fields(const arcf_connctx* cc, arcf_msgctx* afc) noexcept {
    const arcf_config* conf = cc->cctx_config;
    for (const arcf_header* h = afc->mctx_hqhead; h != nullptr; h = h->hdr_next) {
        if (!field_text(afc->mctx_tmpstr, h, cc->cctx_leadspc)) {
            arcf_conflog(conf, LOG_ERR, "%s: arcf_dstring_new() failed", afc->mctx_jobid);
            return false;
        }
        const ARC_STAT status = arc_header_field(
            afc->mctx_arcmsg, reinterpret_cast<const unsigned char*>(afc->mctx_tmpstr->ds_buf),
            static_cast<size_t>(afc->mctx_tmpstr->ds_len));
        if (status == ARC_STAT_OK) {
            continue;
        }
        char safe[256];
        arcf_log_safe(h->hdr_name, safe, sizeof safe);
        arcf_conflog(conf, LOG_INFO, "%s: error processing header field \"%s\"", afc->mctx_jobid,
                     safe);
        if (is_resource_fault(status)) {
            return false;
        }
        afc->mctx_refused = true;
    }
    return true;
}

// Lets a message pass without ARC processing: at once, or, in a validating
// connection, at end of message, after the fields claiming this ADMD are
// removed.
sfsistat pass_unprocessed(const arcf_connctx* cc, arcf_msgctx* afc, const char* why) noexcept {
    if (!arcf_validates(cc)) {
        return SMFIS_ACCEPT;
    }
    afc->mctx_passwhy = why;
    return SMFIS_CONTINUE;
}

// The header canonicalization to seal with. Without SMFIP_HDR_LEADSPC the
// MTA drops the blanks after each colon and the filter puts back one, so the
// exact bytes the receiver gets are unknown: simple canonicalization would
// sign "Subject: x" for a delivered "Subject:  x", and relaxed, which ignores
// those blanks, takes its place (logged once per configuration).
int sealing_canonhdr(const arcf_connctx* cc, const arcf_msgctx* afc, int mode) noexcept {
    const arcf_config* conf = cc->cctx_config;
    if ((mode & ARC_MODE_SIGN) == 0 || conf->conf_canonhdr != ARC_CANON_SIMPLE ||
        cc->cctx_leadspc) {
        return conf->conf_canonhdr;
    }
    if (!conf->conf_relaxednoted.exchange(true)) {
        arcf_conflog(conf, LOG_NOTICE,
                     "%s: the MTA does not keep the blanks after header colons; sealing with "
                     "relaxed header canonicalization",
                     afc->mctx_jobid);
    }
    return ARC_CANON_RELAXED;
}

// The steps of end of headers; `why` names the reason of an early answer.
sfsistat end_of_headers(SMFICTX* ctx, arcf_connctx* cc, arcf_msgctx* afc,
                        const char*& why) noexcept {
    const arcf_config* conf = cc->cctx_config;
    fetch_jobid(ctx, afc);
    if (afc->mctx_passwhy != nullptr) {
        return SMFIS_CONTINUE;
    }
    if (conf->conf_reqhdrs && !rfc5322_compliant(afc)) {
        arcf_conflog(conf, LOG_INFO, "%s: RFC5322 header requirement error", afc->mctx_jobid);
        why = "RFC5322 header requirement error";
        return pass_unprocessed(cc, afc, why);
    }
    if (conf->conf_sealchecks != nullptr && !seal_checks_match(conf, afc)) {
        arcf_conflog(conf, LOG_INFO, "%s: no seal header check matched; continuing",
                     afc->mctx_jobid);
        why = "no seal header check matched";
        return pass_unprocessed(cc, afc, why);
    }

    // A hop that seals also validates, so that its seal covers the sets the
    // message came with and carries their state.
    int mode = conf->conf_mode != 0 ? conf->conf_mode : cc->cctx_mode;
    if ((mode & ARC_MODE_SIGN) != 0) {
        mode |= ARC_MODE_VERIFY;
    }
    const char* err = nullptr;
    afc->mctx_arcmsg = arc_message(conf->conf_libarc, sealing_canonhdr(cc, afc, mode),
                                   conf->conf_canonbody, conf->conf_signalg, mode, &err);
    if (afc->mctx_arcmsg == nullptr) {
        char safe[256];
        arcf_log_safe(err != nullptr ? err : "unknown error", safe, sizeof safe);
        arcf_conflog(conf, LOG_INFO, "%s: can't initialize ARC handle: %s", afc->mctx_jobid, safe);
        return SMFIS_TEMPFAIL;
    }
    if (afc->mctx_tmpstr == nullptr) {
        afc->mctx_tmpstr = arcf_dstring_new(1024, 0);
        if (afc->mctx_tmpstr == nullptr) {
            arcf_conflog(conf, LOG_ERR, "%s: arcf_dstring_new() failed", afc->mctx_jobid);
            return SMFIS_TEMPFAIL;
        }
    }
    if (!feed_fields(cc, afc)) {
        return SMFIS_TEMPFAIL;
    }
    if (const ARC_STAT status = arc_eoh(afc->mctx_arcmsg); status != ARC_STAT_OK) {
        arcf_conflog(conf, LOG_INFO, "%s: error processing at end of header", afc->mctx_jobid);
        if (is_resource_fault(status)) {
            return SMFIS_TEMPFAIL;
        }
        afc->mctx_refused = true;
        afc->mctx_nohash = true;
        arc_set_cv(afc->mctx_arcmsg, ARC_CHAIN_FAIL);
    }
    return SMFIS_CONTINUE;
}

}  // namespace

sfsistat mlfi_eoh(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    arcf_connctx* cc = connctx_of(ctx);
    assert(cc != NULL);
    arcf_msgctx* afc = cc->cctx_msg;
    assert(afc != NULL);
    const char* why = "internal error at end of header";
    const sfsistat st = end_of_headers(ctx, cc, afc, why);
    if (st != SMFIS_CONTINUE) {
        arcf_finish(cc, afc,
                    st == SMFIS_TEMPFAIL ? arcf_outcome::deferred : arcf_outcome::unprocessed, why,
                    nullptr, nullptr);
    }
    return st;
}

sfsistat mlfi_body(SMFICTX* ctx, unsigned char* bodyp, size_t bodylen) noexcept {
    assert(ctx != NULL);
    assert(bodyp != NULL);
    arcf_connctx* cc = connctx_of(ctx);
    assert(cc != NULL);
    arcf_msgctx* afc = cc->cctx_msg;
    assert(afc != NULL);
    if (bodylen == 0 || afc->mctx_arcmsg == nullptr || afc->mctx_nohash) {
        return SMFIS_CONTINUE;
    }
    if (const ARC_STAT status = arc_body(afc->mctx_arcmsg, bodyp, bodylen); status != ARC_STAT_OK) {
        arcf_conflog(cc->cctx_config, LOG_INFO, "%s: error processing body chunk", afc->mctx_jobid);
        if (is_resource_fault(status)) {
            arcf_finish(cc, afc, arcf_outcome::deferred, "error processing body chunk", nullptr,
                        nullptr);
            return SMFIS_TEMPFAIL;
        }
        afc->mctx_refused = true;
        afc->mctx_nohash = true;
    }
    return SMFIS_CONTINUE;
}

sfsistat mlfi_abort(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    arcf_cleanup(ctx);
    return SMFIS_CONTINUE;
}
