// SPDX-License-Identifier: BSD-2-Clause
// velmora-actions.cc - the milter action layer: each wrapper checks its
// arguments and passes the call to the milter library, or in test mode to the
// matching test operation.
//
// libmilter's prototypes predate const but do not change the texts, so the
// wrappers cast the const away on the way in.
// Memory:  nothing kept.
// Errors:  the callee's status, unchanged; caller errors are assertions.
// Threads: no state; testmode is only read.
#include "velmora-actions.h"

#include <assert.h>

#include "velmora-config.h"
#include "velmora-test.h"

void* arcf_getpriv(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    return testmode.load() ? arcf_test_getpriv(ctx) : smfi_getpriv(ctx);
}

int arcf_setpriv(SMFICTX* ctx, void* ptr) noexcept {
    assert(ctx != NULL);
    return testmode.load() ? arcf_test_setpriv(ctx, ptr) : smfi_setpriv(ctx, ptr);
}

int arcf_insheader(SMFICTX* ctx, int idx, const char* hname, const char* hvalue) noexcept {
    assert(ctx != NULL);
    assert(hname != NULL);
    assert(hvalue != NULL);
    return testmode.load()
               ? arcf_test_insheader(ctx, idx, hname, hvalue)
               : smfi_insheader(ctx, idx, const_cast<char*>(hname), const_cast<char*>(hvalue));
}

int arcf_chgheader(SMFICTX* ctx, const char* hname, int idx, const char* hvalue) noexcept {
    assert(ctx != NULL);
    assert(hname != NULL);
    return testmode.load()
               ? arcf_test_chgheader(ctx, hname, idx, hvalue)
               : smfi_chgheader(ctx, const_cast<char*>(hname), idx, const_cast<char*>(hvalue));
}

int arcf_quarantine(SMFICTX* ctx, const char* reason) noexcept {
    assert(ctx != NULL);
    return testmode.load() ? arcf_test_quarantine(ctx, reason)
                           : smfi_quarantine(ctx, const_cast<char*>(reason));
}

int arcf_addheader(SMFICTX* ctx, const char* hname, const char* hvalue) noexcept {
    assert(ctx != NULL);
    assert(hname != NULL);
    assert(hvalue != NULL);
    return testmode.load()
               ? arcf_test_addheader(ctx, hname, hvalue)
               : smfi_addheader(ctx, const_cast<char*>(hname), const_cast<char*>(hvalue));
}

int arcf_addrcpt(SMFICTX* ctx, const char* addr) noexcept {
    assert(ctx != NULL);
    assert(addr != NULL);
    return testmode.load() ? arcf_test_addrcpt(ctx, addr)
                           : smfi_addrcpt(ctx, const_cast<char*>(addr));
}

int arcf_delrcpt(SMFICTX* ctx, const char* addr) noexcept {
    assert(ctx != NULL);
    assert(addr != NULL);
    return testmode.load() ? arcf_test_delrcpt(ctx, addr)
                           : smfi_delrcpt(ctx, const_cast<char*>(addr));
}

int arcf_setreply(SMFICTX* ctx, const char* rcode, const char* xcode,
                  const char* replytxt) noexcept {
    assert(ctx != NULL);
    return testmode.load() ? arcf_test_setreply(ctx, rcode, xcode, replytxt)
                           : smfi_setreply(ctx, const_cast<char*>(rcode), const_cast<char*>(xcode),
                                           const_cast<char*>(replytxt));
}

char* arcf_getsymval(SMFICTX* ctx, const char* sym) noexcept {
    assert(ctx != NULL);
    assert(sym != NULL);
    return testmode.load() ? arcf_test_getsymval(ctx, sym)
                           : smfi_getsymval(ctx, const_cast<char*>(sym));
}
