// SPDX-License-Identifier: BSD-2-Clause
// e2e-support.cc - child processes, the syslog socket, the private Postfix
// and Sendmail instances, the SMTP client and message helpers of the
// end-to-end tests; see e2e-support.h.
#include "e2e-support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>

extern char** environ;

namespace velmora_e2e {

namespace {

constexpr const char* postfix_daemons = "/usr/lib/postfix/sbin";

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(int ms) {
    struct timespec ts {
        ms / 1000, static_cast<long>(ms % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str()); d != nullptr) {
            while (const struct dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") {
                    remove_tree(path + "/" + name);
                }
            }
            closedir(d);
        }
        (void)rmdir(path.c_str());
    } else {
        (void)unlink(path.c_str());
    }
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str()); d != nullptr) {
        while (const struct dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Counts the files below path (queue directories nest by hash).
size_t count_files(const std::string& path) {
    size_t n = 0;
    for (const auto& name : list_dir(path)) {
        struct stat st;
        const std::string p = path + "/" + name;
        if (lstat(p.c_str(), &st) != 0) {
            continue;
        }
        n += S_ISDIR(st.st_mode) ? count_files(p) : 1;
    }
    return n;
}

bool connectable(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

bool wait_connectable(int port, child& proc, double seconds) {
    const double end = now() + seconds;
    while (now() < end) {
        if (connectable(port)) {
            return true;
        }
        if (!proc.running()) {
            return false;
        }
        sleep_ms(20);
    }
    return false;
}

// Reaps every process of the group `pgid` that has come back to us.
void reap_group(pid_t pgid, double seconds) {
    const double end = now() + seconds;
    for (;;) {
        const pid_t p = waitpid(-pgid, nullptr, WNOHANG);
        if (p < 0) {
            return;  // none left
        }
        if (p == 0) {
            if (now() > end) {
                (void)kill(-pgid, SIGKILL);
                while (waitpid(-pgid, nullptr, 0) > 0) {
                }
                return;
            }
            sleep_ms(20);
        }
    }
}

std::string main_cf(const std::string& dir, int sink_port, const mta_options& opt) {
    std::ostringstream cf;
    cf << "compatibility_level = 3.6\n"
       << "config_directory = " << dir << "/etc\n"
       << "queue_directory = " << dir << "/queue\n"
       << "data_directory = " << dir << "/data\n"
       << "maillog_file = " << dir << "/maillog\n"
       << "maillog_file_prefixes = " << dir << "\n"
       << "mail_owner = postfix\n"
       << "setgid_group = postdrop\n"
       << "myhostname = mta.velmora.test\n"
       << "mydomain = velmora.test\n"
       << "myorigin = velmora.test\n"
       << "mydestination =\n"
       << "local_recipient_maps =\n"
       << "inet_interfaces = 127.0.0.1\n"
       << "inet_protocols = ipv4\n"
       << "mynetworks = 127.0.0.0/8\n"
       << "smtpd_relay_restrictions = permit_mynetworks, reject\n"
       << "relayhost = [127.0.0.1]:" << sink_port << "\n"
       << "smtp_host_lookup = native\n"
       << "disable_dns_lookups = yes\n"
       << "in_flow_delay = 0\n"
       << "smtpd_client_connection_count_limit = 0\n"
       << "smtpd_client_connection_rate_limit = 0\n"
       << "default_process_limit = 120\n"
       << "queue_run_delay = 1s\n"
       << "minimal_backoff_time = 1s\n"
       << "maximal_backoff_time = 2s\n"
       << "smtp_connection_cache_on_demand = yes\n"
       << "default_destination_concurrency_limit = 40\n";
    if (!opt.milter.empty()) {
        const std::string spec = postfix_milter(opt.milter);
        cf << "smtpd_milters = " << spec << "\n"
           << "non_smtpd_milters = " << spec << "\n"
           << "milter_protocol = 6\n"
           << "milter_default_action = tempfail\n";
        if (opt.milter_timeout > 0) {
            cf << "milter_connect_timeout = " << opt.milter_timeout << "s\n"
               << "milter_command_timeout = " << opt.milter_timeout << "s\n"
               << "milter_content_timeout = " << opt.milter_timeout << "s\n";
        }
    }
    for (const auto& line : opt.extra_main) {
        cf << line << "\n";
    }
    return cf.str();
}

std::string master_cf(int smtp_port) {
    // No chroot, so the instance needs nothing but its own directories.
    std::ostringstream cf;
    cf << "127.0.0.1:" << smtp_port << " inet n - n - - smtpd\n"
       << "pickup unix n - n 1 1 pickup\n"
       << "cleanup unix n - n - 0 cleanup\n"
       << "qmgr unix n - n 300 1 qmgr\n"
       << "rewrite unix - - n - - trivial-rewrite\n"
       << "bounce unix - - n - 0 bounce\n"
       << "defer unix - - n - 0 bounce\n"
       << "trace unix - - n - 0 bounce\n"
       << "verify unix - - n - 1 verify\n"
       << "flush unix n - n 1000? 0 flush\n"
       << "proxymap unix - - n - - proxymap\n"
       << "smtp unix - - n - - smtp\n"
       << "relay unix - - n - - smtp\n"
       << "showq unix n - n - - showq\n"
       << "error unix - - n - - error\n"
       << "retry unix - - n - - error\n"
       << "discard unix - - n - - discard\n"
       << "anvil unix - - n - 1 anvil\n"
       << "scache unix - - n - 1 scache\n"
       << "postlog unix-dgram n - n - 1 postlogd\n";
    return cf.str();
}

// The messages smtp-sink wrote into the directory `sink`, oldest first.
std::vector<std::string> sink_messages(const std::string& sink) {
    std::vector<std::string> messages;
    for (const auto& name : list_dir(sink)) {
        const std::string text = read_file(sink + "/" + name);
        // smtp-sink's own lines come first and end with its three-line
        // Received field; an empty line follows the message.
        size_t at = text.find("\nReceived: ");
        if (at == std::string::npos) {
            continue;
        }
        at = text.find('\n', at + 1);
        while (at != std::string::npos && at + 1 < text.size() &&
               (text[at + 1] == '\t' || text[at + 1] == ' ')) {
            at = text.find('\n', at + 1);
        }
        if (at == std::string::npos) {
            continue;
        }
        std::string m = text.substr(at + 1);
        if (m.size() >= 2 && m.compare(m.size() - 2, 2, "\n\n") == 0) {
            m.pop_back();
        }
        messages.push_back(std::move(m));
    }
    return messages;
}

}  // namespace

std::string skip_reason() {
    if (geteuid() != 0) {
        return "needs root: a private Postfix instance starts its master as root";
    }
    for (const char* p : {"/usr/sbin/postfix", "/usr/sbin/smtp-sink", "/usr/sbin/sendmail",
                          "/usr/lib/postfix/sbin/master"}) {
        if (access(p, X_OK) != 0) {
            return std::string{"Postfix is not installed ("} + p + " missing)";
        }
    }
    if (getpwnam("postfix") == nullptr) {
        return "Postfix is not installed (no user postfix)";
    }
    return {};
}

void become_subreaper() {
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    int port = -1;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&sin), &len) == 0) {
        port = ntohs(sin.sin_port);
    }
    ::close(fd);
    return port;
}

temp_dir::temp_dir(const char* base) {
    std::string tmpl = std::string{base} + "/velmora-e2e.XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) {
        path_ = tmpl;
        (void)chmod(tmpl.c_str(), 0755);
    }
}

temp_dir::~temp_dir() {
    if (!path_.empty()) {
        remove_tree(path_);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string& path, const std::string& text, int mode) {
    {
        std::ofstream out{path, std::ios::binary | std::ios::trunc};
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool replace_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".new";
    return write_file(tmp, text) && rename(tmp.c_str(), path.c_str()) == 0;
}

std::string postfix_milter(const std::string& spec) {
    if (const size_t comma = spec.find(','); comma != std::string::npos) {
        return postfix_milter(spec.substr(0, comma)) + ", " +
               postfix_milter(spec.substr(comma + 1));
    }
    if (spec.rfind("inet:", 0) == 0) {
        const size_t at = spec.find('@');
        if (at != std::string::npos) {
            return "inet:" + spec.substr(at + 1) + ":" + spec.substr(5, at - 5);
        }
        return spec;
    }
    if (spec.rfind("local:", 0) == 0) {
        return "unix:" + spec.substr(6);
    }
    return spec;
}

// ---- Child processes ----

bool child::start(const std::vector<std::string>& argv, const child_options& opt,
                  std::string* err) {
    stop();
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        env_text.emplace_back(*e);
    }
    for (const auto& e : opt.env) {
        const std::string name = e.substr(0, e.find('=') + 1);
        env_text.erase(std::remove_if(env_text.begin(), env_text.end(),
                                      [&](const std::string& x) { return x.rfind(name, 0) == 0; }),
                       env_text.end());
        env_text.push_back(e);
    }
    std::vector<char*> envp;
    for (auto& e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *err = std::string{"fork: "} + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Dies with the test, whatever ends it.
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        auto redirect = [](const std::string& path, int fd, int flags) {
            const int f = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
            if (f >= 0 && f != fd) {
                dup2(f, fd);
                ::close(f);
            }
        };
        redirect(opt.stdin_path, 0, O_RDONLY);
        redirect(opt.stdout_path, 1, O_WRONLY | O_CREAT | O_APPEND);
        redirect(opt.stderr_path, 2, O_WRONLY | O_CREAT | O_APPEND);
        if (opt.setup && !opt.setup()) {
            _exit(126);
        }
        execve(args[0], args.data(), envp.data());
        std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    pid_ = pid;
    status_ = -1;
    return true;
}

bool child::running() {
    if (pid_ <= 0) {
        return false;
    }
    int st = 0;
    const pid_t p = waitpid(pid_, &st, WNOHANG);
    if (p == pid_ || (p < 0 && errno == ECHILD)) {
        status_ = p == pid_ ? st : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

bool child::wait(double seconds, int* status) {
    const double end = now() + seconds;
    while (running()) {
        if (now() > end) {
            return false;
        }
        sleep_ms(10);
    }
    if (status != nullptr) {
        *status = status_;
    }
    return true;
}

int child::stop(int sig, double grace) {
    if (pid_ <= 0) {
        return status_;
    }
    (void)kill(pid_, sig);
    if (!wait(grace, nullptr)) {
        (void)kill(pid_, SIGKILL);
        int st = 0;
        if (waitpid(pid_, &st, 0) == pid_) {
            status_ = st;
        }
        pid_ = -1;
    }
    return status_;
}

int run(const std::vector<std::string>& argv, std::string* out, double seconds,
        const std::string& stdin_text) {
    temp_dir tmp;
    child_options opt;
    opt.stdout_path = tmp / "out";
    opt.stderr_path = tmp / "out";
    if (!stdin_text.empty()) {
        opt.stdin_path = tmp / "in";
        if (!write_file(opt.stdin_path, stdin_text)) {
            return -1;
        }
    }
    child c;
    std::string err;
    if (!c.start(argv, opt, &err)) {
        if (out != nullptr) {
            *out = err;
        }
        return -1;
    }
    int status = -1;
    const bool ended = c.wait(seconds, &status);
    if (!ended) {
        c.stop(SIGKILL, 5);
    }
    if (out != nullptr) {
        *out = read_file(tmp / "out");
    }
    return ended ? status : -1;
}

// ---- Syslog ----

syslog_capture::~syslog_capture() {
    stop_ = true;
    if (reader_.joinable()) {
        reader_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

bool syslog_capture::start(const std::string& path, std::string* err) {
    path_ = path;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sun {};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr*>(&sun), sizeof sun) != 0) {
        *err = std::string{"syslog socket: "} + std::strerror(errno);
        return false;
    }
    (void)chmod(path.c_str(), 0666);
    reader_ = std::thread([this] {
        char buf[8192];
        while (!stop_) {
            struct pollfd pfd {
                fd_, POLLIN, 0
            };
            if (poll(&pfd, 1, 100) != 1) {
                continue;
            }
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> guard{lock_};
                lines_.emplace_back(buf, static_cast<size_t>(n));
            }
        }
    });
    return true;
}

std::vector<std::string> syslog_capture::lines() const {
    std::lock_guard<std::mutex> guard{lock_};
    return lines_;
}

bool syslog_capture::contains(const std::string& text) const {
    return count(text) > 0;
}

size_t syslog_capture::count(const std::string& text) const {
    std::lock_guard<std::mutex> guard{lock_};
    size_t n = 0;
    for (const auto& l : lines_) {
        n += l.find(text) != std::string::npos;
    }
    return n;
}

bool syslog_capture::wait_for(const std::string& text, double seconds) const {
    const double end = now() + seconds;
    while (now() < end) {
        if (contains(text)) {
            return true;
        }
        usleep(20000);
    }
    return contains(text);
}

bool enter_private_dev(const std::string& olddev, const std::string& devlog) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("/dev", olddev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0) {
        return false;
    }
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const std::string target = std::string{"/dev/"} + name;
        const int fd = open(target.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd >= 0) {
            close(fd);
        }
        (void)mount((olddev + "/" + name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr);
    }
    (void)symlink("/proc/self/fd", "/dev/fd");
    (void)symlink("/proc/self/fd/0", "/dev/stdin");
    (void)symlink("/proc/self/fd/1", "/dev/stdout");
    (void)symlink("/proc/self/fd/2", "/dev/stderr");
    const int fd = open("/dev/log", O_CREAT | O_WRONLY, 0666);
    if (fd >= 0) {
        close(fd);
    }
    const bool ok = mount(devlog.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
    (void)umount2(olddev.c_str(), MNT_DETACH);
    return ok;
}

// ---- The MTAs ----

const char* mta_name(mta_kind kind) {
    return kind == mta_kind::postfix ? "postfix" : "sendmail";
}

void PrintTo(mta_kind kind, std::ostream* os) {
    *os << mta_name(kind);
}

std::string mta_skip_reason(mta_kind kind) {
    // Both hand their mail to Postfix's smtp-sink.
    std::string why = skip_reason();
    if (!why.empty() || kind == mta_kind::postfix) {
        return why;
    }
    const std::string root = sendmail_root();
    for (const char* p : {"/usr/libexec/sendmail/sendmail", "/usr/share/sendmail/cf/m4/cf.m4"}) {
        if (access((root + p).c_str(), R_OK) != 0) {
            return "Sendmail is not unpacked in " + root + " (scripts/fetch-sendmail does it)";
        }
    }
    if (access("/usr/bin/m4", X_OK) != 0) {
        return "m4 is not installed";
    }
    return {};
}

std::unique_ptr<mta_instance> make_mta(mta_kind kind) {
    if (kind == mta_kind::postfix) {
        return std::make_unique<postfix_instance>();
    }
    return std::make_unique<sendmail_instance>();
}

bool postfix_instance::start(const mta_options& opt, std::string* err) {
    const std::string& d = dir_.path();
    if (d.empty()) {
        *err = "cannot make a temporary directory";
        return false;
    }
    smtp_port_ = free_port();
    sink_port_ = opt.relay_port > 0 ? opt.relay_port : free_port();
    for (const char* sub : {"etc", "queue", "data", "sink"}) {
        if (mkdir((d + "/" + sub).c_str(), 0755) != 0) {
            *err = std::string{"mkdir "} + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    const struct passwd* pw = getpwnam("postfix");
    const struct group* gr = getgrnam("postdrop");
    if (pw == nullptr || gr == nullptr) {
        *err = "no postfix user or postdrop group";
        return false;
    }
    // The queue as Postfix's own installation lays it out (postfix-files).
    struct queue_dir {
        const char* name;
        bool postdrop;
        mode_t mode;
    };
    constexpr queue_dir queue_dirs[] = {
        {"active", false, 0700}, {"bounce", false, 0700},   {"corrupt", false, 0700},
        {"defer", false, 0700},  {"deferred", false, 0700}, {"flush", false, 0700},
        {"hold", false, 0700},   {"incoming", false, 0700}, {"private", false, 0700},
        {"saved", false, 0700},  {"trace", false, 0700},    {"maildrop", true, 0730},
        {"public", true, 0710},
    };
    for (const auto& q : queue_dirs) {
        const std::string p = d + "/queue/" + q.name;
        if (mkdir(p.c_str(), q.mode) != 0 || chmod(p.c_str(), q.mode) != 0 ||
            chown(p.c_str(), pw->pw_uid, q.postdrop ? gr->gr_gid : static_cast<gid_t>(-1)) != 0) {
            *err = "cannot make " + p + ": " + std::strerror(errno);
            return false;
        }
    }
    if (mkdir((d + "/queue/pid").c_str(), 0755) != 0 ||
        chown((d + "/data").c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
        chmod((d + "/data").c_str(), 0700) != 0 ||
        chown((d + "/sink").c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        *err = "cannot hand the data directories to the postfix user";
        return false;
    }
    if (!write_file(d + "/etc/main.cf", main_cf(d, sink_port_, opt)) ||
        !write_file(d + "/etc/master.cf", master_cf(smtp_port_))) {
        *err = "cannot write the Postfix configuration";
        return false;
    }
    if (opt.relay_port == 0) {
        child_options so;
        so.stderr_path = d + "/sink.log";
        if (!sink_.start({"/usr/sbin/smtp-sink", "-u", "postfix", "-d", d + "/sink/%H%M%S.",
                          "127.0.0.1:" + std::to_string(sink_port_), "256"},
                         so, err) ||
            !wait_connectable(sink_port_, sink_, 10)) {
            *err = "smtp-sink did not start: " + read_file(d + "/sink.log");
            return false;
        }
    }
    child_options mo;
    mo.stderr_path = d + "/master.log";
    if (!master_.start({std::string{postfix_daemons} + "/master", "-c", d + "/etc"}, mo, err) ||
        !wait_connectable(smtp_port_, master_, 20)) {
        *err = "the Postfix master did not start: " + read_file(d + "/master.log") + log();
        return false;
    }
    return true;
}

void postfix_instance::stop() {
    const pid_t master = master_.pid();
    if (master > 0) {
        // The master stops the processes of its group and then itself; those
        // it leaves come back to us as their reaper.
        master_.stop(SIGTERM, 10);
        reap_group(master, 10);
    }
    sink_.stop(SIGTERM, 5);
}

std::string postfix_instance::log() const {
    return read_file(dir_ / "maillog");
}

size_t postfix_instance::sent_count() const {
    const std::string text = log();
    size_t n = 0;
    for (size_t at = text.find("status=sent"); at != std::string::npos;
         at = text.find("status=sent", at + 1)) {
        ++n;
    }
    return n;
}

bool postfix_instance::queue_empty() const {
    for (const char* q : {"maildrop", "incoming", "active", "deferred", "hold"}) {
        if (count_files(dir_ / ("queue/" + std::string{q})) != 0) {
            return false;
        }
    }
    return true;
}

bool mta_instance::wait_delivered(size_t n, double seconds) const {
    const double end = now() + seconds;
    while (now() < end) {
        if (sent_count() >= n && queue_empty()) {
            return true;
        }
        sleep_ms(50);
    }
    return false;
}

std::vector<std::string> postfix_instance::delivered() const {
    return sink_messages(dir_ / "sink");
}

int postfix_instance::sendmail(const std::string& from, const std::string& to,
                               const std::string& message, std::string* out) const {
    return run({"/usr/sbin/sendmail", "-C", config_dir(), "-f", from, "-i", to}, out, 60, message);
}

void postfix_instance::flush() const {
    (void)run({"/usr/sbin/postqueue", "-c", config_dir(), "-f"}, nullptr, 30);
}

// ---- A private Sendmail ----

std::string sendmail_root() {
    const char* dir = std::getenv("VELMORA_SENDMAIL_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/var/cache/velmora-sendmail/root";
}

std::string sendmail_host(int smtp_port) {
    return "mta-" + std::to_string(smtp_port) + ".velmora.test";
}

std::string sendmail_mc(const std::string& dir, int smtp_port, int relay_port,
                        const mta_options& opt) {
    std::ostringstream mc;
    mc << "divert(-1)\n"
       << "# A private Sendmail relaying everything to 127.0.0.1:" << relay_port << "\n"
       << "divert(0)dnl\n"
       << "OSTYPE(`linux')dnl\n"
       << "define(`confDOMAIN_NAME', `" << sendmail_host(smtp_port) << "')dnl\n"
       << "define(`QUEUE_DIR', `" << dir << "/queue')dnl\n"
       << "define(`confPID_FILE', `" << dir << "/sendmail.pid')dnl\n"
       << "define(`STATUS_FILE', `')dnl\n"
       << "define(`ALIAS_FILE', `')dnl\n"
       << "define(`HELP_FILE', `')dnl\n"
       << "define(`confHOSTS_FILE', `" << dir << "/etc/hosts')dnl\n"
       << "define(`confSERVICE_SWITCH_FILE', `" << dir << "/etc/service.switch')dnl\n"
       << "define(`confDONT_PROBE_INTERFACES', `True')dnl\n"
       << "define(`confDELIVERY_MODE', `background')dnl\n"
       << "define(`confLOG_LEVEL', `9')dnl\n"
       << "define(`confTO_IDENT', `0s')dnl\n"
       << "define(`confMIN_QUEUE_AGE', `0')dnl\n"
       // A busy build machine must not make it queue or refuse mail.
       << "define(`confQUEUE_LA', `1000')dnl\n"
       << "define(`confREFUSE_LA', `1000')dnl\n"
       << "define(`confMAX_DAEMON_CHILDREN', `0')dnl\n"
       << "define(`SMART_HOST', `relay:[127.0.0.1]')dnl\n"
       << "define(`RELAY_MAILER_ARGS', `TCP $h " << relay_port << "')dnl\n"
       << "define(`ESMTP_MAILER_ARGS', `TCP $h " << relay_port
       << "')dnl\n"
       // The macros the filter reads: j (this host) and i (queue id).
       << "define(`confMILTER_MACROS_CONNECT', `j, _, {daemon_name}, {if_name}, {if_addr}')dnl\n"
       << "define(`confMILTER_MACROS_ENVFROM', `i, {auth_type}, {auth_authen}')dnl\n"
       << "define(`confMILTER_MACROS_EOH', `i')dnl\n"
       << "define(`confMILTER_MACROS_EOM', `i, {msg_id}')dnl\n"
       << "FEATURE(`nocanonify')dnl\n"
       << "FEATURE(`accept_unresolvable_domains')dnl\n"
       << "FEATURE(`no_default_msa')dnl\n"
       << "DAEMON_OPTIONS(`Family=inet, Addr=127.0.0.1, Port=" << smtp_port << ", Name=MTA')dnl\n";
    const std::string timeouts = opt.milter_timeout > 0
                                     ? "C:" + std::to_string(opt.milter_timeout) +
                                           "s;S:" + std::to_string(opt.milter_timeout) +
                                           "s;R:" + std::to_string(opt.milter_timeout) +
                                           "s;E:" + std::to_string(opt.milter_timeout) + "s"
                                     : "C:10s;S:30s;R:30s;E:5m";
    std::istringstream specs{opt.milter};
    int n = 0;
    for (std::string spec; std::getline(specs, spec, ',');) {
        spec.erase(0, spec.find_first_not_of(' '));
        if (!spec.empty()) {
            // F=T: a filter that cannot be reached fails the message temporarily.
            mc << "INPUT_MAIL_FILTER(`filter" << n++ << "', `S=" << spec << ", F=T, T=" << timeouts
               << "')dnl\n";
        }
    }
    for (const auto& line : opt.extra_mc) {
        mc << line << "\n";
    }
    mc << "MAILER(`smtp')dnl\n";
    return mc.str();
}

bool sendmail_instance::start(const mta_options& opt, std::string* err) {
    const std::string& d = dir_.path();
    if (d.empty()) {
        *err = "cannot make a temporary directory";
        return false;
    }
    const std::string root = sendmail_root();
    smtp_port_ = free_port();
    sink_port_ = opt.relay_port > 0 ? opt.relay_port : free_port();
    for (const char* sub : {"etc", "queue", "sink", "olddev"}) {
        if (mkdir((d + "/" + sub).c_str(), 0755) != 0) {
            *err = std::string{"mkdir "} + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    const struct passwd* pw = getpwnam("postfix");
    if (pw == nullptr || chmod((d + "/queue").c_str(), 0700) != 0 ||
        chown((d + "/sink").c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        *err = "cannot prepare the queue and sink directories";
        return false;
    }
    const std::string host = sendmail_host(smtp_port_);
    const std::string short_name = host.substr(0, host.find('.'));
    // The packaged binary is set-group-id: a copy without the bit.
    const std::string binary = read_file(root + "/usr/libexec/sendmail/sendmail");
    const std::string mc = d + "/etc/sendmail.mc";
    if (binary.empty() || !write_file(d + "/sendmail", binary, 0755) ||
        !write_file(mc, sendmail_mc(d, smtp_port_, sink_port_, opt)) ||
        !write_file(d + "/etc/hosts",
                    "127.0.0.1 " + sendmail_host(smtp_port_) + " " + short_name + " localhost\n") ||
        !write_file(d + "/etc/service.switch", "hosts files\naliases files\n")) {
        *err = "cannot write the Sendmail files";
        return false;
    }
    {
        child m4;
        child_options o;
        o.stdout_path = d + "/etc/sendmail.cf";
        o.stderr_path = d + "/m4.log";
        int status = -1;
        if (!m4.start({"/usr/bin/m4", "-D_CF_DIR_=" + root + "/usr/share/sendmail/cf/",
                       root + "/usr/share/sendmail/cf/m4/cf.m4", mc},
                      o, err) ||
            !m4.wait(30, &status) || status != 0) {
            *err = "m4 failed on sendmail.mc: " + read_file(d + "/m4.log");
            return false;
        }
    }
    if (!syslog_.start(d + "/syslog", err)) {
        return false;
    }
    if (opt.relay_port == 0) {
        child_options so;
        so.stderr_path = d + "/sink.log";
        if (!sink_.start({"/usr/sbin/smtp-sink", "-u", "postfix", "-d", d + "/sink/%H%M%S.",
                          "127.0.0.1:" + std::to_string(sink_port_), "256"},
                         so, err) ||
            !wait_connectable(sink_port_, sink_, 10)) {
            *err = "smtp-sink did not start: " + read_file(d + "/sink.log");
            return false;
        }
    }
    child_options o;
    o.stderr_path = d + "/daemon.log";
    o.stdout_path = d + "/daemon.log";
    o.env.push_back("LD_LIBRARY_PATH=" + root + "/usr/lib/x86_64-linux-gnu");
    const std::string olddev = d + "/olddev";
    const std::string devlog = d + "/syslog";
    const std::string hosts = d + "/etc/hosts";
    o.setup = [olddev, devlog, hosts, short_name] {
        // A process group of its own (its children stay in it), and the
        // host name the private /etc/hosts qualifies.
        return setsid() > 0 && unshare(CLONE_NEWUTS) == 0 &&
               sethostname(short_name.data(), short_name.size()) == 0 &&
               enter_private_dev(olddev, devlog) &&
               mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    };
    if (!daemon_.start({d + "/sendmail", "-C", d + "/etc/sendmail.cf", "-bD", "-q5s"}, o, err) ||
        !wait_connectable(smtp_port_, daemon_, 30)) {
        *err = "Sendmail did not start: " + read_file(d + "/daemon.log") + log();
        return false;
    }
    return true;
}

void sendmail_instance::stop() {
    const pid_t daemon = daemon_.pid();
    if (daemon > 0) {
        // The daemon stops its children on SIGTERM; those left come back to
        // us as their reaper.
        daemon_.stop(SIGTERM, 10);
        reap_group(daemon, 10);
    }
    sink_.stop(SIGTERM, 5);
}

std::string sendmail_instance::log() const {
    std::string text;
    for (const auto& line : syslog_.lines()) {
        text += line + "\n";
    }
    return text;
}

size_t sendmail_instance::sent_count() const {
    return syslog_.count("stat=Sent");
}

bool sendmail_instance::queue_empty() const {
    for (const auto& name : list_dir(dir_ / "queue")) {
        // Queue, data and temporary files of a message.
        if (name.size() > 2 && name[1] == 'f' && std::strchr("dqt", name[0]) != nullptr) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> sendmail_instance::delivered() const {
    return sink_messages(dir_ / "sink");
}

// ---- SMTP ----

smtp_session::~smtp_session() {
    close();
}

bool smtp_session::open(int port, std::string* err) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *err = std::string{"socket: "} + std::strerror(errno);
        return false;
    }
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0) {
        *err = std::string{"connect: "} + std::strerror(errno);
        close();
        return false;
    }
    const int one = 1;
    (void)setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval tv{120, 0};
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (read_reply() != 220 || command("EHLO client.velmora.test") != 250) {
        *err = "greeting failed: " + reply_;
        close();
        return false;
    }
    return true;
}

void smtp_session::close() {
    if (fd_ >= 0) {
        const std::string quit = "QUIT\r\n";
        (void)::send(fd_, quit.data(), quit.size(), MSG_NOSIGNAL);
        ::close(fd_);
        fd_ = -1;
    }
    buf_.clear();
}

int smtp_session::read_reply() {
    reply_.clear();
    for (;;) {
        const size_t eol = buf_.find("\r\n");
        if (eol != std::string::npos) {
            const std::string line = buf_.substr(0, eol);
            buf_.erase(0, eol + 2);
            reply_ += line + "\n";
            if (line.size() < 4 || line[3] != '-') {
                return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : -1;
            }
            continue;
        }
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close();
            return -1;
        }
        buf_.append(chunk, static_cast<size_t>(n));
    }
}

int smtp_session::command(const std::string& line) {
    if (fd_ < 0) {
        return -1;
    }
    const std::string wire = line + "\r\n";
    if (::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size())) {
        close();
        return -1;
    }
    return read_reply();
}

int smtp_session::send(const std::string& from, const std::string& to, const std::string& message) {
    int rc = command("MAIL FROM:<" + from + ">");
    if (rc != 250) {
        return rc;
    }
    if ((rc = command("RCPT TO:<" + to + ">")) != 250) {
        (void)command("RSET");
        return rc;
    }
    if ((rc = command("DATA")) != 354) {
        (void)command("RSET");
        return rc;
    }
    std::string wire;
    wire.reserve(message.size() + message.size() / 20 + 8);
    size_t start = 0;
    while (start < message.size()) {
        size_t eol = message.find('\n', start);
        if (eol == std::string::npos) {
            eol = message.size();
        }
        if (message[start] == '.') {
            wire += '.';
        }
        wire.append(message, start, eol - start);
        wire += "\r\n";
        start = eol + 1;
    }
    wire += ".";
    return command(wire);
}

// ---- Messages ----

std::string header_block(const std::string& message) {
    if (message.rfind("\n", 0) == 0) {
        return {};
    }
    const size_t at = message.find("\n\n");
    return at == std::string::npos ? message : message.substr(0, at + 1);
}

std::string body_of(const std::string& message) {
    if (message.rfind("\n", 0) == 0) {
        return message.substr(1);
    }
    const size_t at = message.find("\n\n");
    return at == std::string::npos ? std::string{} : message.substr(at + 2);
}

namespace {

// The header fields as (name, unfolded value) pairs.
std::vector<std::pair<std::string, std::string>> fields(const std::string& message) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in{header_block(message)};
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !out.empty()) {
            out.back().second += line;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        out.emplace_back(line.substr(0, colon), value);
    }
    return out;
}

}  // namespace

std::vector<std::string> field_values(const std::string& message, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& [n, v] : fields(message)) {
        if (strcasecmp(n.c_str(), name.c_str()) == 0) {
            const size_t first = v.find_first_not_of(" \t");
            out.push_back(first == std::string::npos ? std::string{} : v.substr(first));
        }
    }
    return out;
}

std::vector<std::string> field_names(const std::string& message) {
    std::vector<std::string> out;
    for (const auto& f : fields(message)) {
        out.push_back(f.first);
    }
    return out;
}

}  // namespace velmora_e2e
