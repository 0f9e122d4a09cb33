// SPDX-License-Identifier: BSD-2-Clause
// velmora-genkey.cc - makes a sealing key: an RSA (or, with -t ed25519, an
// Ed25519) private key for velmora and the DNS TXT record that publishes its
// public half.
//
// Writes DIR/SELECTOR.private (PEM, mode 0600, owned by the user who will run
// the filter) and DIR/SELECTOR.txt (the record in zone-file form, its text cut
// into strings of at most 255 bytes), prints the record, and warns when the
// filter's key-file check would refuse the key where it lies. Never replaces
// an existing file.
// Memory:  the key's PEM text is wiped before it is released.
// Errors:  one line on standard error; exit statuses after sysexits.h.
// Threads: none.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "util.h"
#include "velmora-securefile.h"

namespace {

constexpr int default_bits = 2048;
constexpr int min_bits = 1024;  // the smallest key verifiers accept (RFC 8301)
constexpr int max_bits = 8192;
constexpr size_t max_txt_string = 255;  // longest character-string of a TXT record
constexpr size_t max_label = 63;

const char* progname = "velmora-genkey";

using pkey_ptr = std::unique_ptr<EVP_PKEY, c_deleter<EVP_PKEY_free>>;
using bio_ptr = std::unique_ptr<BIO, c_deleter<BIO_free_all>>;

__attribute__((format(printf, 1, 2))) void complain(const char* fmt, ...) noexcept {
    fprintf(stderr, "%s: ", progname);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// Prints the usage text to `out`: standard output for -h, else standard error.
void usage(FILE* out = stderr) noexcept {
    fprintf(out,
            "%s: usage: %s -d domain -s selector [options]\n"
            "\t-b bits     \tkey size in bits (%d to %d, default %d)\n"
            "\t-d domain   \tsigning domain of the seals\n"
            "\t-D directory\twhere to write the files (default: the current directory)\n"
            "\t-h          \tprint this help message and exit\n"
            "\t-s selector \tselector of the seals\n"
            "\t-t type     \tkey type: rsa (default) or ed25519\n"
            "\t-u user     \tuser (and :group) that runs velmora and owns the key\n",
            progname, progname, min_bits, max_bits, default_bits);
}

// True for a name of dot-separated labels of letters, digits, '-' and '_'.
bool is_dns_name(std::string_view name) noexcept {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) {
                return false;
            }
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok || ++label > max_label) {
            return false;
        }
    }
    return label != 0;
}

struct owner {
    uid_t uid;
    gid_t gid;
};

// Looks up "user" or "user:group" (names or numbers); complains when absent.
std::optional<owner> lookup_owner(const std::string& spec) noexcept {
    const size_t colon = spec.find(':');
    const std::string user = spec.substr(0, colon);
    const struct passwd* pw = getpwnam(user.c_str());
    char* end = nullptr;
    if (pw == nullptr && !user.empty() &&
        user.find_first_not_of("0123456789") == std::string::npos) {
        pw = getpwuid(static_cast<uid_t>(strtoul(user.c_str(), &end, 10)));
    }
    if (pw == nullptr) {
        complain("no such user '%s'", user.c_str());
        return std::nullopt;
    }
    owner o{pw->pw_uid, pw->pw_gid};
    if (colon != std::string::npos) {
        const std::string group = spec.substr(colon + 1);
        const struct group* gr = getgrnam(group.c_str());
        if (gr == nullptr && !group.empty() &&
            group.find_first_not_of("0123456789") == std::string::npos) {
            gr = getgrgid(static_cast<gid_t>(strtoul(group.c_str(), &end, 10)));
        }
        if (gr == nullptr) {
            complain("no such group '%s'", group.c_str());
            return std::nullopt;
        }
        o.gid = gr->gr_gid;
    }
    return o;
}

// The key's PEM text (PKCS#8), wiped when the holder goes.
class secret_text {
  public:
    secret_text() = default;
    secret_text(const secret_text&) = delete;
    secret_text& operator=(const secret_text&) = delete;
    ~secret_text() { OPENSSL_cleanse(text_.data(), text_.size()); }
    std::string& text() noexcept { return text_; }

  private:
    std::string text_;
};

bool private_pem(EVP_PKEY* key, secret_text& out) noexcept {
    bio_ptr bio{BIO_new(BIO_s_mem())};
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return false;
    }
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    out.text().assign(data, static_cast<size_t>(len));
    OPENSSL_cleanse(data, static_cast<size_t>(len));
    return true;
}

// The base64 text of `len` bytes.
std::string base64(const unsigned char* data, size_t len) {
    std::string b64(4 * ((len + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), data, static_cast<int>(len));
    b64.resize(static_cast<size_t>(n));
    return b64;
}

// The record's text: "v=DKIM1; k=rsa; p=" and the public key's DER in base64
// for RSA; "v=DKIM1; k=ed25519; p=" and the 32 bytes of the public key for
// Ed25519 (RFC 8463 section 4).
bool public_record(EVP_PKEY* key, std::string& out) noexcept {
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519) {
        unsigned char raw[32];
        size_t rawlen = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key, raw, &rawlen) != 1) {
            return false;
        }
        out = "v=DKIM1; k=ed25519; p=" + base64(raw, rawlen);
        return true;
    }
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(key, &der);
    if (len <= 0) {
        return false;
    }
    out = "v=DKIM1; k=rsa; p=" + base64(der, static_cast<size_t>(len));
    OPENSSL_free(der);
    return true;
}

// The record as a zone-file line: the text cut into quoted strings of at most
// 255 bytes, which a resolver joins back into one text. `kind` describes the
// key in the trailing comment.
std::string zone_entry(const std::string& selector, const std::string& domain,
                       const std::string& record, const std::string& kind) {
    std::string out = selector + "._domainkey." + domain + ".\tIN\tTXT\t(";
    for (size_t at = 0; at < record.size(); at += max_txt_string) {
        out += at == 0 ? " \"" : "\n\t\"";
        out += record.substr(at, max_txt_string);
        out += '"';
    }
    out += " )\t; " + kind + ", ARC seals of " + domain + "\n";
    return out;
}

// Writes all of `text` to fd; false with errno set on failure.
bool write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Creates `path` (which must not exist yet) with `mode`, hands it to `who`
// when given, and writes `text`. Returns 0 or an exit status after
// complaining; a file it created is removed again on failure.
int create_file(const std::string& path, mode_t mode, const std::optional<owner>& who,
                std::string_view text) noexcept {
    unique_fd fd{open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
    if (!fd) {
        const int err = errno;
        complain("%s: %s%s", path.c_str(), strerror(err), err == EEXIST ? "; not overwriting" : "");
        return err == EEXIST ? EX_CANTCREAT : EX_IOERR;
    }
    int status = 0;
    if (who && fchown(fd.get(), who->uid, who->gid) != 0) {
        complain("%s: fchown(): %s", path.c_str(), strerror(errno));
        status = EX_NOPERM;
    } else if (fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), text) || fsync(fd.get()) != 0) {
        complain("%s: %s", path.c_str(), strerror(errno));
        status = EX_IOERR;
    } else if (close(fd.release()) != 0) {
        complain("%s: close(): %s", path.c_str(), strerror(errno));
        status = EX_IOERR;
    }
    if (status != 0) {
        unlink(path.c_str());
    }
    return status;
}

// Tells the operator when the filter, running as `uid`, would refuse the key.
void warn_if_unsafe(const std::string& path, uid_t uid) noexcept {
    char reason[1024] = "";
    uint64_t ino = 0;
    const int safe = arcf_securefile(path.c_str(), &ino, uid, reason, sizeof reason);
    if (safe == 0) {
        complain("warning: velmora will refuse %s: %s", path.c_str(), reason);
    } else if (safe < 0) {
        complain("warning: cannot check whether velmora accepts %s", path.c_str());
    }
}

struct options {
    int bits = default_bits;
    bool ed25519 = false;  // -t ed25519
    std::string domain;
    std::string selector;
    std::string directory = ".";
    std::optional<owner> who;
};

// What parse() returns after -h printed the help: the program exits 0.
constexpr int help_status = -1;

// Parses the command line into `opt`; returns 0 to go on, help_status, or the
// exit status of a bad command line.
int parse(int argc, char** argv, options& opt) {
    int c;
    bool bits_given = false;
    while ((c = getopt(argc, argv, "b:d:D:hs:t:u:")) != -1) {
        switch (c) {
            case 'b': {
                char* end = nullptr;
                errno = 0;
                const long bits = strtol(optarg, &end, 10);
                if (errno != 0 || *end != '\0' || bits < min_bits || bits > max_bits) {
                    complain("key size must be %d to %d bits, not '%s'", min_bits, max_bits,
                             optarg);
                    return EX_USAGE;
                }
                opt.bits = static_cast<int>(bits);
                bits_given = true;
                break;
            }
            case 't':
                if (strcmp(optarg, "rsa") != 0 && strcmp(optarg, "ed25519") != 0) {
                    complain("key type must be rsa or ed25519, not '%s'", optarg);
                    return EX_USAGE;
                }
                opt.ed25519 = strcmp(optarg, "ed25519") == 0;
                break;
            case 'd':
                opt.domain = optarg;
                break;
            case 'D':
                opt.directory = optarg;
                break;
            case 'h':
                usage(stdout);
                return help_status;
            case 's':
                opt.selector = optarg;
                break;
            case 'u':
                opt.who = lookup_owner(optarg);
                if (!opt.who) {
                    return EX_NOUSER;
                }
                break;
            default:
                usage();
                return EX_USAGE;
        }
    }
    if (optind != argc || opt.domain.empty() || opt.selector.empty() || opt.directory.empty()) {
        usage();
        return EX_USAGE;
    }
    if (opt.ed25519 && bits_given) {
        complain("-b applies to RSA keys only; an Ed25519 key has one size");
        return EX_USAGE;
    }
    if (!is_dns_name(opt.domain)) {
        complain("'%s' is not a domain name", opt.domain.c_str());
        return EX_USAGE;
    }
    // The selector also names the files, so it must not hold a '/'.
    if (!is_dns_name(opt.selector)) {
        complain("'%s' is not a selector (labels of letters, digits, '-' and '_')",
                 opt.selector.c_str());
        return EX_USAGE;
    }
    return 0;
}

bool exists(const std::string& path) noexcept {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

int main(int argc, char** argv) {
    // 1. Read the command line and refuse early what would fail later.
    options opt;
    if (const int status = parse(argc, argv, opt); status != 0) {
        return status == help_status ? 0 : status;
    }
    const std::string base = opt.directory + "/" + opt.selector;
    const std::string keypath = base + ".private";
    const std::string txtpath = base + ".txt";
    for (const std::string* p : {&keypath, &txtpath}) {
        if (exists(*p)) {
            complain("%s exists; not overwriting", p->c_str());
            return EX_CANTCREAT;
        }
    }

    // 2. Make the key and both texts before any file is created.
    pkey_ptr key{opt.ed25519 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                             : EVP_RSA_gen(static_cast<unsigned>(opt.bits))};
    secret_text pem;
    std::string record;
    if (!key || !private_pem(key.get(), pem) || !public_record(key.get(), record)) {
        if (opt.ed25519) {
            complain("cannot make an Ed25519 key");
        } else {
            complain("cannot make an RSA key of %d bits", opt.bits);
        }
        return EX_SOFTWARE;
    }
    const std::string kind =
        opt.ed25519 ? std::string{"Ed25519"} : "RSA " + std::to_string(opt.bits) + " bits";
    const std::string zone = zone_entry(opt.selector, opt.domain, record, kind);

    // 3. The private key first: the record is worth nothing without it.
    if (const int status = create_file(keypath, 0600, opt.who, pem.text()); status != 0) {
        return status;
    }
    if (const int status = create_file(txtpath, 0644, std::nullopt, zone); status != 0) {
        unlink(keypath.c_str());
        return status;
    }
    fputs(zone.c_str(), stdout);
    warn_if_unsafe(keypath, opt.who ? opt.who->uid : geteuid());
    return fflush(stdout) == 0 ? 0 : EX_IOERR;
}
