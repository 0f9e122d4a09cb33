// SPDX-License-Identifier: BSD-2-Clause
// arc-verify.cc - chain validation: body intake, the checks at end of message,
// and the texts naming the chain state and the chain of custody.
//
// Verifies the newest ARC-Message-Signature over its header and body digests
// and every ARC-Seal over its seal digest, newest first, with the cv= order
// checked before each seal's key is fetched.
// Memory:  libcrypto's allocator only; everything dies with its message handle.
// Errors:  recorded with arc_error() in the message handle; this file never logs.
// Threads: none of its own; one message handle is used by one thread at a
//          time; decoded public keys are shared through the library handle's
//          key cache (arc-keycache.cc), which locks itself.
#include <assert.h>
#include <strings.h>
#include <time.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "arc-canon.h"
#include "arc-keycache.h"
#include "arc.h"
#include "base64.h"
#include "velmora.h"

namespace {

bool sha1_refused(const arc_msg* msg) noexcept {
    return (msg->arc_lib->arc_flags & ARC_LIBFLAGS_NOSHA1) != 0;
}

// Decodes the key bytes left by arc_get_key() as a key of its type.
pkey_ptr decode_public_key(arc_msg* msg) noexcept {
    if (msg->arc_keytype == ARC_KEYTYPE_ED25519) {
        pkey_ptr key{
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, msg->arc_key, msg->arc_keylen)};
        if (!key) {
            arc_error(msg, "EVP_PKEY_new_raw_public_key() failed");
        }
        return key;
    }
    bio_ptr bio{BIO_new_mem_buf(msg->arc_key, static_cast<int>(msg->arc_keylen))};
    if (!bio) {
        arc_error(msg, "BIO_new_mem_buf() failed");
        return nullptr;
    }
    pkey_ptr key{d2i_PUBKEY_bio(bio.get(), nullptr)};
    if (!key) {
        arc_error(msg, "d2i_PUBKEY_bio() failed");
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        arc_error(msg, "EVP_PKEY_get1_RSA() failed");
        return nullptr;
    }
    return key;
}

// The EVP_PKEY type of keys of an ARC_KEYTYPE_*.
int pkey_type(int keytype) noexcept {
    return keytype == ARC_KEYTYPE_ED25519 ? EVP_PKEY_ED25519 : EVP_PKEY_RSA;
}

// Reads the public key left by arc_get_key(); records the step that failed.
bool load_public_key(arc_msg* msg, pkey_ptr& out) noexcept {
    // A chain's newest signature and seal usually share a key, and a receiver
    // meets the same sealers again and again: the handle keeps decoded keys.
    // Only the decoding is kept; every key is still fetched anew. The cache
    // is searched by bytes alone, so a kept key of another type is not used.
    const std::span<const unsigned char> der{msg->arc_key, msg->arc_keylen};
    if (pkey_ptr known{arc_keycache_find_public(msg->arc_lib->arc_keys, der)};
        known && EVP_PKEY_get_base_id(known.get()) == pkey_type(msg->arc_keytype)) {
        if (msg->arc_lastkey != nullptr) {
            msg->arc_lastkey->ki_cached = 1;
        }
        out = std::move(known);
        return true;
    }
    if (msg->arc_lastkey != nullptr) {
        msg->arc_lastkey->ki_cached = 0;
    }
    pkey_ptr key = decode_public_key(msg);
    if (!key) {
        return false;
    }
    arc_keycache_add_public(msg->arc_lib->arc_keys, der, key.get());
    out = std::move(key);
    return true;
}

// Verifies one base64 signature text over `digest` with the message's current
// key. `minbits` 0 applies no minimum key size; it applies to RSA keys only.
// False records the reason where there is one; a signature that simply does
// not verify leaves no text.
bool check_signature(arc_msg* msg, const char* b64sig, std::span<const unsigned char> digest,
                     int alg, unsigned minbits) noexcept {
    const size_t siglen = strlen(b64sig);
    crypto_ptr<unsigned char> sig{static_cast<unsigned char*>(OPENSSL_malloc(siglen + 1))};
    if (!sig) {
        arc_error(msg, "unable to allocate %d bytes", static_cast<int>(siglen + 1));
        return false;
    }
    const int declen =
        arc_base64_decode(reinterpret_cast<const unsigned char*>(b64sig), sig.get(), siglen + 1);

    pkey_ptr key;
    if (!load_public_key(msg, key)) {
        return false;
    }
    const unsigned keybits = static_cast<unsigned>(EVP_PKEY_get_size(key.get())) * 8;
    if (alg != ARC_ALG_ED25519SHA256 && minbits != 0 && keybits < minbits) {
        arc_error(msg, "key size (%u) below minimum (%u)", keybits, minbits);
        return false;
    }
    if (declen <= 0) {
        arc_error(msg, "b= is not a base64 signature");
        return false;
    }
    const std::span<const unsigned char> bytes{sig.get(), static_cast<size_t>(declen)};
    // A kept RSA key comes with a verification context set up once.
    if (alg == ARC_ALG_RSASHA1 || alg == ARC_ALG_RSASHA256) {
        const EVP_MD* md = alg == ARC_ALG_RSASHA1 ? EVP_sha1() : EVP_sha256();
        if (pkey_ctx_ptr ctx{arc_keycache_verify_ctx(msg->arc_lib->arc_keys, key.get(), md)}) {
            return EVP_PKEY_verify(ctx.get(), bytes.data(), bytes.size(), digest.data(),
                                   digest.size()) == 1;
        }
    }
    return arc_verify_digest(key.get(), alg, bytes, digest);
}

// As check_signature(), but every failure records why the signature or seal
// `what` of instance i failed: "... did not verify", followed by the key or
// syntax reason when there is one.
bool verify_signature(arc_msg* msg, const char* what, unsigned i, const char* b64sig,
                      std::span<const unsigned char> digest, int alg, unsigned minbits) noexcept {
    if (msg->arc_errorbuf != nullptr) {
        msg->arc_errorbuf[0] = '\0';  // a text left now comes from this check
    }
    if (check_signature(msg, b64sig, digest, alg, minbits)) {
        return true;
    }
    const char* text = arc_geterror(msg);
    char why[512] = "";
    std::snprintf(why, sizeof why, "%s", text != nullptr ? text : "");
    if (why[0] != '\0') {
        arc_error(msg, "%s at instance %u did not verify: %s", what, i, why);
    } else {
        arc_error(msg, "%s at instance %u did not verify", what, i);
    }
    return false;
}

// True when the colon-separated list names From (RFC 6376 section 6.1.1: a
// signature whose h= leaves From out must not be accepted).
bool signs_from(const char* list) noexcept {
    std::string_view rest{list != nullptr ? list : ""};
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        std::string_view name = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        while (!name.empty() && strchr(" \t\r\n", name.front()) != nullptr) {
            name.remove_prefix(1);
        }
        while (!name.empty() && strchr(" \t\r\n", name.back()) != nullptr) {
            name.remove_suffix(1);
        }
        if (name.size() == 4 && strncasecmp(name.data(), "From", 4) == 0) {
            return true;
        }
    }
    return false;
}

// Refuses an ARC-Message-Signature of instance i whose h= does not list
// From, before its key is fetched; records the reason.
bool covers_from(arc_msg* msg, arc_kvset* ams, unsigned i) noexcept {
    if (signs_from(arc_param_get(ams, "h"))) {
        return true;
    }
    arc_error(msg, "ARC-Message-Signature at instance %u does not sign From", i);
    return false;
}

// Checks the a= of a signature or seal before its key is fetched: known, and
// not refused; records the reason otherwise.
bool algorithm_allowed(arc_msg* msg, arc_kvset* set, const char* what, unsigned i) noexcept {
    const int alg = arc_sigalg(set);
    if (alg == -1) {
        const char* a = arc_param_get(set, "a");
        arc_error(msg, "%s at instance %u has unknown algorithm '%.20s'", what, i,
                  a != nullptr ? a : "");
        return false;
    }
    if (alg == ARC_ALG_RSASHA1 && sha1_refused(msg)) {
        arc_error(msg, "rsa-sha1 %s at instance %u refused (RFC 8301)", what, i);
        return false;
    }
    return true;
}

// Points the key lookup at the s=, d= and a= of a signature or seal.
void select_key(arc_msg* msg, arc_kvset* set) noexcept {
    msg->arc_selector = arc_param_get(set, "s");
    msg->arc_domain = arc_param_get(set, "d");
    msg->arc_keyalg = arc_sigalg(set);
    msg->arc_hashtype = arc_alg_hashtype(msg->arc_keyalg);
}

// Compares the base64 form of the body digest with the bh= value.
bool body_hash_matches(arc_msg* msg, std::span<const unsigned char> bh,
                       const char* expected) noexcept {
    const size_t b64len = 4 * ((bh.size() + 2) / 3) + 1;
    crypto_ptr<unsigned char> b64{static_cast<unsigned char*>(OPENSSL_zalloc(b64len))};
    if (!b64) {
        arc_error(msg, "unable to allocate %d bytes", static_cast<int>(b64len));
        return false;
    }
    const int n = arc_base64_encode(bh.data(), bh.size(), b64.get(), b64len);
    const std::string_view got{reinterpret_cast<const char*>(b64.get()),
                               n > 0 ? static_cast<size_t>(n) : 0};
    if (expected == nullptr || got != std::string_view{expected}) {
        arc_error(msg, "body hash mismatch");
        return false;
    }
    return true;
}

uint64_t monotonic_usec() noexcept {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// Fetches the key selected for the signature or seal being checked, and notes
// how the lookup went in its entry of the key list. On failure records
// "arc_get_key() failed" with the lookup's reason (or, when the lookup left
// none, the name of its status), so the chain state can say why.
bool fetch_key(arc_msg* msg) noexcept {
    if (msg->arc_errorbuf != nullptr) {
        msg->arc_errorbuf[0] = '\0';  // a text left now comes from this lookup
    }
    const uint32_t listed = msg->arc_nkeys;
    const bool tempfail_before = msg->arc_dnstempfail;
    msg->arc_dnstempfail = false;
    const uint64_t start = monotonic_usec();
    const ARC_STAT status = arc_get_key(msg, false);
    const uint64_t took = monotonic_usec() - start;
    const bool tempfail = msg->arc_dnstempfail;
    msg->arc_dnstempfail = tempfail_before || tempfail;
    msg->arc_lastkey = msg->arc_nkeys > listed ? &msg->arc_keys[msg->arc_nkeys - 1] : nullptr;
    if (msg->arc_lastkey != nullptr) {
        msg->arc_lastkey->ki_status = status;
        msg->arc_lastkey->ki_tempfail = tempfail;
        msg->arc_lastkey->ki_cached = -1;
        msg->arc_lastkey->ki_usec = took;
    }
    if (status == ARC_STAT_OK) {
        return true;
    }
    char why[512];
    const char* text = arc_geterror(msg);
    const char* name = arc_code_to_name(results, status);
    std::snprintf(why, sizeof why, "%s",
                  text != nullptr && text[0] != '\0' ? text
                  : name != nullptr                  ? name
                                                     : "no key");
    arc_error(msg, "arc_get_key() failed: %s", why);
    return false;
}

// Checks the newest ARC-Message-Signature: key, digests, signature, body hash.
bool check_newest_ams(arc_msg* msg) noexcept {
    arc_kvset* ams = msg->arc_sets[msg->arc_nsets - 1].arcset_ams->hdr_data;
    if (!covers_from(msg, ams, msg->arc_nsets) ||
        !algorithm_allowed(msg, ams, "ARC-Message-Signature", msg->arc_nsets)) {
        return false;
    }
    select_key(msg, ams);
    if (!fetch_key(msg)) {
        return false;
    }
    void* hh = nullptr;
    void* bh = nullptr;
    size_t hhlen = 0;
    size_t bhlen = 0;
    if (arc_canon_gethashes(msg, &hh, &hhlen, &bh, &bhlen) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_gethashes() failed");
        return false;
    }
    const char* sig = arc_param_get(ams, "b");
    if (!verify_signature(msg, "ARC-Message-Signature", msg->arc_nsets, sig != nullptr ? sig : "",
                          {static_cast<const unsigned char*>(hh), hhlen}, arc_sigalg(ams),
                          msg->arc_lib->arc_minkeybits)) {
        return false;
    }
    return body_hash_matches(msg, {static_cast<const unsigned char*>(bh), bhlen},
                             arc_param_get(ams, "bh"));
}

// With ARC_LIBFLAGS_OLDESTPASS: checks the older ARC-Message-Signature of
// instance i with the hashes prepared for it. A key lookup that failed for a
// passing reason sets `tempfail`.
bool check_older_ams(arc_msg* msg, unsigned i, bool& tempfail) noexcept {
    const arc_set& s = msg->arc_sets[i - 1];
    if (s.arcset_hdrcanon == nullptr || s.arcset_bodycanon == nullptr) {
        return false;
    }
    arc_kvset* ams = s.arcset_ams->hdr_data;
    if (!covers_from(msg, ams, i) || !algorithm_allowed(msg, ams, "ARC-Message-Signature", i)) {
        return false;
    }
    select_key(msg, ams);
    const bool tempfail_before = msg->arc_dnstempfail;
    const bool fetched = fetch_key(msg);
    // The chain has passed already: a lookup for this report alone must not
    // make the message look worth deferring.
    tempfail = msg->arc_dnstempfail && !tempfail_before;
    msg->arc_dnstempfail = tempfail_before;
    if (!fetched) {
        return false;
    }
    unsigned char* hh = nullptr;
    unsigned char* bh = nullptr;
    size_t hhlen = 0;
    size_t bhlen = 0;
    if (arc_canon_getfinal(s.arcset_hdrcanon, &hh, &hhlen) != ARC_STAT_OK ||
        arc_canon_getfinal(s.arcset_bodycanon, &bh, &bhlen) != ARC_STAT_OK) {
        return false;
    }
    const char* sig = arc_param_get(ams, "b");
    return verify_signature(msg, "ARC-Message-Signature", i, sig != nullptr ? sig : "", {hh, hhlen},
                            arc_sigalg(ams), msg->arc_lib->arc_minkeybits) &&
           body_hash_matches(msg, {bh, bhlen}, arc_param_get(ams, "bh"));
}

// RFC 8617 section 5.2 step 5: walks the older signatures from the newest
// down; the first one that does not verify makes the instance above it the
// oldest that passes. The texts these checks record are not the chain's:
// the message keeps the one it had.
void find_oldest_pass(arc_msg* msg) noexcept {
    msg->arc_oldestpass = 0;
    msg->arc_oldest_known = true;
    const char* text = arc_geterror(msg);
    char saved[512] = "";
    std::snprintf(saved, sizeof saved, "%s", text != nullptr ? text : "");
    for (unsigned i = msg->arc_nsets - 1; i >= 1; --i) {
        bool tempfail = false;
        if (!check_older_ams(msg, i, tempfail)) {
            msg->arc_oldestpass = i + 1;
            msg->arc_oldest_tempfail = tempfail;
            break;
        }
    }
    if (msg->arc_errorbuf != nullptr) {
        if (text != nullptr) {
            arc_error(msg, "%s", saved);
        } else {
            msg->arc_errorbuf[0] = '\0';
        }
    }
}

enum class seal_result { pass, fail, out_of_order };

// Checks the ARC-Seal of instance i: cv= order first, then its signature.
seal_result check_seal(arc_msg* msg, unsigned i) noexcept {
    arc_kvset* as = msg->arc_sets[i - 1].arcset_as->hdr_data;
    const char* cv = arc_param_get(as, "cv");
    const char* want = i == 1 ? "none" : "pass";
    if (cv == nullptr || strcasecmp(cv, want) != 0) {
        arc_error(msg, "ARC-Seal at instance %u has cv=%.20s where %s belongs", i,
                  cv != nullptr ? cv : "", want);
        return seal_result::out_of_order;
    }
    if (!algorithm_allowed(msg, as, "ARC-Seal", i)) {
        return seal_result::fail;
    }
    select_key(msg, as);
    if (!fetch_key(msg)) {
        return seal_result::fail;
    }
    void* sh = nullptr;
    size_t shlen = 0;
    if (arc_canon_getsealhash(msg, static_cast<int>(i), &sh, &shlen) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_getsealhashes() failed");
        return seal_result::fail;
    }
    const char* sig = arc_param_get(as, "b");
    if (!verify_signature(msg, "ARC-Seal", i, sig != nullptr ? sig : "",
                          {static_cast<const unsigned char*>(sh), shlen}, arc_sigalg(as), 0)) {
        return seal_result::fail;
    }
    return seal_result::pass;
}

}  // namespace

// ---- Signature primitives ----

namespace {

// Checks a PKCS#1 v1.5 signature over a finished digest; false on any mismatch.
bool rsa_verify(EVP_PKEY* key, const EVP_MD* md, std::span<const unsigned char> sig,
                std::span<const unsigned char> digest) noexcept {
    pkey_ctx_ptr ctx{EVP_PKEY_CTX_new(key, nullptr)};
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) {
        return false;
    }
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

// Checks an Ed25519 signature whose message is the finished digest (RFC 8463
// section 3: the hash, not the data, is what Ed25519 signs); false on any
// mismatch.
bool ed25519_verify(EVP_PKEY* key, std::span<const unsigned char> sig,
                    std::span<const unsigned char> digest) noexcept {
    md_ctx_ptr ctx{EVP_MD_CTX_new()};
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1) {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

}  // namespace

bool arc_verify_digest(EVP_PKEY* key, int alg, std::span<const unsigned char> sig,
                       std::span<const unsigned char> digest) noexcept {
    assert(key != NULL);
    if (alg == ARC_ALG_ED25519SHA256) {
        return ed25519_verify(key, sig, digest);
    }
    return rsa_verify(key, alg == ARC_ALG_RSASHA1 ? EVP_sha1() : EVP_sha256(), sig, digest);
}

// ---- Body intake ----

bool arc_hashes_ready(const arc_msg* msg) noexcept {
    return msg->arc_eoh_complete;
}

ARC_STAT arc_body(arc_msg* msg, const unsigned char* buf, size_t len) noexcept {
    assert(msg != NULL);
    assert(buf != NULL);
    if (msg->arc_state == ARC_STATE_HEADER) {
        return ARC_STAT_OK;
    }
    if (msg->arc_state == ARC_STATE_INIT) {
        return ARC_STAT_INVALID;
    }
    // After a failed end of header the hashes may be incomplete: refuse the
    // body rather than feed them.
    if (!arc_hashes_ready(msg)) {
        arc_error(msg, "end of header did not complete");
        return ARC_STAT_INVALID;
    }
    msg->arc_state = ARC_STATE_BODY;
    return arc_canon_bodychunk(msg, buf, len);
}

// ---- Validation ----

ARC_STAT arc_eom(arc_msg* msg) noexcept {
    assert(msg != NULL);
    if ((msg->arc_mode & ARC_MODE_VERIFY) == 0 || msg->arc_state == ARC_STATE_HEADER) {
        return ARC_STAT_OK;
    }
    // An ARC field that did not parse fails the chain even when no set with
    // an instance number remains: such a message is not one without a chain.
    if (msg->arc_cstate == ARC_CHAIN_FAIL) {
        return ARC_STAT_OK;
    }
    if (msg->arc_nsets == 0) {
        msg->arc_cstate = ARC_CHAIN_NONE;
        return ARC_STAT_OK;
    }
    if (!arc_hashes_ready(msg) || msg->arc_valid_hdrcanon == nullptr ||
        msg->arc_valid_bodycanon == nullptr || msg->arc_sealcanons == nullptr) {
        arc_error(msg, "end of header did not complete");
        msg->arc_cstate = ARC_CHAIN_FAIL;
        return ARC_STAT_OK;
    }
    if (arc_canon_closebody(msg) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_closebody() failed");
        msg->arc_cstate = ARC_CHAIN_FAIL;
        return ARC_STAT_OK;
    }
    if (!check_newest_ams(msg)) {
        msg->arc_cstate = ARC_CHAIN_FAIL;
        return ARC_STAT_OK;
    }
    msg->arc_cstate = ARC_CHAIN_PASS;
    for (unsigned i = msg->arc_nsets; i >= 1; --i) {
        switch (check_seal(msg, i)) {
            case seal_result::pass:
                break;
            case seal_result::out_of_order:
                msg->arc_noseal = true;
                msg->arc_cstate = ARC_CHAIN_FAIL;
                return ARC_STAT_OK;
            case seal_result::fail:
                msg->arc_cstate = ARC_CHAIN_FAIL;
                return ARC_STAT_OK;
        }
    }
    if ((msg->arc_lib->arc_flags & ARC_LIBFLAGS_OLDESTPASS) != 0) {
        find_oldest_pass(msg);
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_chain_oldest_pass(arc_msg* msg, unsigned int* oldest) noexcept {
    assert(msg != NULL);
    assert(oldest != NULL);
    if (!msg->arc_oldest_known || msg->arc_cstate != ARC_CHAIN_PASS) {
        return ARC_STAT_INVALID;
    }
    if (msg->arc_oldest_tempfail) {
        return ARC_STAT_CANTVRFY;
    }
    *oldest = msg->arc_oldestpass;
    return ARC_STAT_OK;
}

ARC_STAT arc_key_outcome(arc_msg* msg, unsigned int idx, ARC_STAT* status, bool* tempfail,
                         unsigned long* usec, int* cached) noexcept {
    assert(msg != NULL);
    if (idx >= msg->arc_nkeys) {
        return ARC_STAT_INVALID;
    }
    const arc_keyinfo& ki = msg->arc_keys[idx];
    if (status != nullptr) {
        *status = ki.ki_status;
    }
    if (tempfail != nullptr) {
        *tempfail = ki.ki_tempfail;
    }
    if (usec != nullptr) {
        *usec = static_cast<unsigned long>(ki.ki_usec);
    }
    if (cached != nullptr) {
        *cached = ki.ki_cached;
    }
    return ARC_STAT_OK;
}

int arc_key_algorithm(arc_msg* msg, unsigned int idx) noexcept {
    assert(msg != NULL);
    return idx < msg->arc_nkeys ? msg->arc_keys[idx].ki_alg : -1;
}

// ---- Chain state texts ----

const char* arc_chain_status_str(arc_msg* msg) noexcept {
    assert(msg != NULL);
    const char* name = arc_code_to_name(chainstatus, msg->arc_cstate);
    return name != nullptr ? name : "unknown";
}

int arc_chain_custody_str(arc_msg* msg, char* buf, size_t buflen) noexcept {
    assert(msg != NULL);
    assert(buf != NULL);
    assert(buflen > 0);
    if (msg->arc_cstate != ARC_CHAIN_PASS) {
        return 0;
    }
    dstring_ptr text{arc_dstring_new(msg, 1024, 65536)};
    if (!text) {
        arc_error(msg, "failed to allocate dynamic string");
        return ARC_STAT_NORESOURCE;
    }
    for (unsigned i = msg->arc_nsets; i >= 1; --i) {
        const arc_hdr* ams = msg->arc_sets[i - 1].arcset_ams;
        const char* d = ams != nullptr ? arc_param_get(ams->hdr_data, "d") : nullptr;
        if (i != msg->arc_nsets) {
            arc_dstring_cat1(text.get(), ':');
        }
        arc_dstring_cat(text.get(), d != nullptr ? d : "");
    }
    const int len = arc_dstring_len(text.get());
    memset(buf, 0, buflen);
    const size_t n = static_cast<size_t>(len) < buflen - 1 ? static_cast<size_t>(len) : buflen - 1;
    memcpy(buf, arc_dstring_get(text.get()), n);
    return len;
}
