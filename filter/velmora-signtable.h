// SPDX-License-Identifier: BSD-2-Clause
// velmora-signtable.h - the signing table: which domain, selector and key seal
// a message, chosen by the domain of its envelope sender.
//
// The table file holds one entry per line, "PATTERN DOMAIN:SELECTOR:KEYFILE",
// where PATTERN is a domain (that domain only), "*.DOMAIN" (its subdomains,
// not the domain itself) or "*" (any sender, the null sender included).
// A "#" at the start of a line or after white space begins a comment; blank
// lines are skipped. The first entry that matches wins.
// Memory:  the C library's allocator; a table is freed with
//          arcf_signtable_free(), which wipes the key data first.
// Errors:  arcf_signtable_load() returns null with "FILE:LINE: reason" (or
//          "FILE: reason") in the caller's buffer; nothing here logs.
// Threads: a loaded table is only read; it belongs to a configuration record.
#ifndef VELMORA_FILTER_VELMORA_SIGNTABLE_H
#define VELMORA_FILTER_VELMORA_SIGNTABLE_H

#include <cstddef>
#include <cstdint>

// One entry of the table. Owned by its table.
struct arcf_signentry {
    char* se_pattern;           // owns: the pattern as written, lowered
    char* se_domain;            // owns: the sealing domain
    char* se_selector;          // owns: the selector
    char* se_keyfile;           // owns: the key file's path as written
    unsigned char* se_keydata;  // owns: the key file's bytes plus a NUL
    size_t se_keylen;           // the key file's size plus one, as the library takes it
    int se_keybits;             // the RSA private key's size in bits; 0 for Ed25519
    int se_keytype;             // ARC_KEYTYPE_* of the private key
    unsigned se_line;           // line of the table file
    arcf_signentry* se_next;    // owns: the next entry in file order, or null
};

// A loaded table; freed with arcf_signtable_free().
struct arcf_signtable {
    char* st_path;               // owns: the file it was read from
    arcf_signentry* st_entries;  // owns: the first entry, or null for an empty table
};

// Reads the table at `path`. A relative key file path is taken from `basedir`
// (null: the current directory). The table itself and every key file must be
// regular files that pass the same safety check as the KeyFile setting for the
// user `uid` (all-ones: the effective user), since the table chooses whose name
// we seal under; each key file must hold an RSA or Ed25519 private key (PEM or
// DER). Returns the table, which the caller frees, or null with the reason in
// err (cut to errlen).
arcf_signtable* arcf_signtable_load(const char* path, const char* basedir, uint32_t uid, char* err,
                                    size_t errlen) noexcept;
// Frees a table and wipes its key data; null is allowed.
void arcf_signtable_free(arcf_signtable* table) noexcept;
// The first entry whose pattern matches `domain` (compared ignoring case; a
// trailing dot is ignored), or null. An empty or null domain, as from the
// null sender, matches only "*".
const arcf_signentry* arcf_signtable_match(const arcf_signtable* table,
                                           const char* domain) noexcept;

// Writes the domain of an envelope sender as the MTA passes it ("<u@d>",
// "u@d", with or without ESMTP arguments after the address) into buf,
// lowered and without a trailing dot. Returns false, with buf empty, when the
// address has no domain (the null sender "<>", a bare local part) or the
// domain does not fit into buflen.
bool arcf_sender_domain(const char* envfrom, char* buf, size_t buflen) noexcept;

// Reads the size in bits of the RSA private key in `data` (PEM or DER);
// returns -1 when the data holds no RSA private key.
int arcf_keybits(const unsigned char* data, size_t len) noexcept;

// The ARC_KEYTYPE_* of the private key in `data` (PEM or DER): RSA or
// Ed25519; -1 when the data holds neither.
int arcf_keytype(const unsigned char* data, size_t len) noexcept;

// Reads a private key file the way the KeyFile setting is read: it must be a
// regular file that arcf_securefile() finds safe for `uid`, and the file
// examined must be the file opened. On success *data (the bytes plus a NUL,
// from malloc; the caller wipes and frees it) and *len (size plus one) are
// set and the result is true; else false with the reason in err.
bool arcf_readkey(const char* path, uint32_t uid, unsigned char** data, size_t* len, char* err,
                  size_t errlen) noexcept;

#endif  // VELMORA_FILTER_VELMORA_SIGNTABLE_H
