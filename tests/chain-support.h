// SPDX-License-Identifier: BSD-2-Clause
// chain-support.h - helpers of the validation and sealing tests: messages fed
// to the library as an MTA would, generated sets written as an MTA inserts
// them, RSA test keys and key files.
#ifndef VELMORA_TESTS_CHAIN_SUPPORT_H
#define VELMORA_TESTS_CHAIN_SUPPORT_H

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arc.h"
#include "test-keys.h"
#include "velmora.h"

namespace chain_test {

struct lib_free {
    void operator()(arc_library* lib) const { arc_close(lib); }
};
struct msg_free {
    void operator()(arc_msg* msg) const { arc_free(msg); }
};
using lib_ptr = std::unique_ptr<arc_library, lib_free>;
using msg_ptr = std::unique_ptr<arc_msg, msg_free>;

// A message as the MTA hands it to a filter: header fields (with their folds,
// CR LF inside, no final line end) and the body with CR LF line ends.
struct message {
    std::vector<std::string> fields;
    std::string body;
};

// A short plain message: five header fields and a two-line body.
inline constexpr const char* short_message =
    "From: Alice <alice@d0.example>\r\n"
    "To: bob@example.net\r\n"
    "Subject: quarterly figures\r\n"
    "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
    "Message-ID: <1@d0.example>\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    "the figures follow.\r\n";

// Splits a message text with LF or CR LF line ends at its first empty line.
message split_message(std::string_view text);

// Joins a message back into one text with CR LF line ends.
std::string join_message(const message& m);

// A library handle with the key file `keyfile` (may be empty) and flags.
lib_ptr make_library(const std::string& keyfile, unsigned flags = 0);

// Feeds the message (header fields, end of header, body, end of message).
// Returns null when arc_message() fails; *status receives the first failing
// status of the intake calls (ARC_STAT_OK when all succeeded).
msg_ptr run_message(arc_library* lib, const message& m, int mode, int canonhdr = ARC_CANON_RELAXED,
                    int canonbody = ARC_CANON_RELAXED, int alg = ARC_ALG_RSASHA256,
                    ARC_STAT* status = nullptr);

// Validates the message; returns the chain state name ("pass", ...), and the
// error text in *error when not null.
std::string validate(arc_library* lib, const message& m, std::string* error = nullptr);

// A generated field as an MTA writes it: "Name: value", each LF of a fold
// turned into CR LF.
std::string wire_field(arc_hdr* h);

// The message with a generated set (AAR, AMS, AS list) inserted on top, as
// an MTA inserts it.
message with_set(const message& m, arc_hdr* set);

// Seals the message once (validating its chain first when `mode` has
// ARC_MODE_VERIFY) and returns it with the new set on top; *error receives the
// library's error text when sealing fails or adds no set, and *cv the new
// seal's cv= value.
struct seal_params {
    std::string key;
    std::string selector = "s1";
    std::string domain = "d1.example";
    std::string authservid = "mx.example";
    const char* results = "spf=pass smtp.mailfrom=d1.example";
    int mode = ARC_MODE_SIGN | ARC_MODE_VERIFY;
    int canonhdr = ARC_CANON_RELAXED;
    int canonbody = ARC_CANON_RELAXED;
    int alg = ARC_ALG_RSASHA256;
};
message seal_once(arc_library* lib, const message& m, const seal_params& p,
                  std::string* error = nullptr, std::string* cv = nullptr);

// The i-th record of a generated set (0 AAR, 1 AMS, 2 AS), or null.
arc_hdr* set_field(arc_hdr* set, int i);

// Tag-value pairs of a value, whitespace removed from names and values.
std::map<std::string, std::string> tags_of(std::string_view value);

// Keys generated for the tests: make_rsa_key(bits, &record),
// make_ed25519_key(&record) and record_of_pem(pem) come from test-keys.h.
using velmora_test::make_ed25519_key;
using velmora_test::make_rsa_key;
using velmora_test::record_of_pem;

// Keys shared by the tests of one program, generated on first use; the
// 8192-bit key is read from tests/data/test-8192.pem (slow to generate).
struct test_key {
    std::string pem;
    std::string record;
};
const test_key& key_of_bits(int bits);

// The same key converted to DER.
std::string pem_to_der(const std::string& pem);

// Writes a key file ("name record" per line) into a fresh temporary file and
// returns its path; the file is removed by remove_file().
std::string write_key_file(const std::vector<std::pair<std::string, std::string>>& records);
void remove_file(const std::string& path);

// The seal digest input of a set considered alone (relaxed AAR and AMS with
// CR LF, then the AS without its b= value and without CR LF), computed here
// independently of the library; and a check of an AS signature over it.
std::string relaxed_header(std::string_view field);
bool seal_covers_set_alone(arc_hdr* set, const std::string& record);

// Checks the AMS signature of a generated set over the message it was made
// for (without the set), computed here independently of the library with the
// set's header canonicalization (header fields only; the body hash is not
// checked).
bool ams_signature_verifies(const message& m, arc_hdr* set, const std::string& record);

// Checks the AS signature of a generated set over the sets it covers: every
// instance from 1 to its own for cv=pass, read from `m`, the message with the
// set inserted; the new set alone otherwise (relaxed, computed here
// independently).
bool seal_verifies_over_chain(const message& m, arc_hdr* set, const std::string& record);

// Checks a base64 signature made with algorithm `alg` (the a= name) over the
// data `input` with the key of a key record, computed here independently of
// the library: RSA over the data's digest, Ed25519 over its SHA-256 digest
// (RFC 8463). False as well when the record's k= does not suit `alg`.
bool verify_with_record(const std::string& input, const std::string& b64sig, const std::string& alg,
                        const std::string& record);

// The longest line of a field as an MTA writes it, in octets.
size_t longest_wire_line(arc_hdr* h);

}  // namespace chain_test

#endif  // VELMORA_TESTS_CHAIN_SUPPORT_H
