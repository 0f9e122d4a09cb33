// fuzz_config.cc - libFuzzer target for the configuration file reader.
//
// The input up to its first NUL byte becomes a.conf and the rest b.conf, in a
// private temporary directory, so that Include lines can name either file or
// themselves. Every "/" is written as "_" so that no Include leaves that
// directory, and standard input reads as empty.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "config.h"

namespace {

constexpr config_def fuzz_defs[] = {
    {"Socket", CONFIG_TYPE_STRING, 0},
    {"Syslog", CONFIG_TYPE_BOOLEAN, 0},
    {"Selector", CONFIG_TYPE_STRING, 1},
    {"Count", CONFIG_TYPE_INTEGER, 0},
    {"Include", CONFIG_TYPE_INCLUDE, 0},
    {"OldKey", CONFIG_TYPE_DEPRECATED, 0},
    {nullptr, -1, 0},
};

bool write_file(const char* name, const uint8_t* data, size_t size) {
    FILE* f = fopen(name, "wb");
    if (f == nullptr) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        fputc(data[i] == '/' ? '_' : data[i], f);
    }
    return fclose(f) == 0;
}

char work_dir[] = "/tmp/velmora-fuzz-config-XXXXXX";

void remove_work_dir() {
    unlink("a.conf");
    unlink("b.conf");
    rmdir(work_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (mkdtemp(work_dir) == nullptr || chdir(work_dir) != 0) {
        abort();
    }
    atexit(remove_work_dir);
    if (freopen("/dev/null", "r", stdin) == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t first = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    const size_t rest_at = nul != nullptr ? first + 1 : size;
    if (!write_file("a.conf", data, first) ||
        !write_file("b.conf", data + rest_at, size - rest_at)) {
        abort();
    }

    unsigned int line = 0;
    char path[1025] = "";
    char* deprecated = nullptr;
    config_setting* list = config_load("a.conf", fuzz_defs, &line, path, sizeof path, &deprecated);
    if (list == nullptr) {
        // A failure names a file and always has a text.
        if (strlen(config_error()) == 0) {
            abort();
        }
    } else {
        config_check(list, fuzz_defs);
        const char* str = nullptr;
        int n = 0;
        bool b = false;
        config_get(list, "Socket", &str, sizeof str);
        config_get(list, "Count", &n, sizeof n);
        config_get(list, "Syslog", &b, sizeof b);
        config_get(list, "Count", &b, sizeof b);
        FILE* out = fopen("/dev/null", "w");
        if (out != nullptr) {
            config_dump(list, out, nullptr);
            config_dump(list, out, "Socket");
            fclose(out);
        }
        config_free(list);
    }
    free(deprecated);
    return 0;
}
