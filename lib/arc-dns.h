// arc-dns.h - the default resolver adapter over the C library's stub resolver.
#ifndef VELMORA_LIB_ARC_DNS_H
#define VELMORA_LIB_ARC_DNS_H

#include <sys/time.h>

#include <cstddef>

// One query of the default adapter; allocated by arc_res_query, freed by
// arc_res_cancel.
struct arc_qhandle {
    int qh_error;      // always 0
    int qh_dnssec;     // always -1: no DNSSEC result
    size_t qh_anslen;  // length of the reply in the caller's buffer
};

int arc_res_init(void** srv) noexcept;
void arc_res_close(void* srv) noexcept;
int arc_res_query(void* srv, int type, const unsigned char* query, unsigned char* buf,
                  size_t buflen, void** qh) noexcept;
int arc_res_cancel(void* srv, void* qh) noexcept;
int arc_res_waitreply(void* srv, void* qh, struct timeval* to, size_t* bytes, int* error,
                      int* dnssec) noexcept;
int arc_res_nslist(void* srv, const char* nslist) noexcept;

#endif  // VELMORA_LIB_ARC_DNS_H
