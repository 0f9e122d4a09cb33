// SPDX-License-Identifier: BSD-2-Clause
// velmora-securefile.cc - the safety check of the private-key file.
//
// Walks the resolved path from the root down and refuses any directory or
// file that a user other than the executing one and the superuser could
// change, or (for the file) read, including through a group that has other
// users in it; a symbolic link on the way counts only in a directory that
// passes the same test.
// Memory:  realpath()'s buffer only, freed before returning.
// Errors:  the result and a message in the caller's buffer; nothing is logged.
// Threads: the user and group databases are used only under passwd_lock.
#include "velmora-securefile.h"

#include <assert.h>
#include <grp.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util.h"

// Taken after conf_lock, never before it; nothing else is locked while held.
constinit std::mutex passwd_lock;

namespace {

constexpr uint32_t any_uid = UINT32_MAX;
constexpr size_t max_path = 1024;  // longest resolved path the check examines

// Who the file must be safe for.
struct executing_user {
    uint32_t uid;
    char name[max_path + 1];
};

__attribute__((format(printf, 3, 4))) void report(char* err, size_t errlen, const char* fmt,
                                                  ...) noexcept {
    if (err == nullptr || errlen == 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
}

// Tests whether group `gid` of `prefix` holds a user other than the executing
// one and root, as primary group or as a member. 1 when it does not.
int shared_group(const char* prefix, gid_t gid, bool is_dir, const executing_user& me, char* err,
                 size_t errlen) noexcept {
    std::lock_guard<std::mutex> guard{passwd_lock};
    setpwent();
    for (struct passwd* pw = getpwent(); pw != nullptr; pw = getpwent()) {
        if (pw->pw_uid != me.uid && pw->pw_uid != 0 && pw->pw_gid == gid) {
            if (is_dir) {
                report(err, errlen, "%s is in group %u which has multiple users (e.g., \"%s\")",
                       prefix, static_cast<unsigned>(gid), pw->pw_name);
            } else {
                report(err, errlen, "%s is in group %u which has multiple users (e.g. \"%s\")",
                       prefix, static_cast<unsigned>(gid), pw->pw_name);
            }
            endpwent();
            return 0;
        }
    }
    endpwent();
    const struct group* gr = getgrgid(gid);
    if (gr == nullptr) {
        return -1;
    }
    for (char** mem = gr->gr_mem; mem != nullptr && *mem != nullptr; ++mem) {
        if (strcmp(*mem, me.name) != 0 && strcmp(*mem, "root") != 0) {
            report(err, errlen, "%s is in group %u which has multiple users (e.g., \"%s\")", prefix,
                   static_cast<unsigned>(gid), *mem);
            return 0;
        }
    }
    return 1;
}

// Tests one prefix of the resolved path. 1 when it passes.
int check_prefix(const char* prefix, const executing_user& me, const char* suffix, uint64_t* ino,
                 char* err, size_t errlen) noexcept {
    struct stat st;
    if (stat(prefix, &st) != 0) {
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        if ((st.st_mode & S_IWOTH) != 0) {
            report(err, errlen, "%s can be read or written by other users", prefix);
            return 0;
        }
        if ((st.st_mode & S_IWGRP) != 0) {
            if (const int r = shared_group(prefix, st.st_gid, true, me, err, errlen); r != 1) {
                return r;
            }
        }
        if ((st.st_mode & S_IWUSR) != 0 && st.st_uid != 0 && st.st_uid != me.uid) {
            report(err, errlen,
                   "%s is writeable and owned by uid %u which is not the executing uid (%u)%s",
                   prefix, static_cast<unsigned>(st.st_uid), me.uid, suffix);
            return 0;
        }
        if ((st.st_mode & (S_IXGRP | S_IXOTH)) == 0) {
            *ino = UINT64_MAX;
        }
    } else if (S_ISREG(st.st_mode)) {
        if (st.st_uid != 0 && st.st_uid != me.uid) {
            report(err, errlen, "%s is not owned by the executing uid (%d)%s", prefix,
                   static_cast<int>(me.uid), suffix);
            return 0;
        }
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) != 0) {
            if (const int r = shared_group(prefix, st.st_gid, false, me, err, errlen); r != 1) {
                return r;
            }
        }
        if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
            report(err, errlen, "%s can be read or written by other users", prefix);
            return 0;
        }
        *ino = static_cast<uint64_t>(st.st_ino);
    }
    return 1;
}

// Follows `path` component by component as the system would, and refuses a
// symbolic link met on the way (in the path or in a link's target) whose
// directory fails the directory test: whoever can write there chooses the
// file, whatever the file it points to looks like. 1 when every link passes.
int check_links(const char* path, const executing_user& me, const char* suffix, char* err,
                size_t errlen) noexcept {
    char todo[2 * max_path + 2];
    char done[max_path + 1] = "";  // the resolved part, "" for the root
    if (strlen(path) > max_path) {
        return -1;
    }
    if (path[0] == '/') {
        snprintf(todo, sizeof todo, "%s", path);
    } else {
        char cwd[max_path + 1];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return -1;
        }
        snprintf(todo, sizeof todo, "%s/%s", cwd, path);
    }
    int links = 0;
    const char* p = todo;
    for (;;) {
        p += strspn(p, "/");
        if (*p == '\0') {
            return 1;
        }
        const size_t n = strcspn(p, "/");
        const size_t have = strlen(done);
        if (n == 1 && p[0] == '.') {
            p += n;
            continue;
        }
        if (n == 2 && p[0] == '.' && p[1] == '.') {
            char* slash = strrchr(done, '/');
            if (slash != nullptr) {
                *slash = '\0';
            }
            p += n;
            continue;
        }
        if (have + 1 + n > max_path) {
            return -1;
        }
        char next[max_path + 1];
        memcpy(next, done, have);
        next[have] = '/';
        memcpy(next + have + 1, p, n);
        next[have + 1 + n] = '\0';
        p += n;
        struct stat st;
        if (lstat(next, &st) != 0) {
            return -1;
        }
        if (!S_ISLNK(st.st_mode)) {
            memcpy(done, next, strlen(next) + 1);
            continue;
        }
        if (++links > 40) {
            return -1;
        }
        uint64_t ignored = 0;
        char why[max_path + 1] = "";
        const int r =
            check_prefix(done[0] != '\0' ? done : "/", me, suffix, &ignored, why, sizeof why);
        if (r != 1) {
            if (r == 0) {
                report(err, errlen, "%s is a symbolic link in an unsafe directory: %s", next, why);
            }
            return r;
        }
        char target[max_path + 1];
        const ssize_t tlen = readlink(next, target, sizeof target - 1);
        if (tlen <= 0 || static_cast<size_t>(tlen) + 1 + strlen(p) >= sizeof todo) {
            return -1;
        }
        target[tlen] = '\0';
        // The rest of the path now follows the link's target (checked above
        // to fit).
        char rest[sizeof todo];
        const size_t left = strlen(p);
        memcpy(rest, target, static_cast<size_t>(tlen));
        memcpy(rest + tlen, p, left + 1);
        memcpy(todo, rest, static_cast<size_t>(tlen) + left + 1);
        p = todo;
        if (target[0] == '/') {
            done[0] = '\0';
        }
    }
}

}  // namespace

int arcf_securefile(const char* path, uint64_t* ino, uint32_t myuid, char* err,
                    size_t errlen) noexcept {
    assert(path != NULL);
    assert(ino != NULL);

    executing_user me;
    {
        std::lock_guard<std::mutex> guard{passwd_lock};
        const struct passwd* pw = getpwuid(myuid == any_uid ? geteuid() : myuid);
        if (pw == nullptr) {
            return -1;
        }
        me.uid = pw->pw_uid;
        snprintf(me.name, sizeof me.name, "%s", pw->pw_name);
    }
    const char* suffix = me.uid != 0 ? " or the superuser" : "";

    if (const int r = check_links(path, me, suffix, err, errlen); r != 1) {
        return r;
    }
    const calloc_ptr<char> real{realpath(path, nullptr)};
    if (!real) {
        return -1;
    }
    const size_t len = strlen(real.get());
    // A longer path cannot be examined whole; refusing to judge it is safer
    // than judging a cut one.
    if (len > max_path || real.get()[0] != '/') {
        return -1;
    }

    // Prefixes from the root down: "/", "/a", "/a/b", ... up to the full path.
    char prefix[max_path + 1];
    size_t end = 1;
    for (;;) {
        memcpy(prefix, real.get(), end);
        prefix[end] = '\0';
        if (const int r = check_prefix(prefix, me, suffix, ino, err, errlen); r != 1) {
            return r;
        }
        if (end >= len) {
            return 1;
        }
        const char* next = strchr(real.get() + end + 1, '/');
        end = next != nullptr ? static_cast<size_t>(next - real.get()) : len;
    }
}
