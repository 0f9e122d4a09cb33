// SPDX-License-Identifier: BSD-2-Clause
// util.h - the filter's growable strings, small utilities and resource owners.
//
// Memory:  the C library's allocator (calloc/malloc/free).
// Errors:  results only (false, null, -1 or an errno value); nothing is logged
//          except by arcf_raise_nofile().
// Threads: none of these keep state; a string is used by one thread at a time.
#ifndef VELMORA_FILTER_UTIL_H
#define VELMORA_FILTER_UTIL_H

#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <memory>

// ---- Growable string ----

// A NUL-terminated, growable byte string of the filter. Owned by whoever
// created it with arcf_dstring_new(); freed with arcf_dstring_free().
struct arcf_dstring {
    int ds_alloc;  // bytes allocated for ds_buf
    int ds_max;    // length limit; 0 or less means none
    int ds_len;    // current length, without the NUL
    char* ds_buf;  // owns: the text; ds_buf[ds_len] is always NUL
};

// Creates a string with room for `len` bytes (at least 1024) and length limit
// `maxlen` (0 or less: none). Returns null when len is 0, when len exceeds a
// positive limit, or when memory runs out. The caller frees it.
arcf_dstring* arcf_dstring_new(int len, int maxlen) noexcept;
// Frees the buffer and the record; null is allowed.
void arcf_dstring_free(arcf_dstring* dstr) noexcept;
// Replace or extend the text. Each returns false with the text unchanged when
// the limit would be reached or memory runs out.
bool arcf_dstring_copy(arcf_dstring* dstr, const char* str) noexcept;
bool arcf_dstring_cat(arcf_dstring* dstr, const char* str) noexcept;
bool arcf_dstring_cat1(arcf_dstring* dstr, int c) noexcept;
bool arcf_dstring_catn(arcf_dstring* dstr, const unsigned char* str, size_t nbytes) noexcept;
// The text; valid until the string next grows or is freed.
char* arcf_dstring_get(arcf_dstring* dstr) noexcept;
int arcf_dstring_len(arcf_dstring* dstr) noexcept;
// Empties the text; the buffer keeps its size.
void arcf_dstring_blank(arcf_dstring* dstr) noexcept;
// Shortens the text to `len` bytes when it is longer; never grows it.
void arcf_dstring_chop(arcf_dstring* dstr, int len) noexcept;
// Appends formatted text; returns the new length, or (size_t)-1 when the
// buffer cannot grow (the text is then unchanged).
size_t arcf_dstring_printf(arcf_dstring* dstr, const char* fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// ---- Utilities ----

// Removes a stale local milter socket named by `sockspec` ("local:PATH",
// "unix:PATH" or a bare PATH; other specifications are left alone). Returns 0,
// EADDRINUSE when a filter is listening there, EINVAL for an empty path, or the
// errno of the step that failed.
int arcf_socket_cleanup(const char* sockspec) noexcept;
// Cuts the comma list `in` in place and returns a new null-terminated array of
// its non-empty pieces, or null when memory runs out. The array borrows from
// `in`, which must outlive it; the caller frees the array only (free()).
char** arcf_mkarray(char* in) noexcept;
// Copies `text` (sender, key record or library text) into out, cut to
// outlen, with every control byte and double quote made a blank, so that a
// log line quoting it stays one line whose quotes are the filter's own.
void arcf_log_safe(const char* text, char* out, size_t outlen) noexcept;
// Lowers, in place, every upper-case character below 0x80.
void arcf_lowercase(char* str) noexcept;
// Writes the dotted-decimal text of `addr` (network byte order) into buf, cut
// to buflen; returns the length of the full text.
int arcf_inet_ntoa(struct in_addr addr, char* buf, size_t buflen) noexcept;
// Writes the library line of the version output.
void arcf_optlist(FILE* where) noexcept;
// Raises the soft open-files limit to the hard limit; logs a failure at
// LOG_WARNING and goes on.
void arcf_raise_nofile() noexcept;
// True when `host`, or one of its parent domains written with a leading ".",
// is in the null-terminated `list` (compared ignoring case).
bool arcf_hostlist(const char* host, const char** list) noexcept;
// Writes the whole contents of `infd` (rewound first) to `out` in base64,
// wrapped between the margins lm and rm starting at column `initial`
// (no wrapping when lm or rm is 0).
void arcf_base64_encode_file(int infd, FILE* out, int lm, int rm, int initial) noexcept;

// ---- Descriptors ----

// Creates a pipe whose two ends are closed on exec. Returns 0, or -1 with
// errno set and nothing left open.
int arcf_pipe_cloexec(int fds[2]) noexcept;
// Creates a socket that is closed on exec, and non-blocking when `nonblock`.
// Returns the descriptor, or -1 with errno set.
int arcf_socket_cloexec(int domain, int type, bool nonblock) noexcept;

// ---- Files that must not block ----

// Opens `path` for reading so that the open itself can never block (a FIFO
// or a device put where a file was expected): O_NONBLOCK | O_NOCTTY, and
// O_NOFOLLOW when `nofollow` (a link there is refused). Anything but a
// regular file is refused with "PATH: open(): Not a regular file"; other
// failures give "PATH: open(): TEXT" or "PATH: stat(): TEXT". Returns the
// descriptor (close-on-exec, back in blocking mode; the caller closes it)
// with its status in *st, or -1 with the text in err (errlen bytes) and errno
// set, or 0 when the file was refused for not being a regular file.
int arcf_open_regular(const char* path, bool nofollow, struct stat* st, char* err,
                      size_t errlen) noexcept;
// Like arcf_open_regular() (links followed), as a stream the caller closes;
// null with the text in err.
FILE* arcf_fopen_regular(const char* path, char* err, size_t errlen) noexcept;

// ---- Owners ----

template <auto Free>
struct c_deleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

inline void arcf_free(void* p) noexcept {
    free(p);
}
inline void arcf_fclose(FILE* f) noexcept {
    fclose(f);
}

// Owns a record or buffer from calloc/malloc.
template <typename T>
using calloc_ptr = std::unique_ptr<T, c_deleter<arcf_free>>;
// Owns a stream from fopen().
using file_ptr = std::unique_ptr<FILE, c_deleter<arcf_fclose>>;
using arcf_dstring_ptr = std::unique_ptr<arcf_dstring, c_deleter<arcf_dstring_free>>;

// Owns a descriptor and closes it on destruction.
class unique_fd {
  public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_{fd} {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_{other.release()} {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Hands the descriptor over; the owner is empty afterwards.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

#endif  // VELMORA_FILTER_UTIL_H
