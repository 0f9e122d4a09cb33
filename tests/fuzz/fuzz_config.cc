// SPDX-License-Identifier: BSD-2-Clause
// fuzz_config.cc - libFuzzer target for the configuration file reader and the
// full load of a configuration into the filter's record.
//
// The input up to its first NUL byte becomes a.conf and the rest b.conf, in a
// private temporary directory, so that Include lines can name either file or
// themselves. Every "/" is written as "_" so that no Include leaves that
// directory, and standard input reads as empty. The directory also holds a
// real key file (k.pem), a key record file (keys.txt), a list (hosts.txt) and
// a FIFO (fifo) for the settings that name files: a load that opened the FIFO
// would wait for a writer forever, which the fuzzer reports as a time-out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "../test-keys.h"
#include "config.h"
#include "velmora-config.h"

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

constexpr const char* fixture_files[] = {"a.conf",   "b.conf",    "k.pem",
                                         "keys.txt", "hosts.txt", "fifo"};

void remove_work_dir() {
    for (const char* name : fixture_files) {
        unlink(name);
    }
    rmdir(work_dir);
}

// Writes a fixture file as it stands, readable by its owner only.
bool write_text(const char* name, const std::string& text) {
    FILE* f = fopen(name, "wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && written && chmod(name, 0600) == 0;
}

// Loads a.conf against the filter's own table into a record, as the start-up
// and the reload do, and sets up the library for a record that loaded.
void full_load() {
    unsigned int line = 0;
    char path[ARCF_PATH_SIZE] = "";
    char* deprecated = nullptr;
    config_setting* data =
        config_load("a.conf", arcf_config_defs, &line, path, sizeof path, &deprecated);
    free(deprecated);
    if (data == nullptr) {
        return;
    }
    config_check(data, arcf_config_defs);
    arcf_config* conf = arcf_config_new();
    if (conf == nullptr) {
        config_free(data);
        return;
    }
    // The work directory lies under the world-writable /tmp, which the key
    // check rightly refuses; clearing the flag lets the key still be read.
    conf->conf_safekeys = false;
    char err[ARCF_ERRBUF_SIZE] = "";
    if (arcf_config_load(data, conf, err, nullptr) != 0) {
        // A failure always says why, and nothing half-loaded is kept.
        if (err[0] == '\0') {
            abort();
        }
    } else {
        // A loaded record holds only codes the library accepts.
        if (conf->conf_signalg < 0 || conf->conf_canonhdr < 0 || conf->conf_canonbody < 0) {
            abort();
        }
        // Every integer setting that loaded is within its bounds, whole.
        for (const config_def* row = arcf_config_defs; row->name != nullptr; ++row) {
            long long value = 0;
            long long min = 0;
            long long max = 0;
            if (row->type == CONFIG_TYPE_INTEGER &&
                config_get(data, row->name, &value, sizeof value) == 1 &&
                (!arcf_config_integer_bounds(row->name, &min, &max) || value < min ||
                 value > max)) {
                abort();
            }
        }
        const char* msg = nullptr;
        if (!arcf_config_setlib(conf, &msg) && msg == nullptr) {
            abort();
        }
    }
    conf->conf_data = data;
    arcf_config_free(conf);
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
    std::string record;
    const std::string pem = velmora_test::make_rsa_key(1024, &record);
    if (pem.empty() || !write_text("k.pem", pem) ||
        !write_text("keys.txt", "sel._domainkey.example.com " + record + "\n") ||
        !write_text("hosts.txt", "127.0.0.1\n::1\nmx.example.com\n") || mkfifo("fifo", 0600) != 0) {
        abort();
    }
    snprintf(myhostname, sizeof myhostname, "%s", "fuzz.example");
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
        long long whole = 0;
        // A 4-byte read gives the whole value or nothing, never a cut one.
        if (config_get(list, "Count", &n, sizeof n) == 1 &&
            (config_get(list, "Count", &whole, sizeof whole) != 1 || whole != n)) {
            abort();
        }
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
    full_load();
    return 0;
}
