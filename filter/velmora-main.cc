// SPDX-License-Identifier: BSD-2-Clause
// velmora-main.cc - the velmora program: start-up, the worker's milter main
// loop and its end, and test mode.
//
// main() reads as the start-up in order; each step that fails exits with its
// sysexits status and a message on standard error (and in syslog once the
// configuration has switched logging on). The routines behind the steps live
// in velmora-main-*.cc.
// Memory:  the C library's allocator; the current record is freed at the end
//          only when no connection still holds it.
// Errors:  sysexits statuses; a start-up that fails after a background fork
//          reaches the starting process as its exit status.
// Threads: the main thread runs the start-up, then smfi_main(); libmilter's
//          threads run the callbacks; one detached thread turns SIGUSR1 into
//          a pending reload.
#include "velmora-main.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <mutex>

#include <libmilter/mfapi.h>
#include <openssl/opensslv.h>

#include "config.h"
#include "util.h"
#include "velmora-callbacks.h"
#include "velmora-config.h"
#include "velmora-main-options.h"
#include "velmora-metrics.h"
#include "velmora-test.h"
#include "velmora.h"

namespace {

constexpr const char* default_conffile = "/usr/local/etc/velmora.conf";

// The registration: the callbacks of every connection.
struct smfiDesc arcf_smfidesc = {
    const_cast<char*>("Velmora Filter"),  // xxfi_name
    SMFI_VERSION,                         // xxfi_version
    // Removing forged Authentication-Results fields needs SMFIF_CHGHDRS.
    SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_SETSYMLIST,  // xxfi_flags
    mlfi_connect,                                      // xxfi_connect
    nullptr,                                           // xxfi_helo
    mlfi_envfrom,                                      // xxfi_envfrom
    nullptr,                                           // xxfi_envrcpt
    mlfi_header,                                       // xxfi_header
    mlfi_eoh,                                          // xxfi_eoh
    mlfi_body,                                         // xxfi_body
    mlfi_eom,                                          // xxfi_eom
    mlfi_abort,                                        // xxfi_abort
    mlfi_close,                                        // xxfi_close
    nullptr,                                           // xxfi_unknown
    nullptr,                                           // xxfi_data
    mlfi_negotiate,                                    // xxfi_negotiate
};

// The pid file of this process (without auto-restart: the worker's; with it:
// the parent's, forgotten by each worker).
arcf_pidfile pidfile{-1, false, 0, ""};

// MetricsListen as the start-up read it: neither a reload nor a restarted
// worker moves the endpoint, so a scraper always finds it where it was.
char metrics_listen[256] = "";

// The user and group to run as.
struct run_as {
    bool ra_set = false;
    uid_t ra_uid = 0;
    gid_t ra_gid = 0;
    char ra_name[256] = "";
};

// Writes a syslog line when logging is on.
void note(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void note(int priority, const char* fmt, ...) {
    if (!dolog) {
        return;
    }
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    arcf_log(priority, "%s", line);
}

// Reads and checks the configuration file; null after printing the reason.
config_setting* read_config(const char* file) {
    unsigned int line = 0;
    char path[ARCF_PATH_SIZE] = "";
    char* deprecated = nullptr;
    config_setting* data =
        config_load(file, arcf_config_defs, &line, path, sizeof path, &deprecated);
    if (data == nullptr) {
        fprintf(stderr, "%s: %s: configuration error at line %u: %s\n", progname,
                path[0] != '\0' ? path : file, line, config_error());
        free(deprecated);
        return nullptr;
    }
    if (const char* missing = config_check(data, arcf_config_defs); missing != nullptr) {
        fprintf(stderr, "%s: %s: required parameter \"%s\" missing\n", progname, file, missing);
        free(deprecated);
        config_free(data);
        return nullptr;
    }
    if (deprecated != nullptr) {
        fprintf(stderr, "%s: %s: settings found for deprecated value(s): %s; aborting\n", progname,
                file, deprecated);
        free(deprecated);
        config_free(data);
        return nullptr;
    }
    return data;
}

// Looks up "user[:group]"; returns -1, or 65 after printing.
int lookup_user(const char* spec, run_as* ra) {
    char user[256];
    snprintf(user, sizeof user, "%s", spec);
    char* group = strchr(user, ':');
    if (group != nullptr) {
        *group++ = '\0';
    }
    auto is_number = [](const char* s) {
        return *s != '\0' && strspn(s, "0123456789") == strlen(s);
    };
    const struct group* gr = nullptr;
    if (group != nullptr) {
        gr = getgrnam(group);
        if (gr == nullptr && is_number(group)) {
            gr = getgrgid(static_cast<gid_t>(strtoul(group, nullptr, 10)));
        }
        if (gr == nullptr) {
            note(LOG_ERR, "no such group or gid '%s'", group);
            fprintf(stderr, "%s: no such group '%s'\n", progname, group);
            return EX_DATAERR;
        }
        ra->ra_gid = gr->gr_gid;
    }
    const struct passwd* pw = getpwnam(user);
    if (pw == nullptr && is_number(user)) {
        pw = getpwuid(static_cast<uid_t>(strtoul(user, nullptr, 10)));
    }
    if (pw == nullptr) {
        note(LOG_ERR, "no such user or uid '%s'", user);
        fprintf(stderr, "%s: no such user '%s'\n", progname, user);
        return EX_DATAERR;
    }
    ra->ra_uid = pw->pw_uid;
    if (group == nullptr) {
        ra->ra_gid = pw->pw_gid;
    }
    snprintf(ra->ra_name, sizeof ra->ra_name, "%s", pw->pw_name);
    ra->ra_set = true;
    return -1;
}

// Enters the root directory; returns -1, or 71 after printing.
int change_root(const char* dir, bool have_user) {
    if (!have_user && getuid() == 0) {
        note(LOG_WARNING, "using ChangeRootDirectory without Userid not advised");
        fprintf(stderr, "%s: use of ChangeRootDirectory without Userid not advised\n", progname);
    }
    if (chdir(dir) != 0) {
        note(LOG_ERR, "%s: chdir(): %s", dir, strerror(errno));
        fprintf(stderr, "%s: %s: chdir(): %s\n", progname, dir, strerror(errno));
        return EX_OSERR;
    }
    if (chroot(dir) != 0) {
        note(LOG_ERR, "%s: chroot(): %s", dir, strerror(errno));
        fprintf(stderr, "%s: %s: chroot(): %s\n", progname, dir, strerror(errno));
        return EX_OSERR;
    }
    return -1;
}

// Becomes the user: groups first, the user id last. Exits 77 on failure.
void drop_privileges(const run_as& ra) {
    if (!ra.ra_set || ra.ra_uid == getuid()) {
        return;
    }
    const char* failed = nullptr;
    if (initgroups(ra.ra_name, ra.ra_gid) != 0) {
        failed = "initgroups";
    } else if (setgid(ra.ra_gid) != 0) {
        failed = "setgid";
    } else if (setuid(ra.ra_uid) != 0) {
        failed = "setuid";
    }
    if (failed != nullptr) {
        const int err = errno;
        note(LOG_ERR, "%s(): %s", failed, strerror(err));
        fprintf(stderr, "%s: %s(): %s\n", progname, failed, strerror(err));
        arcf_pidfile_remove(&pidfile);
        exit(EX_NOPERM);
    }
}

// Forks into the background: the starting process waits for the start-up to
// finish and exits with its outcome; the new process goes on, keeping the
// starter's standard error until it reports.
void background() {
    int fds[2];
    if (arcf_pipe_cloexec(fds) != 0) {
        fprintf(stderr, "%s: pipe(): %s\n", progname, strerror(errno));
        exit(EX_OSERR);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        note(LOG_ERR, "fork(): %s", strerror(errno));
        fprintf(stderr, "%s: fork(): %s\n", progname, strerror(errno));
        exit(EX_OSERR);
    }
    if (pid > 0) {
        close(fds[1]);
        exit(arcf_await_ready(pid, fds[0]));
    }
    close(fds[0]);
    ready_fd = fds[1];
    notify_manager = false;
    arcf_stdio(true);
}

// Releases the current record unless a connection still holds it; then the
// process exits without running destructors that such a connection's thread
// may still be using.
[[noreturn]] void finish(int status) {
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        if (curconf != nullptr && curconf->conf_refcnt == 0) {
            arcf_config_free(curconf);
            curconf = nullptr;
        }
    }
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

// Test mode: the message files run through the callbacks; no socket, no
// syslog, no pid file.
[[noreturn]] void run_tests(char* files, int verbosity) {
    const int status = arcf_testfiles(curconf->conf_libarc, files, verbosity);
    finish(status);
}

// The worker: opens the milter socket and runs libmilter's main loop until
// it returns. Never returns.
[[noreturn]] void run_worker(const arcf_options& opt, int argc, char** argv) {
    if (opt.opt_milterdebug > 0) {
        (void)smfi_setdbg(opt.opt_milterdebug);
    }
    // A stale local socket goes; one another filter listens on stays.
    if (const int rc = arcf_socket_cleanup(opt.opt_sockspec); rc != 0) {
        note(LOG_ERR, "socket cleanup failed: %s", strerror(rc));
        fprintf(stderr, "%s: socket cleanup failed: %s\n", progname, strerror(rc));
        arcf_pidfile_remove(&pidfile);
        exit(EX_UNAVAILABLE);
    }
    if (smfi_register(arcf_smfidesc) == MI_FAILURE) {
        note(LOG_ERR, "smfi_register() failed");
        fprintf(stderr, "%s: smfi_register() failed\n", progname);
        arcf_pidfile_remove(&pidfile);
        exit(EX_UNAVAILABLE);
    }
    // The socket is made with UMask, so that an MTA running as a user of
    // its own can be let in through the group.
    if (curconf->conf_umask >= 0) {
        (void)umask(static_cast<mode_t>(curconf->conf_umask));
    }
    if (smfi_opensocket(false) == MI_FAILURE) {
        note(LOG_ERR, "smfi_opensocket() failed");
        fprintf(stderr, "%s: smfi_opensocket() failed\n", progname);
        arcf_pidfile_remove(&pidfile);
        exit(EX_UNAVAILABLE);
    }
    (void)arcf_nodelay_listeners();

    static char argtext[65536];
    (void)arcf_argtext(argc, argv, argtext, sizeof argtext);
    note(LOG_INFO, "%s v%s starting (%s)", ARCF_PRODUCT, ARCF_VERSION, argtext);
    if (const int rc = arcf_start_reloader(); rc != 0) {
        note(LOG_ERR, "pthread_create(): %s", strerror(rc));
        fprintf(stderr, "%s: pthread_create(): %s\n", progname, strerror(rc));
        arcf_pidfile_remove(&pidfile);
        exit(EX_OSERR);
    }
    // The metrics endpoint runs in the worker, where the counting happens,
    // with the signals blocked like every thread. It is no reason to refuse
    // mail: a failure is logged and the filter goes on without it.
    if (const char* listen = metrics_listen; listen[0] != '\0') {
        char err[512];
        const arcf_metrics_server* srv =
            arcf_metrics_start(listen, &arcf_metrics_global(), err, sizeof err);
        if (srv == nullptr) {
            note(LOG_ERR, "MetricsListen: %s; no metrics served", err);
        } else {
            note(LOG_INFO, "serving metrics for %s on port %u at /metrics", listen,
                 arcf_metrics_port(srv));
        }
    }
    // Ready: the pid file names us, and whoever waits for us is told.
    if (pidfile.pf_fd >= 0 && pidfile.pf_written == 0 && !arcf_pidfile_write(&pidfile, getpid())) {
        note(LOG_ERR, "can't write pid to %s: %s", pidfile.pf_path, strerror(errno));
    }
    arcf_report_ready();
    if (opt.opt_background) {
        arcf_quiet_stderr();
    }

    errno = 0;
    const int status = smfi_main();
    note(LOG_INFO, "%s v%s terminating with status %d, errno = %d", ARCF_PRODUCT, ARCF_VERSION,
         status, errno);
    stop_requested = true;
    (void)kill(getpid(), SIGUSR1);  // wakes the reload thread
    arcf_notify("STOPPING=1");
    arcf_pidfile_remove(&pidfile);
    finish(status);
}

}  // namespace

int main(int argc, char** argv) {
    // 0. SIGUSR1 asks for a reload and must never end the process: blocked
    // before anything else, however early it comes it waits for the reload
    // thread (or the auto-restart parent's handler) to take it.
    sigset_t reload_sig;
    sigemptyset(&reload_sig);
    sigaddset(&reload_sig, SIGUSR1);
    (void)pthread_sigmask(SIG_BLOCK, &reload_sig, nullptr);

    // 1. Who we are; the seed of random().
    const char* slash = strrchr(argv[0], '/');
    progname = slash != nullptr ? slash + 1 : argv[0];
    memset(myhostname, 0, sizeof myhostname);
    (void)gethostname(myhostname, sizeof myhostname - 1);
    srandom(static_cast<unsigned>(time(nullptr)));
    warn_nojobid = true;

    // 2. Options, before the record: -l and -r go into every record made
    // from now on, reloads included.
    arcf_options opt;
    if (const int rc = arcf_parse_options(argc, argv, &opt); rc >= 0) {
        return rc;
    }
    arcf_config* conf = arcf_config_new();
    if (conf == nullptr) {
        fprintf(stderr, "%s: malloc(): %s\n", progname, strerror(errno));
        return EX_OSERR;
    }

    // 3. The library must use the OpenSSL the filter was built with.
    if (arc_ssl_version() != static_cast<unsigned long>(OPENSSL_VERSION_NUMBER)) {
        fprintf(stderr, "%s: incompatible SSL versions (library = 0x%09lx, filter = %09lx)\n",
                progname, arc_ssl_version(), static_cast<unsigned long>(OPENSSL_VERSION_NUMBER));
        return EX_SOFTWARE;
    }

    // 4. The configuration file: -c, else the default one when readable.
    const char* file = opt.opt_conffile;
    if (file == nullptr && access(default_conffile, R_OK) == 0) {
        file = default_conffile;
        if (opt.opt_verbosity >= 2) {
            fprintf(stderr, "%s: using default configfile %s\n", progname, file);
        }
    }
    config_setting* data = nullptr;
    if (file != nullptr) {
        char err[ARCF_ERRBUF_SIZE] = "";
        if (!arcf_config_setfile(file, err)) {
            fprintf(stderr, "%s: %s\n", progname, err);
            return EX_CONFIG;
        }
        data = read_config(file);
        if (data == nullptr) {
            arcf_config_free(conf);
            return EX_CONFIG;
        }
    }
    conf->conf_data = data;

    // 5. Process settings, with the command line winning, and the user to
    // run as, looked up before the key file is checked for that user.
    if (const int rc = arcf_process_settings(data, &opt); rc >= 0) {
        return rc;
    }
    run_as ra;
    if (opt.opt_user != nullptr && !testmode) {
        if (const int rc = lookup_user(opt.opt_user, &ra); rc >= 0) {
            return rc;
        }
    }
    if (char err[ARCF_ERRBUF_SIZE] = ""; arcf_config_load(data, conf, err, opt.opt_user) != 0) {
        fprintf(stderr, "%s: %s: %s\n", progname, file != nullptr ? file : "(stdin)", err);
        arcf_config_free(conf);
        return EX_CONFIG;
    }

    // 6. -n: the configuration is good; nothing else is looked at.
    if (opt.opt_checkonly) {
        if (conf->conf_mode == 0 || (conf->conf_mode & ARC_MODE_VERIFY) != 0) {
            printf(
                "%s: note: validation removes arriving Authentication-Results fields that "
                "claim %s only where the MTA allows header changes (SMFIF_CHGHDRS); where it "
                "refuses them, validation cannot remove forged fields\n",
                progname, conf->conf_authservid != nullptr ? conf->conf_authservid : "");
        }
        arcf_config_free(conf);
        return EX_OK;
    }
    dolog = conf->conf_dolog;
    if (opt.opt_sockspec == nullptr && !testmode) {
        fprintf(stderr, "%s: milter socket must be specified\n", progname);
        if (argc == 1) {
            fprintf(stderr, "\t(use \"-?\" for help)\n");
        }
        return EX_CONFIG;
    }
    // The rule of the load: a validation-only or SigningTable configuration
    // needs no Selector or Domain.
    if (!arcf_config_can_seal(conf)) {
        fprintf(stderr, "%s: selector and domain must be specified\n", progname);
        return EX_CONFIG;
    }
    if (testmode) {
        // Test mode runs in the foreground as it was started, quietly.
        conf->conf_dolog = false;
        dolog = false;
        opt.opt_autorestart = false;
        opt.opt_background = false;
        opt.opt_user = nullptr;
        ra.ra_set = false;
        opt.opt_pidfile = nullptr;
        opt.opt_chroot = nullptr;
    }
    if (char err[ARCF_ERRBUF_SIZE] = ""; !arcf_config_chdir(conf, err)) {
        fprintf(stderr, "%s: %s\n", progname, err);
        return EX_CONFIG;
    }

    // 7. Limits and root directory, while still privileged.
    arcf_raise_nofile();
    if (opt.opt_chroot != nullptr) {
        if (const int rc = change_root(opt.opt_chroot, ra.ra_set); rc >= 0) {
            return rc;
        }
        root_entered = true;
    }
    if (conf->conf_enablecores) {
        note(LOG_WARNING, "can't enable coredumps; continuing");
        fprintf(stderr, "%s: can't enable coredumps; continuing\n", progname);
    }
    stop_requested = false;
    if (conf->conf_metricslisten != nullptr) {
        snprintf(metrics_listen, sizeof metrics_listen, "%s", conf->conf_metricslisten);
    }
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        curconf = conf;
    }

    // 8. The process shape: background, then the pid file (checked now,
    // written once the socket is open), then the auto-restart parent.
    if (opt.opt_background) {
        background();
    }
    if (opt.opt_pidfile != nullptr) {
        char err[ARCF_ERRBUF_SIZE] = "";
        const uid_t owner = ra.ra_set ? ra.ra_uid : geteuid();
        if (!arcf_pidfile_open(&pidfile, opt.opt_pidfile, owner, err, sizeof err)) {
            note(LOG_ERR, "%s", err);
            fprintf(stderr, "%s: %s\n", progname, err);
            return EX_UNAVAILABLE;
        }
    }
    if (opt.opt_autorestart) {
        // Every worker inherits the parent's identity.
        drop_privileges(ra);
        ra.ra_set = false;
        const arcf_supervisor sv{opt.opt_sockspec,      &pidfile,       opt.opt_background,
                                 opt.opt_restart_count, opt.opt_rate_n, opt.opt_rate_t};
        (void)arcf_supervise(sv);
        // The record the parent holds now: the last one a worker took.
        conf = curconf;
    }

    // 9. Signals are blocked before any thread starts; every thread inherits
    // the mask, so only sigwait() ever takes them.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int sig : {SIGUSR1, SIGHUP, SIGTERM, SIGINT}) {
        sigaddset(&sigs, sig);
    }
    if (const int rc = pthread_sigmask(SIG_BLOCK, &sigs, nullptr); rc != 0) {
        note(LOG_ERR, "pthread_sigprocmask(): %s", strerror(rc));
        fprintf(stderr, "%s: pthread_sigprocmask(): %s\n", progname, strerror(rc));
        return EX_OSERR;
    }
    drop_privileges(ra);

    // 10. The library handle, made by the user the filter runs as.
    if (const char* msg = nullptr; !arcf_config_setlib(conf, &msg)) {
        note(LOG_ERR, "can't configure ARC library: %s", msg);
        fprintf(stderr, "%s: can't configure ARC library: %s\n", progname, msg);
        arcf_pidfile_remove(&pidfile);
        return EX_SOFTWARE;
    }
    if (testmode) {
        run_tests(opt.opt_testfiles, opt.opt_verbosity);
    }
    run_worker(opt, argc, argv);
}
