// SPDX-License-Identifier: BSD-2-Clause
// arc-message.cc - the message handle: creation, header intake, the end of
// the header block (ARC sets grouped by instance, the chain's structure
// checked), the header record accessors, and release.
//
// Memory:  libcrypto's allocator only; a message owns every record it makes.
// Errors:  recorded with arc_error() in the message handle; structural faults
//          of the chain are a chain state, not a failure.
// Threads: none; one message handle is used by one thread at a time.
#include <assert.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <cstdint>
#include <string_view>

#include "arc-canon.h"
#include "arc-util.h"
#include "arc.h"
#include "velmora.h"

// ---- Message handle ----

arc_msg* arc_message(arc_library* lib, int canonhdr, int canonbody, int signalg, int mode,
                     const char** err) noexcept {
    assert(lib != NULL);
    if (mode == 0) {
        if (err != nullptr) {
            *err = "no mode(s) selected";
        }
        return nullptr;
    }
    auto* msg = static_cast<arc_msg*>(OPENSSL_zalloc(sizeof(arc_msg)));
    if (msg == nullptr) {
        if (err != nullptr) {
            // libcrypto's allocator need not set errno.
            *err = strerror(errno != 0 ? errno : ENOMEM);
        }
        return nullptr;
    }
    msg->arc_lib = lib;
    msg->arc_timestamp =
        lib->arc_fixedtime != 0 ? lib->arc_fixedtime : static_cast<uint64_t>(time(nullptr));
    msg->arc_canonhdr = canonhdr;
    msg->arc_canonbody = canonbody;
    msg->arc_signalg = signalg;
    msg->arc_mode = static_cast<uint32_t>(mode);
    msg->arc_margin = 75;
    msg->arc_cstate = ARC_CHAIN_NONE;
    msg->arc_query = lib->arc_queryinfo[0] != '\0' ? ARC_QUERY_FILE : ARC_QUERY_DNS;
    msg->arc_timeout = lib->arc_dnstimeout;
    return msg;
}

namespace {

// Frees a list of header records and their texts.
void free_hdrs(arc_hdr* hdr) noexcept {
    while (hdr != nullptr) {
        arc_hdr* next = hdr->hdr_next;
        OPENSSL_free(hdr->hdr_text);
        OPENSSL_free(hdr);
        hdr = next;
    }
}

// Frees every parsed set with its text and pairs.
void free_sets(arc_kvset* set) noexcept {
    while (set != nullptr) {
        arc_kvset* next = set->set_next;
        for (arc_plist* head : set->set_plist) {
            while (head != nullptr) {
                arc_plist* p = head->plist_next;
                OPENSSL_free(head);
                head = p;
            }
        }
        OPENSSL_free(set->set_data);
        OPENSSL_free(set);
        set = next;
    }
}

}  // namespace

void arc_free(arc_msg* msg) noexcept {
    assert(msg != NULL);
    OPENSSL_free(msg->arc_errorbuf);
    free_hdrs(msg->arc_hhead);
    free_hdrs(msg->arc_sealhead);
    if (msg->arc_hdrbuf != nullptr) {
        arc_dstring_free(msg->arc_hdrbuf);
    }
    arc_canon_cleanup(msg);
    free_sets(msg->arc_kvsethead);
    OPENSSL_free(msg->arc_sealcanons);
    OPENSSL_free(msg->arc_sets);
    OPENSSL_free(msg->arc_key);
    OPENSSL_free(msg);
}

// ---- Header intake ----

namespace {

bool is_field_name_byte(unsigned char c) {
    return c >= 0x20 && c <= 0x7e;
}

// Copies a field's bytes (up to a NUL) with bare CR and bare LF made CRLF.
// Returns the new text, or null with the reason recorded.
char* copy_fixing_crlf(arc_msg* msg, std::string_view field, size_t* outlen) noexcept {
    dstring_ptr tmp{arc_dstring_new(msg, 1024, 65536)};
    if (!tmp) {
        return nullptr;
    }
    for (size_t i = 0; i < field.size() && field[i] != '\0'; ++i) {
        const char c = field[i];
        bool ok = true;
        if (c == '\n' && (i == 0 || field[i - 1] != '\r')) {
            ok = arc_dstring_cat(tmp.get(), "\r\n");
        } else if (c == '\r' && (i + 1 == field.size() || field[i + 1] != '\n')) {
            ok = arc_dstring_cat(tmp.get(), "\r\n");
        } else {
            ok = arc_dstring_cat1(tmp.get(), c);
        }
        if (!ok) {
            arc_error(msg, "header field too long (more than %d bytes) to repair its line ends",
                      65535);
            return nullptr;
        }
    }
    const auto len = static_cast<size_t>(arc_dstring_len(tmp.get()));
    char* text = arc_strndup(arc_dstring_get(tmp.get()), len);
    if (text == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(len + 1));
        return nullptr;
    }
    *outlen = len;
    return text;
}

}  // namespace

ARC_STAT arc_parse_header_field(arc_msg* msg, const unsigned char* hdr, size_t hlen,
                                arc_hdr** ret) noexcept {
    assert(msg != NULL);
    assert(hdr != NULL);
    assert(ret != NULL);
    const std::string_view field{reinterpret_cast<const char*>(hdr), hlen};

    size_t colon = 0;
    while (colon < field.size() && field[colon] != ':') {
        if (!is_field_name_byte(static_cast<unsigned char>(field[colon]))) {
            return ARC_STAT_SYNTAX;
        }
        ++colon;
    }
    if (colon == field.size()) {
        return ARC_STAT_SYNTAX;
    }
    size_t namelen = colon;
    while (namelen > 0 && field[namelen - 1] == ' ') {
        --namelen;
    }
    if (field.substr(0, colon).find(';') != std::string_view::npos) {
        return ARC_STAT_SYNTAX;
    }

    crypto_ptr<arc_hdr> rec{static_cast<arc_hdr*>(OPENSSL_zalloc(sizeof(arc_hdr)))};
    if (!rec) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_hdr)));
        return ARC_STAT_NORESOURCE;
    }
    size_t textlen = 0;
    char* text = nullptr;
    if ((msg->arc_lib->arc_flags & ARC_LIBFLAGS_FIXCRLF) != 0) {
        text = copy_fixing_crlf(msg, field, &textlen);
    } else {
        textlen = strnlen(field.data(), field.size());
        text = arc_strndup(field.data(), textlen);
        if (text == nullptr) {
            arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(textlen + 1));
        }
    }
    if (text == nullptr) {
        return ARC_STAT_NORESOURCE;
    }
    // Bytes before the colon are never changed, so the colon keeps its offset.
    rec->hdr_text = text;
    rec->hdr_textlen = textlen;
    rec->hdr_namelen = namelen;
    rec->hdr_colon = text + colon;
    *ret = rec.release();
    return ARC_STAT_OK;
}

ARC_STAT arc_header_field(arc_msg* msg, const unsigned char* hdr, size_t hlen) noexcept {
    assert(msg != NULL);
    assert(hdr != NULL);
    assert(hlen != 0);
    if (msg->arc_state >= ARC_STATE_EOH) {
        return ARC_STAT_INVALID;
    }
    msg->arc_state = ARC_STATE_HEADER;
    arc_hdr* rec = nullptr;
    const ARC_STAT status = arc_parse_header_field(msg, hdr, hlen, &rec);
    if (status != ARC_STAT_OK) {
        return status;
    }
    if (msg->arc_hhead == nullptr) {
        msg->arc_hhead = rec;
    } else {
        msg->arc_htail->hdr_next = rec;
    }
    msg->arc_htail = rec;
    msg->arc_hdrcnt++;
    return ARC_STAT_OK;
}

// ---- End of header ----

namespace {

// Returns the set type of an ARC header field name, or -1 for other fields.
int arc_field_type(const arc_hdr* hdr) noexcept {
    const std::string_view name{hdr->hdr_text, hdr->hdr_namelen};
    for (const arc_nametable* row = archdrnames; row->tbl_name != nullptr; ++row) {
        if (name.size() == strlen(row->tbl_name) &&
            strncasecmp(name.data(), row->tbl_name, name.size()) == 0) {
            return row->tbl_code;
        }
    }
    return -1;
}

// Step 2: parses the value of every ARC header field into a set. A field that
// does not parse keeps no set and fails the chain.
void parse_arc_fields(arc_msg* msg) noexcept {
    for (arc_hdr* hdr = msg->arc_hhead; hdr != nullptr; hdr = hdr->hdr_next) {
        const int type = arc_field_type(hdr);
        if (type < 0) {
            continue;
        }
        const char* value = hdr->hdr_colon + 1;
        const size_t len = hdr->hdr_textlen - static_cast<size_t>(value - hdr->hdr_text);
        arc_kvset* set = nullptr;
        if (arc_process_set(msg, type, value, len, hdr, &set) == ARC_STAT_OK) {
            hdr->hdr_data = set;
        } else {
            msg->arc_cstate = ARC_CHAIN_FAIL;
        }
    }
}

// Reads an i= value as an unsigned decimal number: the value of its leading
// digits (after an optional "+"), saturated at UINT64_MAX; 0 without digits.
uint64_t read_instance(const char* text) noexcept {
    const char* p = text[0] == '+' ? text + 1 : text;
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const auto d = static_cast<uint64_t>(*p - '0');
        if (n > (UINT64_MAX - d) / 10) {
            return UINT64_MAX;
        }
        n = n * 10 + d;
    }
    return n;
}

// True for the sets that belong to the chain (not key records).
bool is_arc_set(const arc_kvset* set) noexcept {
    return set->set_type != ARC_KVSETTYPE_KEY;
}

// Step 3: the highest in-range instance, and the first set whose i= is above
// ARC_MAXINSTANCES (which never sizes or indexes the instance table). Also
// records in arc_maxinstance the highest i= of all, which sealing reads.
unsigned count_instances(arc_msg* msg, arc_kvset** out_of_range) noexcept {
    unsigned nsets = 0;
    *out_of_range = nullptr;
    msg->arc_maxinstance = 0;
    for (arc_kvset* set = msg->arc_kvsethead; set != nullptr; set = set->set_next) {
        const char* i = is_arc_set(set) ? arc_param_get(set, "i") : nullptr;
        if (i == nullptr) {
            continue;
        }
        const uint64_t n = read_instance(i);
        const auto capped = static_cast<uint32_t>(n > ARC_MAXINSTANCES ? ARC_MAXINSTANCES + 1 : n);
        if (capped > msg->arc_maxinstance) {
            msg->arc_maxinstance = capped;
        }
        if (n > ARC_MAXINSTANCES) {
            if (*out_of_range == nullptr) {
                *out_of_range = set;
            }
        } else if (n > nsets) {
            nsets = static_cast<unsigned>(n);
        }
    }
    return nsets;
}

// Step 5: puts every set with a valid, in-range i= into its instance's slot.
void place_sets(arc_msg* msg) noexcept {
    for (arc_kvset* set = msg->arc_kvsethead; set != nullptr; set = set->set_next) {
        const char* i = is_arc_set(set) ? arc_param_get(set, "i") : nullptr;
        if (i == nullptr || !arc_check_uint(i)) {
            continue;
        }
        const uint64_t n = read_instance(i);
        if (n > msg->arc_nsets) {
            continue;  // out of range; reported after the structure checks
        }
        arc_set& entry = msg->arc_sets[n - 1];
        arc_hdr** slot = nullptr;
        const char* what = nullptr;
        switch (set->set_type) {
            case ARC_KVSETTYPE_SIGNATURE:
                slot = &entry.arcset_ams;
                what = "signatures";
                break;
            case ARC_KVSETTYPE_SEAL:
                slot = &entry.arcset_as;
                what = "seals";
                break;
            default:
                slot = &entry.arcset_aar;
                what = "auth results";
                break;
        }
        if (*slot == nullptr) {
            *slot = set->set_udata;
        } else {
            arc_error(msg, "multiple ARC %s at instance %u", what, static_cast<unsigned>(n));
            msg->arc_cstate = ARC_CHAIN_FAIL;
        }
    }
}

// Step 6: fails the chain at the first instance lacking one of its fields.
void check_complete(arc_msg* msg) noexcept {
    for (unsigned n = 1; n <= msg->arc_nsets; ++n) {
        const arc_set& entry = msg->arc_sets[n - 1];
        if (entry.arcset_aar == nullptr || entry.arcset_ams == nullptr ||
            entry.arcset_as == nullptr) {
            arc_error(msg, "missing or incomplete ARC set at instance %u", n);
            msg->arc_cstate = ARC_CHAIN_FAIL;
            return;
        }
    }
}

// Fails the chain for a field whose instance is above ARC_MAXINSTANCES, naming
// the field and its instance (cut, since the number may be of any length).
void report_out_of_range(arc_msg* msg, const arc_kvset* set) noexcept {
    constexpr int shown = 20;
    const char* i = arc_param_get(const_cast<arc_kvset*>(set), "i");
    const size_t len = strlen(i);
    const arc_hdr* hdr = set->set_udata;
    arc_error(msg, "%.*s instance %.*s%s out of range (1 to %u)",
              static_cast<int>(hdr->hdr_namelen), hdr->hdr_text, shown, i, len > shown ? "..." : "",
              ARC_MAXINSTANCES);
    msg->arc_cstate = ARC_CHAIN_FAIL;
}

}  // namespace

ARC_STAT arc_eoh(arc_msg* msg) noexcept {
    assert(msg != NULL);
    if (msg->arc_state >= ARC_STATE_EOH) {
        return ARC_STAT_INVALID;
    }
    msg->arc_state = ARC_STATE_EOH;

    parse_arc_fields(msg);

    // An instance above the limit fails the chain; arc_nsets stays within the
    // limit, and is at least 1 so that the message never reads as unsealed.
    arc_kvset* out_of_range = nullptr;
    msg->arc_nsets = count_instances(msg, &out_of_range);
    if (out_of_range != nullptr && msg->arc_nsets == 0) {
        msg->arc_nsets = 1;
    }

    if (msg->arc_nsets != 0) {
        msg->arc_sets = static_cast<arc_set*>(OPENSSL_zalloc(msg->arc_nsets * sizeof(arc_set)));
        if (msg->arc_sets == nullptr) {
            arc_error(msg, "unable to allocate %d byte(s)",
                      static_cast<int>(msg->arc_nsets * sizeof(arc_set)));
            return ARC_STAT_NORESOURCE;
        }
        place_sets(msg);
        check_complete(msg);
    }
    if (out_of_range != nullptr) {
        report_out_of_range(msg, out_of_range);
    }

    // Hash preparation: the validation and sealing hashes, then the header
    // fields and, for a chain still intact, the existing sets.
    if (ARC_STAT status = arc_eoh_verify(msg); status != ARC_STAT_OK) {
        return status;
    }
    if ((msg->arc_mode & ARC_MODE_SIGN) != 0) {
        if (ARC_STAT status = arc_eoh_sign(msg); status != ARC_STAT_OK) {
            return status;
        }
    }
    // A step that ran out of memory says so (the caller may retry later);
    // any other failure of the hashing steps is ARC_STAT_SYNTAX.
    auto failed = [msg](ARC_STAT status, const char* what) {
        arc_error(msg, "%s failed", what);
        return status == ARC_STAT_NORESOURCE ? ARC_STAT_NORESOURCE : ARC_STAT_SYNTAX;
    };
    const bool keep = (msg->arc_lib->arc_flags & ARC_LIBFLAGS_KEEPFILES) != 0;
    if (arc_canon_init(msg, keep, keep) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_init() failed");
        return ARC_STAT_SYNTAX;
    }
    if (ARC_STAT status = arc_canon_runheaders(msg); status != ARC_STAT_OK) {
        return failed(status, "arc_canon_runheaders()");
    }
    if ((msg->arc_mode & ARC_MODE_VERIFY) != 0 && msg->arc_cstate != ARC_CHAIN_FAIL) {
        if (ARC_STAT status = arc_canon_runheaders_seal(msg); status != ARC_STAT_OK) {
            return failed(status, "arc_canon_runheaders_seal()");
        }
    }
    // Only now may body data and sealing use the hashes: after any failure
    // above they miss header fields, and a set made from them would not verify.
    msg->arc_eoh_complete = true;
    return ARC_STAT_OK;
}

// ---- Header records ----

const char* arc_hdr_name(arc_hdr* hdr, size_t* namelen) noexcept {
    assert(hdr != NULL);
    if (namelen != nullptr) {
        *namelen = hdr->hdr_namelen;
    }
    return hdr->hdr_text;
}

const char* arc_hdr_value(arc_hdr* hdr) noexcept {
    assert(hdr != NULL);
    return hdr->hdr_colon + 1;
}

arc_hdr* arc_hdr_next(arc_hdr* hdr) noexcept {
    assert(hdr != NULL);
    return hdr->hdr_next;
}

const char* arc_get_domain(arc_msg* msg) noexcept {
    assert(msg != NULL);
    return msg->arc_domain;
}
