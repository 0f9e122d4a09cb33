// SPDX-License-Identifier: BSD-2-Clause
// velmora-config.h - the filter's settings table, the configuration record,
// its loading and reload, and the process-wide configuration state.
//
// Memory:  the C library's allocator; a record is made by arcf_config_new()
//          and freed with arcf_config_free() once nobody holds it.
// Errors:  load and set-up return a status with the text in a caller's buffer
//          or a fixed text; the reload logs its failures and keeps the record
//          in force. Log lines go through arcf_log().
// Threads: curconf and every conf_refcnt change only under conf_lock; a record
//          is read-only while anyone holds it. Lock order: conf_lock before
//          passwd_lock, never the other way; a reload builds its record
//          without either and takes conf_lock only to swap it in.
#ifndef VELMORA_FILTER_VELMORA_CONFIG_H
#define VELMORA_FILTER_VELMORA_CONFIG_H

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "config.h"
#include "velmora-ar.h"
#include "velmora-lists.h"
#include "velmora-signtable.h"
#include "velmora.h"

// ---- Settings ----

// Size of every error buffer handed to the loader, NUL included.
constexpr size_t ARCF_ERRBUF_SIZE = 1025;
// Size of the path buffers of the loader (MAXPATHLEN + 1).
constexpr size_t ARCF_PATH_SIZE = 1025;
// Header data limit of a new record.
constexpr int64_t ARCF_DEFAULT_MAXHDRSZ = 65536;
// Smallest RSA key accepted when MinimumKeyBits is not set.
constexpr uint32_t ARCF_DEFAULT_MINKEYBITS = 1024;
// Seconds the key lookups of one message may take when DNSTimeout is not set,
// and the largest value it takes (an MTA gives up on a filter after minutes).
constexpr uint32_t ARCF_DEFAULT_DNSTIMEOUT = 5;
constexpr uint32_t ARCF_MAX_DNSTIMEOUT = 300;

// The settings table handed to config_load() and config_check(): every key of
// the configuration file with its kind, ended by a row with a null name.
// Process settings (Socket, PidFile, AutoRestart, UMask, ...) are rows here
// too; the process frame reads them from the parsed configuration.
extern const config_def arcf_config_defs[];

// The bounds of the integer setting `name` (ignoring case) into *min and
// *max; false when it is not an integer setting of the table.
bool arcf_config_integer_bounds(const char* name, long long* min, long long* max) noexcept;
// Checks every integer setting of `data` (null: nothing to check) against its
// bounds. False with "NAME VALUE is not from MIN to MAX" in err
// (ARCF_ERRBUF_SIZE bytes) for the first one outside them.
bool arcf_config_check_integers(config_setting* data, char* err) noexcept;

// ---- The record ----

// One complete configuration. Created by arcf_config_new(), filled by
// arcf_config_load() and arcf_config_setlib(), made current by the start-up or
// the reload, and freed with arcf_config_free() by whoever drops the last
// reference. Texts marked borrowed point into conf_data (or, before the record
// becomes current, into the parsed configuration it was loaded from) and live
// as long as the record.
struct arcf_config {
    bool conf_dolog;                 // log to syslog (Syslog, or -l)
    bool conf_enablecores;           // EnableCoredumps
    bool conf_reqhdrs;               // require basic RFC 5322 compliance (-r only)
    bool conf_addswhdr;              // SoftwareHeader: add an ARC-Filter field
    bool conf_safekeys;              // an insecure key file fails the load; always set
    bool conf_keeptmpfiles;          // KeepTemporaryFiles
    bool conf_finalreceiver;         // FinalReceiver: add the chain of custody
    int32_t conf_refcnt;             // connections holding the record; under conf_lock
    int32_t conf_mode;               // ARC_MODE_SIGN and/or ARC_MODE_VERIFY bits, or 0
    int32_t conf_canonhdr;           // header canonicalization, ARC_CANON_*
    int32_t conf_canonbody;          // body canonicalization, ARC_CANON_*
    int32_t conf_signalg;            // signing algorithm, ARC_ALG_* (never -1 once loaded)
    int32_t conf_umask;              // UMask as a mode mask, or -1 when not set
    uint64_t conf_fixedtime;         // FixedTimestamp in seconds, 0 = none
    const char* conf_selector;       // borrows: Selector
    const char* conf_keyfile;        // borrows: KeyFile as written
    const char* conf_tmpdir;         // borrows: TemporaryDirectory
    char* conf_authservid;           // owns: the authserv-id
    const char* conf_domain;         // borrows: Domain
    char* conf_signhdrs;             // borrows: SignHeaders (cut at commas by setlib)
    char** conf_signhdrs_list;       // owns the array only: SignHeaders split
    char* conf_oversignhdrs;         // borrows: OverSignHeaders (cut likewise)
    char** conf_oversignhdrs_list;   // owns the array only: OverSignHeaders split
    char* conf_keyrecordfile;        // owns: KeyRecordFile resolved against BaseDirectory
    char* conf_basedir;              // owns: BaseDirectory, entered by arcf_config_chdir()
    unsigned char* conf_keydata;     // owns: the key file's bytes plus a NUL
    size_t conf_keylen;              // the key file's size plus one
    int64_t conf_maxhdrsz;           // header data limit; 0 or less: none
    config_setting* conf_data;       // owns: the parsed configuration, once current
    arc_library* conf_libarc;        // owns: the library handle (arcf_config_setlib)
    arcf_list* conf_peers;           // owns: PeerList entries
    arcf_list* conf_internal;        // owns: InternalHosts entries
    arcf_list* conf_sealchecks;      // owns: SealHeaderChecks entries
    bool conf_safealgs;              // RequireSafeAlgorithms: refuse rsa-sha1 in validation
    bool conf_oldestpass;            // OldestPass: report header.oldest-pass of passing chains
    uint32_t conf_minkeybits;        // MinimumKeyBits: smallest RSA key accepted (1024)
    int conf_keybits;                // bits of the KeyFile RSA key; 0: none, or Ed25519
    const char* conf_metricslisten;  // borrows: MetricsListen, or null (no endpoint)
    char* conf_trustedtext;          // owns: TrustedAuthservIDs, cut into conf_trustedids
    char** conf_trustedids;          // owns the array only: the trusted authserv-ids, or null
    arcf_signtable* conf_signtable;  // owns: SigningTable, or null
    bool conf_stubresolver;          // Resolver stub: the C library's resolver, not unbound
    char* conf_resolverconf;         // owns: ResolverConfiguration (absolute), or null
    char* conf_trustanchors;         // owns: TrustAnchorFile (absolute), or null: no DNSSEC
    uint32_t conf_dnstimeout;        // DNSTimeout: seconds of key lookups per message
    bool conf_dnstempfail;           // DNSErrorAction tempfail: defer when a lookup may pass later
    bool conf_resolverset;           // arcf_config_setlib() started the unbound resolver
    char conf_resolvererr[ARCF_ERRBUF_SIZE];  // setlib's message when the resolver did not start

    // Set once this record has logged that it seals with relaxed header
    // canonicalization because the MTA did not keep leading blanks.
    mutable std::atomic<bool> conf_relaxednoted;
};

// When `id` is this host's authserv-id or one of TrustedAuthservIDs (the same
// domain, as ares_same_id() compares), whose Authentication-Results fields are
// this ADMD's own, returns the configured text it matched (owned by the
// record); else null.
const char* arcf_config_ours(const arcf_config* conf, const char* id) noexcept;
// How the Authentication-Results field value `value` stands to this ADMD: the
// strongest claim (unreadable, ambiguous, ours, other, in that order) it makes
// on this host's authserv-id or one of TrustedAuthservIDs, as ares_claims()
// decides it. *which gets the configured text claimed (owned by the record),
// or null for ares_claim::other and ares_claim::unreadable.
ares_claim arcf_config_claim(const arcf_config* conf, const char* value,
                             const char** which) noexcept;

// ---- Process-wide state ----

// The current record. Read and replaced only under conf_lock; connections
// reach it through arcf_config_take() and never read it directly afterwards.
extern arcf_config* curconf;
// Guards curconf and every conf_refcnt; a reload holds it only to swap in
// the record it built. Lock order: conf_lock before passwd_lock.
extern std::mutex conf_lock;
// A reload was requested. Set without the lock (reload-signal thread, or
// inherited from the auto-restart parent); read and cleared by
// arcf_config_reload() under conf_lock.
extern std::atomic<bool> reload_pending;
// Copy of curconf->conf_dolog for code with no record at hand; updated at
// start-up and by each successful reload.
extern std::atomic<bool> dolog;
// Test mode (-t): the action layer calls the test operations. Fixed before the
// first callback runs.
extern std::atomic<bool> testmode;
// Command-line choices that every new record takes before it is loaded, so
// that they survive reloads: -l (log to syslog) and -r (require basic header
// compliance). Set by the process frame before any thread starts.
extern std::atomic<bool> cmdline_dolog;
extern std::atomic<bool> cmdline_reqhdrs;
// The process has entered ChangeRootDirectory: from then on the files the
// library reads later (KeyRecordFile, the resolver's) are checked at the
// paths as written, not below that directory. Set by the process frame.
extern std::atomic<bool> root_entered;
// Absolute path of the configuration file in use, or null when none was read.
// Set once at start-up with arcf_config_setfile(), before any thread starts.
extern const char* conffile;
// This host's name (gethostname at start-up); the default authserv-id.
extern char myhostname[257];
// The program's name: syslog identity and prefix of standard-error messages.
extern const char* progname;

// ---- Logging ----

// Receives every line arcf_log() writes, with its priority, after syslog got
// it. Used by tests to see the log; null (the default) means syslog only.
using arcf_log_sink = void (*)(int priority, const char* line);
// Installs `sink` (null removes it); returns the previous one.
arcf_log_sink arcf_set_log_sink(arcf_log_sink sink) noexcept;
// Writes one line to syslog at `priority` and hands it to the sink. The caller
// decides whether logging is on (conf_dolog); this function always writes.
void arcf_log(int priority, const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
// Looks up a SyslogFacility name (ignoring case); -1 when it is not known.
int arcf_facility(const char* name) noexcept;

// ---- Loading and set-up ----

// Remembers the configuration file for reloads as an absolute path (resolved
// against the current directory now, so a later change of directory does not
// move it); null forgets it. Returns false with a text in err (ARCF_ERRBUF_SIZE
// bytes) when the path cannot be made absolute. Call before any thread starts.
bool arcf_config_setfile(const char* path, char* err) noexcept;
// Creates an empty record: zero-filled, conf_maxhdrsz 65536, conf_safekeys set,
// conf_umask -1, conf_dnstimeout 5, and conf_dolog / conf_reqhdrs set from cmdline_dolog /
// cmdline_reqhdrs. Returns null when memory runs out; the caller frees it with
// arcf_config_free().
arcf_config* arcf_config_new() noexcept;
// Fills `conf` from the parsed configuration `data` (null: no file was read)
// and reads the lists, the key file and the key record file. `user` is the -u
// value (a name or decimal uid, optionally ":group"); when null, UserID is
// read instead; its user part names the user the key file must be safe for.
// Relative PeerList, InternalHosts, KeyFile and KeyRecordFile paths are taken
// from BaseDirectory; the loader checks that directory but does not enter it
// (see arcf_config_chdir()). Returns 0, or -1 with the reason in err
// (ARCF_ERRBUF_SIZE bytes); the record is then to be discarded. Never touches
// the library handle, the working directory or `data`'s ownership: borrowed
// texts point into `data`, which must live as long as the record.
int arcf_config_load(config_setting* data, arcf_config* conf, char* err, const char* user) noexcept;
// True when the loaded record has what its mode needs to seal: it only
// validates (Mode v), or it has a SigningTable, or Selector, Domain and a key.
// The load already demands this of a configuration file; start-up asks the
// same of a run without one.
bool arcf_config_can_seal(const arcf_config* conf) noexcept;
// Creates the record's library handle when it has none and hands it the
// record's options; unless Resolver is stub or KeyRecordFile is set, it also
// starts the handle's unbound resolver (once per record). Returns true; on
// failure false with *msg pointing at a fixed text ("failed to initialize ARC
// library" or "failed to set ARC library options") or, when the resolver did
// not start, at "failed to start the resolver: REASON" held by the record.
bool arcf_config_setlib(arcf_config* conf, const char** msg) noexcept;
// Changes into the record's BaseDirectory, if it has one. Call once the record
// has been loaded and set up and is about to become current. Returns true, or
// false with "DIR: chdir(): TEXT" in err (ARCF_ERRBUF_SIZE bytes).
bool arcf_config_chdir(const arcf_config* conf, char* err) noexcept;
// Releases a record nobody holds: its library handle (when it has one), texts,
// lists, key data, parsed configuration and the record itself. Asserts
// "conf != NULL" and "conf->conf_refcnt == 0".
void arcf_config_free(arcf_config* conf) noexcept;

// ---- References and reload ----

// Under conf_lock: takes a counted reference on curconf and returns it (null
// when there is no current record). The caller keeps it until
// arcf_config_release().
arcf_config* arcf_config_take() noexcept;
// Under conf_lock: drops one reference; a record that is no longer current is
// freed by its last release. Asserts "conf != NULL".
void arcf_config_release(arcf_config* conf) noexcept;
// Performs a pending reload: re-reads conffile into a new record outside
// conf_lock (reading, checking and library set-up all happen while
// connections go on with the record in force), then makes it current under
// conf_lock and frees the replaced one, when nobody holds it, after the lock
// is released. On any failure logs the reason (when the current record logs)
// and keeps the current record and working directory. Clears reload_pending
// in every case and reports the outcome on reload_report_fd. Safe to call
// from any thread at any time; does nothing when no reload is pending, and
// returns at once, leaving the work to it, when another thread is reloading.
void arcf_config_reload() noexcept;
// Reads conffile into a new record as a reload does, without a library
// handle (the auto-restart parent keeps it for the workers it starts).
// Returns it with its parsed configuration attached, or null after logging
// the reason when `logging`. The caller owns it (arcf_config_free()).
arcf_config* arcf_config_read(bool logging) noexcept;
// Descriptor on which each reload reports its outcome, one byte: 'C' the new
// configuration took over, 'F' it did not; -1 (the default) for none. Set by
// the auto-restart parent's worker before any thread starts.
extern std::atomic<int> reload_report_fd;

#endif  // VELMORA_FILTER_VELMORA_CONFIG_H
