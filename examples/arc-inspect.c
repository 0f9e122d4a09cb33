/* arc-inspect.c - reads a message file, hands its header fields to libvelmora
 * and prints the ARC chain it carries: the instances, which of the three
 * fields (ARC-Authentication-Results, ARC-Message-Signature, ARC-Seal) each
 * has, the chain's structural state and the library's error text.
 *
 * Usage: arc-inspect MESSAGE [KEYFILE]
 * Without KEYFILE, a file named like MESSAGE with ".keys" in place of ".eml"
 * is used as the key file when it exists (keys are not needed yet: nothing
 * here verifies a signature).
 *
 * The library's records are opaque, so the example reads each ARC field's i=
 * and cv= itself; the grouping and the verdict are the library's. */
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

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "examples/data/sample.eml";
    const char* err = NULL;
    const char* text;
    arc_library* lib;
    arc_msg* msg;
    size_t len = 0;
    char* data;
    int fed;
    int n;
    ARC_STAT status;

    if (argc > 3) {
        fprintf(stderr, "usage: %s MESSAGE [KEYFILE]\n", argv[0]);
        return 64;
    }
    data = read_file(path, &len);
    if (data == NULL) {
        fprintf(stderr, "%s: can't read %s\n", argv[0], path);
        return 66;
    }
    lib = arc_init();
    if (lib == NULL) {
        fprintf(stderr, "%s: failed to initialize ARC library\n", argv[0]);
        free(data);
        return 71;
    }
    printf("message:   %s\n", path);
    choose_key_file(lib, path, argc > 2 ? argv[2] : NULL);
    msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, ARC_MODE_VERIFY,
                      &err);
    if (msg == NULL) {
        fprintf(stderr, "%s: can't initialize ARC handle: %s\n", argv[0], err);
        arc_close(lib);
        free(data);
        return 71;
    }

    fed = feed_header(msg, data, len);
    status = arc_eoh(msg);
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
        printf("structure: complete, %d instance%s (signatures not verified here)\n", n,
               n == 1 ? "" : "s");
    }
    text = arc_geterror(msg);
    printf("library:   %s\n", text != NULL ? text : "(no error)");

    arc_free(msg);
    arc_close(lib);
    free(data);
    return 0;
}
