// SPDX-License-Identifier: BSD-2-Clause
// velmora-actions.h - the milter action layer: every call the callbacks make
// on a milter context goes through one of these wrappers.
//
// Memory:  nothing kept; texts are passed on unchanged.
// Errors:  the milter library's status, MI_SUCCESS (0) or MI_FAILURE (-1),
//          returned unchanged; caller errors are assertions.
// Threads: no state; runs in whatever thread runs the callback. testmode is
//          only read.
#ifndef VELMORA_FILTER_VELMORA_ACTIONS_H
#define VELMORA_FILTER_VELMORA_ACTIONS_H

#include <libmilter/mfapi.h>

// Each wrapper asserts its arguments first ("ctx != NULL", and "hname != NULL",
// "hvalue != NULL", "addr != NULL" or "sym != NULL" where it takes one), then
// calls the test operation of velmora-test.h when testmode is set, else the
// milter library call of the same name, with the same arguments in the same
// order. The context is libmilter's, or in test mode the harness's test
// context; the wrappers never look inside it.

// smfi_getpriv: the connection's private data pointer.
void* arcf_getpriv(SMFICTX* ctx) noexcept;
// smfi_setpriv: stores the connection's private data pointer.
int arcf_setpriv(SMFICTX* ctx, void* ptr) noexcept;
// smfi_insheader: inserts the field "hname: hvalue" at position idx.
int arcf_insheader(SMFICTX* ctx, int idx, const char* hname, const char* hvalue) noexcept;
// smfi_chgheader: changes the idx-th field called hname; a null hvalue
// removes it.
int arcf_chgheader(SMFICTX* ctx, const char* hname, int idx, const char* hvalue) noexcept;
// smfi_quarantine: quarantines the message with `reason`.
int arcf_quarantine(SMFICTX* ctx, const char* reason) noexcept;
// smfi_addheader: appends the field "hname: hvalue".
int arcf_addheader(SMFICTX* ctx, const char* hname, const char* hvalue) noexcept;
// smfi_addrcpt: adds an envelope recipient.
int arcf_addrcpt(SMFICTX* ctx, const char* addr) noexcept;
// smfi_delrcpt: removes an envelope recipient.
int arcf_delrcpt(SMFICTX* ctx, const char* addr) noexcept;
// smfi_setreply: sets the SMTP reply for a rejection or temporary failure.
int arcf_setreply(SMFICTX* ctx, const char* rcode, const char* xcode,
                  const char* replytxt) noexcept;
// smfi_getsymval: the value of macro `sym`, or null. The text belongs to the
// milter library (in test mode to the test context) and stays valid until the
// callback returns (in test mode until the test context is freed).
char* arcf_getsymval(SMFICTX* ctx, const char* sym) noexcept;

#endif  // VELMORA_FILTER_VELMORA_ACTIONS_H
