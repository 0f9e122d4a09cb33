// SPDX-License-Identifier: BSD-2-Clause
// velmora-main-process.cc - the process around the filter: the pid file,
// detaching from the terminal, reporting a finished start-up to whoever
// waits for it (the starting process, the service manager), and the argument
// text of the start line.
//
// Memory:  none kept beyond the pid file's descriptor.
// Errors:  false with a text in the caller's buffer, or errno.
// Threads: start-up and the auto-restart parent only (single-threaded).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#if VELMORA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "velmora-config.h"
#include "velmora-main.h"

std::atomic<bool> stop_requested{false};
std::atomic<int> stop_signal{0};
int ready_fd = -1;
bool notify_manager = true;

// ---- Pid file ----

namespace {

// The pid the file names, or 0 when it holds none.
long read_pid(int fd) {
    char buf[32] = "";
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) {
        return 0;
    }
    buf[n] = '\0';
    char* end = nullptr;
    const long pid = strtol(buf, &end, 10);
    return pid > 0 && (*end == '\n' || *end == '\0') ? pid : 0;
}

// True when `path` still names the file open on fd.
bool same_file(const char* path, int fd) {
    struct stat a;
    struct stat b;
    return lstat(path, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace

bool arcf_pidfile_open(arcf_pidfile* pf, const char* path, uid_t owner, char* err,
                       size_t errlen) noexcept {
    pf->pf_fd = -1;
    pf->pf_created = false;
    pf->pf_written = 0;
    if (strlen(path) >= sizeof pf->pf_path) {
        snprintf(err, errlen, "%s: path too long", path);
        return false;
    }
    snprintf(pf->pf_path, sizeof pf->pf_path, "%s", path);
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        pf->pf_created = true;
    } else if (errno == EEXIST) {
        fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0) {
        snprintf(err, errlen, "%s: open(): %s", path, strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        snprintf(err, errlen, "%s: not a regular file", path);
        close(fd);
        return false;
    }
    if (!pf->pf_created && ((st.st_uid != owner && st.st_uid != 0) || st.st_nlink != 1)) {
        // Someone else's file, or a second name of a file elsewhere: writing
        // or later removing it would change what is not ours.
        if (st.st_nlink != 1) {
            snprintf(err, errlen, "%s: has %lu links; refusing to use it", path,
                     static_cast<unsigned long>(st.st_nlink));
        } else {
            snprintf(err, errlen, "%s: owned by uid %u, not by uid %u; refusing to use it", path,
                     static_cast<unsigned>(st.st_uid), static_cast<unsigned>(owner));
        }
        close(fd);
        return false;
    }
    if (!pf->pf_created) {
        // Another instance's file stays as it is while that instance runs.
        const long pid = read_pid(fd);
        if (pid > 0 && pid != getpid() &&
            (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
            snprintf(err, errlen, "%s: in use by running process %ld", path, pid);
            close(fd);
            return false;
        }
    }
    // Readable by everyone whatever the umask, as pid files are.
    (void)fchmod(fd, 0644);
    pf->pf_fd = fd;
    return true;
}

bool arcf_pidfile_write(arcf_pidfile* pf, pid_t pid) noexcept {
    if (pf->pf_fd < 0) {
        errno = EBADF;
        return false;
    }
    char buf[32];
    const int len = snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(pid));
    if (ftruncate(pf->pf_fd, 0) != 0 ||
        pwrite(pf->pf_fd, buf, static_cast<size_t>(len), 0) != len) {
        return false;
    }
    pf->pf_written = pid;
    return true;
}

void arcf_pidfile_remove(arcf_pidfile* pf) noexcept {
    if (pf == nullptr || pf->pf_fd < 0) {
        return;
    }
    const bool ours = pf->pf_written != 0 ? read_pid(pf->pf_fd) == pf->pf_written
                                          : pf->pf_created && read_pid(pf->pf_fd) == 0;
    if (ours && !(same_file(pf->pf_path, pf->pf_fd) && unlink(pf->pf_path) == 0)) {
        // No right to the directory any more (privileges dropped): an empty
        // file names no process. The descriptor holds our pid, so whatever
        // file it is, nobody else's contents are lost.
        (void)ftruncate(pf->pf_fd, 0);
    }
    arcf_pidfile_forget(pf);
}

void arcf_pidfile_forget(arcf_pidfile* pf) noexcept {
    if (pf != nullptr && pf->pf_fd >= 0) {
        close(pf->pf_fd);
        pf->pf_fd = -1;
    }
}

// ---- Detaching and readiness ----

void arcf_stdio(bool keep_stderr) noexcept {
    const int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        if (!keep_stderr) {
            dup2(fd, 2);
        }
        if (fd > 2) {
            close(fd);
        }
    }
    (void)setsid();
}

void arcf_quiet_stderr() noexcept {
    const int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, 2);
        if (fd != 2) {
            close(fd);
        }
    }
}

void arcf_notify(const char* state) noexcept {
#if VELMORA_HAVE_SYSTEMD
    if (notify_manager) {
        (void)sd_notify(0, state);
    }
#else
    (void)state;  // built without libsystemd: no service manager to tell
#endif
}

void arcf_report_ready() noexcept {
    if (ready_fd >= 0) {
        const char c = 'R';
        (void)!write(ready_fd, &c, 1);
        close(ready_fd);
        ready_fd = -1;
    }
    arcf_notify("READY=1");
}

int arcf_await_ready(pid_t pid, int fd) noexcept {
    char c = 0;
    ssize_t n;
    while ((n = read(fd, &c, 1)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (n == 1 && c == 'R') {
#if VELMORA_HAVE_SYSTEMD
        if (notify_manager) {
            (void)sd_notifyf(0, "READY=1\nMAINPID=%ld", static_cast<long>(pid));
        }
#endif
        return EX_OK;
    }
    // The child ended before it was ready; it has said why on our
    // standard error.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            fprintf(stderr, "%s: waitpid(): %s\n", progname, strerror(errno));
            return EX_OSERR;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    fprintf(stderr, "%s: terminated with signal %d during start-up\n", progname,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return EX_SOFTWARE;
}

// ---- Start line ----

size_t arcf_argtext(int argc, char* const* argv, char* buf, size_t size) noexcept {
    memset(buf, 0, size);
    if (argc <= 1) {
        return 0;
    }
    size_t len = 0;
    auto put = [&](const char* text) {
        for (; *text != '\0' && len + 1 < size; ++text) {
            buf[len++] = *text;
        }
    };
    put("args:");
    for (int i = 1; i < argc; ++i) {
        const bool quote = strchr(argv[i], ' ') != nullptr;
        put(" ");
        if (quote) {
            put("\"");
        }
        put(argv[i]);
        if (quote) {
            put("\"");
        }
    }
    buf[len] = '\0';
    return len;
}
