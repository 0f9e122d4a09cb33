// SPDX-License-Identifier: BSD-2-Clause
// velmora-config.cc - the settings table and the configuration record: its
// creation, loading from a parsed configuration, library set-up and release.
//
// Memory:  calloc/malloc/free; a record owns what its comment says it owns.
//          Key data is wiped before it is freed.
// Errors:  arcf_config_load() writes one text into the caller's 1025-byte
//          buffer and, for key-file failures, logs it when the record logs.
// Threads: a record being loaded belongs to one thread; the user database is
//          read under passwd_lock, which is taken after conf_lock.
#include "velmora-config.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <iterator>
#include <string_view>

#include "util.h"
#include "velmora-metrics.h"
#include "velmora-securefile.h"
#include "velmora-signtable.h"

// ---- Settings table ----

constinit const config_def arcf_config_defs[] = {
    {"AuthservID", CONFIG_TYPE_STRING, 0},
    {"AutoRestart", CONFIG_TYPE_BOOLEAN, 0},
    {"AutoRestartCount", CONFIG_TYPE_INTEGER, 0},
    {"AutoRestartRate", CONFIG_TYPE_STRING, 0},
    {"Background", CONFIG_TYPE_BOOLEAN, 0},
    {"BaseDirectory", CONFIG_TYPE_STRING, 0},
    {"Canonicalization", CONFIG_TYPE_STRING, 0},
    {"ChangeRootDirectory", CONFIG_TYPE_STRING, 0},
    {"Domain", CONFIG_TYPE_STRING, 0},
    {"EnableCoredumps", CONFIG_TYPE_BOOLEAN, 0},
    {"FinalReceiver", CONFIG_TYPE_BOOLEAN, 0},
    {"FixedTimestamp", CONFIG_TYPE_STRING, 0},
    {"Include", CONFIG_TYPE_INCLUDE, 0},
    {"InternalHosts", CONFIG_TYPE_STRING, 0},
    {"KeepTemporaryFiles", CONFIG_TYPE_BOOLEAN, 0},
    {"KeyFile", CONFIG_TYPE_STRING, 0},
    {"MaximumHeaders", CONFIG_TYPE_INTEGER, 0},
    {"MilterDebug", CONFIG_TYPE_INTEGER, 0},
    {"Mode", CONFIG_TYPE_STRING, 0},
    {"PeerList", CONFIG_TYPE_STRING, 0},
    {"PidFile", CONFIG_TYPE_STRING, 0},
    {"Selector", CONFIG_TYPE_STRING, 0},
    {"SignatureAlgorithm", CONFIG_TYPE_STRING, 0},
    {"SignHeaders", CONFIG_TYPE_STRING, 0},
    {"OverSignHeaders", CONFIG_TYPE_STRING, 0},
    {"SealHeaderChecks", CONFIG_TYPE_STRING, 0},
    {"Socket", CONFIG_TYPE_STRING, 0},
    {"SoftwareHeader", CONFIG_TYPE_BOOLEAN, 0},
    {"Syslog", CONFIG_TYPE_BOOLEAN, 0},
    {"SyslogFacility", CONFIG_TYPE_STRING, 0},
    {"TemporaryDirectory", CONFIG_TYPE_STRING, 0},
    {"UserID", CONFIG_TYPE_STRING, 0},
    // Key records ("selector._domainkey.domain record" lines) read from a file
    // instead of DNS; default none (DNS).
    {"KeyRecordFile", CONFIG_TYPE_STRING, 0},
    // File-mode creation mask in octal, set before the milter socket is
    // created; default none (the inherited mask).
    {"UMask", CONFIG_TYPE_STRING, 0},
    // Address and port of the Prometheus metrics endpoint; default none (off).
    {"MetricsListen", CONFIG_TYPE_STRING, 0},
    // Smallest RSA key accepted, in bits; default 1024.
    {"MinimumKeyBits", CONFIG_TYPE_INTEGER, 0},
    // Refuse rsa-sha1 in validation; default false.
    {"RequireSafeAlgorithms", CONFIG_TYPE_BOOLEAN, 0},
    // Sealing identities chosen by the envelope sender's domain; default none.
    {"SigningTable", CONFIG_TYPE_STRING, 0},
    // Further authserv-ids of this ADMD, comma-separated; default none.
    {"TrustedAuthservIDs", CONFIG_TYPE_STRING, 0},
    // Report header.oldest-pass of passing chains; default false.
    {"OldestPass", CONFIG_TYPE_BOOLEAN, 0},
    // How keys are looked up in DNS: "unbound" (default) or "stub".
    {"Resolver", CONFIG_TYPE_STRING, 0},
    // An unbound configuration file for the unbound resolver; default none
    // (forward to the name servers of /etc/resolv.conf).
    {"ResolverConfiguration", CONFIG_TYPE_STRING, 0},
    // DNSSEC trust anchors (DS or DNSKEY records); default none (no DNSSEC).
    {"TrustAnchorFile", CONFIG_TYPE_STRING, 0},
    // Seconds the key lookups of one message may take in all; default 5.
    {"DNSTimeout", CONFIG_TYPE_INTEGER, 0},
    // "fail" (default) or "tempfail": what a lookup that may pass later does.
    {"DNSErrorAction", CONFIG_TYPE_STRING, 0},
    {nullptr, -1, 0},
};

namespace {

// ---- Value tables ----

struct name_code {
    std::string_view name;
    int code;
};

constexpr name_code canon_names[] = {{"simple", ARC_CANON_SIMPLE}, {"relaxed", ARC_CANON_RELAXED}};
static_assert(std::size(canon_names) == 2, "one row per ARC_CANON_* code");
constexpr name_code alg_names[] = {{"rsa-sha1", ARC_ALG_RSASHA1},
                                   {"rsa-sha256", ARC_ALG_RSASHA256},
                                   {"ed25519-sha256", ARC_ALG_ED25519SHA256}};
static_assert(std::size(alg_names) == 3, "one row per ARC_ALG_* code");

// The name of an ARC_ALG_* code.
const char* alg_name(int alg) noexcept {
    for (const name_code& row : alg_names) {
        if (row.code == alg) {
            return row.name.data();  // the rows are literals: NUL-terminated
        }
    }
    return "?";
}
constexpr name_code facility_names[] = {
    {"auth", LOG_AUTH},     {"cron", LOG_CRON},     {"daemon", LOG_DAEMON}, {"kern", LOG_KERN},
    {"lpr", LOG_LPR},       {"mail", LOG_MAIL},     {"news", LOG_NEWS},     {"security", LOG_AUTH},
    {"syslog", LOG_SYSLOG}, {"user", LOG_USER},     {"uucp", LOG_UUCP},     {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
    {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};
static_assert(std::size(facility_names) == 19, "eleven names and local0 to local7");
// Resolver values: whether the value names the stub resolver.
constexpr name_code resolver_names[] = {{"unbound", 0}, {"stub", 1}};
// DNSErrorAction values: whether the value defers the message.
constexpr name_code dnsaction_names[] = {{"fail", 0}, {"tempfail", 1}};

// The bounds of every integer setting, checked before any is used; a value
// outside them fails the load rather than being cut to fit.
struct int_bounds {
    std::string_view name;
    long long min;
    long long max;
    const char* unit;  // after the bounds in the message
};
constexpr int_bounds integer_bounds[] = {
    {"AutoRestartCount", 0, INT32_MAX, ""},
    {"MaximumHeaders", INT32_MIN, INT32_MAX, ""},
    {"MilterDebug", 0, 6, ""},
    {"MinimumKeyBits", 1024, 16384, ""},
    {"DNSTimeout", 1, ARCF_MAX_DNSTIMEOUT, " seconds"},
};

// Returns the code of the first row named `name` ignoring case, or -1.
template <size_t N>
int lookup(const name_code (&table)[N], std::string_view name) noexcept {
    for (const auto& row : table) {
        if (row.name.size() == name.size() &&
            strncasecmp(row.name.data(), name.data(), name.size()) == 0) {
            return row.code;
        }
    }
    return -1;
}

// ---- Helpers ----

// Formats into the caller's error buffer.
__attribute__((format(printf, 2, 3))) void set_error(char* err, const char* fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, ARCF_ERRBUF_SIZE, fmt, ap);
    va_end(ap);
}

// Reads a string setting; null when absent.
char* get_text(config_setting* data, const char* name) noexcept {
    char* value = nullptr;
    config_get(data, name, &value, sizeof value);
    return value;
}

// Reads a boolean setting into `field` when present.
void get_bool(config_setting* data, const char* name, bool& field) noexcept {
    config_get(data, name, &field, sizeof field);
}

// Returns a malloc'd copy of `dir` + "/" + `path` for a relative path when a
// base directory is set, else of `path`; null when memory runs out.
char* resolve(const char* basedir, const char* path) noexcept {
    char* out = nullptr;
    if (basedir == nullptr || path[0] == '/') {
        out = strdup(path);
    } else if (asprintf(&out, "%s/%s", basedir, path) < 0) {
        out = nullptr;
    }
    return out;
}

// Splits a Canonicalization value into the two codes; false when a part
// names no table row.
bool parse_canon(const char* value, int32_t& hdr, int32_t& body) noexcept {
    const std::string_view text{value};
    const size_t slash = text.find('/');
    const int h = lookup(canon_names, text.substr(0, slash));
    const int b = slash == std::string_view::npos ? ARC_CANON_SIMPLE
                                                  : lookup(canon_names, text.substr(slash + 1));
    if (h < 0 || b < 0) {
        return false;
    }
    hdr = h;
    body = b;
    return true;
}

// Parses a UMask value: one to four octal digits, at most 0777.
bool parse_umask(const char* value, int32_t& out) noexcept {
    const size_t len = strlen(value);
    if (len == 0 || len > 4 || strspn(value, "01234567") != len) {
        return false;
    }
    const long mask = strtol(value, nullptr, 8);
    if (mask > 0777) {
        return false;
    }
    out = static_cast<int32_t>(mask);
    return true;
}

// Looks the user part of `user` (cut at the first ":") up by name, else as a
// decimal uid. False when neither finds an entry.
bool lookup_user(const char* user, uid_t& uid) noexcept {
    const std::string_view spec{user};
    char name[ARCF_PATH_SIZE];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(spec.substr(0, spec.find(':')).size()),
             user);
    std::lock_guard<std::mutex> guard{passwd_lock};
    if (const struct passwd* pw = getpwnam(name); pw != nullptr) {
        uid = pw->pw_uid;
        return true;
    }
    const size_t len = strlen(name);
    if (len == 0 || strspn(name, "0123456789") != len) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long n = strtoul(name, &end, 10);
    if (errno != 0 || n > UINT32_MAX - 1) {
        return false;
    }
    const struct passwd* pw = getpwuid(static_cast<uid_t>(n));
    if (pw == nullptr) {
        return false;
    }
    uid = pw->pw_uid;
    return true;
}

// Reports a key-file failure: logs it when the record logs and leaves it in err.
__attribute__((format(printf, 3, 4))) int key_error(const arcf_config* conf, char* err,
                                                    const char* fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, ARCF_ERRBUF_SIZE, fmt, ap);
    va_end(ap);
    if (conf->conf_dolog) {
        arcf_log(LOG_ERR, "%s", err);
    }
    return -1;
}

// Reads the key file at `path` into the record, after the safety check for
// `user` (null: the effective uid).
int load_key(arcf_config* conf, const char* path, const char* user, char* err) noexcept {
    struct stat st;
    char why[ARCF_ERRBUF_SIZE];
    unique_fd fd{arcf_open_regular(path, false, &st, why, sizeof why)};
    if (!fd) {
        return key_error(conf, err, "%s", why);
    }
    uid_t uid = static_cast<uid_t>(-1);
    if (user != nullptr && !lookup_user(user, uid)) {
        // The text names the user part only.
        const std::string_view spec{user};
        set_error(err, "%.*s: no such user",
                  static_cast<int>(spec.substr(0, spec.find(':')).size()), user);
        return -1;
    }

    char reason[ARCF_ERRBUF_SIZE] = "";
    uint64_t ino = UINT64_MAX;
    const int safe = arcf_securefile(path, &ino, static_cast<uint32_t>(uid), reason, sizeof reason);
    if (safe < 0) {
        // The check could not be made (user unknown, path gone): a key that
        // cannot be shown safe is treated as unsafe.
        snprintf(reason, sizeof reason, "%s: can't check the key file's safety", path);
    }
    if (safe <= 0 || (ino != UINT64_MAX && ino != static_cast<uint64_t>(st.st_ino))) {
        if (reason[0] == '\0') {
            snprintf(reason, sizeof reason, "%s is not the file that was opened", path);
        }
        if (conf->conf_dolog) {
            arcf_log(conf->conf_safekeys ? LOG_ERR : LOG_WARNING, "%s: key data is not secure: %s",
                     path, reason);
        }
        if (conf->conf_safekeys) {
            set_error(err, "%s", reason);
            return -1;
        }
    }

    const size_t size = static_cast<size_t>(st.st_size);
    calloc_ptr<unsigned char> buf{static_cast<unsigned char*>(malloc(size + 1))};
    if (!buf) {
        return key_error(conf, err, "malloc(): %s", strerror(errno));
    }
    const ssize_t got = read(fd.get(), buf.get(), size + 1);
    if (got < 0) {
        explicit_bzero(buf.get(), size + 1);
        return key_error(conf, err, "%s: read(): %s", path, strerror(errno));
    }
    if (static_cast<size_t>(got) != size) {
        explicit_bzero(buf.get(), size + 1);
        return key_error(conf, err, "%s: read() wrong size (%lu)", path,
                         static_cast<unsigned long>(got));
    }
    buf.get()[size] = '\0';
    conf->conf_keylen = size + 1;
    conf->conf_keydata = buf.release();
    return 0;
}

// Loads one list file into *list; false with the text in err.
bool load_list(arcf_list** list, const char* path, char* err) noexcept {
    const char* why = nullptr;
    if (!arcf_list_load(list, path, &why)) {
        set_error(err, "%s: arcf_list_load(): %s", path, why);
        return false;
    }
    return true;
}

// Cuts a TrustedAuthservIDs value into the record: comma-separated ids,
// blanks around each one dropped, empty ones skipped.
int load_trusted(arcf_config* conf, const char* value, char* err) noexcept {
    conf->conf_trustedtext = strdup(value);
    if (conf->conf_trustedtext == nullptr) {
        set_error(err, "malloc(): %s", strerror(errno));
        return -1;
    }
    size_t n = 1;
    for (const char* p = value; *p != '\0'; ++p) {
        n += *p == ',' ? 1 : 0;
    }
    conf->conf_trustedids = static_cast<char**>(calloc(n + 1, sizeof(char*)));
    if (conf->conf_trustedids == nullptr) {
        set_error(err, "malloc(): %s", strerror(errno));
        return -1;
    }
    size_t used = 0;
    char* save = nullptr;
    for (char* id = strtok_r(conf->conf_trustedtext, ",", &save); id != nullptr;
         id = strtok_r(nullptr, ",", &save)) {
        id += strspn(id, " \t");
        size_t len = strlen(id);
        while (len > 0 && (id[len - 1] == ' ' || id[len - 1] == '\t')) {
            id[--len] = '\0';
        }
        if (len == 0) {
            continue;
        }
        if (strpbrk(id, " \t;()\"") != nullptr) {
            set_error(err, "TrustedAuthservIDs: \"%s\" is not an authserv-id", id);
            return -1;
        }
        conf->conf_trustedids[used++] = id;
    }
    return 0;
}

// Reads the settings of monitoring, trust and crypto policy.
int load_ops_settings(config_setting* data, arcf_config* conf, char* err) noexcept {
    get_bool(data, "RequireSafeAlgorithms", conf->conf_safealgs);
    get_bool(data, "OldestPass", conf->conf_oldestpass);
    // In bounds (RFC 8301: never below 1024 bits): arcf_config_check_integers().
    if (int bits = 0; config_get(data, "MinimumKeyBits", &bits, sizeof bits) == 1) {
        conf->conf_minkeybits = static_cast<uint32_t>(bits);
    }
    conf->conf_metricslisten = get_text(data, "MetricsListen");
    if (conf->conf_metricslisten != nullptr) {
        struct sockaddr_storage ss;
        socklen_t len = 0;
        char why[ARCF_ERRBUF_SIZE];
        if (!arcf_metrics_listen_parse(conf->conf_metricslisten, &ss, &len, why, sizeof why)) {
            set_error(err, "MetricsListen: %s", why);
            return -1;
        }
    }
    if (const char* trusted = get_text(data, "TrustedAuthservIDs");
        trusted != nullptr && load_trusted(conf, trusted, err) != 0) {
        return -1;
    }
    return 0;
}

// Reads the settings that need a configuration (everything before the base
// directory is checked). Returns 0 or -1 with err set.
int load_settings(config_setting* data, arcf_config* conf, char* err, const char* user,
                  const char*& basedir, const char*& userid) noexcept {
    const char* authservid = get_text(data, "AuthservID");
    if (authservid == nullptr || strcmp(authservid, "HOSTNAME") == 0) {
        authservid = myhostname;
    }
    conf->conf_authservid = strdup(authservid);
    if (conf->conf_authservid == nullptr) {
        set_error(err, "malloc(): %s", strerror(errno));
        return -1;
    }
    if (const char* mode = get_text(data, "Mode"); mode != nullptr) {
        conf->conf_mode |= strchr(mode, 's') != nullptr ? ARC_MODE_SIGN : 0;
        conf->conf_mode |= strchr(mode, 'v') != nullptr ? ARC_MODE_VERIFY : 0;
    }
    basedir = get_text(data, "BaseDirectory");
    if (const char* canon = get_text(data, "Canonicalization");
        canon != nullptr && !parse_canon(canon, conf->conf_canonhdr, conf->conf_canonbody)) {
        set_error(err, "unknown canonicalization");
        return -1;
    }
    if (const char* alg = get_text(data, "SignatureAlgorithm"); alg != nullptr) {
        conf->conf_signalg = lookup(alg_names, alg);
        if (conf->conf_signalg < 0) {
            set_error(err, "unknown signature algorithm");
            return -1;
        }
    }

    conf->conf_domain = get_text(data, "Domain");
    conf->conf_selector = get_text(data, "Selector");
    conf->conf_keyfile = get_text(data, "KeyFile");
    get_bool(data, "EnableCoredumps", conf->conf_enablecores);
    get_bool(data, "FinalReceiver", conf->conf_finalreceiver);
    conf->conf_tmpdir = get_text(data, "TemporaryDirectory");
    get_bool(data, "KeepTemporaryFiles", conf->conf_keeptmpfiles);
    // In 32 bits: arcf_config_check_integers().
    if (int maxhdrs = 0; config_get(data, "MaximumHeaders", &maxhdrs, sizeof maxhdrs) == 1) {
        conf->conf_maxhdrsz = maxhdrs;
    }
    conf->conf_signhdrs = get_text(data, "SignHeaders");
    conf->conf_oversignhdrs = get_text(data, "OverSignHeaders");
    if (const char* mask = get_text(data, "UMask");
        mask != nullptr && !parse_umask(mask, conf->conf_umask)) {
        set_error(err, "invalid UMask \"%s\"", mask);
        return -1;
    }
    if (const char* facility = get_text(data, "SyslogFacility");
        facility != nullptr && arcf_facility(facility) < 0) {
        set_error(err, "unknown syslog facility \"%s\"", facility);
        return -1;
    }

    if (load_ops_settings(data, conf, err) != 0) {
        return -1;
    }

    // Relative to the directory the process is in, not the base directory.
    if (const char* checks = get_text(data, "SealHeaderChecks");
        checks != nullptr && !load_list(&conf->conf_sealchecks, checks, err)) {
        return -1;
    }
    if (const char* fixed = get_text(data, "FixedTimestamp"); fixed != nullptr) {
        conf->conf_fixedtime = strtoull(fixed, nullptr, 10);
    }
    if (!conf->conf_dolog) {
        get_bool(data, "Syslog", conf->conf_dolog);
    }
    if (!conf->conf_addswhdr) {
        get_bool(data, "SoftwareHeader", conf->conf_addswhdr);
    }
    userid = user != nullptr ? user : get_text(data, "UserID");
    return 0;
}

// Checks a sealing key against SignatureAlgorithm: refuses a key of the
// other type and an RSA key the library would refuse to seal with, and warns
// of an RSA key below 2048 bits (RFC 8301 asks for at least that). `type` is
// the key's ARC_KEYTYPE_* (-1: no key), `bits` its size for RSA.
int check_sealing_key(const arcf_config* conf, const char* what, int type, int bits,
                      char* err) noexcept {
    const bool ed25519 = conf->conf_signalg == ARC_ALG_ED25519SHA256;
    if (type < 0) {
        // Sealing with it fails and defers the mail; say so now.
        if (conf->conf_dolog) {
            arcf_log(LOG_WARNING, "%s: holds no %s private key (PEM or DER)", what,
                     ed25519 ? "Ed25519" : "RSA");
        }
        return 0;
    }
    if (ed25519 != (type == ARC_KEYTYPE_ED25519)) {
        set_error(err, "%s: the sealing key is an %s key, which cannot sign %s", what,
                  type == ARC_KEYTYPE_ED25519 ? "Ed25519" : "RSA", alg_name(conf->conf_signalg));
        return -1;
    }
    if (ed25519) {
        return 0;  // one size; MinimumKeyBits is a rule for RSA keys
    }
    if (static_cast<uint32_t>(bits) < conf->conf_minkeybits) {
        set_error(err, "%s: the sealing key has %d bits, fewer than MinimumKeyBits (%u)", what,
                  bits, conf->conf_minkeybits);
        return -1;
    }
    if (bits < 2048) {
        if (conf->conf_dolog) {
            arcf_log(LOG_WARNING, "%s: the sealing key has %d bits; use 2048 or more", what, bits);
        }
    }
    return 0;
}

// Loads the SigningTable and checks that a configuration that may seal has a
// sealing identity: Domain, Selector and KeyFile together, or a SigningTable
// (whose senders without an entry fall back to the three when they are set).
int check_sealing(config_setting* data, arcf_config* conf, const char* userid, char* err) noexcept {
    if (const char* table = data != nullptr ? get_text(data, "SigningTable") : nullptr;
        table != nullptr) {
        calloc_ptr<char> path{resolve(conf->conf_basedir, table)};
        uid_t uid = static_cast<uid_t>(-1);
        if (!path) {
            set_error(err, "malloc(): %s", strerror(errno));
            return -1;
        }
        if (userid != nullptr && !lookup_user(userid, uid)) {
            const std::string_view spec{userid};
            set_error(err, "%.*s: no such user",
                      static_cast<int>(spec.substr(0, spec.find(':')).size()), userid);
            return -1;
        }
        conf->conf_signtable = arcf_signtable_load(
            path.get(), conf->conf_basedir, static_cast<uint32_t>(uid), err, ARCF_ERRBUF_SIZE);
        if (conf->conf_signtable == nullptr) {
            return -1;
        }
        for (const arcf_signentry* e = conf->conf_signtable->st_entries; e != nullptr;
             e = e->se_next) {
            char what[ARCF_ERRBUF_SIZE];
            snprintf(what, sizeof what, "%s:%u: %s", path.get(), e->se_line, e->se_keyfile);
            if (check_sealing_key(conf, what, e->se_keytype, e->se_keybits, err) != 0) {
                return -1;
            }
        }
    }
    if (conf->conf_keydata != nullptr) {
        const int type = arcf_keytype(conf->conf_keydata, conf->conf_keylen - 1);
        conf->conf_keybits = type == ARC_KEYTYPE_ED25519
                                 ? 0
                                 : arcf_keybits(conf->conf_keydata, conf->conf_keylen - 1);
        if (check_sealing_key(conf, conf->conf_keyfile, type, conf->conf_keybits, err) != 0) {
            return -1;
        }
    }
    if (conf->conf_signalg == ARC_ALG_ED25519SHA256 && conf->conf_dolog &&
        (conf->conf_keydata != nullptr || conf->conf_signtable != nullptr)) {
        arcf_log(LOG_WARNING,
                 "SignatureAlgorithm ed25519-sha256: some receivers do not verify Ed25519 "
                 "seals yet, and a chain they cannot verify fails with them");
    }
    // Mode v only validates: no sealing identity is needed.
    const bool may_seal = conf->conf_mode == 0 || (conf->conf_mode & ARC_MODE_SIGN) != 0;
    // An MTA may write address fields anew after the filter has seen them
    // (Sendmail unfolds them and drops trailing blanks): simple header
    // canonicalization does not survive that, relaxed does.
    if (data != nullptr && may_seal && conf->conf_canonhdr == ARC_CANON_SIMPLE &&
        conf->conf_dolog) {
        arcf_log(LOG_WARNING,
                 "simple header canonicalization: seals break where the MTA rewrites address "
                 "fields after the filter (Sendmail does); relaxed survives it");
    }
    const bool any = conf->conf_domain != nullptr || conf->conf_selector != nullptr ||
                     conf->conf_keyfile != nullptr;
    // Without a configuration file nothing is required (test mode).
    if (data != nullptr && may_seal && (conf->conf_signtable == nullptr || any)) {
        for (const auto& [name, value] :
             {std::pair{"Domain", conf->conf_domain}, std::pair{"Selector", conf->conf_selector},
              std::pair{"KeyFile", conf->conf_keyfile}}) {
            if (value == nullptr) {
                set_error(err, "required parameter \"%s\" missing", name);
                return -1;
            }
        }
    }
    return 0;
}

// The ChangeRootDirectory files will be read under, or null once the process
// is inside it (or without one).
const char* new_root(config_setting* data) noexcept {
    return root_entered.load() ? nullptr : get_text(data, "ChangeRootDirectory");
}

// Checks that a file read later (by the resolver, or the key records) can be
// read now, and keeps its absolute path
// in *out. A relative path is taken from the base directory; under `root`
// (ChangeRootDirectory), where the resolver reads it, the file is looked for
// below that directory.
int load_resolver_file(const arcf_config* conf, const char* setting, const char* path,
                       const char* root, char** out, char* err) noexcept {
    calloc_ptr<char> full{resolve(conf->conf_basedir, path)};
    calloc_ptr<char> seen{nullptr};
    if (full && root != nullptr) {
        char* joined = nullptr;
        if (asprintf(&joined, "%s/%s", root, full.get() + (full.get()[0] == '/' ? 1 : 0)) >= 0) {
            seen.reset(joined);
        }
    }
    if (!full || (root != nullptr && !seen)) {
        set_error(err, "malloc(): %s", strerror(errno));
        return -1;
    }
    const char* check = root != nullptr ? seen.get() : full.get();
    struct stat st;
    char why[ARCF_ERRBUF_SIZE - 64];
    unique_fd fd{arcf_open_regular(check, false, &st, why, sizeof why)};
    if (!fd) {
        set_error(err, "%s: %s", setting, why);
        return -1;
    }
    // Absolute, so that a later change of directory does not move it.
    *out = root != nullptr ? full.release() : realpath(check, nullptr);
    if (*out == nullptr) {
        set_error(err, "%s: %s: realpath(): %s", setting, check, strerror(errno));
        return -1;
    }
    return 0;
}

// Reads Resolver, ResolverConfiguration, TrustAnchorFile, DNSTimeout and
// DNSErrorAction. An unbound configuration and trust anchors are tried at
// once (when the resolver will read them from the same root), so that a file
// the resolver refuses stops the load rather than the start of the library.
int load_resolver(config_setting* data, arcf_config* conf, char* err) noexcept {
    if (const char* value = get_text(data, "Resolver"); value != nullptr) {
        const int stub = lookup(resolver_names, value);
        if (stub < 0) {
            set_error(err, "Resolver \"%s\" is neither \"unbound\" nor \"stub\"", value);
            return -1;
        }
        conf->conf_stubresolver = stub == 1;
    }
    if (const char* value = get_text(data, "DNSErrorAction"); value != nullptr) {
        const int defer = lookup(dnsaction_names, value);
        if (defer < 0) {
            set_error(err, "DNSErrorAction \"%s\" is neither \"fail\" nor \"tempfail\"", value);
            return -1;
        }
        conf->conf_dnstempfail = defer == 1;
    }
    // In bounds: arcf_config_check_integers().
    if (int secs = 0; config_get(data, "DNSTimeout", &secs, sizeof secs) == 1) {
        conf->conf_dnstimeout = static_cast<uint32_t>(secs);
    }
    const char* root = new_root(data);
    for (const auto& [setting, field] :
         {std::pair{"ResolverConfiguration", &conf->conf_resolverconf},
          std::pair{"TrustAnchorFile", &conf->conf_trustanchors}}) {
        const char* path = get_text(data, setting);
        if (path == nullptr) {
            continue;
        }
        // The stub resolver reads neither file: say so rather than run
        // without the validation the operator asked for.
        if (conf->conf_stubresolver) {
            set_error(err, "%s needs Resolver unbound", setting);
            return -1;
        }
        if (load_resolver_file(conf, setting, path, root, field, err) != 0) {
            return -1;
        }
    }
    if ((conf->conf_resolverconf != nullptr || conf->conf_trustanchors != nullptr) &&
        root == nullptr) {
        arc_library* trial = arc_init();
        if (trial == nullptr) {
            set_error(err, "failed to initialize ARC library");
            return -1;
        }
        char why[ARCF_ERRBUF_SIZE - 32] = "";
        const ARC_STAT st = arc_dns_unbound(trial, conf->conf_resolverconf, conf->conf_trustanchors,
                                            why, sizeof why);
        arc_close(trial);
        if (st != ARC_STAT_OK) {
            // The text starts with the file it is about.
            const char* ta = conf->conf_trustanchors;
            const bool about_anchors = ta != nullptr && strncmp(why, ta, strlen(ta)) == 0;
            set_error(err, "%s: %s",
                      about_anchors                        ? "TrustAnchorFile"
                      : conf->conf_resolverconf != nullptr ? "ResolverConfiguration"
                                                           : "Resolver",
                      why);
            return -1;
        }
    }
    return 0;
}

// Checks the base directory and keeps its absolute path in the record.
int check_basedir(arcf_config* conf, const char* dir, char* err) noexcept {
    if (strlen(dir) >= ARCF_PATH_SIZE) {
        set_error(err, "%s: chdir(): %s", dir, strerror(ENAMETOOLONG));
        return -1;
    }
    struct stat st;
    if (stat(dir, &st) != 0) {
        set_error(err, "%s: chdir(): %s", dir, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        set_error(err, "%s: chdir(): %s", dir, strerror(ENOTDIR));
        return -1;
    }
    if (access(dir, X_OK) != 0) {
        set_error(err, "%s: chdir(): %s", dir, strerror(errno));
        return -1;
    }
    conf->conf_basedir = realpath(dir, nullptr);
    if (conf->conf_basedir == nullptr) {
        set_error(err, "%s: chdir(): %s", dir, strerror(errno));
        return -1;
    }
    return 0;
}

// Loads a list whose relative path is taken from the base directory.
int load_based_list(const arcf_config* conf, arcf_list** list, const char* path,
                    char* err) noexcept {
    calloc_ptr<char> full{resolve(conf->conf_basedir, path)};
    if (!full) {
        set_error(err, "malloc(): %s", strerror(errno));
        return -1;
    }
    return load_list(list, full.get(), err) ? 0 : -1;
}

}  // namespace

// ---- Interface ----

namespace {

const int_bounds* find_bounds(const char* name) noexcept {
    for (const auto& row : integer_bounds) {
        if (strcasecmp(row.name.data(), name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

bool arcf_config_integer_bounds(const char* name, long long* min, long long* max) noexcept {
    assert(name != NULL);
    const int_bounds* row = find_bounds(name);
    if (row == nullptr) {
        return false;
    }
    *min = row->min;
    *max = row->max;
    return true;
}

bool arcf_config_check_integers(config_setting* data, char* err) noexcept {
    assert(err != NULL);
    for (const config_def* row = arcf_config_defs; data != nullptr && row->name != nullptr; ++row) {
        long long value = 0;
        if (row->type != CONFIG_TYPE_INTEGER ||
            config_get(data, row->name, &value, sizeof value) != 1) {
            continue;
        }
        // Every integer row has bounds (the settings test holds the two
        // tables together); one without is refused rather than trusted.
        const int_bounds* b = find_bounds(row->name);
        if (b == nullptr) {
            set_error(err, "%s has no bounds", row->name);
            return false;
        }
        if (value < b->min || value > b->max) {
            set_error(err, "%s %lld is not from %lld to %lld%s", row->name, value, b->min, b->max,
                      b->unit);
            return false;
        }
    }
    return true;
}

int arcf_facility(const char* name) noexcept {
    assert(name != NULL);
    return lookup(facility_names, name);
}

arcf_config* arcf_config_new() noexcept {
    auto* conf = static_cast<arcf_config*>(calloc(1, sizeof(arcf_config)));
    if (conf == nullptr) {
        return nullptr;
    }
    conf->conf_maxhdrsz = ARCF_DEFAULT_MAXHDRSZ;
    conf->conf_safekeys = true;
    conf->conf_minkeybits = ARCF_DEFAULT_MINKEYBITS;
    conf->conf_dnstimeout = ARCF_DEFAULT_DNSTIMEOUT;
    conf->conf_umask = -1;
    conf->conf_canonhdr = ARC_CANON_RELAXED;
    conf->conf_canonbody = ARC_CANON_SIMPLE;
    conf->conf_signalg = ARC_ALG_RSASHA256;
    conf->conf_dolog = cmdline_dolog.load();
    conf->conf_reqhdrs = cmdline_reqhdrs.load();
    return conf;
}

int arcf_config_load(config_setting* data, arcf_config* conf, char* err,
                     const char* user) noexcept {
    assert(conf != NULL);
    assert(err != NULL);
    err[0] = '\0';
    const char* basedir = nullptr;
    const char* userid = user;
    const char* internal = nullptr;
    const char* peers = nullptr;
    if (!arcf_config_check_integers(data, err)) {
        return -1;
    }
    if (data == nullptr) {
        conf->conf_authservid = strdup(myhostname);
        if (conf->conf_authservid == nullptr) {
            set_error(err, "malloc(): %s", strerror(errno));
            return -1;
        }
    } else {
        if (load_settings(data, conf, err, user, basedir, userid) != 0) {
            return -1;
        }
        // The base directory is entered only once the whole configuration is
        // in force (arcf_config_chdir()); the files below are found through it.
        if (basedir != nullptr && check_basedir(conf, basedir, err) != 0) {
            return -1;
        }
        peers = get_text(data, "PeerList");
        internal = get_text(data, "InternalHosts");
        if (peers != nullptr && load_based_list(conf, &conf->conf_peers, peers, err) != 0) {
            return -1;
        }
        if (internal != nullptr &&
            load_based_list(conf, &conf->conf_internal, internal, err) != 0) {
            return -1;
        }
    }
    if (internal == nullptr && !testmode.load()) {
        for (const char* host : {"127.0.0.1", "::1"}) {
            const char* why = nullptr;
            if (!arcf_addlist(&conf->conf_internal, host, &why)) {
                set_error(err, "%s: arcf_addlist(): %s", host, why);
                return -1;
            }
        }
    }
    if (conf->conf_keyfile != nullptr) {
        calloc_ptr<char> path{resolve(conf->conf_basedir, conf->conf_keyfile)};
        if (!path) {
            return key_error(conf, err, "malloc(): %s", strerror(errno));
        }
        if (load_key(conf, path.get(), userid, err) != 0) {
            return -1;
        }
    }
    if (const char* records = data != nullptr ? get_text(data, "KeyRecordFile") : nullptr;
        records != nullptr) {
        // The library reads it for every chain, inside the new root once
        // the process is there: it is looked for where it will be read.
        if (load_resolver_file(conf, "KeyRecordFile", records, new_root(data),
                               &conf->conf_keyrecordfile, err) != 0) {
            return -1;
        }
    }
    if (data != nullptr && load_resolver(data, conf, err) != 0) {
        return -1;
    }
    if (check_sealing(data, conf, userid, err) != 0) {
        return -1;
    }
    if (conf->conf_dolog) {
        const char* facility = data != nullptr ? get_text(data, "SyslogFacility") : nullptr;
        closelog();
        openlog(progname, LOG_PID, facility != nullptr ? arcf_facility(facility) : LOG_MAIL);
    }
    return 0;
}

bool arcf_config_can_seal(const arcf_config* conf) noexcept {
    assert(conf != NULL);
    const bool may_seal = conf->conf_mode == 0 || (conf->conf_mode & ARC_MODE_SIGN) != 0;
    return !may_seal || conf->conf_signtable != nullptr ||
           (conf->conf_selector != nullptr && conf->conf_domain != nullptr &&
            conf->conf_keydata != nullptr);
}

bool arcf_config_setlib(arcf_config* conf, const char** msg) noexcept {
    assert(conf != NULL);
    assert(msg != NULL);
    if (conf->conf_libarc == nullptr) {
        conf->conf_libarc = arc_init();
        if (conf->conf_libarc == nullptr) {
            *msg = "failed to initialize ARC library";
            return false;
        }
    }
    arc_library* lib = conf->conf_libarc;
    constexpr const char* options_failed = "failed to set ARC library options";
    bool ok = true;
    if (conf->conf_tmpdir != nullptr) {
        ok = arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_TMPDIR, const_cast<char*>(conf->conf_tmpdir),
                         sizeof(char*)) == ARC_STAT_OK;
    }
    if (ok) {
        unsigned int flags = conf->conf_keeptmpfiles ? ARC_LIBFLAGS_KEEPFILES : 0;
        flags |= conf->conf_safealgs ? ARC_LIBFLAGS_NOSHA1 : 0;
        flags |= conf->conf_oldestpass ? ARC_LIBFLAGS_OLDESTPASS : 0;
        ok = arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags) == ARC_STAT_OK;
    }
    if (ok) {
        unsigned int bits = conf->conf_minkeybits;
        ok =
            arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits) == ARC_STAT_OK;
    }
    if (conf->conf_fixedtime != 0) {
        uint64_t fixed = conf->conf_fixedtime;
        (void)arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_FIXEDTIME, &fixed, sizeof fixed);
    }
    if (!ok) {
        *msg = options_failed;
        return false;
    }
    // The lists are made once: splitting cuts the texts in place, so a second
    // set-up reuses the arrays of the first.
    if (conf->conf_signhdrs != nullptr) {
        if (conf->conf_signhdrs_list == nullptr) {
            conf->conf_signhdrs_list = arcf_mkarray(conf->conf_signhdrs);
        }
        if (conf->conf_signhdrs_list == nullptr ||
            arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_SIGNHDRS, conf->conf_signhdrs_list,
                        sizeof(char**)) != ARC_STAT_OK) {
            *msg = options_failed;
            return false;
        }
    }
    if (conf->conf_oversignhdrs != nullptr) {
        if (conf->conf_oversignhdrs_list == nullptr) {
            conf->conf_oversignhdrs_list = arcf_mkarray(conf->conf_oversignhdrs);
        }
        if (conf->conf_oversignhdrs_list == nullptr ||
            arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_OVERSIGNHDRS, conf->conf_oversignhdrs_list,
                        sizeof(char**)) != ARC_STAT_OK) {
            *msg = options_failed;
            return false;
        }
    }
    if (conf->conf_keyrecordfile != nullptr &&
        arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, conf->conf_keyrecordfile,
                    sizeof(char*)) != ARC_STAT_OK) {
        *msg = options_failed;
        return false;
    }
    if (unsigned int secs = conf->conf_dnstimeout;
        secs != 0 &&
        arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_DNSTIMEOUT, &secs, sizeof secs) != ARC_STAT_OK) {
        *msg = options_failed;
        return false;
    }
    // Keys read from a file need no resolver; the handle keeps the stub one.
    if (!conf->conf_stubresolver && conf->conf_keyrecordfile == nullptr &&
        !conf->conf_resolverset) {
        char why[ARCF_ERRBUF_SIZE - 40] = "";
        if (arc_dns_unbound(lib, conf->conf_resolverconf, conf->conf_trustanchors, why,
                            sizeof why) != ARC_STAT_OK) {
            snprintf(conf->conf_resolvererr, sizeof conf->conf_resolvererr,
                     "failed to start the resolver: %s", why);
            *msg = conf->conf_resolvererr;
            return false;
        }
        conf->conf_resolverset = true;
    }
    return true;
}

bool arcf_config_chdir(const arcf_config* conf, char* err) noexcept {
    assert(conf != NULL);
    assert(err != NULL);
    if (conf->conf_basedir != nullptr && chdir(conf->conf_basedir) != 0) {
        set_error(err, "%s: chdir(): %s", conf->conf_basedir, strerror(errno));
        return false;
    }
    return true;
}

void arcf_config_free(arcf_config* conf) noexcept {
    assert(conf != NULL);
    assert(conf->conf_refcnt == 0);
    // A record that failed before its set-up has no library handle.
    if (conf->conf_libarc != nullptr) {
        arc_close(conf->conf_libarc);
    }
    free(conf->conf_authservid);
    arcf_list_destroy(&conf->conf_peers);
    arcf_list_destroy(&conf->conf_internal);
    config_free(conf->conf_data);
    free(conf->conf_signhdrs_list);
    free(conf->conf_oversignhdrs_list);
    arcf_list_destroy(&conf->conf_sealchecks);
    if (conf->conf_keydata != nullptr) {
        explicit_bzero(conf->conf_keydata, conf->conf_keylen);
        free(conf->conf_keydata);
    }
    free(conf->conf_keyrecordfile);
    free(conf->conf_resolverconf);
    free(conf->conf_trustanchors);
    free(conf->conf_basedir);
    free(conf->conf_trustedids);
    free(conf->conf_trustedtext);
    arcf_signtable_free(conf->conf_signtable);
    free(conf);
}

const char* arcf_config_ours(const arcf_config* conf, const char* id) noexcept {
    assert(conf != NULL);
    assert(id != NULL);
    if (conf->conf_authservid != nullptr && ares_same_id(id, conf->conf_authservid)) {
        return conf->conf_authservid;
    }
    for (char** t = conf->conf_trustedids; t != nullptr && *t != nullptr; ++t) {
        if (ares_same_id(id, *t)) {
            return *t;
        }
    }
    return nullptr;
}

namespace {

// The order of strength of claims: the stronger one decides.
int strength(ares_claim c) noexcept {
    switch (c) {
        case ares_claim::other:
            return 0;
        case ares_claim::ours:
            return 1;
        case ares_claim::ambiguous:
            return 2;
        case ares_claim::unreadable:
            return 3;
    }
    return 3;
}

}  // namespace

ares_claim arcf_config_claim(const arcf_config* conf, const char* value,
                             const char** which) noexcept {
    assert(conf != NULL);
    assert(value != NULL);
    assert(which != NULL);
    *which = nullptr;
    ares_id id;
    ares_read_id(value, &id);
    if (!id.ai_strict) {
        return ares_claim::unreadable;
    }
    ares_claim best = ares_claim::other;
    auto consider = [&](const char* mine) {
        const ares_claim c = ares_claims(&id, mine);
        if (strength(c) > strength(best)) {
            best = c;
            *which = mine;
        }
    };
    if (conf->conf_authservid != nullptr) {
        consider(conf->conf_authservid);
    }
    for (char** t = conf->conf_trustedids; t != nullptr && *t != nullptr; ++t) {
        consider(*t);
    }
    return best;
}
