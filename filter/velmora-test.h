// SPDX-License-Identifier: BSD-2-Clause
// velmora-test.h - test mode: the test operations that stand in for the milter
// library, the test context they work on, and the verbosity of the run.
//
// Memory:  a test context owns the macro values it handed out; all are freed
//          with the context by arcf_test_context_free().
// Errors:  the operations return MI_SUCCESS (0); caller errors are assertions.
// Threads: test mode runs the callbacks in the program's main thread only.
#ifndef VELMORA_FILTER_VELMORA_TEST_H
#define VELMORA_FILTER_VELMORA_TEST_H

#include <sys/socket.h>

#include <libmilter/mfapi.h>

#include "velmora.h"

// Verbosity of the test run (the number of -v). The operations that print do
// so only at 2 or more. Stored by the harness before the first callback.
extern int test_verbosity;

// ---- The test context ----

// Creates a test context, to be passed to the callbacks as their milter
// context. Its private data pointer starts null. Returns null when memory runs
// out; the caller frees it with arcf_test_context_free().
SMFICTX* arcf_test_context_new() noexcept;
// Frees a test context and every macro value arcf_test_getsymval() returned
// for it; null is allowed.
void arcf_test_context_free(SMFICTX* ctx) noexcept;

// ---- Test operations ----

// Each takes the arguments of the milter library call it replaces and asserts
// "ctx != NULL" first. Those that print write one line to standard output,
// only when test_verbosity is 2 or more, with a null text shown as "(null)":
//   insheader   "### INSHEADER: idx=%d hname='%s' hvalue='%s'\n"
//   chgheader   "### CHGHEADER: hname='%s' idx=%d hvalue='%s'\n"
//   addheader   "### ADDHEADER: hname='%s' hvalue='%s'\n"
//   quarantine  "### QUARANTINE: reason='%s'\n"
//   setreply    "### SETREPLY: rcode='%s' xcode='%s' replytxt='%s'\n"
//   addrcpt     "### ADDRCPT: '%s'\n"
//   delrcpt     "### DELRCPT: '%s'\n"
//   progress    "### PROGRESS\n"
// All return 0 except getpriv and getsymval.

// Stores the private data pointer in the test context.
int arcf_test_setpriv(SMFICTX* ctx, void* ptr) noexcept;
// Returns the stored private data pointer (null for a new context).
void* arcf_test_getpriv(SMFICTX* ctx) noexcept;
int arcf_test_insheader(SMFICTX* ctx, int idx, const char* hname, const char* hvalue) noexcept;
int arcf_test_chgheader(SMFICTX* ctx, const char* hname, int idx, const char* hvalue) noexcept;
int arcf_test_addheader(SMFICTX* ctx, const char* hname, const char* hvalue) noexcept;
int arcf_test_quarantine(SMFICTX* ctx, const char* reason) noexcept;
int arcf_test_setreply(SMFICTX* ctx, const char* rcode, const char* xcode,
                       const char* replytxt) noexcept;
// Asserts "addr != NULL".
int arcf_test_addrcpt(SMFICTX* ctx, const char* addr) noexcept;
// Asserts "addr != NULL".
int arcf_test_delrcpt(SMFICTX* ctx, const char* addr) noexcept;
int arcf_test_progress(SMFICTX* ctx) noexcept;
// Returns "DEBUG-" followed by the macro name, as a new text owned by the test
// context (each call a separate copy, freed with the context); null when
// memory runs out. Asserts "sym != NULL".
char* arcf_test_getsymval(SMFICTX* ctx, const char* sym) noexcept;

// ---- The test harness ----

// Runs the message files named in `flist` (comma-separated, cut in place;
// "-" is standard input, shown as "(stdin)") through the filter's callbacks as
// one connection from "localhost" at 127.0.0.1, one message per file, and
// reports the callbacks' answers on standard error by verbosity. Returns 0, or
// the sysexits status of the first failure: 65 a malformed or too large header
// field, 69 a file that cannot be opened, 70 a callback that did not continue,
// 71 no memory; when every file ran but an end of message answered other than
// SMFIS_ACCEPT, 75 for SMFIS_TEMPFAIL and 70 otherwise (that answer is always
// reported). Asserts "libvelmora != NULL" and "flist != NULL".
int arcf_testfiles(arc_library* libvelmora, char* flist, int verbosity) noexcept;

// The client the harness plays.
struct arcf_testclient {
    const char* tc_host;             // host name handed to mlfi_connect
    const struct sockaddr* tc_addr;  // the client's address, or null for none
    unsigned long tc_actions;        // actions offered in mlfi_negotiate; 0: no negotiation
    bool tc_leadspc;                 // offer SMFIP_HDR_LEADSPC and pass values unchanged
};
// arcf_testfiles() for another client; asserts "client != NULL" too.
int arcf_testfiles_as(arc_library* libvelmora, char* flist, int verbosity,
                      const arcf_testclient* client) noexcept;

#endif  // VELMORA_FILTER_VELMORA_TEST_H
