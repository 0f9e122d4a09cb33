// SPDX-License-Identifier: BSD-2-Clause
// velmora-eom.cc - end of message: validation result, sealing, the filter's
// own Authentication-Results field and the ARC-Filter field.
//
// Removes Authentication-Results fields from outside that claim this host's
// authserv-id, lets an earlier result of this host's validating hop decide the
// state a sign-only hop seals, and writes only fields that parse back.
// Memory:  the C library's allocator; the parsed Authentication-Results record
//          lives on the heap, never on a callback's stack.
// Errors:  resource and internal faults answer SMFIS_TEMPFAIL; anything the
//          message contains ends as a chain state and SMFIS_ACCEPT.
// Threads: runs in the connection's thread; warn_nojobid is process-wide.
#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <string_view>

#include "velmora-actions.h"
#include "velmora-ar.h"
#include "velmora-callbacks.h"
#include "velmora-config.h"
#include "velmora-metrics.h"
#include "velmora-signtable.h"

namespace {

constexpr const char* ar_name = "Authentication-Results";
constexpr size_t custody_size = 4097;

// ---- Writing RFC 8601 values ----

bool is_tspecial(unsigned char c) noexcept {
    return strchr("()<>@,;:\\\"/[]?=", c) != nullptr;
}

// An RFC 2045 token: printable ASCII without blanks and tspecials.
bool is_token(std::string_view s) noexcept {
    if (s.empty()) {
        return false;
    }
    for (const unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7f || is_tspecial(c)) {
            return false;
        }
    }
    return true;
}

bool is_atext(unsigned char c) noexcept {
    return isalnum(c) != 0 || (c < 0x7f && strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

// A dot-atom: atext runs joined by single dots.
bool is_dot_atom(std::string_view s) noexcept {
    if (s.empty() || s.front() == '.' || s.back() == '.') {
        return false;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '.' ? s[i + 1] == '.' : !is_atext(c)) {
            return false;
        }
    }
    return true;
}

// The "[local-part] @ domain-name" form of an RFC 8601 property value.
bool is_mailbox_value(std::string_view s) noexcept {
    const size_t at = s.rfind('@');
    if (at == std::string_view::npos) {
        return false;
    }
    const std::string_view local = s.substr(0, at);
    const std::string_view domain = s.substr(at + 1);
    return (local.empty() || is_dot_atom(local)) && is_dot_atom(domain) &&
           domain.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789-.") == std::string_view::npos;
}

// Appends `s` with every control character turned into a blank and, when
// `escapes` is given, a backslash before each of its characters.
bool cat_escaped(arcf_dstring* out, std::string_view s, const char* escapes) noexcept {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f) {
            if (!arcf_dstring_cat1(out, ' ')) {
                return false;
            }
            continue;
        }
        if ((strchr(escapes, c) != nullptr && !arcf_dstring_cat1(out, '\\')) ||
            !arcf_dstring_cat1(out, c)) {
            return false;
        }
    }
    return true;
}

// Appends a property value: as it stands when it is a token or a mailbox
// form, else as a quoted string.
bool cat_value(arcf_dstring* out, std::string_view v) noexcept {
    if (is_token(v) || is_mailbox_value(v)) {
        return cat_escaped(out, v, "");
    }
    return arcf_dstring_cat1(out, '"') && cat_escaped(out, v, "\"\\") &&
           arcf_dstring_cat1(out, '"');
}

// Appends a comment; the stored one carries its own outer parentheses.
bool cat_comment(arcf_dstring* out, std::string_view c) noexcept {
    if (!c.empty() && c.front() == '(') {
        c.remove_prefix(1);
    }
    if (!c.empty() && c.back() == ')') {
        c.remove_suffix(1);
    }
    return arcf_dstring_cat(out, " (") && cat_escaped(out, c, "()\\") &&
           arcf_dstring_cat1(out, ')');
}

// A property name worth writing: letters, digits, "-" and "_".
bool is_keyword(const char* s) noexcept {
    if (*s == '\0') {
        return false;
    }
    for (; *s != '\0'; ++s) {
        if (isalnum(static_cast<unsigned char>(*s)) == 0 && *s != '-' && *s != '_') {
            return false;
        }
    }
    return true;
}

// Appends one parsed result as RFC 8601 orders it: "method=result
// [(comment)] [reason="..."] [ptype.property=value ...]", with "; " in front
// unless the payload is empty. `result` names the result to write.
bool cat_result(arcf_dstring* out, const authres_result& r, const char* result) noexcept {
    const char* method = ares_getmethod(r.result_method);
    if ((arcf_dstring_len(out) > 0 && !arcf_dstring_cat(out, "; ")) ||
        arcf_dstring_printf(out, "%s=%s", method, result) == static_cast<size_t>(-1)) {
        return false;
    }
    if (r.result_comment[0] != '\0' && !cat_comment(out, r.result_comment)) {
        return false;
    }
    if (r.result_reason[0] != '\0' &&
        (!arcf_dstring_cat(out, " reason=\"") || !cat_escaped(out, r.result_reason, "\"\\") ||
         !arcf_dstring_cat1(out, '"'))) {
        return false;
    }
    for (int i = 0; i < r.result_nprops && i < ARES_MAXPROPS; ++i) {
        const char* ptype = ares_getptype(r.result_ptype[i]);
        if (ptype == nullptr || !is_keyword(r.result_property[i])) {
            continue;
        }
        if (arcf_dstring_printf(out, " %s.%s=", ptype, r.result_property[i]) ==
                static_cast<size_t>(-1) ||
            !cat_value(out, r.result_value[i])) {
            return false;
        }
    }
    return true;
}

// Longest reason written into a field: the parsers of other hosts keep
// shorter texts than a library error can be.
constexpr size_t reason_max = 200;

// Appends `reason` as an RFC 8601 reasonspec: a quoted string with control
// and non-ASCII bytes made blanks, cut to reason_max bytes.
bool cat_reason(arcf_dstring* out, std::string_view reason) noexcept {
    if (reason.size() > reason_max) {
        reason = reason.substr(0, reason_max);
    }
    if (!arcf_dstring_cat(out, " reason=\"")) {
        return false;
    }
    for (const char ch : reason) {
        const auto c = static_cast<unsigned char>(ch);
        const char safe = c < 0x20 || c >= 0x7f ? ' ' : ch;
        if (((safe == '"' || safe == '\\') && !arcf_dstring_cat1(out, '\\')) ||
            !arcf_dstring_cat1(out, safe)) {
            return false;
        }
    }
    return arcf_dstring_cat1(out, '"');
}

// The oldest-pass of the message's chain when OldestPass asks for it and the
// library found one (the chain passed), else -1.
long oldest_pass(const arcf_config* conf, arc_msg* msg) noexcept {
    unsigned int oldest = 0;
    if (!conf->conf_oldestpass || arc_chain_oldest_pass(msg, &oldest) != ARC_STAT_OK) {
        return -1;
    }
    return static_cast<long>(oldest);
}

// Appends "arc=STATE", the reason of a failed chain when there is one (RFC
// 8601 puts it before the properties), the oldest-pass when there is one
// (not -1) and the client's address when known.
bool cat_own_arc(arcf_dstring* out, const char* state, const char* reason, long oldest,
                 const char* addr) noexcept {
    if (arcf_dstring_printf(out, "arc=%s", state) == static_cast<size_t>(-1)) {
        return false;
    }
    if (reason[0] != '\0' && strcmp(state, "fail") == 0 && !cat_reason(out, reason)) {
        return false;
    }
    if (oldest >= 0 &&
        arcf_dstring_printf(out, " header.oldest-pass=%ld", oldest) == static_cast<size_t>(-1)) {
        return false;
    }
    return addr[0] == '\0' || (arcf_dstring_cat(out, " smtp.remote-ip=") && cat_value(out, addr));
}

// ---- Reading earlier results ----

// Removes every arriving Authentication-Results field that claims this ADMD
// (noted as the fields arrived), last first, so that the indexes of the
// others stay put whichever way the MTA counts. Returns false when the MTA
// refused a removal.
bool remove_our_results(SMFICTX* ctx, const arcf_connctx* cc, const arcf_msgctx* afc) noexcept {
    const arcf_config* conf = cc->cctx_config;
    if (!cc->cctx_chghdrs) {
        return true;
    }
    for (size_t i = afc->mctx_nclaims; i-- > 0;) {
        const arcf_claim& c = afc->mctx_claims[i];
        if (arcf_chgheader(ctx, ar_name, c.cl_idx, nullptr) != MI_SUCCESS) {
            arcf_conflog(conf, LOG_ERR, "%s: %s header removal failed", afc->mctx_jobid, ar_name);
            return false;
        }
        if (c.cl_id != nullptr) {
            arcf_conflog(conf, LOG_INFO, "%s: removed %s field %d claiming authserv-id %s",
                         afc->mctx_jobid, ar_name, c.cl_idx, c.cl_id);
        } else {
            arcf_conflog(conf, LOG_INFO, "%s: removed %s field %d: its authserv-id does not parse",
                         afc->mctx_jobid, ar_name, c.cl_idx);
        }
    }
    return true;
}

// The chain state an earlier "arc" result forces, and the value logged.
struct forced_state {
    int state;
    int logged;
};

forced_state map_earlier(int result) noexcept {
    switch (result) {
        case ARES_RESULT_PASS:
            return {ARC_CHAIN_PASS, ARC_CHAIN_PASS};
        case ARES_RESULT_FAIL:
            return {ARC_CHAIN_FAIL, ARC_CHAIN_FAIL};
        case ARES_RESULT_NONE:
            return {ARC_CHAIN_NONE, ARC_CHAIN_NONE};
        default:
            // RFC 8617 has no other chain value: anything else fails.
            return {ARC_CHAIN_FAIL, ARC_CHAIN_UNKNOWN};
    }
}

// The result code that names the message's chain state.
int arc_state_result(arc_msg* msg) noexcept {
    const char* state = arc_chain_status_str(msg);
    if (strcmp(state, "pass") == 0) {
        return ARES_RESULT_PASS;
    }
    return strcmp(state, "none") == 0 ? ARES_RESULT_NONE : ARES_RESULT_FAIL;
}

// What one pass over the earlier results found.
struct earlier_results {
    int arc_count = 0;   // "arc" results of this host seen
    bool taken = false;  // the first of them decided the chain state
};

// Applies the first earlier "arc" result of this host (or fails the chain at
// the second); false when the result is to be left out of the payload.
bool apply_arc_result(const arcf_config* conf, const arcf_msgctx* afc, const authres_result& r,
                      bool has_sets, earlier_results& seen) noexcept {
    if (++seen.arc_count > 1) {
        arc_set_cv(afc->mctx_arcmsg, ARC_CHAIN_FAIL);
        arcf_conflog(conf, LOG_INFO,
                     "%s: chain state forced to \"fail\" due to multiple results present",
                     afc->mctx_jobid);
        return false;
    }
    const forced_state f = map_earlier(r.result_result);
    if ((f.state == ARC_CHAIN_PASS && !has_sets) || (f.state == ARC_CHAIN_NONE && has_sets)) {
        arcf_conflog(conf, LOG_NOTICE, "%s: prior result arc=%s ignored: the message has %s",
                     afc->mctx_jobid, ares_getresult(r.result_result),
                     has_sets ? "ARC sets" : "no ARC set");
        return false;
    }
    if (afc->mctx_refused) {
        arcf_conflog(conf, LOG_NOTICE, "%s: prior result arc=%s ignored: the content was refused",
                     afc->mctx_jobid, ares_getresult(r.result_result));
        return false;
    }
    arcf_conflog(conf, LOG_INFO, "%s: chain state forced to %d due to prior result found",
                 afc->mctx_jobid, f.logged);
    arc_set_cv(afc->mctx_arcmsg, f.state);
    seen.taken = true;
    return true;
}

// Gathers this host's earlier results into the payload (mctx_tmpstr) and lets
// the first "arc" result among them decide the chain state. Returns false
// when memory runs out.
bool gather_earlier(const arcf_config* conf, arcf_msgctx* afc, bool has_sets,
                    earlier_results& seen) noexcept {
    calloc_ptr<authres> ar;
    for (const arcf_header* h = afc->mctx_hqhead; h != nullptr; h = h->hdr_next) {
        if (strcasecmp(h->hdr_name, ar_name) != 0) {
            continue;
        }
        // The record is large: made on the heap, and only for a field to
        // parse (the parser clears it).
        if (!ar) {
            ar.reset(static_cast<authres*>(malloc(sizeof(authres))));
            if (!ar) {
                arcf_conflog(conf, LOG_ERR, "%s: malloc(): %s", afc->mctx_jobid, strerror(errno));
                return false;
            }
        }
        if (ares_parse(h->hdr_value, ar.get()) != 0) {
            arcf_conflog(conf, LOG_WARNING, "%s: can't parse %s; ignoring", afc->mctx_jobid,
                         ar_name);
            continue;
        }
        // Only a field that every reading takes for this ADMD's own is read:
        // one that claims it in some reading only came from outside.
        const char* id = nullptr;
        if (arcf_config_claim(conf, h->hdr_value, &id) != ares_claim::ours ||
            ar->ares_nresults == 0) {
            continue;
        }
        for (int i = 0; i < ar->ares_nresults; ++i) {
            const authres_result& r = ar->ares_results[i];
            if (r.result_method == ARES_METHOD_ARC &&
                !apply_arc_result(conf, afc, r, has_sets, seen)) {
                continue;
            }
            if (ares_getmethod(r.result_method) == nullptr) {
                arcf_conflog(conf, LOG_NOTICE,
                             "%s: result of an unknown method left out of the seal",
                             afc->mctx_jobid);
                continue;
            }
            const char* result = ares_getresult(r.result_result);
            if (r.result_method == ARES_METHOD_ARC) {
                // RFC 8617 knows no other chain value: what the state became.
                result = ares_getresult(arc_state_result(afc->mctx_arcmsg));
            }
            if (!cat_result(afc->mctx_tmpstr, r, result != nullptr ? result : "unknown")) {
                arcf_conflog(conf, LOG_ERR, "%s: arcf_dstring_new() failed", afc->mctx_jobid);
                return false;
            }
        }
    }
    return true;
}

// Inserts the fields of a new set at index 1, each value as the library
// wrote it (its LF TAB folds included), after one blank when the MTA keeps
// leading blanks.
bool insert_set(SMFICTX* ctx, const arcf_connctx* cc, arcf_msgctx* afc, arc_hdr* set) noexcept {
    const arcf_config* conf = cc->cctx_config;
    for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
        size_t namelen = 0;
        const char* text = arc_hdr_name(h, &namelen);
        char name[64];
        snprintf(name, sizeof name, "%.*s", static_cast<int>(namelen), text);
        const char* value = arc_hdr_value(h);
        if (cc->cctx_leadspc) {
            arcf_dstring_blank(afc->mctx_tmpstr);
            if (!arcf_dstring_cat1(afc->mctx_tmpstr, ' ') ||
                !arcf_dstring_cat(afc->mctx_tmpstr, value)) {
                arcf_conflog(conf, LOG_ERR, "%s: arcf_dstring_new() failed", afc->mctx_jobid);
                return false;
            }
            value = arcf_dstring_get(afc->mctx_tmpstr);
        }
        if (arcf_insheader(ctx, 1, name, value) != MI_SUCCESS) {
            arcf_conflog(conf, LOG_WARNING, "%s: error inserting header field \"%s\"",
                         afc->mctx_jobid, name);
            return false;
        }
    }
    return true;
}

// The identity a message is sealed with.
struct sealing_identity {
    const char* domain = nullptr;
    const char* selector = nullptr;
    const unsigned char* key = nullptr;
    size_t keylen = 0;
};

// Picks the identity for the envelope sender's domain: the first matching
// SigningTable entry, else Domain, Selector and KeyFile. False when there is
// none.
bool pick_identity(const arcf_config* conf, const arcf_msgctx* afc, sealing_identity& id) noexcept {
    if (conf->conf_signtable != nullptr) {
        const arcf_signentry* e =
            arcf_signtable_match(conf->conf_signtable, afc->mctx_senderdomain);
        if (e != nullptr) {
            id = {e->se_domain, e->se_selector, e->se_keydata, e->se_keylen};
            return true;
        }
    }
    id = {conf->conf_domain, conf->conf_selector, conf->conf_keydata, conf->conf_keylen};
    return id.domain != nullptr && id.selector != nullptr && id.key != nullptr;
}

// Seals the message; false for a fault that defers it. `reason` is why the
// chain failed ("" when it did not); `used` gets the identity of a set that
// was added.
bool seal_message(SMFICTX* ctx, const arcf_connctx* cc, arcf_msgctx* afc, const char* addr,
                  bool has_sets, const char* reason, sealing_identity& used) noexcept {
    const arcf_config* conf = cc->cctx_config;
    arcf_dstring_blank(afc->mctx_tmpstr);
    earlier_results seen;
    // A hop that validates reads no earlier result of its own: those fields
    // came from outside (and were removed).
    if ((cc->cctx_mode & ARC_MODE_VERIFY) == 0 && !gather_earlier(conf, afc, has_sets, seen)) {
        return false;
    }
    if (!seen.taken) {
        if ((arcf_dstring_len(afc->mctx_tmpstr) > 0 && !arcf_dstring_cat(afc->mctx_tmpstr, "; ")) ||
            !cat_own_arc(afc->mctx_tmpstr, arc_chain_status_str(afc->mctx_arcmsg), reason,
                         oldest_pass(conf, afc->mctx_arcmsg), addr)) {
            arcf_conflog(conf, LOG_ERR, "%s: arcf_dstring_new() failed", afc->mctx_jobid);
            return false;
        }
    }
    if (afc->mctx_nohash) {
        const char* e = arc_geterror(afc->mctx_arcmsg);
        char safe[ARES_MAXTEXT + 1];
        arcf_log_safe(e != nullptr ? e : "end of header failed", safe, sizeof safe);
        arcf_conflog(conf, LOG_WARNING, "%s: message not sealed: %s", afc->mctx_jobid, safe);
        return true;
    }
    sealing_identity id;
    if (!pick_identity(conf, afc, id)) {
        char safe[sizeof afc->mctx_senderdomain];
        arcf_log_safe(afc->mctx_senderdomain, safe, sizeof safe);
        arcf_conflog(conf, LOG_NOTICE,
                     "%s: no sealing identity for sender domain \"%s\"; not sealed",
                     afc->mctx_jobid, safe);
        return true;
    }
    arc_hdr* set = nullptr;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const ARC_STAT status = arc_getseal(
        afc->mctx_arcmsg, &set, conf->conf_authservid, id.selector, id.domain, id.key, id.keylen,
        arcf_dstring_len(afc->mctx_tmpstr) > 0 ? arcf_dstring_get(afc->mctx_tmpstr) : nullptr);
    arcf_metrics_global().observe_sealing(arcf_metrics_since(start));
    if (status != ARC_STAT_OK) {
        arcf_conflog(conf, LOG_WARNING, "%s: failed to compute seal", afc->mctx_jobid);
        return false;
    }
    if (set == nullptr) {
        const char* why = arc_geterror(afc->mctx_arcmsg);
        char safe[ARES_MAXTEXT + 1];
        arcf_log_safe(why != nullptr ? why : "chain cannot be extended", safe, sizeof safe);
        arcf_conflog(conf, LOG_NOTICE, "%s: no ARC set added: %s", afc->mctx_jobid, safe);
        return true;
    }
    if (!insert_set(ctx, cc, afc, set)) {
        return false;
    }
    used = id;
    return true;
}

// Writes the filter's own Authentication-Results field; false on a fault.
bool add_results(SMFICTX* ctx, const arcf_connctx* cc, arcf_msgctx* afc, const char* addr,
                 const char* reason) noexcept {
    const arcf_config* conf = cc->cctx_config;
    char custody[custody_size] = "";
    if (conf->conf_finalreceiver) {
        const int len = arc_chain_custody_str(afc->mctx_arcmsg, custody, sizeof custody);
        if (len < 0 || static_cast<size_t>(len) >= sizeof custody) {
            arcf_conflog(conf, LOG_NOTICE, "%s: chain of custody too long (%d bytes); left out",
                         afc->mctx_jobid, len);
            custody[0] = '\0';
        }
    }
    arcf_dstring* out = afc->mctx_tmpstr;
    arcf_dstring_blank(out);
    bool ok = arcf_dstring_printf(out, "%s%s; ", cc->cctx_leadspc ? " " : "",
                                  conf->conf_authservid) != static_cast<size_t>(-1) &&
              cat_own_arc(out, arc_chain_status_str(afc->mctx_arcmsg), reason,
                          oldest_pass(conf, afc->mctx_arcmsg), addr);
    // RFC 8601 has no property for the chain of custody: it goes in a comment.
    if (ok && custody[0] != '\0') {
        ok = arcf_dstring_cat(out, " (arc.chain=") && cat_escaped(out, custody, "()\\") &&
             arcf_dstring_cat1(out, ')');
    }
    if (!ok || arcf_insheader(ctx, 1, ar_name, arcf_dstring_get(out)) != MI_SUCCESS) {
        arcf_conflog(conf, LOG_ERR, "%s: %s header add failed", afc->mctx_jobid, ar_name);
        return false;
    }
    return true;
}

bool add_filter_field(SMFICTX* ctx, const arcf_connctx* cc, const arcf_msgctx* afc) noexcept {
    const char* host = arcf_getsymval(ctx, "j");
    char value[4096];
    snprintf(value, sizeof value, "%s%s v%s %s %s", cc->cctx_leadspc ? " " : "", "Velmora Filter",
             "1.0.0", host != nullptr ? host : "unknown-host", afc->mctx_jobid);
    if (arcf_insheader(ctx, 1, "ARC-Filter", value) != MI_SUCCESS) {
        arcf_conflog(cc->cctx_config, LOG_ERR, "%s: %s header add failed", afc->mctx_jobid,
                     "ARC-Filter");
        return false;
    }
    return true;
}

// The client's address as text, or "" when the MTA gave none.
void client_address(const arcf_connctx* cc, char* out, size_t outlen) noexcept {
    out[0] = '\0';
    if (!cc->cctx_haveip) {
        return;
    }
    if (cc->cctx_ip.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(&cc->cctx_ip);
        inet_ntop(AF_INET6, &sin6->sin6_addr, out, static_cast<socklen_t>(outlen));
    } else if (cc->cctx_ip.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const struct sockaddr_in*>(&cc->cctx_ip);
        inet_ntop(AF_INET, &sin->sin_addr, out, static_cast<socklen_t>(outlen));
    }
}

// The outcome of a message the filter finished, from what it did.
arcf_outcome outcome_of(const arcf_connctx* cc, const arcf_msgctx* afc, bool sealed) noexcept {
    if (sealed) {
        return arcf_outcome::sealed;
    }
    if ((cc->cctx_mode & ARC_MODE_VERIFY) == 0) {
        return arcf_outcome::unprocessed;
    }
    const char* state = arc_chain_status_str(afc->mctx_arcmsg);
    if (strcmp(state, "pass") == 0) {
        return arcf_outcome::pass;
    }
    return strcmp(state, "none") == 0 ? arcf_outcome::none : arcf_outcome::fail;
}

// Steps of end of message after the queue ID; `why` names the reason of a
// deferral, `used` the identity of a seal that was added.
sfsistat end_of_message(SMFICTX* ctx, arcf_connctx* cc, arcf_msgctx* afc, const char*& why,
                        char* reason, size_t reasonlen, sealing_identity& used) noexcept {
    const arcf_config* conf = cc->cctx_config;
    if (afc->mctx_tmpstr == nullptr) {
        afc->mctx_tmpstr = arcf_dstring_new(1024, 0);
        if (afc->mctx_tmpstr == nullptr) {
            arcf_conflog(conf, LOG_ERR, "arcf_dstring_new() failed");
            why = "out of memory";
            return SMFIS_TEMPFAIL;
        }
    }
    char addr[INET6_ADDRSTRLEN] = "";
    client_address(cc, addr, sizeof addr);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const ARC_STAT status = arc_eom(afc->mctx_arcmsg);
    arcf_metrics_global().observe_validation(arcf_metrics_since(start));
    if (status != ARC_STAT_OK) {
        arcf_conflog(conf, LOG_WARNING, "%s: error processing at end-of-message", afc->mctx_jobid);
        why = "error processing at end-of-message";
        return SMFIS_TEMPFAIL;
    }
    const bool has_sets = strcmp(arc_chain_status_str(afc->mctx_arcmsg), "none") != 0;
    if (afc->mctx_refused) {
        // RFC 8617 section 5.2: a message that cannot be validated fails.
        arc_set_cv(afc->mctx_arcmsg, ARC_CHAIN_FAIL);
    }
    // Why the library failed the chain, taken before anything else can
    // replace the message's error text.
    if (strcmp(arc_chain_status_str(afc->mctx_arcmsg), "fail") == 0) {
        const char* e = arc_geterror(afc->mctx_arcmsg);
        snprintf(reason, reasonlen, "%s",
                 e != nullptr        ? e
                 : afc->mctx_refused ? "the library refused a header field or body chunk"
                                     : "");
    }
    // DNSErrorAction tempfail: a key lookup that may pass on a later try (no
    // answer in time, SERVFAIL) defers the message instead of failing it.
    if (conf->conf_dnstempfail && arc_key_dnstempfail(afc->mctx_arcmsg)) {
        why = reason[0] != '\0' ? reason : "key lookup failed";
        return SMFIS_TEMPFAIL;
    }
    why = "internal error";
    if (arcf_validates(cc) && !remove_our_results(ctx, cc, afc)) {
        return SMFIS_TEMPFAIL;
    }
    if ((cc->cctx_mode & ARC_MODE_SIGN) != 0 &&
        !seal_message(ctx, cc, afc, addr, has_sets, reason, used)) {
        return SMFIS_TEMPFAIL;
    }
    if ((cc->cctx_mode & ARC_MODE_VERIFY) != 0 && !add_results(ctx, cc, afc, addr, reason)) {
        return SMFIS_TEMPFAIL;
    }
    if (conf->conf_addswhdr && !add_filter_field(ctx, cc, afc)) {
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_ACCEPT;
}

// The metrics' result of a key lookup from the library's outcome.
arcf_lookup lookup_result(ARC_STAT status, bool tempfail) noexcept {
    if (status == ARC_STAT_OK) {
        return arcf_lookup::found;
    }
    if (tempfail) {
        return arcf_lookup::error;
    }
    return status == ARC_STAT_NOKEY ? arcf_lookup::notfound : arcf_lookup::invalid;
}

arcf_dnssec dnssec_state(int dnssec) noexcept {
    switch (dnssec) {
        case ARC_DNSSEC_SECURE:
            return arcf_dnssec::secure;
        case ARC_DNSSEC_INSECURE:
            return arcf_dnssec::insecure;
        case ARC_DNSSEC_BOGUS:
            return arcf_dnssec::bogus;
        default:
            return arcf_dnssec::none;
    }
}

// Room for the key list of a log line; a longer list ends in ",...".
constexpr size_t keys_text_size = 1024;

// The a= name of an ARC_ALG_* code, "unknown" for none.
const char* alg_text(int alg) noexcept {
    const char* name = arc_code_to_name(algorithms, alg);
    return name != nullptr ? name : "unknown";
}

// Counts every key lookup of the message's validation in the metrics (result,
// DNSSEC state, time, key cache) and, when `text` is not null, lists them for
// the log line as " keys=NAME:RESULT:DNSSEC:ALGORITHM,..." in the order made,
// ALGORITHM being that of the signature or seal the key was fetched for.
void account_keys(arc_msg* msg, char* text, size_t textlen) noexcept {
    arcf_metrics& metrics = arcf_metrics_global();
    const unsigned n = arc_key_count(msg);
    size_t used = 0;
    bool cut = false;
    for (unsigned i = 0; i < n; ++i) {
        const char* selector = nullptr;
        const char* domain = nullptr;
        int dnssec = ARC_DNSSEC_UNKNOWN;
        ARC_STAT status = ARC_STAT_OK;
        bool tempfail = false;
        unsigned long usec = 0;
        int cached = -1;
        if (arc_key_info(msg, i, &selector, &domain, &dnssec) != ARC_STAT_OK ||
            arc_key_outcome(msg, i, &status, &tempfail, &usec, &cached) != ARC_STAT_OK) {
            continue;
        }
        const arcf_lookup result = lookup_result(status, tempfail);
        const arcf_dnssec state = dnssec_state(dnssec);
        metrics.count_lookup(result, state, static_cast<double>(usec) / 1e6);
        if (cached >= 0) {
            metrics.count_key_cache(cached == 1);
        }
        if (text == nullptr || cut) {
            continue;
        }
        // Leaves room for ",..." after any entry that fits.
        const int w = snprintf(text + used, textlen - used, "%s%s._domainkey.%s:%s:%s:%s",
                               i == 0 ? " keys=" : ",", selector != nullptr ? selector : "",
                               domain != nullptr ? domain : "", arcf_lookup_name(result),
                               arcf_dnssec_name(state), alg_text(arc_key_algorithm(msg, i)));
        if (w < 0 || used + static_cast<size_t>(w) + 5 > textlen) {
            snprintf(text + used, textlen - used, "%s", ",...");
            cut = true;
            continue;
        }
        used += static_cast<size_t>(w);
    }
}

}  // namespace

void arcf_finish(const arcf_connctx* cc, arcf_msgctx* afc, arcf_outcome outcome, const char* reason,
                 const char* sealdomain, const char* sealselector) noexcept {
    assert(cc != NULL);
    assert(afc != NULL);
    if (afc->mctx_finished) {
        return;
    }
    afc->mctx_finished = true;
    const arcf_config* conf = cc->cctx_config;
    const int mode = conf->conf_mode != 0 ? conf->conf_mode : cc->cctx_mode;
    arcf_metrics_global().count_message(mode, outcome);
    char keys[keys_text_size] = "";
    if (afc->mctx_arcmsg != nullptr) {
        account_keys(afc->mctx_arcmsg, conf->conf_dolog ? keys : nullptr, sizeof keys);
    }
    if (!conf->conf_dolog) {
        return;
    }
    constexpr const char* mode_words[] = {"none", "sign", "verify", "sign+verify"};
    constexpr const char* outcome_words[] = {"none",   "pass",     "fail",
                                             "sealed", "deferred", "unprocessed"};
    static_assert(std::size(outcome_words) == arcf_outcome_count, "one word per arcf_outcome");
    char addr[INET6_ADDRSTRLEN] = "";
    client_address(cc, addr, sizeof addr);
    char why[reason_max + 1] = "";
    if (reason != nullptr && reason[0] != '\0') {
        arcf_log_safe(reason, why, sizeof why);
    }
    char sealer[600] = "";
    if (sealdomain != nullptr && sealselector != nullptr) {
        snprintf(sealer, sizeof sealer, " d=%s s=%s a=%s", sealdomain, sealselector,
                 alg_text(conf->conf_signalg));
    }
    char safe_keys[keys_text_size];
    arcf_log_safe(keys, safe_keys, sizeof safe_keys);
    arcf_log(LOG_INFO, "%s: client=%s mode=%s outcome=%s%s%s%s%s%s time=%.1fms", afc->mctx_jobid,
             addr[0] != '\0' ? addr : "unknown", mode_words[mode & 3],
             outcome_words[static_cast<unsigned>(outcome)], why[0] != '\0' ? " reason=\"" : "", why,
             why[0] != '\0' ? "\"" : "", safe_keys, sealer,
             arcf_metrics_since(afc->mctx_start) * 1e3);
}

sfsistat mlfi_eom(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    auto* cc = static_cast<arcf_connctx*>(arcf_getpriv(ctx));
    assert(cc != NULL);
    arcf_msgctx* afc = cc->cctx_msg;
    assert(afc != NULL);
    const arcf_config* conf = cc->cctx_config;

    if (strcmp(afc->mctx_jobid, "(unknown-jobid)") == 0) {
        const char* id = arcf_getsymval(ctx, "i");
        if (id != nullptr && id[0] != '\0') {
            snprintf(afc->mctx_jobid, sizeof afc->mctx_jobid, "%s", id);
        } else if (conf->conf_dolog && warn_nojobid.exchange(false)) {
            arcf_conflog(conf, LOG_WARNING, "WARNING: symbol 'i' not available");
        }
    }
    if (afc->mctx_arcmsg == nullptr) {
        // The message passes unprocessed (a limit or check said so, or the
        // MTA skipped end of headers); what claims this ADMD still goes.
        if (arcf_validates(cc) && !remove_our_results(ctx, cc, afc)) {
            arcf_finish(cc, afc, arcf_outcome::deferred, "internal error", nullptr, nullptr);
            return SMFIS_TEMPFAIL;
        }
        arcf_finish(cc, afc, arcf_outcome::unprocessed,
                    afc->mctx_passwhy != nullptr ? afc->mctx_passwhy : "end of header skipped",
                    nullptr, nullptr);
        return SMFIS_ACCEPT;
    }
    const char* why = nullptr;
    char reason[ARES_MAXTEXT + 1] = "";
    sealing_identity used;
    const sfsistat st = end_of_message(ctx, cc, afc, why, reason, sizeof reason, used);
    if (st == SMFIS_TEMPFAIL) {
        arcf_finish(cc, afc, arcf_outcome::deferred, why, nullptr, nullptr);
    } else {
        arcf_finish(cc, afc, outcome_of(cc, afc, used.domain != nullptr), reason, used.domain,
                    used.selector);
    }
    return st;
}
