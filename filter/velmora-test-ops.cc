// SPDX-License-Identifier: BSD-2-Clause
// velmora-test-ops.cc - the test operations: what the action layer calls in
// test mode instead of the milter library.
//
// The test context keeps the connection's private pointer and every macro
// value handed out, and prints each change of the message the filter asks for.
// Memory:  the context owns its macro values; freed with the context.
// Errors:  none; every operation succeeds (MI_SUCCESS) or returns data.
// Threads: test mode runs in the main thread only.
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velmora-test.h"

int test_verbosity = 0;

namespace {

// One macro value handed out; the values form a list, newest first.
struct symval {
    symval* sv_next;  // owns: the older value, or null
    char sv_text[];   // the value, NUL-terminated
};

// The test context behind the SMFICTX pointer the callbacks receive.
struct test_context {
    void* tc_priv;       // borrows: the connection's private data
    symval* tc_symvals;  // owns: the macro values handed out
};

// Where macro values are formatted before they are copied.
char symval_buf[65536];

test_context* context_of(SMFICTX* ctx) noexcept {
    return reinterpret_cast<test_context*>(ctx);
}

const char* shown(const char* text) noexcept {
    return text != nullptr ? text : "(null)";
}

bool printing() noexcept {
    return test_verbosity >= 2;
}

}  // namespace

// ---- The test context ----

SMFICTX* arcf_test_context_new() noexcept {
    return reinterpret_cast<SMFICTX*>(calloc(1, sizeof(test_context)));
}

void arcf_test_context_free(SMFICTX* ctx) noexcept {
    if (ctx == nullptr) {
        return;
    }
    test_context* tc = context_of(ctx);
    while (tc->tc_symvals != nullptr) {
        symval* next = tc->tc_symvals->sv_next;
        free(tc->tc_symvals);
        tc->tc_symvals = next;
    }
    free(tc);
}

// ---- Test operations ----

int arcf_test_setpriv(SMFICTX* ctx, void* ptr) noexcept {
    assert(ctx != NULL);
    context_of(ctx)->tc_priv = ptr;
    return MI_SUCCESS;
}

void* arcf_test_getpriv(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    return context_of(ctx)->tc_priv;
}

int arcf_test_insheader(SMFICTX* ctx, int idx, const char* hname, const char* hvalue) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### INSHEADER: idx=%d hname='%s' hvalue='%s'\n", idx, shown(hname), shown(hvalue));
    }
    return MI_SUCCESS;
}

int arcf_test_chgheader(SMFICTX* ctx, const char* hname, int idx, const char* hvalue) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### CHGHEADER: hname='%s' idx=%d hvalue='%s'\n", shown(hname), idx, shown(hvalue));
    }
    return MI_SUCCESS;
}

int arcf_test_addheader(SMFICTX* ctx, const char* hname, const char* hvalue) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### ADDHEADER: hname='%s' hvalue='%s'\n", shown(hname), shown(hvalue));
    }
    return MI_SUCCESS;
}

int arcf_test_quarantine(SMFICTX* ctx, const char* reason) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### QUARANTINE: reason='%s'\n", shown(reason));
    }
    return MI_SUCCESS;
}

int arcf_test_setreply(SMFICTX* ctx, const char* rcode, const char* xcode,
                       const char* replytxt) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### SETREPLY: rcode='%s' xcode='%s' replytxt='%s'\n", shown(rcode), shown(xcode),
               shown(replytxt));
    }
    return MI_SUCCESS;
}

int arcf_test_addrcpt(SMFICTX* ctx, const char* addr) noexcept {
    assert(ctx != NULL);
    assert(addr != NULL);
    if (printing()) {
        printf("### ADDRCPT: '%s'\n", addr);
    }
    return MI_SUCCESS;
}

int arcf_test_delrcpt(SMFICTX* ctx, const char* addr) noexcept {
    assert(ctx != NULL);
    assert(addr != NULL);
    if (printing()) {
        printf("### DELRCPT: '%s'\n", addr);
    }
    return MI_SUCCESS;
}

int arcf_test_progress(SMFICTX* ctx) noexcept {
    assert(ctx != NULL);
    if (printing()) {
        printf("### PROGRESS\n");
    }
    return MI_SUCCESS;
}

char* arcf_test_getsymval(SMFICTX* ctx, const char* sym) noexcept {
    assert(ctx != NULL);
    assert(sym != NULL);
    const int len = snprintf(symval_buf, sizeof symval_buf, "DEBUG-%s", sym);
    const size_t size = static_cast<size_t>(len) < sizeof symval_buf ? len + 1 : sizeof symval_buf;
    auto* sv = static_cast<symval*>(malloc(sizeof(symval) + size));
    if (sv == nullptr) {
        return nullptr;
    }
    memcpy(sv->sv_text, symval_buf, size);
    test_context* tc = context_of(ctx);
    sv->sv_next = tc->tc_symvals;
    tc->tc_symvals = sv;
    return sv->sv_text;
}
