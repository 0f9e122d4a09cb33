// SPDX-License-Identifier: BSD-2-Clause
// velmora-signtable.cc - the signing table: which domain, selector and key seal
// a message, chosen by the domain of its envelope sender.
//
// Memory:  the C library's allocator; key data is wiped before it is freed.
// Errors:  null or false with a message in the caller's buffer.
// Threads: loading runs in one thread; a loaded table is only read.
#include "velmora-signtable.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "util.h"
#include "velmora-securefile.h"
#include "velmora.h"

namespace {

constexpr size_t max_domain = 253;  // characters of a domain name, no trailing dot
constexpr size_t max_label = 63;

__attribute__((format(printf, 3, 4))) void set_error(char* err, size_t errlen, const char* fmt,
                                                     ...) noexcept {
    if (err == nullptr || errlen == 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
}

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// True when `name` is a dot-separated run of labels of letters, digits, "-"
// and "_", each 1 to 63 characters, 253 at most in all.
bool valid_name(std::string_view name) noexcept {
    if (name.empty() || name.size() > max_domain) {
        return false;
    }
    size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) {
                return false;
            }
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok || ++label > max_label) {
            return false;
        }
    }
    return label != 0;
}

// A copy of `text` from malloc, lowered when asked; null when memory runs out.
char* copy(std::string_view text, bool lower = false) noexcept {
    char* out = static_cast<char*>(malloc(text.size() + 1));
    if (out == nullptr) {
        return nullptr;
    }
    memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    if (lower) {
        arcf_lowercase(out);
    }
    return out;
}

void free_entry(arcf_signentry* e) noexcept {
    free(e->se_pattern);
    free(e->se_domain);
    free(e->se_selector);
    free(e->se_keyfile);
    if (e->se_keydata != nullptr) {
        OPENSSL_cleanse(e->se_keydata, e->se_keylen);
        free(e->se_keydata);
    }
    free(e);
}

using entry_ptr = std::unique_ptr<arcf_signentry, c_deleter<free_entry>>;
using table_ptr = std::unique_ptr<arcf_signtable, c_deleter<arcf_signtable_free>>;

// Splits a line into its words: at most `max` of them go to `words`; returns
// how many there are in all. A "#" at the start or after white space ends
// the line.
size_t split_words(std::string_view line, std::string_view* words, size_t max) noexcept {
    size_t n = 0;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) {
            ++i;
        }
        if (i == line.size() || line[i] == '#') {
            break;
        }
        const size_t start = i;
        while (i < line.size() && !is_space(line[i])) {
            ++i;
        }
        if (n < max) {
            words[n] = line.substr(start, i - start);
        }
        ++n;
    }
    return n;
}

// Checks a pattern: "*", "*.DOMAIN" or "DOMAIN".
bool valid_pattern(std::string_view p) noexcept {
    if (p == "*") {
        return true;
    }
    if (p.starts_with("*.")) {
        p.remove_prefix(2);
    }
    return valid_name(p);
}

// The path of a key file: `file` itself when absolute or without a base
// directory, else basedir/file. Null when memory runs out.
char* key_path(std::string_view file, const char* basedir) noexcept {
    if (basedir == nullptr || basedir[0] == '\0' || file.starts_with('/')) {
        return copy(file);
    }
    const size_t blen = strlen(basedir);
    const bool slash = basedir[blen - 1] == '/';
    char* out = static_cast<char*>(malloc(blen + !slash + file.size() + 1));
    if (out == nullptr) {
        return nullptr;
    }
    memcpy(out, basedir, blen);
    if (!slash) {
        out[blen] = '/';
    }
    memcpy(out + blen + !slash, file.data(), file.size());
    out[blen + !slash + file.size()] = '\0';
    return out;
}

// Fills a new entry from the words of one line; null with err set.
entry_ptr parse_entry(const char* path, unsigned lineno, std::string_view pattern,
                      std::string_view value, const char* basedir, uint32_t uid, char* err,
                      size_t errlen) noexcept {
    const int plen = static_cast<int>(pattern.size());
    const int vlen = static_cast<int>(value.size());
    if (!valid_pattern(pattern)) {
        set_error(err, errlen, "%s:%u: \"%.*s\" is not a domain, \"*.DOMAIN\" or \"*\"", path,
                  lineno, plen, pattern.data());
        return nullptr;
    }
    const size_t c1 = value.find(':');
    const size_t c2 = c1 == std::string_view::npos ? c1 : value.find(':', c1 + 1);
    if (c2 == std::string_view::npos || c2 + 1 == value.size()) {
        set_error(err, errlen, "%s:%u: \"%.*s\" is not DOMAIN:SELECTOR:KEYFILE", path, lineno, vlen,
                  value.data());
        return nullptr;
    }
    const std::string_view domain = value.substr(0, c1);
    const std::string_view selector = value.substr(c1 + 1, c2 - c1 - 1);
    const std::string_view keyfile = value.substr(c2 + 1);
    if (!valid_name(domain)) {
        set_error(err, errlen, "%s:%u: \"%.*s\" is not a valid sealing domain", path, lineno,
                  static_cast<int>(domain.size()), domain.data());
        return nullptr;
    }
    if (!valid_name(selector)) {
        set_error(err, errlen, "%s:%u: \"%.*s\" is not a valid selector", path, lineno,
                  static_cast<int>(selector.size()), selector.data());
        return nullptr;
    }
    entry_ptr e{static_cast<arcf_signentry*>(calloc(1, sizeof(arcf_signentry)))};
    if (!e || (e->se_pattern = copy(pattern, true)) == nullptr ||
        (e->se_domain = copy(domain)) == nullptr || (e->se_selector = copy(selector)) == nullptr ||
        (e->se_keyfile = key_path(keyfile, basedir)) == nullptr) {
        set_error(err, errlen, "%s:%u: malloc(): %s", path, lineno, strerror(errno));
        return nullptr;
    }
    e->se_line = lineno;
    char why[1025] = "";
    if (!arcf_readkey(e->se_keyfile, uid, &e->se_keydata, &e->se_keylen, why, sizeof why)) {
        set_error(err, errlen, "%s:%u: %s", path, lineno, why);
        return nullptr;
    }
    e->se_keytype = arcf_keytype(e->se_keydata, e->se_keylen - 1);
    if (e->se_keytype < 0) {
        set_error(err, errlen, "%s:%u: %s holds no RSA or Ed25519 private key (PEM or DER)", path,
                  lineno, e->se_keyfile);
        return nullptr;
    }
    e->se_keybits =
        e->se_keytype == ARC_KEYTYPE_RSA ? arcf_keybits(e->se_keydata, e->se_keylen - 1) : 0;
    return e;
}

// Runs the safety check on the file opened as `st` from `path`, for `uid`;
// false with "PATH: WHAT is not secure: REASON" in err when it fails or the
// file examined is not the one opened.
bool check_safe(const char* path, const struct stat& st, uint32_t uid, const char* what, char* err,
                size_t errlen) noexcept {
    char reason[1025] = "";
    uint64_t ino = UINT64_MAX;
    const int safe = arcf_securefile(path, &ino, uid, reason, sizeof reason);
    if (safe < 0) {
        // A file that cannot be shown safe is treated as unsafe.
        snprintf(reason, sizeof reason, "%s: can't check the file's safety", path);
    }
    if (safe <= 0 || (ino != UINT64_MAX && ino != static_cast<uint64_t>(st.st_ino))) {
        if (reason[0] == '\0') {
            snprintf(reason, sizeof reason, "%s is not the file that was opened", path);
        }
        set_error(err, errlen, "%s: %s is not secure: %s", path, what, reason);
        return false;
    }
    return true;
}

}  // namespace

// ---- Key files ----

bool arcf_readkey(const char* path, uint32_t uid, unsigned char** data, size_t* len, char* err,
                  size_t errlen) noexcept {
    assert(path != NULL);
    assert(data != NULL);
    assert(len != NULL);
    struct stat st;
    unique_fd fd{arcf_open_regular(path, false, &st, err, errlen)};
    if (!fd || !check_safe(path, st, uid, "key data", err, errlen)) {
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    calloc_ptr<unsigned char> buf{static_cast<unsigned char*>(malloc(size + 1))};
    if (!buf) {
        set_error(err, errlen, "malloc(): %s", strerror(errno));
        return false;
    }
    // One byte more than the size: a file that grew since fstat() shows up.
    const ssize_t got = read(fd.get(), buf.get(), size + 1);
    if (got < 0 || static_cast<size_t>(got) != size) {
        if (got < 0) {
            set_error(err, errlen, "%s: read(): %s", path, strerror(errno));
        } else {
            set_error(err, errlen, "%s: read() wrong size (%lu)", path,
                      static_cast<unsigned long>(got));
        }
        OPENSSL_cleanse(buf.get(), size + 1);
        return false;
    }
    buf.get()[size] = '\0';
    *len = size + 1;
    *data = buf.release();
    return true;
}

namespace {

using pkey_ptr = std::unique_ptr<EVP_PKEY, c_deleter<EVP_PKEY_free>>;

// Reads the private key in `data` (PEM or DER); null when there is none.
pkey_ptr read_private_key(const unsigned char* data, size_t len) noexcept {
    using bio_ptr = std::unique_ptr<BIO, c_deleter<BIO_free_all>>;
    bio_ptr bio{BIO_new_mem_buf(data, static_cast<int>(len))};
    if (!bio) {
        ERR_clear_error();
        return nullptr;
    }
    pkey_ptr key{PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)};
    if (!key) {
        const unsigned char* p = data;
        key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(len)));
    }
    // Failed attempts leave errors behind that later library calls on this
    // thread must not report as their own.
    ERR_clear_error();
    return key;
}

}  // namespace

int arcf_keybits(const unsigned char* data, size_t len) noexcept {
    assert(data != NULL);
    const pkey_ptr key = read_private_key(data, len);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        return -1;
    }
    return EVP_PKEY_get_bits(key.get());
}

int arcf_keytype(const unsigned char* data, size_t len) noexcept {
    assert(data != NULL);
    const pkey_ptr key = read_private_key(data, len);
    if (!key) {
        return -1;
    }
    switch (EVP_PKEY_get_base_id(key.get())) {
        case EVP_PKEY_RSA:
            return ARC_KEYTYPE_RSA;
        case EVP_PKEY_ED25519:
            return ARC_KEYTYPE_ED25519;
        default:
            return -1;
    }
}

// ---- The table ----

void arcf_signtable_free(arcf_signtable* table) noexcept {
    if (table == nullptr) {
        return;
    }
    arcf_signentry* e = table->st_entries;
    while (e != nullptr) {
        arcf_signentry* next = e->se_next;
        free_entry(e);
        e = next;
    }
    free(table->st_path);
    free(table);
}

arcf_signtable* arcf_signtable_load(const char* path, const char* basedir, uint32_t uid, char* err,
                                    size_t errlen) noexcept {
    assert(path != NULL);
    // The table chooses whose name we seal under: it gets the key files'
    // ownership and permission check.
    struct stat st;
    unique_fd fd{arcf_open_regular(path, false, &st, err, errlen)};
    if (!fd || !check_safe(path, st, uid, "signing table", err, errlen)) {
        return nullptr;
    }
    file_ptr f{fdopen(fd.get(), "r")};
    if (!f) {
        set_error(err, errlen, "%s: fdopen(): %s", path, strerror(errno));
        return nullptr;
    }
    (void)fd.release();
    table_ptr table{static_cast<arcf_signtable*>(calloc(1, sizeof(arcf_signtable)))};
    if (!table || (table->st_path = copy(path)) == nullptr) {
        set_error(err, errlen, "%s: malloc(): %s", path, strerror(errno));
        return nullptr;
    }
    arcf_signentry** tail = &table->st_entries;
    calloc_ptr<char> buf;
    size_t cap = 0;
    unsigned lineno = 0;
    for (;;) {
        char* raw = buf.release();
        errno = 0;
        const ssize_t n = getline(&raw, &cap, f.get());
        buf.reset(raw);
        if (n < 0) {
            if (errno != 0 || ferror(f.get())) {
                set_error(err, errlen, "%s: read error after line %u: %s", path, lineno,
                          strerror(errno != 0 ? errno : EIO));
                return nullptr;
            }
            break;
        }
        ++lineno;
        const std::string_view line{raw, static_cast<size_t>(n)};
        if (line.find('\0') != std::string_view::npos) {
            set_error(err, errlen, "%s:%u: the line holds a NUL byte", path, lineno);
            return nullptr;
        }
        std::string_view words[2];
        const size_t count = split_words(line, words, 2);
        if (count == 0) {
            continue;
        }
        if (count != 2) {
            set_error(err, errlen, "%s:%u: expected \"PATTERN DOMAIN:SELECTOR:KEYFILE\"", path,
                      lineno);
            return nullptr;
        }
        entry_ptr e = parse_entry(path, lineno, words[0], words[1], basedir, uid, err, errlen);
        if (!e) {
            return nullptr;
        }
        for (const arcf_signentry* o = table->st_entries; o != nullptr; o = o->se_next) {
            if (strcmp(o->se_pattern, e->se_pattern) == 0) {
                set_error(err, errlen,
                          "%s:%u: pattern \"%s\" repeats line %u and could never match", path,
                          lineno, e->se_pattern, o->se_line);
                return nullptr;
            }
        }
        *tail = e.release();
        tail = &(*tail)->se_next;
    }
    return table.release();
}

const arcf_signentry* arcf_signtable_match(const arcf_signtable* table,
                                           const char* domain) noexcept {
    assert(table != NULL);
    std::string_view d = domain == nullptr ? std::string_view{} : std::string_view{domain};
    if (d.ends_with('.')) {
        d.remove_suffix(1);
    }
    for (const arcf_signentry* e = table->st_entries; e != nullptr; e = e->se_next) {
        const std::string_view p{e->se_pattern};
        if (p == "*") {
            return e;
        }
        if (d.empty()) {
            continue;
        }
        if (p.starts_with("*.")) {
            // "*.b.c" takes "a.b.c" and "x.a.b.c", never "b.c" itself.
            const std::string_view tail = p.substr(1);
            if (d.size() > tail.size() &&
                strncasecmp(d.data() + d.size() - tail.size(), tail.data(), tail.size()) == 0) {
                return e;
            }
        } else if (d.size() == p.size() && strncasecmp(d.data(), p.data(), p.size()) == 0) {
            return e;
        }
    }
    return nullptr;
}

bool arcf_sender_domain(const char* envfrom, char* buf, size_t buflen) noexcept {
    assert(envfrom != NULL);
    assert(buf != NULL);
    if (buflen == 0) {
        return false;
    }
    buf[0] = '\0';
    std::string_view a{envfrom};
    while (!a.empty() && is_space(a.front())) {
        a.remove_prefix(1);
    }
    if (a.starts_with('<')) {
        const size_t close = a.find('>');
        a = a.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    } else {
        size_t end = 0;
        while (end < a.size() && !is_space(a[end])) {
            ++end;
        }
        a = a.substr(0, end);
    }
    const size_t at = a.rfind('@');
    if (at == std::string_view::npos) {
        return false;
    }
    std::string_view d = a.substr(at + 1);
    if (d.ends_with('.')) {
        d.remove_suffix(1);
    }
    if (d.empty() || d.size() >= buflen) {
        return false;
    }
    memcpy(buf, d.data(), d.size());
    buf[d.size()] = '\0';
    arcf_lowercase(buf);
    return true;
}
