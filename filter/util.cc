// SPDX-License-Identifier: BSD-2-Clause
// util.cc - the filter's growable strings and small utilities.
//
// The strings are the filter's own, kept apart from the library's: they take
// their memory from the C library and report failures only in their results.
// Memory:  calloc/malloc/free.
// Errors:  results only; arcf_raise_nofile() logs its failure to syslog.
// Threads: no shared state.
#include "util.h"

#include <arpa/inet.h>
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>

#include <climits>
#include <cstdint>

// ---- Growable string ----

namespace {

constexpr int dstring_min_alloc = 1024;
// Above this size a doubled buffer would pass 1,073,741,823 bytes.
constexpr long long dstring_max_double = 536870911;

// Makes the buffer hold at least `len` bytes. False when the limit or the size
// cap forbids it or memory runs out; the old buffer then stays.
bool dstring_resize(arcf_dstring* dstr, long long len) noexcept {
    assert(len > 0);
    if (dstr->ds_alloc >= len) {
        return true;
    }
    long long newsz = static_cast<long long>(dstr->ds_alloc) * 2;
    while (newsz < len) {
        if (newsz > dstring_max_double || (dstr->ds_max > 0 && newsz * 2 > dstr->ds_max)) {
            return false;
        }
        newsz *= 2;
    }
    if (newsz > INT_MAX) {
        return false;
    }
    char* buf = static_cast<char*>(malloc(static_cast<size_t>(newsz)));
    if (buf == nullptr) {
        return false;
    }
    memcpy(buf, dstr->ds_buf, static_cast<size_t>(dstr->ds_alloc));
    free(dstr->ds_buf);
    dstr->ds_buf = buf;
    dstr->ds_alloc = static_cast<int>(newsz);
    return true;
}

// Makes room for a text of `len` bytes plus its NUL, honouring the limit.
bool dstring_room(arcf_dstring* dstr, long long len) noexcept {
    if (dstr->ds_max > 0 && len >= dstr->ds_max) {
        return false;
    }
    // A length the record cannot count fails here instead of wrapping.
    if (len >= INT_MAX) {
        return false;
    }
    return len < dstr->ds_alloc || dstring_resize(dstr, len + 1);
}

}  // namespace

arcf_dstring* arcf_dstring_new(int len, int maxlen) noexcept {
    if (len == 0 || (maxlen > 0 && len > maxlen)) {
        return nullptr;
    }
    const int size = len > dstring_min_alloc ? len : dstring_min_alloc;
    arcf_dstring_ptr dstr{static_cast<arcf_dstring*>(calloc(1, sizeof(arcf_dstring)))};
    if (!dstr) {
        return nullptr;
    }
    dstr->ds_buf = static_cast<char*>(calloc(1, static_cast<size_t>(size)));
    if (dstr->ds_buf == nullptr) {
        return nullptr;
    }
    dstr->ds_alloc = size;
    dstr->ds_max = maxlen;
    dstr->ds_len = 0;
    return dstr.release();
}

void arcf_dstring_free(arcf_dstring* dstr) noexcept {
    if (dstr == nullptr) {
        return;
    }
    free(dstr->ds_buf);
    free(dstr);
}

bool arcf_dstring_copy(arcf_dstring* dstr, const char* str) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    const size_t len = strlen(str);
    if (!dstring_room(dstr, static_cast<long long>(len))) {
        return false;
    }
    memcpy(dstr->ds_buf, str, len + 1);
    dstr->ds_len = static_cast<int>(len);
    return true;
}

bool arcf_dstring_cat(arcf_dstring* dstr, const char* str) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    const size_t len = strlen(str);
    return arcf_dstring_catn(dstr, reinterpret_cast<const unsigned char*>(str), len);
}

bool arcf_dstring_cat1(arcf_dstring* dstr, int c) noexcept {
    assert(dstr != NULL);
    const unsigned char byte = static_cast<unsigned char>(c);
    return arcf_dstring_catn(dstr, &byte, 1);
}

bool arcf_dstring_catn(arcf_dstring* dstr, const unsigned char* str, size_t nbytes) noexcept {
    assert(dstr != NULL);
    assert(str != NULL);
    if (nbytes > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    const long long len = static_cast<long long>(dstr->ds_len) + static_cast<long long>(nbytes);
    if (!dstring_room(dstr, len)) {
        return false;
    }
    memcpy(dstr->ds_buf + dstr->ds_len, str, nbytes);
    dstr->ds_buf[len] = '\0';
    dstr->ds_len = static_cast<int>(len);
    return true;
}

char* arcf_dstring_get(arcf_dstring* dstr) noexcept {
    assert(dstr != NULL);
    return dstr->ds_buf;
}

int arcf_dstring_len(arcf_dstring* dstr) noexcept {
    assert(dstr != NULL);
    return dstr->ds_len;
}

void arcf_dstring_blank(arcf_dstring* dstr) noexcept {
    assert(dstr != NULL);
    dstr->ds_len = 0;
    dstr->ds_buf[0] = '\0';
}

void arcf_dstring_chop(arcf_dstring* dstr, int len) noexcept {
    assert(dstr != NULL);
    if (len >= 0 && len < dstr->ds_len) {
        dstr->ds_len = len;
        dstr->ds_buf[len] = '\0';
    }
}

size_t arcf_dstring_printf(arcf_dstring* dstr, const char* fmt, ...) noexcept {
    assert(dstr != NULL);
    assert(fmt != NULL);
    va_list ap;
    va_start(ap, fmt);
    va_list first;
    va_copy(first, ap);
    const size_t room = static_cast<size_t>(dstr->ds_alloc - dstr->ds_len);
    const int n = vsnprintf(dstr->ds_buf + dstr->ds_len, room, fmt, first);
    va_end(first);
    if (n < 0) {
        // Output error: put back the NUL vsnprintf may have moved.
        dstr->ds_buf[dstr->ds_len] = '\0';
        va_end(ap);
        return static_cast<size_t>(-1);
    }
    // The limit holds for a text that fits the buffer as for one that needs
    // it to grow (dstring_room checks both).
    if (!dstring_room(dstr, static_cast<long long>(dstr->ds_len) + n)) {
        dstr->ds_buf[dstr->ds_len] = '\0';
        va_end(ap);
        return static_cast<size_t>(-1);
    }
    if (static_cast<size_t>(n) >= room) {
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

// ---- Descriptors ----

namespace {

// Sets close-on-exec on fd, and O_NONBLOCK when `nonblock`; false with errno.
// Used where the system cannot create descriptors with the flags set.
[[maybe_unused]] bool set_fd_flags(int fd, bool nonblock) noexcept {
    const int fdflags = fcntl(fd, F_GETFD);
    if (fdflags < 0 || fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC) != 0) {
        return false;
    }
    if (!nonblock) {
        return true;
    }
    const int flflags = fcntl(fd, F_GETFL);
    return flflags >= 0 && fcntl(fd, F_SETFL, flflags | O_NONBLOCK) == 0;
}

}  // namespace

int arcf_pipe_cloexec(int fds[2]) noexcept {
#if VELMORA_HAVE_PIPE2
    return pipe2(fds, O_CLOEXEC);
#else
    // Without pipe2 a fork in another thread could inherit the ends between
    // the two calls; the callers fork only from the single-threaded start-up.
    if (pipe(fds) != 0) {
        return -1;
    }
    if (!set_fd_flags(fds[0], false) || !set_fd_flags(fds[1], false)) {
        const int saved = errno;
        close(fds[0]);
        close(fds[1]);
        errno = saved;
        return -1;
    }
    return 0;
#endif
}

int arcf_socket_cloexec(int domain, int type, bool nonblock) noexcept {
#if VELMORA_HAVE_SOCK_CLOEXEC && VELMORA_HAVE_SOCK_NONBLOCK
    return socket(domain, type | SOCK_CLOEXEC | (nonblock ? SOCK_NONBLOCK : 0), 0);
#else
    const int fd = socket(domain, type, 0);
    if (fd >= 0 && !set_fd_flags(fd, nonblock)) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
#endif
}

// ---- Socket clean-up ----

int arcf_socket_cleanup(const char* sockspec) noexcept {
    assert(sockspec != NULL);
    const char* path = sockspec;
    if (const char* colon = strchr(sockspec, ':'); colon != nullptr) {
        if (strncasecmp(sockspec, "local:", 6) != 0 && strncasecmp(sockspec, "unix:", 5) != 0) {
            return 0;
        }
        path = colon + 1;
        if (*path == '\0') {
            return EINVAL;
        }
    }

    unique_fd sock{socket(AF_UNIX, SOCK_STREAM, 0)};
    if (!sock) {
        return errno;
    }
    struct sockaddr_un sun;
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path);
    if (connect(sock.get(), reinterpret_cast<struct sockaddr*>(&sun), sizeof sun) == 0) {
        return EADDRINUSE;
    }
    const int err = errno;
    sock.reset();
    switch (err) {
        case ECONNREFUSED: {
            // Nobody listens: a socket file there is left over from a dead
            // filter. Anything else of that name is not ours to remove.
            struct stat st;
            if (lstat(sun.sun_path, &st) != 0) {
                return errno == ENOENT ? 0 : errno;
            }
            if (!S_ISSOCK(st.st_mode)) {
                return ENOTSOCK;
            }
            return unlink(sun.sun_path) == 0 ? 0 : errno;
        }
        case ENOENT:
            return 0;
        default:
            return err;
    }
}

// ---- Texts and lists ----

char** arcf_mkarray(char* in) noexcept {
    assert(in != NULL);
    size_t commas = 0;
    for (const char* p = in; *p != '\0'; ++p) {
        if (*p == ',') {
            ++commas;
        }
    }
    char** out = static_cast<char**>(calloc(commas + 2, sizeof(char*)));
    if (out == nullptr) {
        return nullptr;
    }
    size_t n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(in, ",", &save); tok != nullptr;
         tok = strtok_r(nullptr, ",", &save)) {
        out[n++] = tok;
    }
    out[n] = nullptr;
    return out;
}

void arcf_log_safe(const char* text, char* out, size_t outlen) noexcept {
    assert(text != NULL);
    assert(out != NULL);
    snprintf(out, outlen, "%s", text);
    for (char* p = out; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f || c == '"') {
            *p = ' ';
        }
    }
}

void arcf_lowercase(char* str) noexcept {
    assert(str != NULL);
    for (unsigned char* p = reinterpret_cast<unsigned char*>(str); *p != '\0'; ++p) {
        if (*p < 0x80 && isupper(*p)) {
            *p = static_cast<unsigned char>(tolower(*p));
        }
    }
}

int arcf_inet_ntoa(struct in_addr addr, char* buf, size_t buflen) noexcept {
    assert(buf != NULL);
    const auto* b = reinterpret_cast<const unsigned char*>(&addr.s_addr);
    return snprintf(buf, buflen, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

void arcf_optlist(FILE* where) noexcept {
    assert(where != NULL);
    fprintf(where, "\t%s\n", "libvelmora 1.0.0:");
}

void arcf_raise_nofile() noexcept {
    struct rlimit rlp;
    if (getrlimit(RLIMIT_NOFILE, &rlp) != 0) {
        syslog(LOG_WARNING, "getrlimit(): %s", strerror(errno));
        return;
    }
    rlp.rlim_cur = rlp.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rlp) != 0) {
        syslog(LOG_WARNING, "setrlimit(): %s", strerror(errno));
    }
}

bool arcf_hostlist(const char* host, const char** list) noexcept {
    assert(host != NULL);
    assert(list != NULL);
    for (const char** entry = list; *entry != nullptr; ++entry) {
        if (strcasecmp(host, *entry) == 0) {
            return true;
        }
        for (const char* dot = strchr(host, '.'); dot != nullptr; dot = strchr(dot + 1, '.')) {
            if (strcasecmp(dot, *entry) == 0) {
                return true;
            }
        }
    }
    return false;
}

// ---- Base64 dump ----

namespace {

constexpr char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof b64_alphabet == 65, "64 characters and the NUL");

// Writes base64 groups to a stream, keeping track of the wrapping column.
struct b64_writer {
    FILE* out;
    int lm;
    int rm;
    int col;

    bool wrapping() const noexcept { return lm != 0 && rm != 0; }
    void newline() noexcept {
        fputc('\n', out);
        for (int i = 0; i < lm; ++i) {
            fputc(' ', out);
        }
        col = lm;
    }
    void group(const unsigned char* in) noexcept {
        const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
        fputc(b64_alphabet[(v >> 18) & 0x3f], out);
        fputc(b64_alphabet[(v >> 12) & 0x3f], out);
        fputc(b64_alphabet[(v >> 6) & 0x3f], out);
        fputc(b64_alphabet[v & 0x3f], out);
        if (wrapping()) {
            if (col + 4 < rm - 4) {
                col += 4;
            } else {
                newline();
            }
        }
    }
    void last(const unsigned char* in, size_t n) noexcept {
        if (wrapping() && col >= rm - 4) {
            newline();
        }
        const uint32_t v = (uint32_t{in[0]} << 16) | (n > 1 ? uint32_t{in[1]} << 8 : 0);
        fputc(b64_alphabet[(v >> 18) & 0x3f], out);
        fputc(b64_alphabet[(v >> 12) & 0x3f], out);
        fputc(n > 1 ? b64_alphabet[(v >> 6) & 0x3f] : '=', out);
        fputc('=', out);
    }
};

}  // namespace

void arcf_base64_encode_file(int infd, FILE* out, int lm, int rm, int initial) noexcept {
    assert(infd >= 0);
    assert(out != NULL);
    assert(lm >= 0);
    assert(rm >= 0);
    assert(initial >= 0);
    if (lseek(infd, 0, SEEK_SET) == static_cast<off_t>(-1)) {
        return;
    }
    b64_writer w{out, lm, rm, initial};
    unsigned char buf[65536];
    unsigned char carry[3];
    size_t ncarry = 0;  // bytes of a group split between two reads
    for (;;) {
        const ssize_t got = read(infd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        size_t i = 0;
        const size_t n = static_cast<size_t>(got);
        while (ncarry > 0 && ncarry < 3 && i < n) {
            carry[ncarry++] = buf[i++];
        }
        if (ncarry == 3) {
            w.group(carry);
            ncarry = 0;
        }
        for (; i + 3 <= n; i += 3) {
            w.group(buf + i);
        }
        while (i < n) {
            carry[ncarry++] = buf[i++];
        }
    }
    if (ncarry > 0) {
        w.last(carry, ncarry);
    }
}

// ---- Files that must not block ----

int arcf_open_regular(const char* path, bool nofollow, struct stat* st, char* err,
                      size_t errlen) noexcept {
    assert(path != NULL);
    assert(st != NULL);
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
    unique_fd fd{open(path, flags)};
    if (!fd) {
        snprintf(err, errlen, "%s: open(): %s", path, strerror(errno));
        return -1;
    }
    if (fstat(fd.get(), st) != 0) {
        snprintf(err, errlen, "%s: stat(): %s", path, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        snprintf(err, errlen, "%s: open(): Not a regular file", path);
        errno = 0;
        return -1;
    }
    // Reads of a regular file never wait; plain mode keeps later readers
    // (stdio) from meeting EAGAIN on any system.
    if (fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
        snprintf(err, errlen, "%s: fcntl(): %s", path, strerror(errno));
        return -1;
    }
    return fd.release();
}

FILE* arcf_fopen_regular(const char* path, char* err, size_t errlen) noexcept {
    struct stat st;
    unique_fd fd{arcf_open_regular(path, false, &st, err, errlen)};
    if (!fd) {
        return nullptr;
    }
    FILE* f = fdopen(fd.get(), "r");
    if (f == nullptr) {
        snprintf(err, errlen, "%s: fdopen(): %s", path, strerror(errno));
        return nullptr;
    }
    (void)fd.release();
    return f;
}
