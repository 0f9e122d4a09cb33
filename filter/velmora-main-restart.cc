// SPDX-License-Identifier: BSD-2-Clause
// velmora-main-restart.cc - the auto-restart parent: it forks one worker at a
// time, passes stop and reload signals on, and restarts a worker that dies,
// within AutoRestartCount and AutoRestartRate and with a growing wait while
// workers keep dying young.
//
// Memory:  the restart ring (C library's allocator), freed by its owner.
// Errors:  start-up failures exit with their sysexits status after logging.
// Threads: the parent has one thread; signals stay blocked except inside
//          ppoll(), so none can arrive unseen between a check and the wait.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

#include "util.h"
#include "velmora-config.h"
#include "velmora-main.h"

// ---- Restart limits ----

bool arcf_parse_rate(const char* value, unsigned* n, long* t) noexcept {
    const char* slash = strchr(value, '/');
    if (slash == nullptr || slash == value) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long count = strtol(value, &end, 10);
    if (errno != 0 || end != slash || count < 0 || value[0] == '-' || value[0] == '+' ||
        value[0] == ' ') {
        return false;
    }
    const char* p = slash + 1;
    if (*p < '0' || *p > '9') {
        return false;
    }
    errno = 0;
    long period = strtol(p, &end, 10);
    if (errno != 0) {
        return false;
    }
    long unit = 1;
    switch (*end) {
        case '\0':
            break;
        case 's':
        case 'S':
            ++end;
            break;
        case 'm':
        case 'M':
            unit = 60;
            ++end;
            break;
        case 'h':
        case 'H':
            unit = 3600;
            ++end;
            break;
        case 'd':
        case 'D':
            unit = 86400;
            ++end;
            break;
        default:
            return false;
    }
    if (*end != '\0' || period <= 0 || period > LONG_MAX / unit || count > UINT32_MAX) {
        return false;
    }
    *n = static_cast<unsigned>(count);
    *t = period * unit;
    return true;
}

bool arcf_restart_ring_init(arcf_restart_ring* ring, unsigned n) noexcept {
    ring->ring_times = static_cast<int64_t*>(calloc(n, sizeof(int64_t)));
    ring->ring_size = ring->ring_times != nullptr ? n : 0;
    ring->ring_index = 0;
    return ring->ring_times != nullptr;
}

void arcf_restart_ring_free(arcf_restart_ring* ring) noexcept {
    free(ring->ring_times);
    ring->ring_times = nullptr;
    ring->ring_size = 0;
}

bool arcf_restart_check(arcf_restart_ring* ring, long t, int64_t now) noexcept {
    if (ring->ring_times == nullptr || ring->ring_size == 0) {
        return true;
    }
    // The slot filled n allowed restarts ago is the one about to be reused.
    const unsigned slot = ring->ring_index % ring->ring_size;
    if (ring->ring_times[slot] != 0 && ring->ring_times[slot] + t > now) {
        return false;
    }
    ring->ring_times[slot] = now;
    ring->ring_index = (ring->ring_index + 1) % ring->ring_size;
    return true;
}

arcf_worker_end arcf_worker_outcome(int wait_status) noexcept {
    if (WIFSIGNALED(wait_status)) {
        return arcf_worker_end::restart;
    }
    if (!WIFEXITED(wait_status)) {
        return arcf_worker_end::ignore;
    }
    const int status = WEXITSTATUS(wait_status);
    return status == EX_SOFTWARE || status == EX_CONFIG ? arcf_worker_end::final
                                                        : arcf_worker_end::restart;
}

unsigned arcf_restart_delay(unsigned previous, long lifetime) noexcept {
    if (previous == 0 || lifetime >= ARCF_YOUNG_WORKER) {
        return 1;
    }
    return previous >= ARCF_MAX_RESTART_DELAY / 2 ? ARCF_MAX_RESTART_DELAY : previous * 2;
}

// ---- The parent ----

namespace {

// Flags of the parent's signal handler; read between two ppoll() calls.
volatile sig_atomic_t child_changed = 0;

// The parent's handler: stop, reload or a child's change of state.
void arcf_sighandler(int sig) {
    switch (sig) {
        case SIGHUP:
        case SIGINT:
        case SIGTERM:
            stop_signal = sig;
            stop_requested = true;
            break;
        case SIGUSR1:
            if (!stop_requested && conffile != nullptr) {
                reload_pending = true;
            }
            break;
        case SIGCHLD:
            child_changed = 1;
            break;
        default:
            break;
    }
}

// Signals the worker; logs a failure.
void arcf_killchild(pid_t pid, int sig, bool log) noexcept {
    if (kill(pid, sig) != 0 && log) {
        arcf_log(LOG_ERR, "kill(%d, %d): %s", static_cast<int>(pid), sig, strerror(errno));
    }
}

int64_t now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// Waits for a signal or for `fd` to become readable, at most timeout_ms
// (-1: no limit), with the parent's signals open only for the wait.
void wait_event(int fd, int timeout_ms) {
    struct pollfd pfd {
        fd, POLLIN, 0
    };
    struct timespec ts {
        timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L
    };
    sigset_t open_mask;
    sigemptyset(&open_mask);
    (void)ppoll(fd >= 0 ? &pfd : nullptr, fd >= 0 ? 1 : 0, timeout_ms >= 0 ? &ts : nullptr,
                &open_mask);
}

// Stops the worker with the stop signal that arrived and waits for it, at
// most 60 seconds before it is killed; then the parent ends.
[[noreturn]] void stop_and_exit(const arcf_supervisor& sv, pid_t worker) {
    arcf_notify("STOPPING=1");
    if (worker > 0) {
        arcf_killchild(worker, stop_signal, dolog);
        const int64_t end = now_seconds() + 60;
        while (waitpid(worker, nullptr, WNOHANG) == 0) {
            if (now_seconds() > end) {
                arcf_killchild(worker, SIGKILL, dolog);
                (void)waitpid(worker, nullptr, 0);
                break;
            }
            wait_event(-1, 200);
        }
    }
    arcf_pidfile_remove(sv.pidfile);
    if (dolog) {
        arcf_log(LOG_INFO, "stopped by signal %d", static_cast<int>(stop_signal));
    }
    exit(EX_OK);
}

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits `seconds` before a restart; a stop signal ends the parent at once.
void backoff(const arcf_supervisor& sv, unsigned seconds) {
    const int64_t end = now_ms() + static_cast<int64_t>(seconds) * 1000;
    for (int64_t left = end - now_ms(); !stop_requested && left > 0; left = end - now_ms()) {
        wait_event(-1, static_cast<int>(left < 250 ? left : 250));
    }
    if (stop_requested) {
        stop_and_exit(sv, -1);
    }
}

// Logs how the worker ended, as the parent's log has always said it.
void log_end(int status, arcf_worker_end end) {
    if (!dolog) {
        return;
    }
    if (WIFSIGNALED(status)) {
        arcf_log(LOG_NOTICE, "terminated with signal %d, restarting", WTERMSIG(status));
    } else if (end == arcf_worker_end::final) {
        arcf_log(LOG_NOTICE, "exited with status %d", WEXITSTATUS(status));
    } else if (WIFEXITED(status)) {
        arcf_log(LOG_NOTICE, "exited with status %d, restarting", WEXITSTATUS(status));
    }
}

// What the parent knows of the configuration its next worker starts with.
struct parent_conf {
    // A reload was passed on to the worker and it has not said how it ended:
    // a worker started now re-reads the file at its first connection.
    bool unconfirmed = false;
    // When the record the parent holds was read ("" at start-up).
    char read_at[32] = "";
};

// The worker took a new configuration: the parent reads the file too and
// keeps the record, so that a worker it starts later serves the settings
// last in force rather than those of the start-up.
void adopt_reload(parent_conf& pc) {
    arcf_config* fresh = arcf_config_read(dolog);
    if (fresh == nullptr) {
        // Changed again since the worker read it: the next worker re-reads.
        pc.unconfirmed = true;
        if (dolog) {
            arcf_log(LOG_ERR,
                     "[parent] can't read the configuration the worker took; a restarted "
                     "worker reads it again");
        }
        return;
    }
    if (char err[ARCF_ERRBUF_SIZE] = ""; !arcf_config_chdir(fresh, err)) {
        pc.unconfirmed = true;
        if (dolog) {
            arcf_log(LOG_ERR, "[parent] %s", err);
        }
        arcf_config_free(fresh);
        return;
    }
    pc.unconfirmed = false;
    // The parent's records have no library handle and no connections.
    if (curconf != nullptr) {
        arcf_config_free(curconf);
    }
    curconf = fresh;
    dolog = fresh->conf_dolog;
    const time_t now = time(nullptr);
    struct tm tm;
    (void)strftime(pc.read_at, sizeof pc.read_at, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &tm));
}

// Reads what the worker reports on its pipe: 'R' ready, 'C' a reload taken,
// 'F' a reload refused. Returns false at the end of the pipe.
bool read_reports(int fd, const arcf_supervisor& sv, bool& ever_ready, parent_conf& pc);

// The first worker is up: the pid file, the starter and the service manager
// learn it.
void first_ready(const arcf_supervisor& sv) {
    if (sv.pidfile->pf_fd >= 0 && !arcf_pidfile_write(sv.pidfile, getpid()) && dolog) {
        arcf_log(LOG_ERR, "can't write pid to %s: %s", sv.pidfile->pf_path, strerror(errno));
    }
    arcf_report_ready();
    if (sv.background) {
        arcf_quiet_stderr();
    }
}

bool read_reports(int fd, const arcf_supervisor& sv, bool& ever_ready, parent_conf& pc) {
    char buf[64];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    for (ssize_t i = 0; i < n; ++i) {
        switch (buf[i]) {
            case 'R':
                if (!ever_ready) {
                    ever_ready = true;
                    first_ready(sv);
                }
                break;
            case 'C':
                adopt_reload(pc);
                break;
            case 'F':
                pc.unconfirmed = false;
                break;
            default:
                break;
        }
    }
    return n > 0;
}

// Logs a restart with the configuration the new worker starts with.
void log_restart(pid_t worker, const parent_conf& pc) {
    if (!dolog) {
        return;
    }
    const char* file = conffile != nullptr ? conffile : "(none)";
    if (pc.unconfirmed) {
        arcf_log(LOG_NOTICE, "restarted worker %ld; it reads %s again at its first connection",
                 static_cast<long>(worker), file);
    } else if (pc.read_at[0] == '\0') {
        arcf_log(LOG_NOTICE, "restarted worker %ld with the configuration read from %s at start-up",
                 static_cast<long>(worker), file);
    } else {
        arcf_log(LOG_NOTICE, "restarted worker %ld with the configuration reloaded from %s at %s",
                 static_cast<long>(worker), file, pc.read_at);
    }
}

}  // namespace

int arcf_supervise(const arcf_supervisor& sv) noexcept {
    // The parent's signals are handled only inside ppoll(): blocked
    // everywhere else, none is lost between a check and the wait.
    sigset_t parent_mask;
    sigemptyset(&parent_mask);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) {
        sigaddset(&parent_mask, sig);
    }
    sigset_t old_mask;
    (void)sigprocmask(SIG_BLOCK, &parent_mask, &old_mask);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = arcf_sighandler;
    sa.sa_mask = parent_mask;
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) {
        if (sigaction(sig, &sa, nullptr) != 0 && dolog) {
            arcf_log(LOG_ERR, "[parent] sigaction(): %s", strerror(errno));
        }
    }

    arcf_restart_ring ring{nullptr, 0, 0};
    if (sv.rate_n > 0 && sv.rate_t > 0 && !arcf_restart_ring_init(&ring, sv.rate_n)) {
        fprintf(stderr, "%s: AutoRestartRate: malloc(): %s\n", progname, strerror(errno));
        exit(EX_OSERR);
    }
    bool ever_ready = false;
    parent_conf pc;
    unsigned restarts = 0;
    unsigned delay = 0;
    for (;;) {
        if (stop_requested) {
            stop_and_exit(sv, -1);
        }
        if (sv.sockspec != nullptr && !testmode) {
            if (const int rc = arcf_socket_cleanup(sv.sockspec); rc != 0) {
                if (dolog) {
                    arcf_log(LOG_ERR, "[parent] socket cleanup failed: %s", strerror(rc));
                }
                if (!ever_ready) {
                    fprintf(stderr, "%s: socket cleanup failed: %s\n", progname, strerror(rc));
                    arcf_pidfile_remove(sv.pidfile);
                    exit(EX_UNAVAILABLE);
                }
                // A later worker: the socket may come free again.
                delay = arcf_restart_delay(delay, 0);
                backoff(sv, delay);
                continue;
            }
        }
        int pipefd[2] = {-1, -1};
        if (arcf_pipe_cloexec(pipefd) != 0) {
            if (dolog) {
                arcf_log(LOG_ERR, "pipe(): %s", strerror(errno));
            }
            fprintf(stderr, "%s: pipe(): %s\n", progname, strerror(errno));
            exit(EX_OSERR);
        }
        const int64_t started = now_seconds();
        const pid_t worker = fork();
        if (worker < 0) {
            if (dolog) {
                arcf_log(LOG_ERR, "fork(): %s", strerror(errno));
            }
            fprintf(stderr, "%s: fork(): %s\n", progname, strerror(errno));
            exit(EX_OSERR);
        }
        if (worker == 0) {
            // The worker: default actions back; the stop and reload signals
            // stay blocked until its own threads wait for them.
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = SIG_DFL;
            for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) {
                if (sigaction(sig, &sa, nullptr) != 0 && dolog) {
                    arcf_log(LOG_ERR, "[child] sigaction(): %s", strerror(errno));
                }
            }
            sigset_t worker_mask = old_mask;
            sigdelset(&worker_mask, SIGCHLD);
            for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1}) {
                sigaddset(&worker_mask, sig);
            }
            (void)sigprocmask(SIG_SETMASK, &worker_mask, nullptr);
            close(pipefd[0]);
            if (ready_fd >= 0) {
                close(ready_fd);
            }
            ready_fd = pipefd[1];
            // The same pipe carries each reload's outcome once the readiness
            // report has closed ready_fd; a full pipe drops a report rather
            // than stall the reload.
            if (const int fd = fcntl(pipefd[1], F_DUPFD_CLOEXEC, 3); fd >= 0) {
                (void)fcntl(fd, F_SETFL, O_NONBLOCK);
                reload_report_fd = fd;
            }
            reload_pending = pc.unconfirmed;
            notify_manager = false;
            arcf_pidfile_forget(sv.pidfile);
            arcf_restart_ring_free(&ring);
            return 0;
        }
        close(pipefd[1]);
        if (restarts > 0) {
            log_restart(worker, pc);
        }
        int rfd = pipefd[0];
        (void)fcntl(rfd, F_SETFL, O_NONBLOCK);
        int status = 0;
        for (;;) {
            if (stop_requested) {
                close(rfd);
                stop_and_exit(sv, worker);
            }
            if (reload_pending) {
                reload_pending = false;
                pc.unconfirmed = true;
                arcf_killchild(worker, SIGUSR1, dolog);
            }
            child_changed = 0;
            if (rfd >= 0) {
                struct pollfd pfd {
                    rfd, POLLIN, 0
                };
                if (poll(&pfd, 1, 0) == 1) {
                    if (!read_reports(rfd, sv, ever_ready, pc)) {
                        close(rfd);
                        rfd = -1;
                    }
                    continue;
                }
            }
            if (waitpid(worker, &status, WNOHANG) == worker &&
                arcf_worker_outcome(status) != arcf_worker_end::ignore) {
                break;
            }
            wait_event(rfd, -1);
        }
        if (rfd >= 0) {
            close(rfd);
        }
        const arcf_worker_end end = arcf_worker_outcome(status);
        if (!ever_ready) {
            // The first worker never came up: the start-up failed, and the
            // starter reports it with the worker's status.
            arcf_pidfile_remove(sv.pidfile);
            if (WIFSIGNALED(status)) {
                fprintf(stderr, "%s: worker terminated with signal %d\n", progname,
                        WTERMSIG(status));
                exit(EX_SOFTWARE);
            }
            exit(WEXITSTATUS(status));
        }
        log_end(status, end);
        if (end == arcf_worker_end::final) {
            // Restarting cannot help: the parent continues the start-up as
            // the worker itself, with the pid file already naming it.
            arcf_restart_ring_free(&ring);
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = SIG_DFL;
            for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) {
                (void)sigaction(sig, &sa, nullptr);
            }
            sigset_t worker_mask = old_mask;
            sigdelset(&worker_mask, SIGCHLD);
            (void)sigprocmask(SIG_SETMASK, &worker_mask, nullptr);
            return 1;
        }
        if (sv.max_restarts > 0 && restarts >= static_cast<unsigned>(sv.max_restarts)) {
            if (dolog) {
                arcf_log(LOG_ERR, "maximum restart count exceeded");
            }
            arcf_pidfile_remove(sv.pidfile);
            exit(EX_UNAVAILABLE);
        }
        // The monotonic clock, like every other wait here: setting the
        // system's clock back must not open or close the window. One is
        // added so that no restart is ever recorded as 0, an unused slot.
        if (!arcf_restart_check(&ring, sv.rate_t, now_seconds() + 1)) {
            if (dolog) {
                arcf_log(LOG_ERR, "maximum restart rate exceeded");
            }
            arcf_pidfile_remove(sv.pidfile);
            exit(EX_UNAVAILABLE);
        }
        ++restarts;
        delay = arcf_restart_delay(delay, static_cast<long>(now_seconds() - started));
        backoff(sv, delay);
    }
}
