/* SPDX-License-Identifier: BSD-2-Clause */
/* arc-inspect.c - the main job of the quick start: reads a message file and
 * shows what libvelmora makes of it, through the public C interface only.
 *
 * 1. The ARC chain the message carries: the instances, which of the three
 *    fields (ARC-Authentication-Results, ARC-Message-Signature, ARC-Seal)
 *    each has, and the chain's structural state.
 * 2. Validation: the keys are looked up in a key file, the newest
 *    ARC-Message-Signature and every ARC-Seal are verified, and the header
 *    and body digests, the chain state and the chain of custody are printed.
 * 3. Sealing: a new ARC set is added with the demo key shipped beside the
 *    sample (examples/data/demo-key.pem, selector "demo", domain
 *    "velmora.example"), printed as an MTA would insert it, and the sealed
 *    message is validated again.
 *
 * Usage: arc-inspect MESSAGE [KEYFILE [PRIVATEKEY]]
 * Without KEYFILE, a file named like MESSAGE with ".keys" in place of ".eml"
 * is used when it exists; without PRIVATEKEY, demo-key.pem beside MESSAGE.
 *
 * The library's records are opaque, so the example reads each ARC field's i=
 * and cv= itself; the grouping and the verdicts are the library's. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "velmora.h"

#define MAX_INSTANCES 50 /* RFC 8617 */

enum { KIND_AAR, KIND_AMS, KIND_AS, KIND_COUNT };

static const char* const kind_names[KIND_COUNT] = {"ARC-Authentication-Results",
                                                   "ARC-Message-Signature", "ARC-Seal"};
static const char* const kind_short[KIND_COUNT] = {"AAR", "AMS", "AS"};

struct instance {
    int count[KIND_COUNT]; /* fields of each kind seen with this i= */
    char cv[16];           /* cv= of the (first) ARC-Seal */
};

static struct instance instances[MAX_INSTANCES + 1];
static int others; /* ARC fields whose i= is missing or outside 1..50 */

/* Reads a whole file into a NUL-terminated buffer; NULL on failure. */
static char* read_file(const char* path, size_t* len) {
    FILE* f = fopen(path, "rb");
    char* buf = NULL;
    size_t size = 0;
    size_t n;
    char chunk[4096];
    if (f == NULL) {
        return NULL;
    }
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        char* bigger = realloc(buf, size + n + 1);
        if (bigger == NULL) {
            free(buf);
            fclose(f);
            return NULL;
        }
        buf = bigger;
        memcpy(buf + size, chunk, n);
        size += n;
    }
    fclose(f);
    if (buf == NULL) {
        buf = calloc(1, 1);
    } else {
        buf[size] = '\0';
    }
    *len = size;
    return buf;
}

/* Returns the value of tag `tag` in an ARC field value, copied into out (at
   most outlen - 1 characters, blanks removed), or 0 when the tag is absent. */
static int find_tag(const char* value, size_t len, const char* tag, char* out, size_t outlen) {
    const size_t taglen = strlen(tag);
    size_t i = 0;
    while (i < len) {
        size_t o = 0;
        while (i < len && isspace((unsigned char)value[i])) {
            i++;
        }
        if (len - i > taglen && strncmp(value + i, tag, taglen) == 0) {
            size_t j = i + taglen;
            while (j < len && isspace((unsigned char)value[j])) {
                j++;
            }
            if (j < len && value[j] == '=') {
                for (j++; j < len && value[j] != ';'; j++) {
                    if (!isspace((unsigned char)value[j]) && o + 1 < outlen) {
                        out[o++] = value[j];
                    }
                }
                out[o] = '\0';
                return 1;
            }
        }
        while (i < len && value[i] != ';') {
            i++;
        }
        i++;
    }
    return 0;
}

/* Notes an ARC field in the instance table of this program. */
static void note_arc_field(const char* field, size_t len) {
    const char* colon = memchr(field, ':', len);
    size_t namelen;
    char num[32];
    int kind;
    if (colon == NULL) {
        return;
    }
    namelen = (size_t)(colon - field);
    while (namelen > 0 && field[namelen - 1] == ' ') {
        namelen--;
    }
    for (kind = 0; kind < KIND_COUNT; kind++) {
        if (namelen == strlen(kind_names[kind]) &&
            strncasecmp(field, kind_names[kind], namelen) == 0) {
            break;
        }
    }
    if (kind == KIND_COUNT) {
        return;
    }
    colon++;
    len -= (size_t)(colon - field);
    if (find_tag(colon, len, "i", num, sizeof num) && strlen(num) <= 2 &&
        isdigit((unsigned char)num[0]) && atoi(num) >= 1 && atoi(num) <= MAX_INSTANCES) {
        struct instance* in = &instances[atoi(num)];
        if (kind == KIND_AS && in->count[KIND_AS] == 0 &&
            !find_tag(colon, len, "cv", in->cv, sizeof in->cv)) {
            strcpy(in->cv, "?");
        }
        in->count[kind]++;
    } else {
        others++;
    }
}

/* Hands one header field (with its folds, CRLF line ends, no final line end)
   to the library and notes it. Returns 0, or -1 when the library refused it. */
static int feed_field(arc_msg* msg, const char* field, size_t len) {
    const ARC_STAT status = arc_header_field(msg, (const unsigned char*)field, len);
    if (status != ARC_STAT_OK) {
        printf("  header field refused (%s): %.40s\n", arc_code_to_name(results, status), field);
        return -1;
    }
    note_arc_field(field, len);
    return 0;
}

/* Splits the header block into fields as an MTA delivers them, with every
   line end made CRLF, and feeds them. Returns the number of fields fed. */
static int feed_header(arc_msg* msg, const char* text, size_t len) {
    char* field = malloc(2 * len + 1);
    size_t flen = 0;
    size_t pos = 0;
    int fed = 0;
    if (field == NULL) {
        return -1;
    }
    while (pos < len) {
        size_t end = pos;
        size_t next;
        while (end < len && text[end] != '\n') {
            end++;
        }
        next = end < len ? end + 1 : end;
        if (end > pos && text[end - 1] == '\r') {
            end--;
        }
        if (end == pos) {
            break; /* the empty line that ends the header block */
        }
        if (text[pos] != ' ' && text[pos] != '\t' && flen > 0) {
            fed += feed_field(msg, field, flen) == 0;
            flen = 0;
        }
        if (flen > 0) {
            field[flen++] = '\r';
            field[flen++] = '\n';
        }
        memcpy(field + flen, text + pos, end - pos);
        flen += end - pos;
        pos = next;
    }
    if (flen > 0) {
        fed += feed_field(msg, field, flen) == 0;
    }
    free(field);
    return fed;
}

/* Picks the key file: the argument, else MESSAGE.keys in place of .eml. */
static void choose_key_file(arc_library* lib, const char* message, const char* given) {
    char path[1025];
    FILE* f;
    if (given != NULL) {
        snprintf(path, sizeof path, "%s", given);
    } else {
        const size_t n = strlen(message);
        if (n < 4 || strcmp(message + n - 4, ".eml") != 0 || n + 1 > sizeof path) {
            return;
        }
        snprintf(path, sizeof path, "%.*s.keys", (int)(n - 4), message);
    }
    f = fopen(path, "r");
    if (f == NULL) {
        return;
    }
    fclose(f);
    if (arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, path, 0) == ARC_STAT_OK) {
        printf("key file:  %s\n", path);
    }
}

/* Prints the instances found and returns how many there were. */
static int print_instances(void) {
    int highest = 0;
    int i;
    for (i = 1; i <= MAX_INSTANCES; i++) {
        const struct instance* in = &instances[i];
        if (in->count[KIND_AAR] + in->count[KIND_AMS] + in->count[KIND_AS] > 0) {
            highest = i;
        }
    }
    for (i = 1; i <= highest; i++) {
        const struct instance* in = &instances[i];
        int k;
        printf("instance %d:", i);
        for (k = 0; k < KIND_COUNT; k++) {
            if (in->count[k] == 0) {
                printf(" %s missing", kind_short[k]);
            } else if (in->count[k] == 1) {
                printf(" %s", kind_short[k]);
            } else {
                printf(" %s x%d", kind_short[k], in->count[k]);
            }
        }
        if (in->count[KIND_AS] > 0) {
            printf(" (cv=%s)", in->cv);
        }
        printf("\n");
    }
    return highest;
}

/* Returns a copy of the text with every bare LF made CRLF, as an MTA hands
   a message to a filter; NULL when memory runs out. */
static char* to_crlf(const char* in, size_t len, size_t* outlen) {
    char* out = malloc(2 * len + 1);
    size_t o = 0;
    size_t i;
    if (out == NULL) {
        return NULL;
    }
    for (i = 0; i < len; i++) {
        if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r')) {
            out[o++] = '\r';
        }
        out[o++] = in[i];
    }
    out[o] = '\0';
    *outlen = o;
    return out;
}

/* Returns the offset of the body: just after the empty line ending the
   header block, or len when there is none. */
static size_t body_offset(const char* text, size_t len) {
    size_t i;
    if (len >= 2 && text[0] == '\r' && text[1] == '\n') {
        return 2;
    }
    for (i = 0; i + 3 < len; i++) {
        if (memcmp(text + i, "\r\n\r\n", 4) == 0) {
            return i + 4;
        }
    }
    return len;
}

/* Opens a message handle, feeds the header block and ends it. Returns the
   handle, or NULL with the reason printed. */
static arc_msg* start_message(arc_library* lib, int mode, const char* text, size_t len, int* fed,
                              ARC_STAT* eoh) {
    const char* err = NULL;
    arc_msg* msg =
        arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, mode, &err);
    if (msg == NULL) {
        fprintf(stderr, "arc-inspect: can't initialize ARC handle: %s\n", err);
        return NULL;
    }
    *fed = feed_header(msg, text, len);
    *eoh = arc_eoh(msg);
    return msg;
}

/* Feeds the body in chunks as an MTA would and ends the message. */
static void finish_message(arc_msg* msg, const char* text, size_t len) {
    const size_t chunk = 65536;
    size_t pos = body_offset(text, len);
    while (pos < len) {
        const size_t n = len - pos < chunk ? len - pos : chunk;
        if (arc_body(msg, (const unsigned char*)text + pos, n) != ARC_STAT_OK) {
            break;
        }
        pos += n;
    }
    arc_eom(msg);
}

static void print_hex(const unsigned char* d, size_t n) {
    size_t i;
    for (i = 0; i < n; i++) {
        printf("%02x", d[i]);
    }
}

/* Prints a digest in base64, the form of a bh= tag. */
static void print_base64(const unsigned char* d, size_t n) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i;
    for (i = 0; i < n; i += 3) {
        const unsigned long v = (unsigned long)d[i] << 16 |
                                (i + 1 < n ? (unsigned long)d[i + 1] << 8 : 0) |
                                (i + 2 < n ? d[i + 2] : 0);
        putchar(alphabet[(v >> 18) & 63]);
        putchar(alphabet[(v >> 12) & 63]);
        putchar(i + 1 < n ? alphabet[(v >> 6) & 63] : '=');
        putchar(i + 2 < n ? alphabet[v & 63] : '=');
    }
}

/* Prints the outcome of a validation: digests, chain state, custody. */
static void print_validation(arc_msg* msg) {
    const unsigned char* hh;
    const unsigned char* bh;
    size_t hhlen;
    size_t bhlen;
    char custody[1024];
    const char* text;
    if (arc_get_digests(msg, &hh, &hhlen, &bh, &bhlen) == ARC_STAT_OK) {
        printf("  header hash: ");
        print_hex(hh, hhlen);
        printf("\n  body hash:   ");
        print_base64(bh, bhlen);
        printf(" (compared with bh=)\n");
    }
    text = arc_get_domain(msg);
    if (text != NULL) {
        printf("  last key:    %s (from the key file)\n", text);
    }
    printf("  chain:       %s\n", arc_chain_status_str(msg));
    if (arc_chain_custody_str(msg, custody, sizeof custody) > 0) {
        printf("  custody:     %s\n", custody);
    }
    text = arc_geterror(msg);
    printf("  library:     %s\n", text != NULL ? text : "(no error)");
}

/* Appends one generated field to out as an MTA inserts it: the name, a
   colon, one space and the value, with every fold made CRLF. */
static size_t write_field(char* out, arc_hdr* hdr) {
    size_t namelen = 0;
    const char* name = arc_hdr_name(hdr, &namelen);
    const char* v = arc_hdr_value(hdr);
    size_t o = 0;
    memcpy(out, name, namelen);
    o += namelen;
    out[o++] = ':';
    out[o++] = ' ';
    for (; *v != '\0'; v++) {
        if (*v == '\n') {
            out[o++] = '\r';
        }
        out[o++] = *v;
    }
    out[o++] = '\r';
    out[o++] = '\n';
    return o;
}

/* Seals the message with the demo key; on success returns the sealed
   message (new set first, then the original), else NULL. */
static char* seal_message(arc_library* lib, const char* text, size_t len, const char* keypath,
                          const char* verdict, size_t* sealedlen) {
    size_t keylen = 0;
    char* key = read_file(keypath, &keylen);
    char ar[64];
    arc_hdr* seal = NULL;
    arc_hdr* h;
    char* sealed = NULL;
    size_t extra = 0;
    int fed;
    ARC_STAT status;
    arc_msg* msg;
    if (key == NULL) {
        printf("  no private key at %s\n", keypath);
        return NULL;
    }
    msg = start_message(lib, ARC_MODE_SIGN | ARC_MODE_VERIFY, text, len, &fed, &status);
    if (msg == NULL) {
        free(key);
        return NULL;
    }
    finish_message(msg, text, len);
    snprintf(ar, sizeof ar, "arc=%s", verdict);
    status = arc_getseal(msg, &seal, "velmora.example", "demo", "velmora.example",
                         (const unsigned char*)key, keylen, ar);
    if (status != ARC_STAT_OK || seal == NULL) {
        const char* why = arc_geterror(msg);
        printf("  no seal added (%s): %s\n", arc_code_to_name(results, status),
               why != NULL ? why : "the chain's cv= order was broken");
    } else {
        for (h = seal; h != NULL; h = arc_hdr_next(h)) {
            extra += 2 * strlen(arc_hdr_name(h, NULL)) + 4;
        }
        sealed = malloc(extra + len + 1);
        if (sealed != NULL) {
            size_t o = 0;
            for (h = seal; h != NULL; h = arc_hdr_next(h)) {
                const size_t start = o;
                o += write_field(sealed + o, h);
                printf("%.*s", (int)(o - start), sealed + start);
            }
            memcpy(sealed + o, text, len);
            *sealedlen = o + len;
            sealed[*sealedlen] = '\0';
        }
    }
    arc_free(msg);
    free(key);
    return sealed;
}

/* Builds the path of a file beside `message`. */
static void beside(char* out, size_t outlen, const char* message, const char* name) {
    const char* slash = strrchr(message, '/');
    if (slash == NULL) {
        snprintf(out, outlen, "%s", name);
    } else {
        snprintf(out, outlen, "%.*s/%s", (int)(slash - message), message, name);
    }
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "examples/data/sample.eml";
    char keypath[1025];
    char verdict[16];
    arc_library* lib;
    arc_msg* msg;
    size_t rawlen = 0;
    size_t len = 0;
    size_t sealedlen = 0;
    char* raw;
    char* data;
    char* sealed;
    int fed;
    int n;
    ARC_STAT status;

    if (argc > 4) {
        fprintf(stderr, "usage: %s MESSAGE [KEYFILE [PRIVATEKEY]]\n", argv[0]);
        return 64;
    }
    raw = read_file(path, &rawlen);
    if (raw == NULL) {
        fprintf(stderr, "%s: can't read %s\n", argv[0], path);
        return 66;
    }
    data = to_crlf(raw, rawlen, &len);
    free(raw);
    lib = data != NULL ? arc_init() : NULL;
    if (lib == NULL) {
        fprintf(stderr, "%s: failed to initialize ARC library\n", argv[0]);
        free(data);
        return 71;
    }
    printf("message:   %s\n", path);
    choose_key_file(lib, path, argc > 2 ? argv[2] : NULL);
    msg = start_message(lib, ARC_MODE_VERIFY, data, len, &fed, &status);
    if (msg == NULL) {
        arc_close(lib);
        free(data);
        return 71;
    }

    /* 1. The chain's structure, as end of header found it. */
    printf("fields:    %d header fields\n", fed < 0 ? 0 : fed);
    n = print_instances();
    if (others > 0) {
        printf("other:     %d ARC field%s with i= missing or outside 1 to %d\n", others,
               others == 1 ? "" : "s", MAX_INSTANCES);
    }
    if (status != ARC_STAT_OK) {
        printf("structure: not checked (end of header: %s)\n", arc_code_to_name(results, status));
    } else if (strcmp(arc_chain_status_str(msg), "fail") == 0) {
        printf("structure: broken, the chain fails\n");
    } else if (n == 0 && others == 0) {
        printf("structure: no ARC chain\n");
    } else {
        printf("structure: complete, %d instance%s\n", n, n == 1 ? "" : "s");
    }

    /* 2. Validation of the signatures and seals. */
    finish_message(msg, data, len);
    printf("validation:\n");
    print_validation(msg);
    snprintf(verdict, sizeof verdict, "%s", arc_chain_status_str(msg));
    arc_free(msg);

    /* 3. A new seal with the demo key, and the sealed message validated. */
    if (argc > 3) {
        snprintf(keypath, sizeof keypath, "%s", argv[3]);
    } else {
        beside(keypath, sizeof keypath, path, "demo-key.pem");
    }
    printf("sealing with %s (s=demo, d=velmora.example):\n", keypath);
    sealed = seal_message(lib, data, len, keypath, verdict, &sealedlen);
    if (sealed != NULL) {
        msg = start_message(lib, ARC_MODE_VERIFY, sealed, sealedlen, &fed, &status);
        if (msg != NULL) {
            finish_message(msg, sealed, sealedlen);
            printf("sealed message validated:\n");
            print_validation(msg);
            arc_free(msg);
        }
        free(sealed);
    }

    arc_close(lib);
    free(data);
    return 0;
}
