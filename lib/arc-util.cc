// SPDX-License-Identifier: BSD-2-Clause
// arc-util.cc - growable strings and the small string, array and file helpers
// shared by the library's modules.
//
// Every header text the library builds is assembled in an arc_dstring.
// Memory:  libcrypto's allocator only.
// Errors:  recorded with arc_error() in the message handle of the string.
// Threads: none; a string belongs to one message handle.
#include "arc-util.h"

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>

namespace {

// Smallest buffer a string is given.
constexpr int min_dstring_size = 1024;

// Growth never doubles past this size (half of the largest signed 32-bit value).
constexpr int64_t max_dstring_size = 1073741823;

// Makes the buffer hold at least `len` bytes (text and NUL) by doubling its
// size; refuses a text that would reach the string's limit.
bool grow(arc_dstring* dstr, int64_t len) noexcept {
    assert(len > 0);
    if (dstr->ds_alloc >= len) {
        return true;
    }
    if (dstr->ds_max > 0 && len > dstr->ds_max) {
        arc_error(dstr->ds_msg, "maximum string size exceeded");
        return false;
    }
    int64_t newsz = static_cast<int64_t>(dstr->ds_alloc) * 2;
    while (newsz < len) {
        if (newsz > max_dstring_size) {
            arc_error(dstr->ds_msg, "internal string limit reached");
            return false;
        }
        newsz *= 2;
    }
    // The final doubling may pass the signed 32-bit range that ds_alloc holds.
    if (newsz > INT32_MAX) {
        arc_error(dstr->ds_msg, "internal string limit reached");
        return false;
    }
    auto* buf = static_cast<char*>(OPENSSL_malloc(static_cast<size_t>(newsz)));
    if (buf == nullptr) {
        arc_error(dstr->ds_msg, "unable to allocate %d byte(s)", static_cast<int>(newsz));
        return false;
    }
    memcpy(buf, dstr->ds_buf, static_cast<size_t>(dstr->ds_alloc));
    OPENSSL_free(dstr->ds_buf);
    dstr->ds_buf = buf;
    dstr->ds_alloc = static_cast<int>(newsz);
    return true;
}

// Writes `n` bytes at offset `at` so that the text ends at at + n; the result
// is refused without a text when it would reach the string's limit.
bool put(arc_dstring* dstr, int64_t at, const void* bytes, size_t n) noexcept {
    const int64_t len = at + static_cast<int64_t>(n);
    if (dstr->ds_max > 0 && len >= dstr->ds_max) {
        return false;
    }
    if (len >= INT32_MAX) {
        arc_error(dstr->ds_msg, "internal string limit reached");
        return false;
    }
    if (len >= dstr->ds_alloc && !grow(dstr, len + 1)) {
        return false;
    }
    if (n > 0) {
        memmove(dstr->ds_buf + at, bytes, n);
    }
    dstr->ds_buf[len] = '\0';
    dstr->ds_len = static_cast<int>(len);
    return true;
}

}  // namespace

// ---- Growable string ----

arc_dstring* arc_dstring_new(arc_msg* msg, int len, int maxlen) noexcept {
    assert(msg != NULL);
    if (len < 0 || (maxlen > 0 && len > maxlen)) {
        return nullptr;
    }
    const int size = len > min_dstring_size ? len : min_dstring_size;
    crypto_ptr<arc_dstring> dstr{static_cast<arc_dstring*>(OPENSSL_zalloc(sizeof(arc_dstring)))};
    if (!dstr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_dstring)));
        return nullptr;
    }
    dstr->ds_buf = static_cast<char*>(OPENSSL_zalloc(static_cast<size_t>(size)));
    if (dstr->ds_buf == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", size);
        return nullptr;
    }
    dstr->ds_alloc = size;
    dstr->ds_max = maxlen;
    dstr->ds_len = 0;
    dstr->ds_msg = msg;
    return dstr.release();
}

void arc_dstring_free(arc_dstring* dstr) noexcept {
    assert(dstr != NULL);
    OPENSSL_free(dstr->ds_buf);
    OPENSSL_free(dstr);
}

bool arc_dstring_copy(arc_dstring* dstr, const char* str) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    return put(dstr, 0, str, strlen(str));
}

bool arc_dstring_cat(arc_dstring* dstr, const char* str) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    return put(dstr, dstr->ds_len, str, strlen(str));
}

bool arc_dstring_cat1(arc_dstring* dstr, int c) noexcept {
    assert(dstr != NULL);
    const auto byte = static_cast<char>(c);
    return put(dstr, dstr->ds_len, &byte, 1);
}

bool arc_dstring_catn(arc_dstring* dstr, const unsigned char* str, size_t nbytes) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    if (nbytes >= static_cast<size_t>(INT32_MAX)) {
        arc_error(dstr->ds_msg, "internal string limit reached");
        return false;
    }
    return put(dstr, dstr->ds_len, str, nbytes);
}

char* arc_dstring_get(arc_dstring* dstr) noexcept {
    assert(dstr != NULL);
    return dstr->ds_buf;
}

int arc_dstring_len(arc_dstring* dstr) noexcept {
    assert(dstr != NULL);
    return dstr->ds_len;
}

void arc_dstring_blank(arc_dstring* dstr) noexcept {
    assert(dstr != NULL);
    dstr->ds_len = 0;
    dstr->ds_buf[0] = '\0';
}

size_t arc_dstring_printf(arc_dstring* dstr, const char* fmt, ...) noexcept {
    assert(dstr != NULL);
    assert(fmt != NULL);
    constexpr auto failed = static_cast<size_t>(-1);
    va_list ap;
    va_start(ap, fmt);
    va_list first;
    va_copy(first, ap);
    const auto avail = static_cast<size_t>(dstr->ds_alloc - dstr->ds_len);
    const int n = vsnprintf(dstr->ds_buf + dstr->ds_len, avail, fmt, first);
    va_end(first);
    if (n < 0) {
        dstr->ds_buf[dstr->ds_len] = '\0';
        va_end(ap);
        return failed;
    }
    // The same limit as every other append: the text stays below ds_max.
    if (dstr->ds_max > 0 && static_cast<int64_t>(dstr->ds_len) + n >= dstr->ds_max) {
        dstr->ds_buf[dstr->ds_len] = '\0';
        arc_error(dstr->ds_msg, "maximum string size exceeded");
        va_end(ap);
        return failed;
    }
    if (static_cast<size_t>(n) >= avail) {
        // The first attempt wrote a truncated prefix; the text ends where it was.
        dstr->ds_buf[dstr->ds_len] = '\0';
        if (!grow(dstr, static_cast<int64_t>(dstr->ds_len) + n + 1)) {
            va_end(ap);
            return failed;
        }
        va_list second;
        va_copy(second, ap);
        vsnprintf(dstr->ds_buf + dstr->ds_len, static_cast<size_t>(dstr->ds_alloc - dstr->ds_len),
                  fmt, second);
        va_end(second);
    }
    va_end(ap);
    dstr->ds_len += n;
    return static_cast<size_t>(dstr->ds_len);
}

// ---- Small helpers ----

char* arc_strdup(const char* str) noexcept {
    assert(str != NULL);
    const size_t len = strlen(str);
    auto* out = static_cast<char*>(OPENSSL_malloc(len + 1));
    if (out != nullptr) {
        memcpy(out, str, len + 1);
    }
    return out;
}

char* arc_strndup(const char* str, size_t n) noexcept {
    assert(str != NULL);
    if (n == SIZE_MAX) {
        return nullptr;
    }
    auto* out = static_cast<char*>(OPENSSL_zalloc(n + 1));
    if (out != nullptr) {
        memcpy(out, str, strnlen(str, n));
    }
    return out;
}

void arc_collapse(char* str) noexcept {
    assert(str != NULL);
    char* out = str;
    for (const char* in = str; *in != '\0'; ++in) {
        if (!arc_is_c_space(static_cast<unsigned char>(*in))) {
            *out++ = *in;
        }
    }
    *out = '\0';
}

void arc_lowerhdr(char* str) noexcept {
    assert(str != NULL);
    for (char* p = str; *p != '\0' && *p != ':'; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
        }
    }
}

namespace {

// Appends `src` to the NUL-terminated text in buf (of `size` bytes) like BSD
// strlcat(): returns the length the whole text would have.
size_t bounded_cat(char* buf, const char* src, size_t size) noexcept {
    const size_t have = strnlen(buf, size);
    const size_t add = strlen(src);
    if (have == size) {
        return size + add;
    }
    const size_t room = size - have - 1;
    const size_t n = add < room ? add : room;
    memcpy(buf + have, src, n);
    buf[have + n] = '\0';
    return have + add;
}

}  // namespace

bool arc_hdrlist(char* buf, size_t buflen, const char** hdrlist, bool first) noexcept {
    assert(buf != NULL);
    assert(hdrlist != NULL);
    if (buflen == 0) {
        return hdrlist[0] == nullptr;
    }
    char* const last = buf + buflen - 1;  // kept for the NUL
    for (size_t i = 0; hdrlist[i] != nullptr; ++i) {
        if ((!first || i != 0) && bounded_cat(buf, "|", buflen) >= buflen) {
            return false;
        }
        char* p = buf + strlen(buf);
        for (const char* q = hdrlist[i]; *q != '\0'; ++q) {
            if (p >= last) {
                return false;
            }
            if (*q == '.' || *q == '*') {
                *p++ = *q == '.' ? '\\' : '.';
                if (p >= last) {
                    return false;
                }
                *p++ = *q == '.' ? '.' : '*';
            } else if (*q == '\\') {
                if (q[1] == '\0') {
                    break;
                }
                *p++ = *++q;
            } else {
                *p++ = *q;
            }
        }
        *p = '\0';
    }
    return true;
}

ARC_STAT arc_tmpfile(arc_msg* msg, const char* dir, int* fp, bool keep) noexcept {
    assert(msg != NULL);
    assert(dir != NULL);
    assert(fp != NULL);
    char path[1024];
    const int n = snprintf(path, sizeof path, "%s/arc.XXXXXX", dir);
    // A cut path has lost its XXXXXX: report the length, not mkstemp()'s EINVAL.
    const int fd = n >= 0 && static_cast<size_t>(n) < sizeof path ? mkstemp(path) : -1;
    if (fd == -1) {
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            errno = ENAMETOOLONG;
        }
        arc_error(msg, "can't create temporary file at %s: %s", path, strerror(errno));
        return ARC_STAT_NORESOURCE;
    }
    *fp = fd;
    if (!keep) {
        unlink(path);
    }
    return ARC_STAT_OK;
}

char** arc_copy_array(const char** in) noexcept {
    assert(in != NULL);
    size_t n = 0;
    while (in[n] != nullptr) {
        ++n;
    }
    auto** out = static_cast<char**>(OPENSSL_zalloc((n + 1) * sizeof(char*)));
    if (out == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        out[i] = OPENSSL_strdup(in[i]);
        if (out[i] == nullptr) {
            arc_clobber_array(out);
            return nullptr;
        }
    }
    return out;
}

void arc_clobber_array(char** in) noexcept {
    assert(in != NULL);
    for (char** p = in; *p != nullptr; ++p) {
        OPENSSL_free(*p);
    }
    OPENSSL_free(in);
}
