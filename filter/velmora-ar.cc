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
    method,        // a method, or "none"
    method_eq,     // "="
    result_value,  // the result
    after_result,  // ";", "reason" or a property type
    reason_eq,     // "="
    reason_value,  // the reason
    after_reason,  // ";", a property type, or a value's continuation
    ptype_dot,     // "."
    prop_name,     // a property name
    prop_eq,       // "="
    prop_value,    // a property value
    after_none,    // nothing
};

bool is_token(const char* tok, char c) noexcept {
    return tok[0] == c && tok[1] == '\0';
}

// Where reading the authserv-id left the tokens.
struct id_end {
    bool ok;         // the tokens formed an authserv-id (possibly empty)
    bool semicolon;  // it ended at a ";"; else the tokens ran out
    int next;        // the token after that ";"
};

// Reads the authserv-id and the optional version into host and version,
// skipping comments: parts that begin with a letter or digit joined by ".",
// then a version beginning with a digit, then ";".
template <size_t N>
id_end read_authserv_id(const token_list& tokens, char (&host)[N], char (&version)[N]) noexcept {
    enum class id_state { part, after_part, after_version };
    id_state st = id_state::part;
    for (int i = 0; i < tokens.count; ++i) {
        const char* tok = tokens[i];
        if (tok[0] == '(') {
            continue;
        }
        switch (st) {
            case id_state::part:
                if (!is_ascii_alnum(tok[0])) {
                    return {false, false, i};
                }
                add_text(host, tok);
                st = id_state::after_part;
                break;
            case id_state::after_part:
                if (is_token(tok, ';')) {
                    return {true, true, i + 1};
                }
                if (is_token(tok, '.')) {
                    add_text(host, tok);
                    st = id_state::part;
                } else if (tok[0] >= '0' && tok[0] <= '9') {
                    set_text(version, tok);
                    st = id_state::after_version;
                } else {
                    return {false, false, i};
                }
                break;
            case id_state::after_version:
                if (!is_token(tok, ';')) {
                    return {false, false, i};
                }
                return {true, true, i + 1};
        }
    }
    return {true, false, tokens.count};
}

// ---- The authserv-id as RFC 8601 reads it ----

bool is_fws(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Skips CFWS (blanks, folds and comments, nested, with quoted pairs); false
// for a comment that does not end.
bool skip_cfws(const char*& p) noexcept {
    int depth = 0;
    for (;; ++p) {
        const char c = *p;
        if (c == '\0') {
            return depth == 0;
        }
        if (depth > 0) {
            if (c == '\\') {
                if (p[1] == '\0') {
                    return false;
                }
                ++p;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            }
        } else if (c == '(') {
            depth = 1;
        } else if (!is_fws(c)) {
            return true;
        }
    }
}

// An RFC 2045 token character: printable ASCII less tspecials.
bool is_token_char(unsigned char c) noexcept {
    return c > 0x20 && c < 0x7f && strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

// Appends one character of the authserv-id being read.
void put_id(ares_id* out, size_t& n, char c) noexcept {
    if (n < ARES_MAXTEXT) {
        out->ai_strict_id[n++] = c;
    } else {
        out->ai_strict_long = true;
    }
}

// Reads [CFWS] value [CFWS version] [CFWS] ";" from the start of `v`; false
// when it does not read so.
bool read_strict_id(const char* v, ares_id* out) noexcept {
    const char* p = v;
    size_t n = 0;
    if (!skip_cfws(p)) {
        return false;
    }
    if (*p == '"') {
        for (++p; *p != '"'; ++p) {
            if (*p == '\0') {
                return false;
            }
            if (*p == '\\') {
                if (p[1] == '\0') {
                    return false;
                }
                ++p;
            } else if (*p == '\r' || *p == '\n') {
                continue;  // a fold inside the quotes is no part of the value
            }
            put_id(out, n, *p);
        }
        ++p;
    } else {
        for (; is_token_char(static_cast<unsigned char>(*p)); ++p) {
            put_id(out, n, *p);
        }
    }
    out->ai_strict_id[n] = '\0';
    if (n == 0) {
        return false;
    }
    const char* before = p;
    if (!skip_cfws(p)) {
        return false;
    }
    if (p != before && *p >= '0' && *p <= '9') {
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (!skip_cfws(p)) {
            return false;
        }
    }
    return *p == ';';
}

char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

void ares_read_id(const char* hdr, ares_id* out) noexcept {
    assert(hdr != NULL);
    assert(out != NULL);
    memset(out, 0, sizeof *out);
    out->ai_strict = read_strict_id(hdr, out);
    token_list tokens;
    char version[ARES_MAXTEXT + 1] = "";
    out->ai_lenient =
        tokenize(hdr, tokens) && read_authserv_id(tokens, out->ai_lenient_id, version).ok;
}

ares_claim ares_claims(const ares_id* id, const char* authservid) noexcept {
    assert(id != NULL);
    assert(authservid != NULL);
    if (!id->ai_strict) {
        return ares_claim::unreadable;
    }
    const bool strict = !id->ai_strict_long && ares_same_id(id->ai_strict_id, authservid);
    const bool lenient = id->ai_lenient && ares_same_id(id->ai_lenient_id, authservid);
    if (strict && lenient) {
        return ares_claim::ours;
    }
    return strict || lenient ? ares_claim::ambiguous : ares_claim::other;
}

bool ares_same_id(const char* a, const char* b) noexcept {
    assert(a != NULL);
    assert(b != NULL);
    size_t la = strlen(a);
    size_t lb = strlen(b);
    if (la > 0 && a[la - 1] == '.') {
        --la;
    }
    if (lb > 0 && b[lb - 1] == '.') {
        --lb;
    }
    if (la != lb || la == 0) {
        return false;
    }
    for (size_t i = 0; i < la; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

int ares_parse(const char* hdr, authres* ar) noexcept {
    assert(hdr != NULL);
    assert(ar != NULL);
    memset(ar, 0, sizeof *ar);

    token_list tokens;
    if (!tokenize(hdr, tokens)) {
        return -1;
    }

    const id_end id = read_authserv_id(tokens, ar->ares_host, ar->ares_version);
    if (!id.ok) {
        return -1;
    }
    if (!id.semicolon) {
        return 0;  // no result follows the authserv-id
    }
    state st = state::method;
    int count = 0;                  // results started, after merging
    authres_result* cur = nullptr;  // the most recently started result
    int n = 0;                      // property index of cur
    bool after_value = false;       // the last token was a property value
    bool value_stored = false;      // and it was stored (not past the 16th)
    for (int i = id.next; i < tokens.count; ++i) {
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
