// SPDX-License-Identifier: BSD-2-Clause
// velmora-config-reload.cc - the process-wide configuration state, logging,
// the reference rules and the reload step.
//
// Memory:  a replaced record is freed by the reload when nobody holds it, else
//          by the last arcf_config_release().
// Errors:  the reload logs every failure and keeps the current record.
// Threads: curconf and every conf_refcnt only under conf_lock, which a reload
//          holds only to swap records; reloads are serialised by reload_lock.
//          The flags are atomics. Lock order: reload_lock, conf_lock,
//          passwd_lock.
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <cassert>

#include "util.h"
#include "velmora-config.h"
#include "velmora-metrics.h"

arcf_config* curconf = nullptr;
std::mutex conf_lock;
std::atomic<bool> reload_pending{false};
std::atomic<bool> dolog{false};
std::atomic<bool> testmode{false};
std::atomic<bool> cmdline_dolog{false};
std::atomic<bool> cmdline_reqhdrs{false};
std::atomic<bool> root_entered{false};
std::atomic<int> reload_report_fd{-1};
const char* conffile = nullptr;
char myhostname[257];
const char* progname = "velmora";

namespace {

std::atomic<arcf_log_sink> log_sink{nullptr};

// Storage of conffile.
char conffile_buf[PATH_MAX + 1];

// Owns a parsed configuration until it is attached to a record.
using config_ptr = std::unique_ptr<config_setting, c_deleter<config_free>>;

// Frees a record that never became current.
struct config_deleter {
    void operator()(arcf_config* conf) const noexcept { arcf_config_free(conf); }
};
using record_ptr = std::unique_ptr<arcf_config, config_deleter>;

// One reload at a time. Taken before conf_lock and never while holding it;
// conf_lock is held only for the swap.
std::mutex reload_lock;

// Reads conffile into a new record, outside conf_lock: the parsing, the key
// reads, the safety walk over the user database and (with `setlib`) the
// resolver's start may all take long, and connections must go on opening and
// closing meanwhile. `logging` is the current record's log switch. Returns the
// record with its parsed configuration attached, or null after logging why.
arcf_config* build_record(bool logging, bool setlib) noexcept {
    if (conffile == nullptr) {
        if (logging) {
            arcf_log(LOG_ERR, "ignoring reload signal");
        }
        return nullptr;
    }
    record_ptr conf{arcf_config_new()};
    if (!conf) {
        if (logging) {
            arcf_log(LOG_ERR, "malloc(): %s", strerror(errno));
        }
        return nullptr;
    }
    // The reader reports the file in error in its own buffer: never the
    // buffer the path is read from.
    char errpath[ARCF_PATH_SIZE] = "";
    unsigned int line = 0;
    char* deprecated = nullptr;
    config_ptr data{
        config_load(conffile, arcf_config_defs, &line, errpath, sizeof errpath, &deprecated)};
    calloc_ptr<char> deprecated_owner{deprecated};
    if (!data) {
        if (logging) {
            arcf_log(LOG_ERR, "%s: configuration error at line %u: %s", errpath, line,
                     config_error());
        }
    }
    if (deprecated != nullptr) {
        if (logging) {
            arcf_log(LOG_WARNING, "%s: settings found for deprecated value(s): %s; %s",
                     data ? conffile : errpath, deprecated, "aborting");
        }
        return nullptr;
    }
    if (!data) {
        return nullptr;
    }
    if (const char* missing = config_check(data.get(), arcf_config_defs); missing != nullptr) {
        if (logging) {
            arcf_log(LOG_ERR, "%s: required parameter \"%s\" missing", conffile, missing);
        }
        return nullptr;
    }
    char err[ARCF_ERRBUF_SIZE] = "";
    if (arcf_config_load(data.get(), conf.get(), err, nullptr) != 0) {
        if (logging) {
            arcf_log(LOG_ERR, "%s: %s", conffile, err);
        }
        return nullptr;
    }
    const char* msg = nullptr;
    if (setlib && !arcf_config_setlib(conf.get(), &msg)) {
        if (logging) {
            arcf_log(LOG_WARNING, "can't configure ARC library: %s; continuing", msg);
        }
        return nullptr;
    }
    conf->conf_data = data.release();
    return conf.release();
}

// Makes `conf` current under conf_lock; returns the record it replaced when
// nobody holds that one any more (the caller frees it, outside the lock),
// else null (the last connection holding it frees it).
arcf_config* swap_in(arcf_config* conf) noexcept {
    std::lock_guard<std::mutex> guard{conf_lock};
    arcf_config* old = curconf;
    curconf = conf;
    dolog.store(conf->conf_dolog);
    return old != nullptr && old->conf_refcnt == 0 ? old : nullptr;
}

// Tells the auto-restart parent how a reload ended: 'C' it took, 'F' it
// failed. Nothing without a parent listening.
void report_reload(bool done) noexcept {
    if (const int fd = reload_report_fd.load(); fd >= 0) {
        const char c = done ? 'C' : 'F';
        (void)!write(fd, &c, 1);
    }
}

// Performs the reload itself; true when the new configuration took over.
bool reload_now() noexcept {
    bool logging = false;
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        logging = curconf != nullptr && curconf->conf_dolog;
    }
    record_ptr conf{build_record(logging, true)};
    if (!conf) {
        return false;
    }
    // Only now, with nothing left to fail but this, may the process move.
    if (char err[ARCF_ERRBUF_SIZE] = ""; !arcf_config_chdir(conf.get(), err)) {
        if (logging) {
            arcf_log(LOG_ERR, "%s: %s", conffile, err);
        }
        return false;
    }
    const bool now_logging = conf->conf_dolog;
    if (arcf_config* old = swap_in(conf.release()); old != nullptr) {
        arcf_config_free(old);
    }
    if (now_logging) {
        arcf_log(LOG_INFO, "configuration reloaded from %s", conffile);
    }
    return true;
}

}  // namespace

// ---- Logging ----

arcf_log_sink arcf_set_log_sink(arcf_log_sink sink) noexcept {
    return log_sink.exchange(sink);
}

void arcf_log(int priority, const char* fmt, ...) noexcept {
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    syslog(priority, "%s", line);
    if (const arcf_log_sink sink = log_sink.load(); sink != nullptr) {
        sink(priority, line);
    }
}

// ---- Configuration file ----

bool arcf_config_setfile(const char* path, char* err) noexcept {
    assert(err != NULL);
    if (path == nullptr) {
        conffile = nullptr;
        return true;
    }
    int len = 0;
    if (path[0] == '/') {
        len = snprintf(conffile_buf, sizeof conffile_buf, "%s", path);
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            snprintf(err, ARCF_ERRBUF_SIZE, "getcwd(): %s", strerror(errno));
            return false;
        }
        len = snprintf(conffile_buf, sizeof conffile_buf, "%s/%s", cwd, path);
    }
    if (len < 0 || static_cast<size_t>(len) >= sizeof conffile_buf) {
        snprintf(err, ARCF_ERRBUF_SIZE, "%s: %s", path, strerror(ENAMETOOLONG));
        return false;
    }
    conffile = conffile_buf;
    return true;
}

// ---- References and reload ----

arcf_config* arcf_config_take() noexcept {
    std::lock_guard<std::mutex> guard{conf_lock};
    if (curconf != nullptr) {
        ++curconf->conf_refcnt;
    }
    return curconf;
}

void arcf_config_release(arcf_config* conf) noexcept {
    assert(conf != NULL);
    std::lock_guard<std::mutex> guard{conf_lock};
    assert(conf->conf_refcnt > 0);
    if (--conf->conf_refcnt == 0 && conf != curconf) {
        arcf_config_free(conf);
    }
}

void arcf_config_reload() noexcept {
    // Cheap test first: most connections find nothing to do.
    while (reload_pending.load()) {
        // A connection that finds a reload running goes on with the record
        // in force rather than wait for it. The thread running it looks at
        // the flag again once it has let go of the lock, so a request made
        // meanwhile is served all the same.
        std::unique_lock<std::mutex> running{reload_lock, std::try_to_lock};
        if (!running.owns_lock() || !reload_pending.exchange(false)) {
            return;
        }
        const bool done = reload_now();
        arcf_metrics_global().count_reload(done);
        report_reload(done);
    }
}

arcf_config* arcf_config_read(bool logging) noexcept {
    return build_record(logging, false);
}
