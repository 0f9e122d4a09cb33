// SPDX-License-Identifier: BSD-2-Clause
// arc-tagvalue.cc - the tag=value parser of ARC header field values and key
// records, the store of the parsed pairs, and the per-type tag checks.
//
// A set keeps one private copy of its text, cut in place; every tag name and
// value of the set points into that copy.
// Memory:  libcrypto's allocator only; sets belong to their message.
// Errors:  recorded with arc_error() in the message handle.
// Threads: none; one message handle is used by one thread at a time.
#include <assert.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <initializer_list>

#include "arc-util.h"
#include "arc.h"
#include "velmora.h"

namespace {

bool is_print(unsigned char c) {
    return c >= 0x20 && c <= 0x7e;
}
bool is_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Bucket of a tag name by its first byte, or -1 when that byte is not printable.
int bucket_of(const char* name) {
    const auto c = static_cast<unsigned char>(name[0]);
    return is_print(c) ? c - 0x20 : -1;
}

// Name of a set type for error texts.
const char* type_name(int type) {
    const char* name = arc_code_to_name(settypes, type);
    return name != nullptr ? name : "unknown";
}

// Constant texts of the defaults the type checks add; never written through.
char tag_q[] = "q";
char value_dnstxt[] = "dns/txt";
char tag_k[] = "k";
char value_rsa[] = "rsa";

// Appends a new set to the message's set list.
void link_set(arc_msg* msg, arc_kvset* set) {
    if (msg->arc_kvsethead == nullptr) {
        msg->arc_kvsethead = set;
    } else {
        msg->arc_kvsettail->set_next = set;
    }
    msg->arc_kvsettail = set;
}

// Collapses whitespace out of a pair and stores it; false when it is refused.
bool add_pair(arc_msg* msg, arc_kvset* set, char* param, char* value) {
    arc_collapse(param);
    arc_collapse(value);
    return arc_add_plist(msg, set, param, value, false) == 0;
}

// Scanner states of the parser.
enum class scan_state { before_tag, in_tag, after_equals, in_value };

// Cuts the set's text into pairs. Returns ARC_STAT_OK or the failure status
// with its text recorded.
ARC_STAT scan_pairs(arc_msg* msg, arc_kvset* set, size_t len) {
    char* const data = set->set_data;
    const char* const tname = type_name(set->set_type);
    scan_state state = scan_state::before_tag;
    char* param = nullptr;
    char* value = nullptr;
    bool name_spaced = false;
    for (size_t k = 0; k < len; ++k) {
        if (state == scan_state::in_value) {
            // Values (b=, bh=, h=) are most of a set: run to the byte that
            // ends one, or to one the checks below refuse.
            while (k < len && data[k] != ';' &&
                   (is_print(static_cast<unsigned char>(data[k])) ||
                    arc_is_c_space(static_cast<unsigned char>(data[k])))) {
                ++k;
            }
            if (k == len) {
                break;
            }
        }
        const auto c = static_cast<unsigned char>(data[k]);
        if (!arc_is_c_space(c) && !is_print(c)) {
            arc_error(msg, "invalid character (ASCII 0x%02x at offset %d) in %s data", c,
                      static_cast<int>(k), tname);
            return ARC_STAT_SYNTAX;
        }
        bool syntax_error = false;
        switch (state) {
            case scan_state::before_tag:
                if (is_alnum(c)) {
                    param = data + k;
                    name_spaced = false;
                    state = scan_state::in_tag;
                } else if (!arc_is_c_space(c)) {
                    syntax_error = true;
                }
                break;
            case scan_state::in_tag:
                if (c == '=') {
                    data[k] = '\0';
                    state = scan_state::after_equals;
                } else if (arc_is_c_space(c)) {
                    name_spaced = true;
                } else if (c == ';' || name_spaced) {
                    syntax_error = true;
                }
                break;
            case scan_state::after_equals:
                if (c == ';') {
                    data[k] = '\0';
                    if (!add_pair(msg, set, param, data + k)) {
                        return ARC_STAT_INTERNAL;
                    }
                    state = scan_state::before_tag;
                } else if (!arc_is_c_space(c)) {
                    value = data + k;
                    state = scan_state::in_value;
                }
                break;
            case scan_state::in_value:
                if (c == ';') {
                    data[k] = '\0';
                    if (!add_pair(msg, set, param, value)) {
                        return ARC_STAT_INTERNAL;
                    }
                    // Only the instance tag of an ARC-Authentication-Results is ours to read.
                    if (set->set_type == ARC_KVSETTYPE_AR) {
                        return ARC_STAT_OK;
                    }
                    state = scan_state::before_tag;
                }
                break;
        }
        if (syntax_error) {
            arc_error(msg, "syntax error in %s data (ASCII 0x%02x at offset %d)", tname, c,
                      static_cast<int>(k));
            return ARC_STAT_SYNTAX;
        }
    }
    switch (state) {
        case scan_state::before_tag:
            break;
        case scan_state::in_tag:
            arc_error(msg, "tag without value at end of %s data", tname);
            return ARC_STAT_SYNTAX;
        case scan_state::after_equals:
            if (!add_pair(msg, set, param, data + len)) {
                return ARC_STAT_INTERNAL;
            }
            break;
        case scan_state::in_value:
            if (!add_pair(msg, set, param, value)) {
                return ARC_STAT_INTERNAL;
            }
            break;
    }
    return ARC_STAT_OK;
}

// True when every tag of the list is present, whatever its value.
bool has_tags(arc_kvset* set, std::initializer_list<const char*> tags) {
    for (const char* tag : tags) {
        if (arc_param_get(set, tag) == nullptr) {
            return false;
        }
    }
    return true;
}

// Checks that a present tag (or, with `required`, the tag) is a positive number.
bool uint_tag_ok(arc_kvset* set, const char* tag, bool required) {
    const char* v = arc_param_get(set, tag);
    if (v == nullptr) {
        return !required;
    }
    return arc_check_uint(v);
}

// Refuses an ARC-Message-Signature whose h= lists ARC-Seal.
ARC_STAT check_signed_fields(arc_msg* msg, const char* hlist) {
    const size_t len = strlen(hlist);
    crypto_ptr<char> copy{static_cast<char*>(OPENSSL_malloc(len + 1))};
    if (!copy) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(len + 1));
        return ARC_STAT_INTERNAL;
    }
    memcpy(copy.get(), hlist, len + 1);
    char* save = nullptr;
    for (char* name = strtok_r(copy.get(), ":", &save); name != nullptr;
         name = strtok_r(nullptr, ":", &save)) {
        if (strcasecmp(name, "ARC-Seal") == 0) {
            arc_error(msg, "ARC-Message-Signature signs %s", name);
            return ARC_STAT_INTERNAL;
        }
    }
    return ARC_STAT_OK;
}

// Checks the required tags and numbers of a parsed set and adds its defaults.
ARC_STAT check_set(arc_msg* msg, arc_kvset* set) {
    const char* const tname = type_name(set->set_type);
    const auto missing = [&] {
        arc_error(msg, "missing parameter(s) in %s data", tname);
        return ARC_STAT_SYNTAX;
    };
    const auto invalid = [&](const char* tag) {
        arc_error(msg, "invalid \"%s\" value in %s data", tag, tname);
        return ARC_STAT_SYNTAX;
    };
    switch (set->set_type) {
        case ARC_KVSETTYPE_SIGNATURE: {
            if (!has_tags(set, {"s", "h", "d", "b", "bh", "i", "c", "a"})) {
                return missing();
            }
            const ARC_STAT status = check_signed_fields(msg, arc_param_get(set, "h"));
            if (status != ARC_STAT_OK) {
                return status;
            }
            for (const char* tag : {"t", "x"}) {
                if (!uint_tag_ok(set, tag, false)) {
                    return invalid(tag);
                }
            }
            if (!uint_tag_ok(set, "i", true)) {
                return invalid("i");
            }
            if (arc_add_plist(msg, set, tag_q, value_dnstxt, true) != 0) {
                return ARC_STAT_INTERNAL;
            }
            return ARC_STAT_OK;
        }
        case ARC_KVSETTYPE_KEY:
            if (arc_add_plist(msg, set, tag_k, value_rsa, true) != 0) {
                return ARC_STAT_INTERNAL;
            }
            return ARC_STAT_OK;
        case ARC_KVSETTYPE_SEAL:
            // t= is optional (RFC 8617 section 4.1.3 takes it over from DKIM,
            // where it is recommended, not required).
            if (!has_tags(set, {"cv", "i", "b", "s", "d", "a"})) {
                return missing();
            }
            return uint_tag_ok(set, "i", true) ? ARC_STAT_OK : invalid("i");
        case ARC_KVSETTYPE_AR:
            if (!has_tags(set, {"i"})) {
                return missing();
            }
            return uint_tag_ok(set, "i", true) ? ARC_STAT_OK : invalid("i");
    }
    return ARC_STAT_OK;
}

}  // namespace

// ---- Tag-value sets ----

ARC_STAT arc_process_set(arc_msg* msg, int type, const char* str, size_t len, void* udata,
                         arc_kvset** out) noexcept {
    assert(msg != NULL);
    assert(str != NULL);
    assert(type == ARC_KVSETTYPE_SEAL || type == ARC_KVSETTYPE_SIGNATURE ||
           type == ARC_KVSETTYPE_AR || type == ARC_KVSETTYPE_KEY);

    if (len == SIZE_MAX) {
        arc_error(msg, "unable to allocate %d byte(s)", -1);
        return ARC_STAT_INTERNAL;
    }
    crypto_ptr<char> data{static_cast<char*>(OPENSSL_malloc(len + 1))};
    if (!data) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(len + 1));
        return ARC_STAT_INTERNAL;
    }
    const size_t n = strnlen(str, len);
    memcpy(data.get(), str, n);
    data.get()[n] = '\0';
    auto* set = static_cast<arc_kvset*>(OPENSSL_zalloc(sizeof(arc_kvset)));
    if (set == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_kvset)));
        return ARC_STAT_INTERNAL;
    }
    set->set_type = type;
    set->set_udata = static_cast<arc_hdr*>(udata);
    set->set_data = data.release();
    link_set(msg, set);

    ARC_STAT status = scan_pairs(msg, set, n);
    if (status == ARC_STAT_OK) {
        status = check_set(msg, set);
    }
    if (status != ARC_STAT_OK) {
        set->set_bad = true;
        return status;
    }
    if (out != nullptr) {
        *out = set;
    }
    return ARC_STAT_OK;
}

int arc_add_plist(arc_msg* msg, arc_kvset* set, char* param, char* value, bool force) noexcept {
    assert(msg != NULL);
    assert(set != NULL);
    assert(param != NULL);
    assert(value != NULL);
    const int b = bucket_of(param);
    if (b < 0) {
        arc_error(msg, "invalid parameter '%s'", param);
        return -1;
    }
    for (arc_plist* p = set->set_plist[b]; p != nullptr; p = p->plist_next) {
        if (strcasecmp(p->plist_param, param) == 0) {
            if (force) {
                return 0;
            }
            arc_error(msg, "duplicate parameter '%s'", param);
            return -1;
        }
    }
    auto* p = static_cast<arc_plist*>(OPENSSL_malloc(sizeof(arc_plist)));
    if (p == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_plist)));
        return -1;
    }
    p->plist_param = param;
    p->plist_value = value;
    p->plist_next = set->set_plist[b];
    set->set_plist[b] = p;
    return 0;
}

int arc_sigalg(arc_kvset* set) noexcept {
    assert(set != NULL);
    const char* alg = arc_param_get(set, "a");
    return alg != nullptr ? arc_name_to_code(algorithms, alg) : -1;
}

char* arc_param_get(arc_kvset* set, const char* param) noexcept {
    assert(set != NULL);
    assert(param != NULL);
    const int b = bucket_of(param);
    if (b < 0) {
        return nullptr;
    }
    for (arc_plist* p = set->set_plist[b]; p != nullptr; p = p->plist_next) {
        if (strcmp(p->plist_param, param) == 0) {
            return p->plist_value;
        }
    }
    return nullptr;
}

bool arc_check_uint(const char* value) noexcept {
    assert(value != NULL);
    if (value[0] == '-' || value[0] == '\0') {
        return false;
    }
    const int saved_errno = errno;
    errno = 0;
    char* end = nullptr;
    const long long n = strtoll(value, &end, 10);
    const bool overflow = errno == ERANGE;
    errno = saved_errno;
    // A sign after leading blanks is still a sign: only positive numbers pass.
    return !overflow && n > 0 && *end == '\0';
}
