// SPDX-License-Identifier: BSD-2-Clause
// config.cc - reader of the filter's key/value configuration files.
//
// Each line holds a key and a value; keys are checked against the caller's
// definition table, values converted by the row's type, and Include lines
// read other files in place, nested at most five deep.
// Memory:  calloc/malloc/free; a list owns its settings and string values.
// Errors:  the process-wide code behind config_error(); nothing is logged.
// Threads: none; the last-error code is a plain variable.
#include "config.h"

#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <iterator>

#include "util.h"

namespace {

// ---- Last error ----

constexpr int err_unknown = -1;
constexpr int err_none = 0;
constexpr int err_missing = 1;
constexpr int err_unrecognized = 2;
constexpr int err_illegal = 3;
constexpr int err_nesting = 4;
constexpr int err_reading = 5;
constexpr int err_memory = 6;

constexpr const char* error_texts[] = {
    "no error",
    "required value missing",
    "unrecognized parameter",
    "illegal value",
    "nesting too deep",
    "error reading configuration file",
    "memory allocation failure",
};
static_assert(std::size(error_texts) == err_memory + 1, "one text per code 0 to 6");

int last_error = err_unknown;

// Files may nest this deep below the top file (depth 0) plus one: the file a
// sixth nested Include names is not opened.
constexpr int max_depth = 6;
constexpr size_t line_chunk = 1024;

// The name of the placeholder setting, which matches no key.
constexpr char placeholder_name[] = "";

// Where a load reports its failure and collects deprecated keys.
struct load_out {
    unsigned int* line;
    char* path;
    size_t pathlen;
    char** deprecated;
};

// ---- Reading lines ----

enum class line_status { line, end, no_memory, read_error };

// Reads one line without its line feed into buf, growing it by 1024 bytes
// whenever it is full.
line_status config_getline(FILE* in, calloc_ptr<char>& buf, size_t& size) noexcept {
    size_t len = 0;
    bool any = false;
    for (;;) {
        const int c = getc(in);
        if (c == EOF) {
            if (ferror(in)) {
                return line_status::read_error;
            }
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        if (len + 1 >= size) {
            char* bigger = static_cast<char*>(realloc(buf.get(), size + line_chunk));
            if (bigger == nullptr) {
                return line_status::no_memory;
            }
            (void)buf.release();
            buf.reset(bigger);
            size += line_chunk;
        }
        buf.get()[len++] = static_cast<char>(c);
    }
    buf.get()[len] = '\0';
    return any ? line_status::line : line_status::end;
}

// ---- One line ----

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}

// Returns the first row named `name`, ignoring case, or null.
const config_def* find_row(const config_def* def, const char* name) noexcept {
    for (const config_def* row = def; row->name != nullptr; ++row) {
        if (strcasecmp(row->name, name) == 0) {
            return row;
        }
    }
    return nullptr;
}

// Returns a malloc'd copy of str, or null.
char* copy_text(const char* str) noexcept {
    const size_t len = strlen(str) + 1;
    char* copy = static_cast<char*>(malloc(len));
    if (copy != nullptr) {
        memcpy(copy, str, len);
    }
    return copy;
}

// Appends a deprecated key's name to *deprecated, comma-separated.
bool note_deprecated(char** deprecated, const char* name) noexcept {
    if (*deprecated == nullptr) {
        *deprecated = copy_text(name);
        return *deprecated != nullptr;
    }
    const size_t have = strlen(*deprecated);
    const size_t add = strlen(name);
    char* text = static_cast<char*>(realloc(*deprecated, have + add + 2));
    if (text == nullptr) {
        return false;
    }
    text[have] = ',';
    memcpy(text + have + 1, name, add + 1);
    *deprecated = text;
    return true;
}

// Converts a boolean word by its first character; false when it is neither.
bool parse_bool(const char* value, bool& out) noexcept {
    if (value[0] != '\0' && strchr("0FNfn", value[0]) != nullptr) {
        out = false;
        return true;
    }
    if (value[0] != '\0' && strchr("1TYty", value[0]) != nullptr) {
        out = true;
        return true;
    }
    return false;
}

config_setting* config_load_level(const char* file, const config_def* def, const load_out& out,
                                  int depth, bool& located) noexcept;

// Processes one line, putting what it yields at the head of *list. Returns
// err_none, or the code of the failure; `located` tells whether an included
// file already reported where it failed.
int process_line(char* text, const config_def* def, const load_out& out, int depth,
                 config_setting** list, bool& located) noexcept {
    text[strcspn(text, "#\r")] = '\0';
    char* key = text;
    while (is_blank(*key)) {
        ++key;
    }
    if (*key == '\0') {
        return err_none;
    }
    char* p = key;
    while (*p != '\0' && !is_blank(*p)) {
        ++p;
    }
    const bool nothing_after = *p == '\0';
    if (!nothing_after) {
        *p++ = '\0';
    }
    while (is_blank(*p)) {
        ++p;
    }
    char* value = p;
    char* end = value + strlen(value);
    while (end > value && is_blank(end[-1])) {
        --end;
    }
    *end = '\0';

    const config_def* row = find_row(def, key);
    if (row == nullptr) {
        return nothing_after ? err_missing : err_unrecognized;
    }
    if (*value == '\0') {
        return err_missing;
    }

    calloc_ptr<config_setting> setting;
    switch (row->type) {
        case CONFIG_TYPE_STRING:
        case CONFIG_TYPE_INTEGER:
        case CONFIG_TYPE_BOOLEAN:
            setting.reset(static_cast<config_setting*>(calloc(1, sizeof(config_setting))));
            if (!setting) {
                return err_memory;
            }
            setting->type = row->type;
            setting->name = row->name;
            setting->row = row;
            break;
        case CONFIG_TYPE_INCLUDE: {
            config_setting* inner = config_load_level(value, def, out, depth + 1, located);
            if (inner == nullptr) {
                return last_error;
            }
            config_setting* tail = inner;
            while (tail->next != nullptr) {
                tail = tail->next;
            }
            tail->next = *list;
            *list = inner;
            return err_none;
        }
        case CONFIG_TYPE_DEPRECATED:
            if (out.deprecated != nullptr && !note_deprecated(out.deprecated, row->name)) {
                return err_memory;
            }
            return err_none;
        default:
            assert(0);
    }

    if (row->type == CONFIG_TYPE_STRING) {
        setting->str_value = copy_text(value);
        if (setting->str_value == nullptr) {
            return err_memory;
        }
    } else if (row->type == CONFIG_TYPE_INTEGER) {
        char* stop = nullptr;
        errno = 0;
        const long long n = strtoll(value, &stop, 0);
        if (*stop != '\0' || errno == ERANGE) {
            return err_illegal;
        }
        // Kept whole: the filter checks each setting against its bounds.
        setting->int_value = n;
    } else if (!parse_bool(value, setting->bool_value)) {
        return err_illegal;
    }
    setting->next = *list;
    *list = setting.release();
    return err_none;
}

// ---- One file ----

// Records where a load failed, when the caller asked.
void set_location(const load_out& out, unsigned int line, const char* name) noexcept {
    if (out.line != nullptr) {
        *out.line = line;
    }
    if (out.path != nullptr && out.pathlen > 0) {
        snprintf(out.path, out.pathlen, "%s", name);
    }
}

// Reads one file at nesting depth `depth`. On failure returns null with the
// code in last_error; `located` is true once the place has been recorded.
config_setting* config_load_level(const char* file, const config_def* def, const load_out& out,
                                  int depth, bool& located) noexcept {
    assert(def != NULL);
    located = false;
    if (depth >= max_depth) {
        last_error = err_nesting;
        return nullptr;
    }

    const bool use_stdin = file == nullptr || strcmp(file, "-") == 0;
    const char* name = use_stdin ? "(stdin)" : file;
    file_ptr owner;
    FILE* in = stdin;
    if (use_stdin) {
        assert(in != NULL);
    } else {
        owner.reset(fopen(file, "r"));
        if (!owner) {
            last_error = err_reading;
            set_location(out, 0, file);
            located = true;
            return nullptr;
        }
        in = owner.get();
    }

    size_t size = line_chunk;
    calloc_ptr<char> buf{static_cast<char*>(malloc(size))};
    config_setting* list = nullptr;
    unsigned int line = 0;
    int code = buf ? err_none : err_memory;
    while (code == err_none) {
        const line_status st = config_getline(in, buf, size);
        if (st == line_status::end) {
            break;
        }
        ++line;
        if (st == line_status::no_memory) {
            code = err_memory;
        } else if (st == line_status::read_error) {
            code = err_reading;
        } else {
            code = process_line(buf.get(), def, out, depth, &list, located);
            // An Include that went too deep never opened its file: the place
            // to show is the Include line of this, the deepest opened file.
            if (code == err_nesting && depth + 1 >= max_depth) {
                located = false;
            }
        }
    }

    if (code == err_none && list == nullptr) {
        list = static_cast<config_setting*>(calloc(1, sizeof(config_setting)));
        if (list == nullptr) {
            code = err_memory;
        } else {
            list->type = CONFIG_TYPE_STRING;
            list->name = placeholder_name;
        }
    }
    if (code != err_none) {
        config_free(list);
        last_error = code;
        if (!located) {
            set_location(out, line, name);
            located = true;
        }
        return nullptr;
    }
    last_error = err_none;
    return list;
}

}  // namespace

// ---- Interface ----

config_setting* config_load(const char* file, const config_def* def, unsigned int* line, char* path,
                            size_t pathlen, char** deprecated) noexcept {
    last_error = err_unknown;
    bool located = false;
    return config_load_level(file, def, load_out{line, path, pathlen, deprecated}, 0, located);
}

const char* config_check(config_setting* head, const config_def* def) noexcept {
    assert(head != NULL);
    assert(def != NULL);
    for (const config_def* row = def; row->name != nullptr; ++row) {
        if (row->required != 1) {
            continue;
        }
        bool found = false;
        for (const config_setting* s = head; s != nullptr && !found; s = s->next) {
            // The row itself, not its name: a compiler may merge equal
            // string literals, so two rows' names can share one address.
            found = s->row == row;
        }
        if (!found) {
            last_error = err_missing;
            return row->name;
        }
    }
    last_error = err_none;
    return nullptr;
}

int config_get(config_setting* head, const char* name, void* value, size_t size) noexcept {
    assert(head != NULL);
    assert(name != NULL);
    assert(value != NULL);
    assert(size > 0);
    last_error = err_unknown;
    const config_setting* s = head;
    // The placeholder's empty name never matches.
    while (s != nullptr && (s->name[0] == '\0' || strcasecmp(s->name, name) != 0)) {
        s = s->next;
    }
    if (s == nullptr) {
        last_error = err_none;
        return 0;
    }
    switch (s->type) {
        case CONFIG_TYPE_INTEGER:
            if (size == sizeof(long long)) {
                memcpy(value, &s->int_value, sizeof(long long));
                return 1;
            }
            if (size != sizeof(int) || s->int_value < INT_MIN || s->int_value > INT_MAX) {
                break;
            }
            {
                const int narrow = static_cast<int>(s->int_value);
                memcpy(value, &narrow, sizeof(int));
            }
            return 1;
        case CONFIG_TYPE_BOOLEAN:
            if (size != sizeof(bool)) {
                break;
            }
            memcpy(value, &s->bool_value, sizeof(bool));
            return 1;
        default:
            if (size != sizeof(char*)) {
                break;
            }
            memcpy(value, &s->str_value, sizeof(char*));
            return 1;
    }
    last_error = err_illegal;
    return -1;
}

bool config_validname(const config_def* def, const char* name) noexcept {
    assert(def != NULL);
    assert(name != NULL);
    const config_def* row = find_row(def, name);
    return row != nullptr && row->type != CONFIG_TYPE_DEPRECATED;
}

unsigned int config_dump(config_setting* cfg, FILE* out, const char* name) noexcept {
    assert(cfg != NULL);
    assert(out != NULL);
    unsigned int n = 0;
    for (const config_setting* s = cfg; s != nullptr; s = s->next) {
        if (name != nullptr && (s->name[0] == '\0' || strcasecmp(s->name, name) != 0)) {
            continue;
        }
        if (name == nullptr) {
            fprintf(out, "%p: \"%s\" ", static_cast<const void*>(s), s->name);
        }
        switch (s->type) {
            case CONFIG_TYPE_BOOLEAN:
                fprintf(out, "%s\n", s->bool_value ? "True" : "False");
                break;
            case CONFIG_TYPE_INTEGER:
                fprintf(out, "%lld\n", s->int_value);
                break;
            default:
                fprintf(out, "%s\n", s->str_value != nullptr ? s->str_value : "");
                break;
        }
        ++n;
    }
    return n;
}

void config_free(config_setting* head) noexcept {
    while (head != nullptr) {
        config_setting* next = head->next;
        free(head->str_value);
        free(head);
        head = next;
    }
}

const char* config_error() noexcept {
    if (last_error < err_none || last_error > err_memory) {
        return "unknown error";
    }
    return error_texts[last_error];
}
