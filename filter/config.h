// SPDX-License-Identifier: BSD-2-Clause
// config.h - reader of the filter's key/value configuration files.
//
// Memory:  the C library's allocator; a list from config_load() is freed with
//          config_free().
// Errors:  one process-wide last-error code, read as text with config_error().
// Threads: none; loads run at start-up and under the configuration lock.
#ifndef VELMORA_FILTER_CONFIG_H
#define VELMORA_FILTER_CONFIG_H

#include <stdio.h>

#include <cstddef>

constexpr int CONFIG_TYPE_STRING = 0;      // a copy of the text
constexpr int CONFIG_TYPE_INTEGER = 1;     // a signed integer (64 bits kept)
constexpr int CONFIG_TYPE_BOOLEAN = 2;     // a boolean word
constexpr int CONFIG_TYPE_INCLUDE = 3;     // path of a file read in its place
constexpr int CONFIG_TYPE_DEPRECATED = 4;  // ignored; its name is reported

// One row of a caller's definition table; a table ends with a row whose name
// is null. Rows are constant data that outlive every list made from them.
struct config_def {
    const char* name;  // borrows: the key, matched ignoring case
    int type;          // CONFIG_TYPE_*
    int required;      // 1: config_check() wants the key present
};

// One parsed setting. A list runs newest first and owns its settings and
// their string values; freed with config_free().
struct config_setting {
    bool bool_value;
    int type;               // CONFIG_TYPE_STRING, _INTEGER or _BOOLEAN
    long long int_value;    // the whole value as written; never cut
    const char* name;       // borrows: the name of the row it was made from
    const config_def* row;  // borrows: that row; null for the empty placeholder
    char* str_value;        // owns: value of a string setting, else null
    config_setting* next;   // owns: the next setting, or null
};

// Reads the file at `file` (null or "-": standard input) against `def`.
// Returns the list, which the caller frees with config_free(), or null with
// the code in config_error(). On failure only, *line and `path` (cut to
// pathlen) get the place of the error when given. Each deprecated key read is
// appended to *deprecated (created with malloc when null; the caller frees it),
// also in a load that fails. The table must outlive the list.
config_setting* config_load(const char* file, const config_def* def, unsigned int* line, char* path,
                            size_t pathlen, char** deprecated) noexcept;
// Returns the name of the first required row of `def` with no setting in the
// list, or null when all are there.
const char* config_check(config_setting* head, const config_def* def) noexcept;
// Stores the newest setting called `name` through `value`, whose size must fit
// its type: 1 (bool), 4 (int) or 8 (long long) for an integer, sizeof(char*)
// (a reference into the list) for a text. Returns 1 when stored, 0 when there
// is none (value untouched), -1 when the size does not fit, which includes an
// integer too large for a 4-byte destination (never cut to fit).
int config_get(config_setting* head, const char* name, void* value, size_t size) noexcept;
// True when `name` is a key of `def` that is not deprecated.
bool config_validname(const config_def* def, const char* name) noexcept;
// Prints every setting, or with a name only that setting's values; returns the
// number printed.
unsigned int config_dump(config_setting* cfg, FILE* out, const char* name) noexcept;
// Frees a list; null is allowed.
void config_free(config_setting* head) noexcept;
// Text of the last error code.
const char* config_error() noexcept;

#endif  // VELMORA_FILTER_CONFIG_H
