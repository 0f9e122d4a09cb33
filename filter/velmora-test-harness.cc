// SPDX-License-Identifier: BSD-2-Clause
// velmora-test-harness.cc - test mode: message files run through the
// filter's own callbacks as one connection, without an MTA.
//
// Plays the MTA: connects once, feeds each file as one message (sender, header
// fields, end of headers, body chunks, end of message) and reports what each
// callback answered on standard error; the test operations print the changes.
// Memory:  the C library's allocator and std containers: the harness runs
//          only in test mode, where running out of memory may end the program.
// Errors:  a sysexits status; every message goes to standard error.
// Threads: the program's main thread only.
#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sysexits.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "velmora-callbacks.h"
#include "velmora-config.h"
#include "velmora-test.h"

namespace {

// Bytes of header and body text handed over at once, as the MTA's buffers.
constexpr size_t header_max = 65536;
constexpr size_t body_chunk_max = 65534;

// One run: the test context, the client and where the run stands.
struct run {
    SMFICTX* ctx;
    const arcf_testclient* client;
    int verbosity;
    int eom_status;  // worst end-of-message outcome so far, as an exit status
};

// Reports a callback's answer by the reporting rule; an answer that ends the
// run or an end of message other than ACCEPT is always reported.
__attribute__((format(printf, 4, 5))) void report(const run& r, sfsistat status, bool always,
                                                  const char* fmt, ...) {
    if (r.verbosity < 2 && !always && (r.verbosity < 1 || status == SMFIS_CONTINUE)) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

const char* status_name(sfsistat status) {
    return status >= 0 && status < 5 ? arcf_status_names[status] : "(unknown status)";
}

// Reads one line without its LF (and a CR before it, or a CR ending the
// file); false at the end of the file or on a read error.
bool read_line(FILE* f, std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return any;
}

// The state of one message file.
struct message_file {
    const char* name;
    std::string field;   // the header field being collected
    int field_line = 0;  // its first line
    std::string body;    // body text not yet handed over
};

// Hands the collected field to mlfi_header; returns 0 or an exit status.
int pass_field(run& r, message_file& m, int lineno, int reportline) {
    const size_t colon = m.field.find(':');
    if (colon == std::string::npos) {
        fprintf(stderr, "%s: %s: line %d: header malformed\n", progname, m.name, lineno);
        return EX_DATAERR;
    }
    std::string name = m.field.substr(0, colon);
    std::string value = m.field.substr(colon + 1);
    // The MTA drops the blank after the colon unless leading blanks are kept.
    if (!r.client->tc_leadspc && !value.empty() && value[0] == ' ') {
        value.erase(0, 1);
    }
    m.field.clear();
    const sfsistat st = mlfi_header(r.ctx, name.data(), value.data());
    report(r, st, st != SMFIS_CONTINUE, "%s: %s: line %d: mlfi_header() returned %s\n", progname,
           m.name, reportline, status_name(st));
    return st == SMFIS_CONTINUE ? 0 : EX_SOFTWARE;
}

int end_headers(run& r, const message_file& m) {
    const sfsistat st = mlfi_eoh(r.ctx);
    report(r, st, st != SMFIS_CONTINUE, "%s: %s: mlfi_eoh() returned %s\n", progname, m.name,
           status_name(st));
    return st == SMFIS_CONTINUE ? 0 : EX_SOFTWARE;
}

int flush_body(run& r, message_file& m) {
    if (m.body.empty()) {
        return 0;
    }
    const sfsistat st =
        mlfi_body(r.ctx, reinterpret_cast<unsigned char*>(m.body.data()), m.body.size());
    m.body.clear();
    report(r, st, st != SMFIS_CONTINUE, "%s: %s: mlfi_body() returned %s\n", progname, m.name,
           status_name(st));
    return st == SMFIS_CONTINUE ? 0 : EX_SOFTWARE;
}

// Appends one body line with CR LF; a line longer than a chunk is handed over
// in pieces.
int add_body_line(run& r, message_file& m, const std::string& line) {
    if (m.body.size() + line.size() >= body_chunk_max - 1) {
        if (int status = flush_body(r, m); status != 0) {
            return status;
        }
    }
    const std::string text = line + "\r\n";
    for (size_t pos = 0; pos < text.size();) {
        const size_t n = std::min(text.size() - pos, body_chunk_max - m.body.size());
        m.body.append(text, pos, n);
        pos += n;
        if (m.body.size() == body_chunk_max) {
            if (int status = flush_body(r, m); status != 0) {
                return status;
            }
        }
    }
    return 0;
}

// Reads the header block; returns 0 with *in_body set when a blank line ended
// it, or an exit status.
int read_headers(run& r, message_file& m, FILE* f, int& lineno, bool& in_body) {
    std::string line;
    while (read_line(f, line)) {
        ++lineno;
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (m.field.size() + 2 + line.size() >= header_max) {
                fprintf(stderr, "%s: %s: line %d: header '%.*s...' too large\n", progname, m.name,
                        lineno, 20, m.field.c_str());
                return EX_DATAERR;
            }
            m.field += "\r\n";
            m.field += line;
            continue;
        }
        if (!m.field.empty() || m.field_line != 0) {
            if (int status = pass_field(r, m, lineno, m.field_line); status != 0) {
                return status;
            }
            m.field_line = 0;
        }
        if (line.empty()) {
            in_body = true;
            return end_headers(r, m);
        }
        if (line.size() >= header_max) {
            fprintf(stderr, "%s: %s: line %d: header '%.*s...' too large\n", progname, m.name,
                    lineno, 20, line.c_str());
            return EX_DATAERR;
        }
        m.field = line;
        m.field_line = lineno;
    }
    return 0;
}

// Runs one message file; returns 0 or an exit status.
int testfile(run& r, FILE* f, const char* name) {
    message_file m{name, {}, 0, {}};
    char sender[] = "<test-sender@localhost>";
    char* envfrom[] = {sender, nullptr};
    sfsistat st = mlfi_envfrom(r.ctx, envfrom);
    report(r, st, st != SMFIS_CONTINUE, "%s: %s: mlfi_envfrom() returned %s\n", progname, name,
           status_name(st));
    if (st != SMFIS_CONTINUE) {
        return EX_SOFTWARE;
    }
    int lineno = 0;
    bool in_body = false;
    if (int status = read_headers(r, m, f, lineno, in_body); status != 0) {
        return status;
    }
    if (!in_body) {
        if (m.field_line != 0) {
            if (int status = pass_field(r, m, lineno, lineno); status != 0) {
                return status;
            }
        } else {
            fprintf(stderr, "%s: %s: warning: no headers on input\n", progname, name);
        }
        if (int status = end_headers(r, m); status != 0) {
            return status;
        }
    } else {
        std::string line;
        while (read_line(f, line)) {
            if (int status = add_body_line(r, m, line); status != 0) {
                return status;
            }
        }
        if (int status = flush_body(r, m); status != 0) {
            return status;
        }
    }
    st = mlfi_eom(r.ctx);
    report(r, st, st != SMFIS_ACCEPT, "%s: %s: mlfi_eom() returned %s\n", progname, name,
           status_name(st));
    if (st != SMFIS_ACCEPT && r.eom_status == 0) {
        r.eom_status = st == SMFIS_TEMPFAIL ? EX_TEMPFAIL : EX_SOFTWARE;
    }
    return 0;
}

// Runs every file of the list; returns 0 or the status of the first failure.
int testlist(run& r, char* flist) {
    for (char *save = nullptr, *name = strtok_r(flist, ",", &save); name != nullptr;
         name = strtok_r(nullptr, ",", &save)) {
        const bool is_stdin = strcmp(name, "-") == 0;
        const char* shown = is_stdin ? "(stdin)" : name;
        FILE* f = is_stdin ? stdin : fopen(name, "r");
        if (f == nullptr) {
            fprintf(stderr, "%s: %s: fopen(): %s\n", progname, name, strerror(errno));
            return EX_UNAVAILABLE;
        }
        const int status = testfile(r, f, shown);
        if (!is_stdin) {
            fclose(f);
        }
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

}  // namespace

int arcf_testfiles(arc_library* libvelmora, char* flist, int verbosity) noexcept {
    assert(libvelmora != NULL);
    assert(flist != NULL);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(time(nullptr) & 0xffff));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const arcf_testclient client{"localhost", reinterpret_cast<const struct sockaddr*>(&sin), 0,
                                 false};
    return arcf_testfiles_as(libvelmora, flist, verbosity, &client);
}

int arcf_testfiles_as(arc_library* libvelmora, char* flist, int verbosity,
                      const arcf_testclient* client) noexcept {
    assert(libvelmora != NULL);
    assert(flist != NULL);
    assert(client != NULL);
    test_verbosity = verbosity;
    SMFICTX* ctx = arcf_test_context_new();
    if (ctx == nullptr) {
        fprintf(stderr, "%s: malloc(): %s\n", progname, strerror(errno));
        return EX_OSERR;
    }
    run r{ctx, client, verbosity, 0};
    int status = 0;
    if (client->tc_actions != 0) {
        unsigned long f0 = 0, f1 = 0, f2 = 0, f3 = 0;
        const unsigned long steps = client->tc_leadspc ? SMFIP_HDR_LEADSPC : 0;
        const sfsistat st =
            mlfi_negotiate(ctx, client->tc_actions, steps, 0, 0, &f0, &f1, &f2, &f3);
        report(r, st, st != SMFIS_CONTINUE, "%s: mlfi_negotiate() returned %s\n", progname,
               status_name(st));
        status = st == SMFIS_CONTINUE ? 0 : EX_SOFTWARE;
    }
    std::string host = client->tc_host;
    if (status == 0) {
        const sfsistat st =
            mlfi_connect(ctx, host.data(), const_cast<struct sockaddr*>(client->tc_addr));
        report(r, st, st != SMFIS_CONTINUE, "%s: mlfi_connect() returned %s\n", progname,
               status_name(st));
        status = st == SMFIS_CONTINUE ? 0 : EX_SOFTWARE;
    }
    if (status == 0) {
        status = testlist(r, flist);
    }
    // Close also after a failure, so the connection's reference is dropped.
    const sfsistat st = mlfi_close(ctx);
    if (status == 0) {
        report(r, st, false, "%s: mlfi_close() returned %s\n", progname, status_name(st));
    }
    arcf_test_context_free(ctx);
    return status != 0 ? status : r.eom_status;
}
