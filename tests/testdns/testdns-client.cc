// SPDX-License-Identifier: BSD-2-Clause
// testdns-client.cc - starting velmora-testdns and pointing the stub resolver
// at it; see testdns-client.h.
#include "testdns-client.h"

#if VELMORA_HAVE_UNSHARE
#include <sched.h>
#include <sys/mount.h>
#endif
#if VELMORA_HAVE_PRCTL
#include <sys/prctl.h>
#endif
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace velmora_testdns {

namespace {

constexpr int ex_unavailable = 69;

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out << text;
    return static_cast<bool>(out.flush());
}

void remove_tree(const std::string& dir) {
    if (dir.empty()) {
        return;
    }
    for (const char* f : {"zone", "ready", "ready.tmp", "resolv.conf", "queries"}) {
        (void)unlink((dir + "/" + f).c_str());
    }
    (void)rmdir(dir.c_str());
}

}  // namespace

std::string skip_reason() {
    if (geteuid() != 0) {
        return "needs root: velmora-testdns binds port 53, and /etc/resolv.conf is bind-mounted "
               "in a private mount namespace";
    }
    return {};
}

bool server::start(const std::string& zone_text, std::string* err,
                   const std::vector<std::string>& args) {
    stop();
    char tmpl[] = "/tmp/velmora-testdns.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *err = std::string{"mkdtemp: "} + std::strerror(errno);
        return false;
    }
    dir_ = tmpl;
    const std::string zone = dir_ + "/zone";
    const std::string ready = dir_ + "/ready";
    if (!write_text(zone, zone_text)) {
        *err = "cannot write " + zone;
        return false;
    }
    const unsigned base = static_cast<unsigned>(getpid());
    for (unsigned attempt = 0; attempt < 8; ++attempt) {
        const unsigned n = base + attempt * 7919;
        address_ =
            "127.53." + std::to_string(1 + (n >> 8) % 250) + "." + std::to_string(1 + n % 250);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) {
            *err = std::string{"fork: "} + std::strerror(errno);
            return false;
        }
        if (pid == 0) {
#if VELMORA_HAVE_PRCTL
            (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            if (getppid() != parent) {
                _exit(1);
            }
            const std::string log = dir_ + "/queries";
            std::vector<const char*> argv{"velmora-testdns", "-a", address_.c_str(), "-r",
                                          ready.c_str(),     "-l", log.c_str()};
            for (const auto& a : args) {
                argv.push_back(a.c_str());
            }
            argv.push_back(zone.c_str());
            argv.push_back(nullptr);
            execv(VELMORA_TESTDNS_PROGRAM, const_cast<char* const*>(argv.data()));
            std::fprintf(stderr, "exec %s: %s\n", VELMORA_TESTDNS_PROGRAM, std::strerror(errno));
            _exit(127);
        }
        // Wait up to ten seconds for the ready marker, or for the server to give up.
        for (int i = 0; i < 1000; ++i) {
            if (access(ready.c_str(), F_OK) == 0) {
                pid_ = pid;
                return true;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                if (WIFEXITED(status) && WEXITSTATUS(status) == ex_unavailable) {
                    break;  // address in use: try the next one
                }
                *err = "velmora-testdns exited with status " + std::to_string(status);
                return false;
            }
            usleep(10000);
        }
        if (access(ready.c_str(), F_OK) != 0) {
            (void)kill(pid, SIGKILL);
            (void)waitpid(pid, nullptr, 0);
        }
    }
    *err = "velmora-testdns found no free loopback address";
    return false;
}

std::vector<std::string> server::queries() const {
    std::vector<std::string> out;
    std::ifstream in{dir_ + "/queries"};
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

int server::count_queries(const std::string& name, int type) const {
    std::string want;
    for (char c : name) {
        want.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (!want.empty() && want.back() == '.') {
        want.pop_back();
    }
    want += " " + std::to_string(type);
    int n = 0;
    for (const auto& q : queries()) {
        n += q == want ? 1 : 0;
    }
    return n;
}

void server::stop() {
    if (pid_ > 0) {
        (void)kill(pid_, SIGTERM);
        (void)waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    remove_tree(dir_);
    dir_.clear();
}

bool enter_resolver_namespace(const std::string& address, std::string* err) {
#if !VELMORA_HAVE_UNSHARE
    (void)address;
    *err = "needs Linux mount namespaces (unshare)";
    return false;
#else
    char tmpl[] = "/tmp/velmora-resolv.XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) {
        *err = std::string{"mkstemp: "} + std::strerror(errno);
        return false;
    }
    const std::string conf = "nameserver " + address + "\noptions timeout:1 attempts:1\n";
    const bool written = write(fd, conf.data(), conf.size()) == static_cast<ssize_t>(conf.size());
    close(fd);
    (void)chmod(tmpl, 0644);
    if (!written) {
        *err = "cannot write the resolver configuration";
        (void)unlink(tmpl);
        return false;
    }
    // Private propagation first, or the bind mount would show in the parent
    // namespace, that is, on the machine.
    bool ok = true;
    if (unshare(CLONE_NEWNS) != 0) {
        *err = std::string{"unshare(CLONE_NEWNS): "} + std::strerror(errno);
        ok = false;
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *err = std::string{"making / private: "} + std::strerror(errno);
        ok = false;
    } else if (mount(tmpl, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        *err = std::string{"bind-mounting /etc/resolv.conf: "} + std::strerror(errno);
        ok = false;
    }
    // The mount keeps the file alive; its name is no longer needed.
    (void)unlink(tmpl);
    return ok;
#endif
}

bool start_and_enter(server& srv, const std::string& zone_text, std::string* err) {
    return srv.start(zone_text, err) && enter_resolver_namespace(srv.address(), err);
}

int run_in_resolver_namespace(const std::string& address, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        std::string err;
        if (!enter_resolver_namespace(address, &err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            _exit(255);
        }
        _exit(body() & 0xff);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    const int rc = WEXITSTATUS(status);
    return rc == 255 ? -1 : rc;
}

std::string txt_strings(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i += 255) {
        out += "\"" + text.substr(i, 255) + "\" ";
    }
    return out;
}

std::string forward_configuration(const std::string& address) {
    return "server:\n  do-not-query-localhost: no\n"
           "forward-zone:\n  name: \".\"\n  forward-addr: " +
           address + "\n";
}

bool sign_zone(const std::string& dir, const std::string& origin, const std::string& zone_text,
               std::vector<std::string>* lines, std::string* anchor, std::string* err) {
    const std::string base = dir + "/" + origin;
    if (!write_text(base + ".zone", zone_text)) {
        *err = "cannot write " + base + ".zone";
        return false;
    }
    const std::string in_dir = "cd '" + dir + "' && ";
    const std::string z = "'" + origin + "'";  // every file is named after the zone
    for (const std::string& cmd :
         {in_dir + "ldns-keygen -a RSASHA256 -b 1024 " + z + " > " + z + ".zsk 2>/dev/null",
          in_dir + "ldns-keygen -k -a RSASHA256 -b 1024 " + z + " > " + z + ".ksk 2>/dev/null",
          in_dir + "ldns-signzone -f " + z + ".signed " + z + ".zone $(cat " + z + ".zsk) $(cat " +
              z + ".ksk)",
          in_dir + "ldns-read-zone -U TYPE255 " + z + ".signed > " + z + ".generic 2>/dev/null",
          in_dir + "cp $(cat " + z + ".ksk).ds " + z + ".anchor"}) {
        if (std::system(cmd.c_str()) != 0) {
            *err = "failed: " + cmd;
            return false;
        }
    }
    std::ifstream in{base + ".generic"};
    lines->clear();
    for (std::string line; std::getline(in, line);) {
        lines->push_back(line);
    }
    *anchor = base + ".anchor";
    return true;
}

}  // namespace velmora_testdns
