// SPDX-License-Identifier: BSD-2-Clause
// velmora-main.h - the process frame's routines: restart limits and backoff,
// the pid file, start-up readiness, detaching, the argument text, the
// reload-signal thread and the milter socket's options.
//
// main() (velmora-main.cc) tells the start-up as a story; the routines it
// calls live in velmora-main-*.cc, split by concern, and are declared here so
// the unit tests reach them.
// Memory:  the C library's allocator; each record says who frees it.
// Errors:  false or -1 with a text in the caller's buffer; main() decides
//          the exit status and prints or logs once.
// Threads: everything here runs in the main thread during start-up, or in
//          the auto-restart parent, which has no other threads; the reload
//          thread only sets reload_pending.
#ifndef VELMORA_FILTER_VELMORA_MAIN_H
#define VELMORA_FILTER_VELMORA_MAIN_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// ---- Process-wide state of the frame ----

// A stop signal arrived (auto-restart parent), or the milter main loop ended.
extern std::atomic<bool> stop_requested;
// The stop signal that arrived in the auto-restart parent.
extern std::atomic<int> stop_signal;

// ---- Restarts ----

// The AutoRestartRate window: the times of the last n allowed restarts.
// Set up by arcf_restart_ring_init(), freed by arcf_restart_ring_free().
struct arcf_restart_ring {
    int64_t* ring_times;  // owns: n slots, 0 when unused
    unsigned ring_size;   // n
    unsigned ring_index;  // the next slot to fill
};

// Parses an AutoRestartRate value "N/T[smhd]" (see the settings table) into
// the count and the period in seconds. False when the value is invalid.
bool arcf_parse_rate(const char* value, unsigned* n, long* t) noexcept;
// Sets up a ring of n slots (n > 0). False when memory runs out.
bool arcf_restart_ring_init(arcf_restart_ring* ring, unsigned n) noexcept;
void arcf_restart_ring_free(arcf_restart_ring* ring) noexcept;
// True, and the restart is recorded at `now`, when fewer than n restarts
// happened within the last t seconds; a refusal changes nothing.
bool arcf_restart_check(arcf_restart_ring* ring, long t, int64_t now) noexcept;

// What the auto-restart parent does after a worker ended with `wait_status`.
enum class arcf_worker_end {
    restart,  // died by a signal or exited with a status a restart may heal
    final,    // exited 70 (software) or 78 (configuration): no restart helps
    ignore,   // stopped or continued, not ended
};
arcf_worker_end arcf_worker_outcome(int wait_status) noexcept;

// Lifetime under which a worker counts as dying young, in seconds.
constexpr long ARCF_YOUNG_WORKER = 30;
// Longest wait between two restarts, in seconds.
constexpr unsigned ARCF_MAX_RESTART_DELAY = 60;
// The wait before the next restart: one second after a worker that lived long
// enough, otherwise twice the previous wait, up to ARCF_MAX_RESTART_DELAY.
unsigned arcf_restart_delay(unsigned previous, long lifetime) noexcept;

// ---- Pid file ----

// A pid file this process opened. It is written only once the milter socket
// is open and removed only while it still holds the pid written; the
// descriptor stays open so that a process without the right to unlink it
// can still empty it.
struct arcf_pidfile {
    int pf_fd;         // the open file, or -1
    bool pf_created;   // this process created it
    pid_t pf_written;  // the pid written, 0 before
    char pf_path[1025];
};

// Opens (creating it, mode 0644, never following a link) the pid file at
// `path`. Fails, touching nothing, when the file names a process that is
// still running, is not a regular file, or already exists with more than one
// link or owned by neither `owner` (the user the daemon runs as) nor the
// superuser. Returns true, or false with the reason in err (errlen bytes).
bool arcf_pidfile_open(arcf_pidfile* pf, const char* path, uid_t owner, char* err,
                       size_t errlen) noexcept;
// Writes "%ld\n" with `pid`, replacing the contents. False with errno set.
bool arcf_pidfile_write(arcf_pidfile* pf, pid_t pid) noexcept;
// Removes the file when it still holds the pid written and is still the file
// opened; when it cannot be unlinked, empties it. Then closes it. A file never
// written is removed only if this process created it.
void arcf_pidfile_remove(arcf_pidfile* pf) noexcept;
// Closes the descriptor without touching the file (a forked worker).
void arcf_pidfile_forget(arcf_pidfile* pf) noexcept;

// ---- The auto-restart parent ----

// What the auto-restart parent needs from the start-up.
struct arcf_supervisor {
    const char* sockspec;   // borrows: the milter socket, cleaned before each fork
    arcf_pidfile* pidfile;  // borrows: opened, written once the first worker is up
    bool background;        // the parent runs detached (quiet its standard error)
    int max_restarts;       // AutoRestartCount; 0 or less: no limit
    unsigned rate_n;        // AutoRestartRate count; 0: no rate limit
    long rate_t;            // AutoRestartRate period in seconds
};
// Runs the auto-restart parent: forks workers, passes signals on, restarts
// within the limits. Returns 0 in each new worker, and 1 in the parent once a
// worker's status ended the restarting (it then continues as the worker).
// Exits the process in every other case: 0 after a stop signal, the first
// worker's status when it never came up, 69 when a limit is reached.
int arcf_supervise(const arcf_supervisor& sv) noexcept;

// ---- Detaching and readiness ----

// Points standard input and output (and error, unless keep_stderr) at
// /dev/null and starts a new session.
void arcf_stdio(bool keep_stderr) noexcept;
// Points standard error at /dev/null (once a background start-up reported).
void arcf_quiet_stderr() noexcept;

// The write end of the pipe on which this process reports to whoever waits
// for its start-up, or -1.
extern int ready_fd;
// Whether this process is the one its starter (systemd) knows: it then sends
// the service manager's notifications.
extern bool notify_manager;
// Reports that the worker is ready (socket open, library configured): writes
// to ready_fd and closes it, and notifies the service manager.
void arcf_report_ready() noexcept;
// Sends one notification to the service manager (sd_notify) when this
// process is the one it knows; nothing without NOTIFY_SOCKET, and nothing in
// a build without libsystemd.
void arcf_notify(const char* state) noexcept;
// In the starting process: waits for the child `pid` to report on `fd`.
// Returns 0 once it reported ready, else its exit status (70 after a signal,
// with a text on standard error).
int arcf_await_ready(pid_t pid, int fd) noexcept;

// ---- Start line ----

// Writes the argument text of the start line into buf (size bytes, at least
// 1): "args:" and each argument after a space, in double quotes when it holds
// a space; empty without arguments. Returns its length.
size_t arcf_argtext(int argc, char* const* argv, char* buf, size_t size) noexcept;

// ---- Worker ----

// Starts the reload-signal thread (detached). Returns 0 or an errno value.
int arcf_start_reloader() noexcept;
// Sets TCP_NODELAY on every listening inet socket of the process (the milter
// socket), so that small replies are not held back by Nagle's algorithm
// waiting for the MTA's delayed acknowledgement. Returns how many it set.
int arcf_nodelay_listeners() noexcept;

#endif  // VELMORA_FILTER_VELMORA_MAIN_H
