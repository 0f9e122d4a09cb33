// SPDX-License-Identifier: BSD-2-Clause
// velmora-fixture.h - what the end-to-end tests need around velmora itself:
// sealing keys and their records, velmora started in a private mount
// namespace (its own /dev/log, and optionally a resolver pointed at
// velmora-testdns), and chain validation of delivered messages with the
// library.
//
// Memory:  C++ owners; each object stops or removes what it made.
// Errors:  start-up functions return false with the reason in *err.
// Threads: for the test's main thread.
#ifndef VELMORA_TESTS_E2E_VELMORA_FIXTURE_H
#define VELMORA_TESTS_E2E_VELMORA_FIXTURE_H

#include <string>
#include <vector>

#include "e2e-support.h"

namespace velmora_e2e {

// A sealing key written to `dir` (mode 0600) and its public record text.
struct test_key {
    std::string pem_path;
    std::string record;  // "v=DKIM1; k=rsa; p=..." (k=ed25519 for Ed25519)
};
// Makes an RSA key of `bits`; an empty pem_path when it failed.
test_key make_key(const std::string& dir, const std::string& name, int bits);
// Makes an Ed25519 key (record "v=DKIM1; k=ed25519; p=..."), as make_key().
test_key make_ed25519_key(const std::string& dir, const std::string& name);

// How velmora runs: in a private mount namespace whose /dev/log is the
// capture's socket and, when dns_address is not empty, whose resolver asks
// velmora-testdns there. `scratch` is an empty directory the setup may use.
child_options velmora_child_options(const std::string& scratch, const std::string& devlog,
                                    const std::string& dns_address, const std::string& stderr_path);

// The velmora program under test.
std::string velmora_program();

// Validates the ARC chain of a delivered message with the library, keys from
// the key record file `keyfile`. Returns the chain state name ("none",
// "pass", "fail") and the newest instance in *instance.
std::string validate_chain(const std::string& message, const std::string& keyfile, int* instance);

// The tag `tag` of a tag-value list ("s" of "a=...; s=sel; ..."), or "".
std::string tag_value(const std::string& value, const std::string& tag);

// Connects to a milter socket ("inet:PORT@HOST" or "unix:PATH"); true once it
// accepts.
bool milter_listening(const std::string& spec);
// Opens a milter session and negotiates as an MTA would, then leaves; true
// when the filter answered the negotiation.
bool milter_negotiate(const std::string& spec);
// The same with protocol version `version` and the actions `offered` (every
// protocol step offered); returns the actions the filter asked for, or -1
// when it did not answer the negotiation.
long milter_negotiate_actions(const std::string& spec, unsigned version, unsigned long offered);

}  // namespace velmora_e2e

#endif  // VELMORA_TESTS_E2E_VELMORA_FIXTURE_H
