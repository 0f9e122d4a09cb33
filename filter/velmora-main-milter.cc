// SPDX-License-Identifier: BSD-2-Clause
// velmora-main-milter.cc - the worker's side of the milter library: the
// reload-signal thread and the options of the listening socket.
//
// Memory:  none.
// Errors:  errno values; the caller logs and exits.
// Threads: the reload thread is detached and only sets reload_pending; the
//          socket options are set by the main thread before smfi_main().
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "velmora-config.h"
#include "velmora-main.h"

namespace {

// The most descriptors probed one by one when procfs cannot list them: the
// milter socket, opened at start-up, has one of the lowest free numbers.
constexpr long max_probed_fds = 1L << 20;

// The reload-signal thread: SIGUSR1 becomes a pending reload, which the next
// connection performs under conf_lock. Ends once the filter stops.
void* arcf_reloader(void*) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    while (!stop_requested) {
        int sig = 0;
        if (sigwait(&usr1, &sig) != 0) {
            continue;
        }
        if (stop_requested) {
            break;
        }
        if (conffile != nullptr) {
            reload_pending = true;
        }
    }
    return nullptr;
}

}  // namespace

int arcf_start_reloader() noexcept {
    pthread_t tid;
    if (const int rc = pthread_create(&tid, nullptr, arcf_reloader, nullptr); rc != 0) {
        return rc;
    }
    return pthread_detach(tid);
}

namespace {

// Sets TCP_NODELAY on fd when it is a listening inet socket; true when set.
bool nodelay_if_listener(int fd) noexcept {
#if VELMORA_HAVE_TCP_NODELAY
#if VELMORA_HAVE_SO_ACCEPTCONN
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening == 0) {
        return false;
    }
#endif
    // Without SO_ACCEPTCONN any inet stream socket open at start-up gets the
    // option; the option is harmless on the others.
    int type = 0;
    socklen_t typelen = sizeof type;
    struct sockaddr_storage ss;
    socklen_t sslen = sizeof ss;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typelen) != 0 || type != SOCK_STREAM ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &sslen) != 0 ||
        (ss.ss_family != AF_INET && ss.ss_family != AF_INET6)) {
        return false;
    }
    // Linux and the BSDs hand the option down to every accepted connection.
    const int one = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
#else
    (void)fd;
    return false;
#endif
}

// Through procfs: one directory read lists the open descriptors. False when
// the directory cannot be read (no procfs, or not inside the changed root).
bool nodelay_from_procfs(int& set) noexcept {
#if VELMORA_HAVE_PROC_SELF_FD
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    while (const struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == dirfd(dir)) {
            continue;
        }
        set += nodelay_if_listener(static_cast<int>(fd)) ? 1 : 0;
    }
    closedir(dir);
    return true;
#else
    (void)set;
    return false;
#endif
}

}  // namespace

int arcf_nodelay_listeners() noexcept {
    int set = 0;
    if (nodelay_from_procfs(set)) {
        return set;
    }
    // Every descriptor below the open-files limit, in turn; closed ones fail
    // getsockopt() at once.
    struct rlimit rl;
    long limit = sysconf(_SC_OPEN_MAX);
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        (limit < 0 || rl.rlim_cur < static_cast<rlim_t>(limit))) {
        limit = static_cast<long>(rl.rlim_cur);
    }
    if (limit < 0 || limit > max_probed_fds) {
        limit = max_probed_fds;
    }
    for (long fd = 0; fd < limit; ++fd) {
        set += nodelay_if_listener(static_cast<int>(fd)) ? 1 : 0;
    }
    return set;
}
