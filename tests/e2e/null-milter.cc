// SPDX-License-Identifier: BSD-2-Clause
// null-milter.cc - a milter that does nothing: the yardstick of the Postfix
// benchmark and the first filter the end-to-end harness runs.
//
// It asks for every part of the message a real filter reads (headers, body)
// and answers continue to each and accept at the end, changing nothing.
// Options: -p SOCKET (required), -i to insert one header field per message
// (to show the cost of a small reply packet under Nagle's algorithm), -N to
// set TCP_NODELAY on an inet listening socket, -S TEXT to replace the subject
// (as a mailing list does), -f to stay in the foreground (always: it never
// forks; accepted for symmetry with velmora).
// Memory:  none kept per message.
// Errors:  start-up failures print on standard error and exit 69 or 64.
// Threads: libmilter's; the callbacks keep no state.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libmilter/mfapi.h>

namespace {

bool insert_field = false;
const char* new_subject = nullptr;

sfsistat on_header(SMFICTX*, char*, char*) {
    return SMFIS_CONTINUE;
}
sfsistat on_eoh(SMFICTX*) {
    return SMFIS_CONTINUE;
}
sfsistat on_body(SMFICTX*, unsigned char*, size_t) {
    return SMFIS_CONTINUE;
}
sfsistat on_eom(SMFICTX* ctx) {
    if (insert_field) {
        char name[] = "X-Null-Milter";
        char value[] = "passed";
        if (smfi_insheader(ctx, 1, name, value) != MI_SUCCESS) {
            return SMFIS_TEMPFAIL;
        }
    }
    if (new_subject != nullptr) {
        char name[] = "Subject";
        if (smfi_chgheader(ctx, name, 1, const_cast<char*>(new_subject)) != MI_SUCCESS) {
            return SMFIS_TEMPFAIL;
        }
    }
    return SMFIS_ACCEPT;
}

// Sets TCP_NODELAY on every listening inet socket of this process (the one
// libmilter opened); Linux hands it down to the accepted connections.
void set_nodelay_on_listeners() {
    struct rlimit rl;
    const int max = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096
                        ? static_cast<int>(rl.rlim_cur)
                        : 4096;
    for (int fd = 0; fd < max; ++fd) {
        int listening = 0;
        socklen_t len = sizeof listening;
        struct sockaddr_storage ss;
        socklen_t sslen = sizeof ss;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
            getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &sslen) != 0 ||
            (ss.ss_family != AF_INET && ss.ss_family != AF_INET6)) {
            continue;
        }
        const int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* sock = nullptr;
    bool nodelay = false;
    for (int c; (c = getopt(argc, argv, "fiNp:S:")) != -1;) {
        switch (c) {
            case 'f':
                break;
            case 'i':
                insert_field = true;
                break;
            case 'N':
                nodelay = true;
                break;
            case 'p':
                sock = optarg;
                break;
            case 'S':
                new_subject = optarg;
                break;
            default:
                std::fprintf(stderr, "usage: %s -p socket [-i] [-N] [-S subject]\n", argv[0]);
                return 64;
        }
    }
    if (sock == nullptr || optind != argc) {
        std::fprintf(stderr, "usage: %s -p socket [-i] [-N] [-S subject]\n", argv[0]);
        return 64;
    }
    struct smfiDesc desc;
    std::memset(&desc, 0, sizeof desc);
    desc.xxfi_name = const_cast<char*>("null milter");
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags =
        (insert_field ? SMFIF_ADDHDRS : 0) | (new_subject != nullptr ? SMFIF_CHGHDRS : 0);
    desc.xxfi_header = on_header;
    desc.xxfi_eoh = on_eoh;
    desc.xxfi_body = on_body;
    desc.xxfi_eom = on_eom;
    if (smfi_setconn(const_cast<char*>(sock)) != MI_SUCCESS || smfi_register(desc) != MI_SUCCESS ||
        smfi_opensocket(true) != MI_SUCCESS) {
        std::fprintf(stderr, "%s: cannot open milter socket %s\n", argv[0], sock);
        return 69;
    }
    if (nodelay) {
        set_nodelay_on_listeners();
    }
    return smfi_main();
}
