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
#include <sys/socket.h>

#include "velmora-config.h"
#include "velmora-main.h"

namespace {

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

int arcf_nodelay_listeners() noexcept {
    int set = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 0;
    }
    while (const struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == dirfd(dir)) {
            continue;
        }
        const int sock = static_cast<int>(fd);
        int listening = 0;
        socklen_t len = sizeof listening;
        struct sockaddr_storage ss;
        socklen_t sslen = sizeof ss;
        if (getsockopt(sock, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening == 0 ||
            getsockname(sock, reinterpret_cast<struct sockaddr*>(&ss), &sslen) != 0 ||
            (ss.ss_family != AF_INET && ss.ss_family != AF_INET6)) {
            continue;
        }
        // Linux hands the option down to every accepted connection.
        const int one = 1;
        if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0) {
            ++set;
        }
    }
    closedir(dir);
    return set;
}
