// SPDX-License-Identifier: BSD-2-Clause
// arc-pubkey.cc - fetching and checking the public-key record of a signature
// or seal.
//
// Part of the arc module (declarations in arc.h). arc_get_key fetches the
// record named by the message's selector and domain, parses it as a key set,
// applies the record's checks in a fixed order and leaves the decoded key in
// the message handle for the signature check.
// Memory:  libcrypto's allocator only; the key and its set die with the message.
// Errors:  recorded with arc_error() in the message handle.
// Threads: none; one message handle is used by one thread at a time.
#include <strings.h>

#include <cassert>
#include <cstring>
#include <string_view>

#include "arc-keys.h"
#include "arc.h"
#include "base64.h"

namespace {

// Size of the buffer a key record is fetched into: room for the record of an
// 8192-bit key (about 1400 characters) and more, and no larger than the
// biggest DNS reply the lookup reads.
constexpr size_t key_record_size = 8192;

// Longest element of a ":"-separated list that can name a table entry.
constexpr size_t list_element_size = 64;

// Calls f with each non-empty element of a ":"-separated list, as a
// NUL-terminated text; stops and returns true as soon as f does. Elements too
// long to name anything are passed over.
template <typename F>
bool any_element(const char* list, F&& f) noexcept {
    std::string_view rest{list};
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view elem = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        if (elem.empty() || elem.size() >= list_element_size) {
            continue;
        }
        char name[list_element_size];
        std::memcpy(name, elem.data(), elem.size());
        name[elem.size()] = '\0';
        if (f(static_cast<const char*>(name))) {
            return true;
        }
    }
    return false;
}

// True when the key set allows e-mail: no s= tag, or one listing "*" or "email".
bool arc_key_smtp(arc_kvset* set) noexcept {
    assert(set->set_type == ARC_KVSETTYPE_KEY);
    const char* services = arc_param_get(set, "s");
    if (services == nullptr) {
        return true;
    }
    return any_element(services, [](const char* name) {
        return std::strcmp(name, "*") == 0 || strcasecmp(name, "email") == 0;
    });
}

// Fetches the record for the message's selector and domain into buf.
ARC_STAT fetch_record(arc_msg* msg, char* buf, size_t buflen) noexcept {
    assert(msg->arc_query == ARC_QUERY_DNS || msg->arc_query == ARC_QUERY_FILE);
    if (msg->arc_query == ARC_QUERY_FILE) {
        return arc_get_key_file(msg, buf, buflen);
    }
    return arc_get_key_dns(msg, buf, buflen);
}

// Length of an Ed25519 public key (RFC 8032 section 5.1.5).
constexpr size_t ed25519_key_size = 32;

// Decodes the p= text now in arc_b64key into a fresh arc_key.
ARC_STAT decode_key(arc_msg* msg) noexcept {
    msg->arc_b64keylen = std::strlen(msg->arc_b64key);
    OPENSSL_free(msg->arc_key);
    msg->arc_key = nullptr;
    msg->arc_keylen = 0;
    auto* key = static_cast<unsigned char*>(OPENSSL_malloc(msg->arc_b64keylen));
    if (key == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(msg->arc_b64keylen));
        return ARC_STAT_NORESOURCE;
    }
    msg->arc_key = key;
    const int n = arc_base64_decode(reinterpret_cast<const unsigned char*>(msg->arc_b64key), key,
                                    msg->arc_b64keylen);
    if (n < 0) {
        arc_error(msg, "key missing");
        return ARC_STAT_SYNTAX;
    }
    msg->arc_keylen = static_cast<size_t>(n);
    msg->arc_keyflags = 0;
    // RFC 8463 section 4: p= is the bare 32-byte key, not a DER structure.
    if (msg->arc_keytype == ARC_KEYTYPE_ED25519 && msg->arc_keylen != ed25519_key_size) {
        arc_error(msg, "ed25519 key is %zu bytes long, not %zu", msg->arc_keylen, ed25519_key_size);
        return ARC_STAT_SYNTAX;
    }
    return ARC_STAT_OK;
}

}  // namespace

bool arc_key_hashesok(arc_library* lib, const char* hashlist) noexcept {
    assert(lib != NULL);
    if (hashlist == nullptr) {
        return true;
    }
    return any_element(hashlist, [lib](const char* name) {
        const int code = arc_name_to_code(hashes, name);
        return code == ARC_HASHTYPE_SHA1 ||
               (code == ARC_HASHTYPE_SHA256 && arc_libfeature(lib, ARC_FEATURE_SHA256));
    });
}

bool arc_key_hashok(arc_msg* msg, const char* hashlist) noexcept {
    assert(msg != NULL);
    if (hashlist == nullptr) {
        return true;
    }
    return any_element(hashlist, [msg](const char* name) {
        const int code = arc_name_to_code(hashes, name);
        return code != -1 && code == msg->arc_hashtype;
    });
}

ARC_STAT arc_get_key(arc_msg* msg, bool testing) noexcept {
    assert(msg != NULL);
    assert(msg->arc_selector != NULL);
    assert(msg->arc_domain != NULL);

    char record[key_record_size] = {};
    ARC_STAT status = fetch_record(msg, record, sizeof record);
    if (status != ARC_STAT_OK) {
        return status;
    }
    if (record[0] == '\0') {
        arc_error(msg, "empty key record");
        return ARC_STAT_SYNTAX;
    }
    arc_kvset* set = nullptr;
    status = arc_process_set(msg, ARC_KVSETTYPE_KEY, record, std::strlen(record), nullptr, &set);
    if (status != ARC_STAT_OK) {
        return status;
    }

    const char* version = arc_param_get(set, "v");
    if (version != nullptr && std::strcmp(version, "DKIM1") != 0) {
        arc_error(msg, "invalid key version '%s'", version);
        return ARC_STAT_SYNTAX;
    }
    const char* hashlist = arc_param_get(set, "h");
    if (!arc_key_hashesok(msg->arc_lib, hashlist)) {
        arc_error(msg, "unknown hash '%s'", hashlist);
        return ARC_STAT_SYNTAX;
    }
    if (!testing && !arc_key_hashok(msg, hashlist)) {
        arc_error(msg, "signature-key hash mismatch");
        return ARC_STAT_CANTVRFY;
    }
    if (!arc_key_smtp(set)) {
        arc_error(msg, "key type mismatch");
        return ARC_STAT_CANTVRFY;
    }
    const char* keytype = arc_param_get(set, "k");
    if (keytype == nullptr) {
        arc_error(msg, "key type missing");
        return ARC_STAT_SYNTAX;
    }
    const int type = arc_name_to_code(keytypes, keytype);
    if (type == -1) {
        arc_error(msg, "unknown key type '%s'", keytype);
        return ARC_STAT_SYNTAX;
    }
    // An RSA key cannot check an Ed25519 signature, nor the reverse.
    if (!testing && type != arc_alg_keytype(msg->arc_keyalg)) {
        arc_error(msg, "key type mismatch");
        return ARC_STAT_CANTVRFY;
    }
    msg->arc_keytype = type;

    msg->arc_b64key = arc_param_get(set, "p");
    if (msg->arc_b64key == nullptr) {
        arc_error(msg, "key missing");
        return ARC_STAT_SYNTAX;
    }
    if (msg->arc_b64key[0] == '\0') {
        return ARC_STAT_REVOKED;
    }
    status = decode_key(msg);
    if (status != ARC_STAT_OK) {
        return status;
    }

    const char* flags = arc_param_get(set, "t");
    if (flags != nullptr) {
        (void)any_element(flags, [msg](const char* name) {
            const int code = arc_name_to_code(keyflags, name);
            if (code != -1) {
                msg->arc_keyflags |= static_cast<uint64_t>(code);
            }
            return false;
        });
    }
    return ARC_STAT_OK;
}
