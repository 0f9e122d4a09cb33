// SPDX-License-Identifier: BSD-2-Clause
// arc.cc - the library handle, its options, and the error texts of messages.
//
// A program creates one library handle with arc_init(), configures it with
// arc_options(), makes message handles from it and finally closes it.
// Memory:  libcrypto's allocator only; the handle owns its lists, bitmap,
//          resolver service and key cache.
// Errors:  option misuse is a status; errors of a message go to its handle.
// Threads: none of its own; a configured handle is only read by its messages,
//          apart from the key cache, which locks itself (arc-keycache.cc).
#include "arc.h"

#include <assert.h>
#include <errno.h>
#include <regex.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <cstdint>

#include <openssl/crypto.h>
#include <openssl/opensslv.h>

#include "arc-dns.h"
#include "arc-keycache.h"
#include "arc-util.h"
#include "velmora.h"

// ---- Library handle ----

arc_library* arc_init(void) noexcept {
    crypto_ptr<arc_library> lib{static_cast<arc_library*>(OPENSSL_zalloc(sizeof(arc_library)))};
    if (!lib) {
        return nullptr;
    }
    lib->arc_flist = static_cast<uint32_t*>(OPENSSL_zalloc(sizeof(uint32_t)));
    if (lib->arc_flist == nullptr) {
        return nullptr;
    }
    lib->arc_flsize = 1;
    lib->arc_flist[ARC_FEATURE_SHA256 / 32] |= 1u << (ARC_FEATURE_SHA256 % 32);
    lib->arc_minkeybits = 1024;
    lib->arc_dns_init = arc_res_init;
    lib->arc_dns_close = arc_res_close;
    lib->arc_dns_start = arc_res_query;
    lib->arc_dns_cancel = arc_res_cancel;
    lib->arc_dns_waitreply = arc_res_waitreply;
    snprintf(lib->arc_tmpdir, sizeof lib->arc_tmpdir, "%s", "/tmp");
    lib->arc_keys = arc_keycache_new();
    if (lib->arc_keys == nullptr) {
        OPENSSL_free(lib->arc_flist);
        return nullptr;
    }
    // Started here, not by the first lookup, so that lookups on many threads
    // only read the handle. A resolver that cannot start is reported by each
    // DNS lookup; key files still work.
    (void)arc_dns_setup(lib.get());
    return lib.release();
}

ARC_STAT arc_dns_setup(arc_library* lib) noexcept {
    assert(lib != NULL);
    if (lib->arc_dns_service != nullptr && lib->arc_dns_close != nullptr) {
        lib->arc_dns_close(lib->arc_dns_service);
    }
    lib->arc_dns_service = nullptr;
    lib->arc_dns_ready =
        lib->arc_dns_init == nullptr || lib->arc_dns_init(&lib->arc_dns_service) == 0;
    return lib->arc_dns_ready ? ARC_STAT_OK : ARC_STAT_KEYFAIL;
}

void arc_close(arc_library* lib) noexcept {
    assert(lib != NULL);
    if (lib->arc_signre) {
        regfree(&lib->arc_hdrre);
    }
    if (lib->arc_oversignhdrs != nullptr) {
        arc_clobber_array(lib->arc_oversignhdrs);
    }
    // Another resolver adapter may hold resources in its service handle.
    if (lib->arc_dns_service != nullptr && lib->arc_dns_close != nullptr) {
        lib->arc_dns_close(lib->arc_dns_service);
    }
    if (lib->arc_sslerrbuf != nullptr) {
        arc_dstring_free(lib->arc_sslerrbuf);
    }
    arc_keycache_free(lib->arc_keys);
    OPENSSL_free(lib->arc_flist);
    OPENSSL_free(lib);
}

// ---- Options ----

namespace {

// Copies a text option into a buffer of `size` bytes, cut to size - 1.
ARC_STAT get_text(const char* setting, void* val, size_t size) noexcept {
    if (val == nullptr || size == 0) {
        return ARC_STAT_INVALID;
    }
    snprintf(static_cast<char*>(val), size, "%s", setting);
    return ARC_STAT_OK;
}

// Stores a text option, cut to ARC_MAXPATH - 1 characters; null stores `dflt`.
void set_text(char (&setting)[ARC_MAXPATH], const void* val, const char* dflt) noexcept {
    snprintf(setting, sizeof setting, "%s", val == nullptr ? dflt : static_cast<const char*>(val));
}

// Gets or sets an unsigned int option.
ARC_STAT uint_option(int op, uint32_t& setting, void* val, size_t size) noexcept {
    if (val == nullptr || size != sizeof(unsigned int)) {
        return ARC_STAT_INVALID;
    }
    auto* v = static_cast<unsigned int*>(val);
    if (op == ARC_OP_GETOPT) {
        *v = setting;
    } else {
        setting = *v;
    }
    return ARC_STAT_OK;
}

// Drops the compiled sign-headers pattern, if any.
void drop_signre(arc_library* lib) noexcept {
    if (lib->arc_signre) {
        regfree(&lib->arc_hdrre);
        lib->arc_signre = false;
    }
}

// Builds ^(name|name...)$ from the list and compiles it into arc_hdrre.
ARC_STAT set_signhdrs(arc_library* lib, const char** list) noexcept {
    drop_signre(lib);
    if (list == nullptr) {
        return ARC_STAT_OK;
    }
    char pattern[ARC_MAXPATH] = "^(";
    if (!arc_hdrlist(pattern, sizeof pattern, list, true)) {
        return ARC_STAT_INVALID;
    }
    const size_t len = strlen(pattern);
    if (len + 2 > ARC_MAXPATH - 1) {
        return ARC_STAT_INVALID;
    }
    memcpy(pattern + len, ")$", 3);
    if (regcomp(&lib->arc_hdrre, pattern, REG_EXTENDED | REG_ICASE) != 0) {
        return ARC_STAT_INTERNAL;
    }
    lib->arc_signre = true;
    return ARC_STAT_OK;
}

// Gets or replaces the over-sign list; a failed copy keeps the old list.
ARC_STAT oversign_option(arc_library* lib, int op, void* val) noexcept {
    if (op == ARC_OP_GETOPT) {
        if (val == nullptr) {
            return ARC_STAT_INVALID;
        }
        *static_cast<char***>(val) = lib->arc_oversignhdrs;
        return ARC_STAT_OK;
    }
    char** copy = nullptr;
    if (val != nullptr) {
        copy = arc_copy_array(static_cast<const char**>(val));
        if (copy == nullptr) {
            return ARC_STAT_NORESOURCE;
        }
    }
    if (lib->arc_oversignhdrs != nullptr) {
        arc_clobber_array(lib->arc_oversignhdrs);
    }
    lib->arc_oversignhdrs = copy;
    return ARC_STAT_OK;
}

}  // namespace

ARC_STAT arc_options(arc_library* lib, int op, int opt, void* val, size_t size) noexcept {
    assert(lib != NULL);
    assert(op == ARC_OP_GETOPT || op == ARC_OP_SETOPT);
    assert(opt >= 0 && opt <= ARC_OPTS_DNSTIMEOUT);

    switch (opt) {
        case ARC_OPTS_FLAGS:
            return uint_option(op, lib->arc_flags, val, size);
        case ARC_OPTS_MINKEYBITS:
            return uint_option(op, lib->arc_minkeybits, val, size);
        case ARC_OPTS_DNSTIMEOUT:
            return uint_option(op, lib->arc_dnstimeout, val, size);
        case ARC_OPTS_FIXEDTIME:
            if (val == nullptr || size != sizeof(uint64_t)) {
                return ARC_STAT_INVALID;
            }
            if (op == ARC_OP_GETOPT) {
                memcpy(val, &lib->arc_fixedtime, sizeof(uint64_t));
            } else {
                memcpy(&lib->arc_fixedtime, val, sizeof(uint64_t));
            }
            return ARC_STAT_OK;
        case ARC_OPTS_TMPDIR:
            if (op == ARC_OP_GETOPT) {
                return get_text(lib->arc_tmpdir, val, size);
            }
            set_text(lib->arc_tmpdir, val, "/tmp");
            return ARC_STAT_OK;
        case ARC_OPTS_QUERYFILE:
            if (op == ARC_OP_GETOPT) {
                return get_text(lib->arc_queryinfo, val, size);
            }
            set_text(lib->arc_queryinfo, val, "");
            return ARC_STAT_OK;
        case ARC_OPTS_SIGNHDRS:
            if (op == ARC_OP_GETOPT || size != sizeof(char**)) {
                return ARC_STAT_INVALID;
            }
            return set_signhdrs(lib, static_cast<const char**>(val));
        case ARC_OPTS_OVERSIGNHDRS:
            if (size != sizeof(char**)) {
                return ARC_STAT_INVALID;
            }
            return oversign_option(lib, op, val);
    }
    return ARC_STAT_OK;
}

bool arc_libfeature(arc_library* lib, unsigned int fc) noexcept {
    assert(lib != NULL);
    const unsigned int word = fc / 32;
    if (word >= lib->arc_flsize) {
        return false;
    }
    return (lib->arc_flist[word] & (1u << (fc % 32))) != 0;
}

unsigned long arc_ssl_version(void) noexcept {
    return OPENSSL_VERSION_NUMBER;
}

const char* arc_getsslbuf(arc_library* lib) noexcept {
    assert(lib != NULL);
    // No operation fills the crypto error text; callers always get a text.
    return lib->arc_sslerrbuf != nullptr ? arc_dstring_get(lib->arc_sslerrbuf) : "";
}

// ---- Error texts ----

namespace {

// A formatter that keeps failing is not helped by a larger buffer beyond this.
constexpr size_t max_error_retry_size = 65536;

// Formats into buf; returns the length the whole text needs, or twice the
// buffer size when the formatter fails.
__attribute__((format(printf, 3, 0))) size_t format_error(char* buf, size_t size,
                                                          const char* format, va_list ap) noexcept {
    va_list copy;
    va_copy(copy, ap);
    const int n = vsnprintf(buf, size, format, copy);
    va_end(copy);
    if (n < 0) {
        buf[0] = '\0';
        return size * 2;
    }
    return static_cast<size_t>(n);
}

}  // namespace

void arc_error(arc_msg* msg, const char* format, ...) noexcept {
    assert(msg != NULL);
    assert(format != NULL);
    const int saved_errno = errno;
    if (msg->arc_errorbuf == nullptr) {
        msg->arc_errorbuf = static_cast<char*>(OPENSSL_malloc(128));
        if (msg->arc_errorbuf == nullptr) {
            errno = saved_errno;
            return;
        }
        msg->arc_errorlen = 128;
    }
    va_list ap;
    va_start(ap, format);
    size_t n = format_error(msg->arc_errorbuf, msg->arc_errorlen, format, ap);
    while (n >= msg->arc_errorlen && n < max_error_retry_size * 2) {
        auto* bigger = static_cast<char*>(OPENSSL_malloc(n + 1));
        if (bigger == nullptr) {
            break;  // keep the truncated text
        }
        OPENSSL_free(msg->arc_errorbuf);
        msg->arc_errorbuf = bigger;
        msg->arc_errorlen = n + 1;
        n = format_error(msg->arc_errorbuf, msg->arc_errorlen, format, ap);
    }
    va_end(ap);
    errno = saved_errno;
}

const char* arc_geterror(arc_msg* msg) noexcept {
    assert(msg != NULL);
    return msg->arc_errorbuf;
}
