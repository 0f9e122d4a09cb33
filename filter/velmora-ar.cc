// SPDX-License-Identifier: BSD-2-Clause
// velmora-ar.cc - parser of Authentication-Results header field values.
//
// A tokenizer cuts the value into words, one-character punctuation tokens and
// comments; a state machine then reads the authserv-id, the optional version
// and the method results with their reasons, comments and properties. Values
// are taken as they come; the punctuation between elements is checked.
// Memory:  none allocated: bounded local arrays and the caller's record.
// Errors:  -1 from ares_parse(); nothing is logged.
// Threads: no shared state.
#include "velmora-ar.h"

#include <assert.h>
#include <string.h>
#include <strings.h>

#include <cstddef>
#include <iterator>

namespace {

// ---- Name tables ----

struct name_code {
    const char* name;
    int code;
};

constexpr name_code method_names[] = {
    {"arc", ARES_METHOD_ARC},
    {"auth", ARES_METHOD_AUTH},
    {"dkim", ARES_METHOD_DKIM},
    {"dkim-adsp", ARES_METHOD_DKIMADSP},
    {"dkim-atps", ARES_METHOD_DKIMATPS},
    {"dmarc", ARES_METHOD_DMARC},
    {"domainkeys", ARES_METHOD_DOMAINKEYS},
    {"iprev", ARES_METHOD_IPREV},
    {"rrvs", ARES_METHOD_RRVS},
    {"sender-id", ARES_METHOD_SENDERID},
    {"smime", ARES_METHOD_SMIME},
    {"spf", ARES_METHOD_SPF},
};
static_assert(std::size(method_names) == 12, "one row per known method");

constexpr name_code result_names[] = {
    {"none", ARES_RESULT_NONE},           {"pass", ARES_RESULT_PASS},
    {"fail", ARES_RESULT_FAIL},           {"policy", ARES_RESULT_POLICY},
    {"neutral", ARES_RESULT_NEUTRAL},     {"temperror", ARES_RESULT_TEMPERROR},
    {"permerror", ARES_RESULT_PERMERROR}, {"nxdomain", ARES_RESULT_NXDOMAIN},
    {"signed", ARES_RESULT_SIGNED},       {"unknown", ARES_RESULT_UNKNOWN},
    {"discard", ARES_RESULT_DISCARD},     {"softfail", ARES_RESULT_SOFTFAIL},
};
static_assert(std::size(result_names) == 12, "one row per result code");

constexpr name_code ptype_names[] = {
    {"smtp", ARES_PTYPE_SMTP},
    {"header", ARES_PTYPE_HEADER},
    {"body", ARES_PTYPE_BODY},
    {"policy", ARES_PTYPE_POLICY},
};
static_assert(std::size(ptype_names) == 4, "one row per property type");

template <size_t N>
int code_of(const name_code (&table)[N], const char* name, int missing) noexcept {
    for (const auto& row : table) {
        if (strcasecmp(row.name, name) == 0) {
            return row.code;
        }
    }
    return missing;
}

template <size_t N>
const char* name_of(const name_code (&table)[N], int code) noexcept {
    for (const auto& row : table) {
        if (row.code == code) {
            return row.name;
        }
    }
    return nullptr;
}

// ---- Tokenizer ----

constexpr int max_tokens = 512;
// Bytes of token text, terminators included, that a value may use.
constexpr size_t max_token_text = 4096;

struct token_list {
    char text[max_token_text];
    size_t used = 0;
    int start[max_tokens];
    int count = 0;
    bool open = false;
    bool overflow = false;

    const char* operator[](int i) const noexcept { return text + start[i]; }

    void begin() noexcept {
        if (open || overflow) {
            return;
        }
        if (count == max_tokens) {
            overflow = true;
            return;
        }
        start[count++] = static_cast<int>(used);
        open = true;
    }
    void put(char c) noexcept {
        begin();
        if (overflow) {
            return;
        }
        if (used == max_token_text) {
            overflow = true;
            return;
        }
        text[used++] = c;
    }
    void end() noexcept {
        if (!open || overflow) {
            return;
        }
        if (used == max_token_text) {
            overflow = true;
            return;
        }
        text[used++] = '\0';
        open = false;
    }
};

bool is_ascii_space(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Cuts the value into tokens; false when it passes the token limits.
bool tokenize(const char* hdr, token_list& t) noexcept {
    bool escaped = false;
    bool quoted = false;
    int depth = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(hdr);
         *p != '\0' && !t.overflow; ++p) {
        const char c = static_cast<char>(*p);
        if (escaped) {
            t.put(c);
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '"' && depth == 0) {
            quoted = !quoted;
            t.begin();
        } else if (quoted) {
            t.put(c);
        } else if (c == '(') {
            t.put(c);
            ++depth;
        } else if (c == ')') {
            // Only the outermost closing parenthesis is kept; it ends the token.
            if (depth > 0 && --depth == 0) {
                t.put(c);
                t.end();
            }
        } else if (is_ascii_space(*p)) {
            if (depth > 0) {
                t.put(c);
            } else {
                t.end();
            }
        } else if (depth == 0 && (c == '.' || c == ';' || c == '=')) {
            t.end();
            t.put(c);
            t.end();
        } else {
            t.put(c);
        }
    }
    t.end();
    return !t.overflow;
}

// ---- Parser ----

// Copies src into a stored text, cut to its size.
template <size_t N>
void set_text(char (&dst)[N], const char* src) noexcept {
    const size_t len = strnlen(src, N - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// Appends src to a stored text, cut to its size.
template <size_t N>
void add_text(char (&dst)[N], const char* src) noexcept {
    const size_t have = strnlen(dst, N - 1);
    const size_t len = strnlen(src, N - 1 - have);
    memcpy(dst + have, src, len);
    dst[have + len] = '\0';
}

bool is_ascii_alnum(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Results a field may hold; the record has one slot more.
constexpr int max_field_results = 15;
static_assert(max_field_results < ARES_MAXRESULTS, "the record holds every result kept");

// When the newest result repeats the method of an earlier one (DKIM
// excepted), it replaces the first such earlier result.
void merge_last(authres* ar, int& count) noexcept {
    if (count < 2) {
        return;
    }
    authres_result& last = ar->ares_results[count - 1];
    if (last.result_method == ARES_METHOD_DKIM) {
        return;
    }
    for (int i = 0; i < count - 1; ++i) {
        if (ar->ares_results[i].result_method == last.result_method) {
            memcpy(&ar->ares_results[i], &last, sizeof last);
            memset(&last, 0, sizeof last);
            --count;
            return;
        }
    }
}

// Where the parser stands: what the next token must be.
enum class state {
    authserv_id,    // a part of the authserv-id
    after_id,       // ".", a version, or ";"
    after_version,  // ";"
    method,         // a method, or "none"
    method_eq,      // "="
    result_value,   // the result
    after_result,   // ";", "reason" or a property type
    reason_eq,      // "="
    reason_value,   // the reason
    after_reason,   // ";", a property type, or a value's continuation
    ptype_dot,      // "."
    prop_name,      // a property name
    prop_eq,        // "="
    prop_value,     // a property value
    after_none,     // nothing
};

bool is_token(const char* tok, char c) noexcept {
    return tok[0] == c && tok[1] == '\0';
}

}  // namespace

int ares_parse(const char* hdr, authres* ar) noexcept {
    assert(hdr != NULL);
    assert(ar != NULL);
    memset(ar, 0, sizeof *ar);

    token_list tokens;
    if (!tokenize(hdr, tokens)) {
        return -1;
    }

    state st = state::authserv_id;
    int count = 0;                  // results started, after merging
    authres_result* cur = nullptr;  // the most recently started result
    int n = 0;                      // property index of cur
    bool after_value = false;       // the last token was a property value
    bool value_stored = false;      // and it was stored (not past the 16th)
    for (int i = 0; i < tokens.count; ++i) {
        const char* tok = tokens[i];
        if (tok[0] == '(') {
            if (cur != nullptr) {
                set_text(cur->result_comment, tok);
            }
            continue;
        }
        const bool continues = after_value && (is_token(tok, '.') || is_token(tok, '='));
        after_value = false;
        switch (st) {
            case state::authserv_id:
                if (!is_ascii_alnum(tok[0])) {
                    return -1;
                }
                add_text(ar->ares_host, tok);
                st = state::after_id;
                break;
            case state::after_id:
                if (is_token(tok, ';')) {
                    st = state::method;
                } else if (is_token(tok, '.')) {
                    add_text(ar->ares_host, tok);
                    st = state::authserv_id;
                } else if (tok[0] >= '0' && tok[0] <= '9') {
                    set_text(ar->ares_version, tok);
                    st = state::after_version;
                } else {
                    return -1;
                }
                break;
            case state::after_version:
                if (!is_token(tok, ';')) {
                    return -1;
                }
                st = state::method;
                break;
            case state::method:
                merge_last(ar, count);
                if (count == max_field_results) {
                    ar->ares_nresults = 0;
                    return 0;
                }
                if (strcasecmp(tok, "none") == 0) {
                    st = state::after_none;
                    break;
                }
                cur = &ar->ares_results[count++];
                memset(cur, 0, sizeof *cur);
                cur->result_method = code_of(method_names, tok, ARES_METHOD_UNKNOWN);
                n = 0;
                st = state::method_eq;
                break;
            case state::method_eq:
                if (!is_token(tok, '=')) {
                    return -1;
                }
                st = state::result_value;
                break;
            case state::result_value:
                cur->result_result = code_of(result_names, tok, ARES_RESULT_UNKNOWN);
                cur->result_comment[0] = '\0';
                st = state::after_result;
                break;
            case state::after_result:
            case state::after_reason: {
                if (continues) {
                    // A value the tokenizer split at "." or "=" goes on; the
                    // rest of a value that was not stored is dropped with it.
                    if (value_stored) {
                        --n;
                        add_text(cur->result_value[n], tok);
                    }
                    st = state::prop_value;
                    break;
                }
                if (is_token(tok, ';')) {
                    st = state::method;
                    break;
                }
                if (st == state::after_result && strcasecmp(tok, "reason") == 0) {
                    st = state::reason_eq;
                    break;
                }
                const int ptype = code_of(ptype_names, tok, ARES_PTYPE_UNKNOWN);
                if (ptype == ARES_PTYPE_UNKNOWN) {
                    return -1;
                }
                if (n < ARES_MAXPROPS) {
                    cur->result_ptype[n] = ptype;
                }
                st = state::ptype_dot;
                break;
            }
            case state::reason_eq:
                if (!is_token(tok, '=')) {
                    return -1;
                }
                st = state::reason_value;
                break;
            case state::reason_value:
                set_text(cur->result_reason, tok);
                st = state::after_reason;
                break;
            case state::ptype_dot:
                if (!is_token(tok, '.')) {
                    return -1;
                }
                st = state::prop_name;
                break;
            case state::prop_name:
                if (n < ARES_MAXPROPS) {
                    set_text(cur->result_property[n], tok);
                }
                st = state::prop_eq;
                break;
            case state::prop_eq:
                if (!is_token(tok, '=')) {
                    return -1;
                }
                st = state::prop_value;
                break;
            case state::prop_value:
                // Beyond the 16th property nothing is stored.
                value_stored = n < ARES_MAXPROPS;
                if (value_stored) {
                    add_text(cur->result_value[n], tok);
                    ++n;
                    cur->result_nprops = n;
                }
                after_value = true;
                st = state::after_reason;
                break;
            case state::after_none:
                return -1;
        }
    }

    // An element left half-written fails the value.
    switch (st) {
        case state::method_eq:
        case state::reason_eq:
        case state::ptype_dot:
        case state::prop_name:
        case state::prop_eq:
            return -1;
        case state::authserv_id:
        case state::after_id:
        case state::after_version:
        case state::method:
        case state::result_value:
        case state::after_result:
        case state::reason_value:
        case state::after_reason:
        case state::prop_value:
        case state::after_none:
            break;
    }
    merge_last(ar, count);
    ar->ares_nresults = count;
    return 0;
}

const char* ares_getmethod(int method) noexcept {
    return name_of(method_names, method);
}
const char* ares_getresult(int result) noexcept {
    return name_of(result_names, result);
}
const char* ares_getptype(int ptype) noexcept {
    return name_of(ptype_names, ptype);
}
