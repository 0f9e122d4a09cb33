// SPDX-License-Identifier: BSD-2-Clause
// velmora-fixture.cc - keys, the syslog capture, velmora's namespace and
// chain validation for the end-to-end tests; see velmora-fixture.h.
#include "velmora-fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "../test-keys.h"
#include "testdns-client.h"
#include "velmora.h"

namespace velmora_e2e {

namespace {

// Writes the private key to DIR/NAME.pem (mode 0600) and fills in the record.
test_key store_key(EVP_PKEY* key, const std::string& dir, const std::string& name) {
    test_key out;
    if (key == nullptr) {
        return out;
    }
    const std::string path = dir + "/" + name + ".pem";
    FILE* f = fopen(path.c_str(), "w");
    if (f != nullptr) {
        (void)fchmod(fileno(f), 0600);
        const bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        fclose(f);
        if (ok) {
            out.pem_path = path;
        }
    }
    out.record = velmora_test::key_record(key);
    EVP_PKEY_free(key);
    return out;
}

}  // namespace

test_key make_key(const std::string& dir, const std::string& name, int bits) {
    return store_key(EVP_RSA_gen(static_cast<unsigned>(bits)), dir, name);
}

test_key make_ed25519_key(const std::string& dir, const std::string& name) {
    return store_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), dir, name);
}

// ---- velmora ----

child_options velmora_child_options(const std::string& scratch, const std::string& devlog,
                                    const std::string& dns_address,
                                    const std::string& stderr_path) {
    const std::string olddev = scratch + "/olddev";
    (void)mkdir(olddev.c_str(), 0755);
    child_options opt;
    opt.stderr_path = stderr_path;
    opt.setup = [olddev, devlog, dns_address] {
        if (!dns_address.empty()) {
            std::string err;
            if (!velmora_testdns::enter_resolver_namespace(dns_address, &err)) {
                return false;
            }
        }
        return enter_private_dev(olddev, devlog);
    };
    return opt;
}

std::string velmora_program() {
    return VELMORA_PROGRAM;
}

namespace {

// A connected socket to the milter, or -1.
int milter_connect(const std::string& spec) {
    int fd = -1;
    bool ok = false;
    if (spec.rfind("unix:", 0) == 0 || spec.rfind("local:", 0) == 0) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        snprintf(sun.sun_path, sizeof sun.sun_path, "%s", spec.substr(spec.find(':') + 1).c_str());
        ok = fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&sun), sizeof sun) == 0;
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(std::atoi(spec.c_str() + 5)));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0;
    }
    if (!ok && fd >= 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

bool milter_listening(const std::string& spec) {
    const int fd = milter_connect(spec);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

bool milter_negotiate(const std::string& spec) {
    // Version 6, every action, every protocol step offered.
    return milter_negotiate_actions(spec, 6, 0x1ff) >= 0;
}

long milter_negotiate_actions(const std::string& spec, unsigned version, unsigned long offered) {
    const int fd = milter_connect(spec);
    if (fd < 0) {
        return -1;
    }
    // SMFIC_OPTNEG: length 13, 'O', version, actions, protocol steps.
    auto be32 = [](unsigned char* p, unsigned long v) {
        p[0] = static_cast<unsigned char>(v >> 24);
        p[1] = static_cast<unsigned char>(v >> 16);
        p[2] = static_cast<unsigned char>(v >> 8);
        p[3] = static_cast<unsigned char>(v);
    };
    unsigned char optneg[17] = {0, 0, 0, 13, 'O'};
    be32(optneg + 5, version);
    be32(optneg + 9, offered);
    be32(optneg + 13, 0x1fffff);
    bool ok = write(fd, optneg, sizeof optneg) == static_cast<ssize_t>(sizeof optneg);
    unsigned char reply[64];
    struct pollfd pfd {
        fd, POLLIN, 0
    };
    const ssize_t got = ok && poll(&pfd, 1, 5000) == 1 ? read(fd, reply, sizeof reply) : -1;
    ok = got >= 13 && reply[4] == 'O';
    const long actions =
        ok ? static_cast<long>((static_cast<unsigned long>(reply[9]) << 24) |
                               (static_cast<unsigned long>(reply[10]) << 16) |
                               (static_cast<unsigned long>(reply[11]) << 8) | reply[12])
           : -1;
    // SMFIC_QUIT.
    const unsigned char quit[] = {0, 0, 0, 1, 'Q'};
    (void)!write(fd, quit, sizeof quit);
    close(fd);
    return actions;
}

// ---- Validation ----

std::string tag_value(const std::string& value, const std::string& tag) {
    std::istringstream in{value};
    std::string part;
    while (std::getline(in, part, ';')) {
        const size_t eq = part.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string name = part.substr(0, eq);
        name.erase(0, name.find_first_not_of(" \t\r\n"));
        name.erase(name.find_last_not_of(" \t\r\n") + 1);
        if (name == tag) {
            std::string v = part.substr(eq + 1);
            v.erase(0, v.find_first_not_of(" \t\r\n"));
            v.erase(v.find_last_not_of(" \t\r\n") + 1);
            return v;
        }
    }
    return {};
}

std::string validate_chain(const std::string& message, const std::string& keyfile, int* instance) {
    *instance = 0;
    for (const auto& seal : field_values(message, "ARC-Seal")) {
        *instance = std::max(*instance, std::atoi(tag_value(seal, "i").c_str()));
    }
    arc_library* lib = arc_init();
    if (lib == nullptr) {
        return "no library";
    }
    std::string state = "error";
    const char* err = nullptr;
    if (arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, const_cast<char*>(keyfile.c_str()),
                    0) == ARC_STAT_OK) {
        arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                                   ARC_MODE_VERIFY, &err);
        if (msg != nullptr) {
            // The header fields as an MTA hands them over: CRLF, no final end.
            const std::string head = header_block(message);
            std::string field;
            bool ok = true;
            auto flush = [&] {
                if (!field.empty()) {
                    ok = ok &&
                         arc_header_field(msg, reinterpret_cast<const unsigned char*>(field.data()),
                                          field.size()) == ARC_STAT_OK;
                    field.clear();
                }
            };
            std::istringstream in{head};
            for (std::string line; std::getline(in, line);) {
                if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
                    field += "\r\n" + line;
                } else {
                    flush();
                    field = line;
                }
            }
            flush();
            std::string body;
            std::istringstream bin{body_of(message)};
            for (std::string line; std::getline(bin, line);) {
                body += line + "\r\n";
            }
            // The state comes from end of message whatever the earlier
            // steps found; a refused field is a broken chain.
            (void)arc_eoh(msg);
            if (!body.empty()) {
                (void)arc_body(msg, reinterpret_cast<const unsigned char*>(body.data()),
                               body.size());
            }
            (void)arc_eom(msg);
            state = ok ? arc_chain_status_str(msg) : "refused";
            arc_free(msg);
        }
    }
    arc_close(lib);
    return state;
}

}  // namespace velmora_e2e
