// SPDX-License-Identifier: BSD-2-Clause
// arc-util.h - growable strings, small string/array/file helpers and the
// resource owners shared inside the library.
//
// Memory:  libcrypto's allocator only.
// Errors:  recorded with arc_error() in the message handle of the string.
// Threads: none; a string belongs to one message handle.
#ifndef VELMORA_LIB_ARC_UTIL_H
#define VELMORA_LIB_ARC_UTIL_H

#include <cstddef>
#include <memory>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "velmora.h"

// ---- Growable string ----

// A NUL-terminated, growable byte string. Owned by whoever created it with
// arc_dstring_new(); freed with arc_dstring_free().
struct arc_dstring {
    int ds_alloc;     // bytes allocated for ds_buf
    int ds_max;       // length limit; 0 or less means none
    int ds_len;       // current length, without the NUL
    char* ds_buf;     // owns: the text; ds_buf[ds_len] is always NUL
    arc_msg* ds_msg;  // borrows: where error texts go
};

// Creates a string with room for `len` bytes (at least 1024) and limit `maxlen`.
// Returns null on a bad size (no text) or when memory runs out.
arc_dstring* arc_dstring_new(arc_msg* msg, int len, int maxlen) noexcept;
void arc_dstring_free(arc_dstring* dstr) noexcept;
bool arc_dstring_copy(arc_dstring* dstr, const char* str) noexcept;
bool arc_dstring_cat(arc_dstring* dstr, const char* str) noexcept;
bool arc_dstring_cat1(arc_dstring* dstr, int c) noexcept;
bool arc_dstring_catn(arc_dstring* dstr, const unsigned char* str, size_t nbytes) noexcept;
char* arc_dstring_get(arc_dstring* dstr) noexcept;
int arc_dstring_len(arc_dstring* dstr) noexcept;
void arc_dstring_blank(arc_dstring* dstr) noexcept;
// Appends formatted text; returns the new length, or (size_t)-1 on failure.
size_t arc_dstring_printf(arc_dstring* dstr, const char* fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// ---- Small helpers ----

// isspace() of the C locale, whatever locale the program runs in: space, tab,
// LF, VT, FF and CR. The library's one reader of "white space".
constexpr bool arc_is_c_space(unsigned char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Copies str (at most n bytes of it, NUL-terminated) into memory from
// libcrypto's allocator; null when memory runs out. The caller frees it.
char* arc_strdup(const char* str) noexcept;
char* arc_strndup(const char* str, size_t n) noexcept;
// Removes every white-space byte (arc_is_c_space) from str, in place.
void arc_collapse(char* str) noexcept;
// Lowercases the ASCII letters of str up to its first colon, in place.
void arc_lowerhdr(char* str) noexcept;
// Appends the names of hdrlist to the text in buf (buflen bytes) as the
// alternatives of a regular expression: joined by "|" (with none in front
// when `first`); "*" becomes the wildcard ".*", "." matches itself, and "\"
// passes the next byte on as it is. False when the result would not fit
// (buf then holds a cut text).
bool arc_hdrlist(char* buf, size_t buflen, const char** hdrlist, bool first) noexcept;
// Creates a file "arc.XXXXXX" in `dir` and stores its descriptor, which the
// caller owns, in *fp; unless `keep`, the name is removed at once. Returns
// ARC_STAT_OK, or ARC_STAT_NORESOURCE with the reason recorded in msg.
ARC_STAT arc_tmpfile(arc_msg* msg, const char* dir, int* fp, bool keep) noexcept;
// Deep-copies a NULL-ended list of texts; null when memory runs out. The
// caller frees the copy with arc_clobber_array().
char** arc_copy_array(const char** in) noexcept;
// Frees a list made by arc_copy_array() and every text in it.
void arc_clobber_array(char** in) noexcept;

// ---- Owners ----

template <auto Free>
struct free_with {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

// Frees memory from libcrypto's allocator (OPENSSL_free is a macro).
inline void arc_crypto_free(void* p) noexcept {
    OPENSSL_free(p);
}

using bio_ptr = std::unique_ptr<BIO, free_with<BIO_free_all>>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, free_with<EVP_PKEY_free>>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, free_with<EVP_PKEY_CTX_free>>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, free_with<EVP_MD_CTX_free>>;
using dstring_ptr = std::unique_ptr<arc_dstring, free_with<arc_dstring_free>>;
template <typename T>
using crypto_ptr = std::unique_ptr<T, free_with<arc_crypto_free>>;

#endif  // VELMORA_LIB_ARC_UTIL_H
