// SPDX-License-Identifier: BSD-2-Clause
// velmora-config-support.h - what the configuration tests share: a private
// mount namespace with its own /tmp and user database (so that key files can
// be shown safe or unsafe without touching the machine), files written into
// it, loads done the way the start-up does them, and a capture of log lines.
#ifndef VELMORA_TESTS_VELMORA_CONFIG_SUPPORT_H
#define VELMORA_TESTS_VELMORA_CONFIG_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "velmora-config.h"

namespace velmora_test {

// Users of the private database: root, alice (2001), bob (2002).
constexpr uid_t test_alice = 2001;
constexpr uid_t test_bob = 2002;

// Enters the namespace once (before any thread starts); returns why it cannot,
// or "" when the tests can run.
std::string enter_config_namespace();

// Makes a new empty directory (root-owned, 0755) for one test and returns its
// path.
std::string make_test_dir();

// Writes `text` to `path` with this owner and mode.
void write_file_as(const std::string& path, const std::string& text, mode_t mode = 0600,
                   uid_t uid = 0);

// A real RSA private key (PEM) and its public key record, made once.
const std::string& test_key_pem();
const std::string& test_key_record();

// Loads the file at `path` into a new record the way the start-up does:
// reader, required settings, arcf_config_load() with `user`. Returns "" and
// the record in *out (with the parsed configuration attached as conf_data), or
// the error text ("configuration error at line N: ...", "required parameter
// \"X\" missing", or the loader's text) with *out null.
std::string load_config(const std::string& path, arcf_config** out, const char* user = nullptr);

// Collects every line arcf_log() writes while it lives.
class log_capture {
  public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;
    std::vector<std::pair<int, std::string>> lines() const;
    void clear();
};

}  // namespace velmora_test

#endif  // VELMORA_TESTS_VELMORA_CONFIG_SUPPORT_H
