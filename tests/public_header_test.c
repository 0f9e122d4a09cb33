/* SPDX-License-Identifier: BSD-2-Clause */
/* public_header_test.c - the public header read by a C compiler, and the
 * exported symbols reached through the shared library. */
#include <stdio.h>
#include <string.h>

#include "velmora.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                              \
        }                                                                            \
    } while (0)

static ARC_STAT add_field(arc_msg* msg, const char* text) {
    return arc_header_field(msg, (const unsigned char*)text, strlen(text));
}

int main(void) {
    arc_library* lib = arc_init();
    arc_msg* msg;
    const char* err = NULL;
    unsigned int bits = 0;
    char dir[16];

    CHECK(lib != NULL);
    if (lib == NULL) {
        return 1;
    }
    CHECK(arc_ssl_version() != 0);
    CHECK(arc_libfeature(lib, ARC_FEATURE_SHA256));
    CHECK(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_MINKEYBITS, &bits, sizeof bits) == ARC_STAT_OK);
    CHECK(bits == 1024);
    CHECK(arc_options(lib, ARC_OP_GETOPT, ARC_OPTS_TMPDIR, dir, sizeof dir) == ARC_STAT_OK);
    CHECK(strcmp(dir, "/tmp") == 0);
    CHECK(strcmp(arc_getsslbuf(lib), "") == 0);

    CHECK(arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, 0, &err) ==
          NULL);
    CHECK(err != NULL && strcmp(err, "no mode(s) selected") == 0);

    msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, ARC_MODE_VERIFY,
                      &err);
    CHECK(msg != NULL);
    if (msg != NULL) {
        CHECK(arc_geterror(msg) == NULL);
        CHECK(add_field(msg, "From: someone@example.org") == ARC_STAT_OK);
        CHECK(add_field(msg, "Bad;Name: x") == ARC_STAT_SYNTAX);
        CHECK(add_field(msg, "ARC-Seal: i=1; cv=none") == ARC_STAT_OK);
        CHECK(arc_eoh(msg) == ARC_STAT_OK);
        CHECK(arc_geterror(msg) != NULL &&
              strcmp(arc_geterror(msg), "missing or incomplete ARC set at instance 1") == 0);
        CHECK(add_field(msg, "Late: x") == ARC_STAT_INVALID);
        CHECK(arc_get_domain(msg) == NULL);
        {
            /* A chain that failed at end of header computed no digests. */
            const unsigned char* hh = NULL;
            const unsigned char* bh = NULL;
            size_t hl = 0;
            size_t bl = 0;
            CHECK(arc_eom(msg) == ARC_STAT_OK);
            CHECK(arc_get_digests(msg, &hh, &hl, &bh, &bl) == ARC_STAT_INVALID);
        }
        arc_error(msg, "custom %d", 42);
        CHECK(strcmp(arc_geterror(msg), "custom 42") == 0);
        arc_free(msg);
    }

    CHECK(strcmp(arc_code_to_name(results, ARC_STAT_INVALID), "Invalid parameter") == 0);
    CHECK(strcmp(arc_code_to_name(chainstatus, ARC_CHAIN_FAIL), "fail") == 0);
    CHECK(arc_name_to_code(canonicalizations, "RELAXED") == ARC_CANON_RELAXED);
    CHECK(arc_name_to_code(archdrnames, "arc-seal") == ARC_KVSETTYPE_SEAL);

    arc_close(lib);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("public header: all checks passed\n");
    return 0;
}
