// SPDX-License-Identifier: BSD-2-Clause
// arc-seal.cc - sealing: the forced chain state, and the generation, layout
// and signing of a new ARC set (ARC-Authentication-Results,
// ARC-Message-Signature, ARC-Seal).
//
// Generated fields are laid out with LF TAB folds at the message's margin and
// never carry a line above 998 octets as an MTA writes them ("Name: value",
// CR LF folds). The ARC-Message-Signature is hashed as it will appear on the
// wire, and a seal over a failed chain covers the new set alone.
// Memory:  libcrypto's allocator only; the generated set dies with its message.
// Errors:  recorded with arc_error() in the message handle; this file never logs.
// Threads: none of its own; one message handle is used by one thread at a
//          time; parsed private keys are shared through the library handle's
//          key cache (arc-keycache.cc), which locks itself.
#include <assert.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "arc-canon.h"
#include "arc-keycache.h"
#include "arc.h"
#include "base64.h"
#include "velmora.h"

namespace {

// Longest line of a header field (RFC 5322 section 2.1.1), without its CR LF.
constexpr size_t max_line_octets = 998;

constexpr std::string_view aar_name = "ARC-Authentication-Results";
constexpr std::string_view ams_name = "ARC-Message-Signature";
constexpr std::string_view as_name = "ARC-Seal";

// ---- Field value layout ----

// A token of the value under construction: offset and length in the token
// string.
struct token {
    size_t off;
    size_t len;
};
constexpr size_t max_tokens = 10;

bool cat(arc_dstring* d, std::string_view s) noexcept {
    return arc_dstring_catn(d, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// Appends one tag token "name=value;" (or "b=") to `toks` and records it.
bool add_token(arc_dstring* toks, std::array<token, max_tokens>& list, size_t& n,
               std::string_view text) noexcept {
    const size_t off = static_cast<size_t>(arc_dstring_len(toks));
    if (n >= list.size() || !cat(toks, text)) {
        return false;
    }
    list[n++] = token{off, text.size()};
    return true;
}

size_t b64_length(size_t bytes) noexcept {
    return 4 * ((bytes + 2) / 3);
}

// Builds the base64 body hash of the generated signature as "bh=...;".
ARC_STAT body_hash_token(arc_msg* msg, arc_dstring* toks, std::array<token, max_tokens>& list,
                         size_t& n) noexcept {
    if (arc_canon_closebody(msg) != ARC_STAT_OK) {
        return ARC_STAT_INVALID;
    }
    unsigned char* digest = nullptr;
    size_t dlen = 0;
    if (arc_canon_getfinal(msg->arc_sign_bodycanon, &digest, &dlen) != ARC_STAT_OK) {
        return ARC_STAT_INVALID;
    }
    std::array<unsigned char, 4 * ((ARC_MAXDIGEST + 2) / 3) + 8> b64{};
    const int len = arc_base64_encode(digest, dlen, b64.data(), b64.size());
    if (len < 0) {
        return ARC_STAT_INTERNAL;
    }
    const size_t off = static_cast<size_t>(arc_dstring_len(toks));
    if (n >= list.size() || !cat(toks, "bh=") ||
        !arc_dstring_catn(toks, b64.data(), static_cast<size_t>(len)) || !cat(toks, ";")) {
        return ARC_STAT_NORESOURCE;
    }
    list[n++] = token{off, static_cast<size_t>(arc_dstring_len(toks)) - off};
    return ARC_STAT_OK;
}

// Builds "h=...;" from the fields header canonicalization selected, in message
// order, then the over-signed names, then From when no name so far was From:
// RFC 6376 section 5.4 requires From to be signed, and a From the message
// lacks is signed as absent, so the list is never empty.
bool header_list_token(arc_msg* msg, arc_dstring* toks, std::array<token, max_tokens>& list,
                       size_t& n) noexcept {
    const size_t off = static_cast<size_t>(arc_dstring_len(toks));
    bool any = false;
    bool from = false;
    auto add_name = [&](const char* name, size_t len) {
        if (!cat(toks, any ? ":" : "h=")) {
            return false;
        }
        any = true;
        from = from || (len == 4 && strncasecmp(name, "From", 4) == 0);
        return arc_dstring_catn(toks, reinterpret_cast<const unsigned char*>(name), len);
    };
    for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next) {
        if ((h->hdr_flags & ARC_HDR_SIGNED) != 0 && !add_name(h->hdr_text, h->hdr_namelen)) {
            return false;
        }
    }
    if (char** over = msg->arc_lib->arc_oversignhdrs; over != nullptr) {
        for (; *over != nullptr; ++over) {
            if (**over != '\0' && !arc_canon_never_signed(*over) &&
                !add_name(*over, strlen(*over))) {
                return false;
            }
        }
    }
    if (!from && !add_name("From", 4)) {
        return false;
    }
    if (n >= list.size() || !cat(toks, ";")) {
        return false;
    }
    list[n++] = token{off, static_cast<size_t>(arc_dstring_len(toks)) - off};
    return true;
}

// Writes an h= token that starts a continuation line, broken at its colons.
bool layout_header_list(arc_dstring* out, std::string_view tok, int margin, int& pos) noexcept {
    size_t colon = tok.find(':');
    std::string_view first = tok.substr(0, colon);
    if (!cat(out, first)) {
        return false;
    }
    pos = 8 + static_cast<int>(first.size());
    while (colon != std::string_view::npos) {
        const size_t start = colon + 1;
        colon = tok.find(':', start);
        const std::string_view name = tok.substr(
            start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        if (!cat(out, ":")) {
            return false;
        }
        pos += static_cast<int>(name.size()) + 1;
        if (pos > margin) {
            if (!cat(out, "\n\t ")) {
                return false;
            }
            pos = 9 + static_cast<int>(name.size());
        }
        if (!cat(out, name)) {
            return false;
        }
    }
    return true;
}

// Writes a bh= or b= token that starts a continuation line: the tag, then the
// value in pieces that end at the margin.
bool layout_hash(arc_dstring* out, std::string_view tok, int margin, int& pos) noexcept {
    const size_t eq = tok.find('=') + 1;
    if (!cat(out, tok.substr(0, eq))) {
        return false;
    }
    pos = 8 + static_cast<int>(eq);
    std::string_view rest = tok.substr(eq);
    while (!rest.empty()) {
        if (pos >= margin) {
            if (!cat(out, "\n\t ")) {
                return false;
            }
            pos = 9;
        }
        const size_t room = pos < margin ? static_cast<size_t>(margin - pos) : 1;
        const size_t take = room < rest.size() ? room : rest.size();
        if (!cat(out, rest.substr(0, take))) {
            return false;
        }
        pos += static_cast<int>(take);
        rest.remove_prefix(take);
    }
    return true;
}

// Lays the tokens out after a field name of `initial` characters.
bool layout_tokens(arc_msg* msg, arc_dstring* out, const char* toks, std::span<const token> list,
                   size_t initial) noexcept {
    const int margin = msg->arc_margin;
    const int siglen = static_cast<int>(b64_length(msg->arc_keybits / 8));
    int pos = static_cast<int>(initial);
    for (size_t k = 0; k < list.size(); ++k) {
        const std::string_view tok{toks + list[k].off, list[k].len};
        const int len = static_cast<int>(tok.size());
        if (k == 0) {
            if (!cat(out, tok)) {
                return false;
            }
            pos += len;
            continue;
        }
        const bool is_b = tok == "b=";
        const bool b_moves = is_b && pos + 1 + siglen + 1 >= margin;
        if (pos + len <= margin && !b_moves) {
            if (!cat(out, " ") || !cat(out, tok)) {
                return false;
            }
            pos += len + 1;
            continue;
        }
        if (!cat(out, "\n\t")) {
            return false;
        }
        bool ok = true;
        if (tok.starts_with("h=")) {
            ok = layout_header_list(out, tok, margin, pos);
        } else if (is_b || tok.starts_with("bh=")) {
            ok = layout_hash(out, tok, margin, pos);
        } else {
            ok = cat(out, tok);
            pos = 8 + len;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

// ---- Long lines ----

// Octets of the last line of `text` as an MTA writes the field: a line after
// a fold counts its own bytes, the first line also the blank after the colon.
size_t last_line_octets(std::string_view text) noexcept {
    const size_t nl = text.rfind('\n');
    return nl == std::string_view::npos ? text.size() + 1 : text.size() - nl - 1;
}

// Appends a base64 signature, breaking it with LF TAB wherever a line would
// pass 998 octets. The signature is outside its own hash, so this is safe.
bool append_signature(arc_dstring* out, std::string_view sig) noexcept {
    size_t line =
        last_line_octets({arc_dstring_get(out), static_cast<size_t>(arc_dstring_len(out))});
    while (!sig.empty()) {
        if (line >= max_line_octets) {
            if (!cat(out, "\n\t")) {
                return false;
            }
            line = 1;
        }
        const size_t take = std::min(max_line_octets - line, sig.size());
        if (!cat(out, sig.substr(0, take))) {
            return false;
        }
        line += take;
        sig.remove_prefix(take);
    }
    return true;
}

// Copies `text` into `out`, replacing a blank by LF TAB wherever a line would
// pass 998 octets; a blank after ";" (between elements) is preferred. A line
// with no blank to fold at stays as it is.
bool fold_long_lines(arc_dstring* out, std::string_view text) noexcept {
    constexpr size_t none = std::string_view::npos;
    size_t start = 0;  // first byte of the current line in text
    size_t base = 1;   // octets on the line before `start` (the MTA's blank)
    size_t last_blank = none;
    size_t last_element = none;
    size_t copied = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            start = i + 1;
            base = 0;
            last_blank = last_element = none;
            continue;
        }
        if (base + (i - start) + 1 > max_line_octets) {
            const size_t cut = last_element != none ? last_element : last_blank;
            if (cut != none) {
                if (!cat(out, text.substr(copied, cut - copied)) || !cat(out, "\n\t")) {
                    return false;
                }
                copied = cut + 1;
                start = cut + 1;
                base = 1;
                last_element = none;
                if (last_blank <= cut) {
                    last_blank = none;
                }
            }
        }
        if (c == ' ' || c == '\t') {
            last_blank = i;
            if (i > 0 && text[i - 1] == ';') {
                last_element = i;
            }
        }
    }
    return cat(out, text.substr(copied));
}

// ---- Keys and signatures ----

// Records why a private key of the wrong type cannot make the message's
// signatures; ARC_STAT_NORESOURCE, as for a key that cannot be read.
ARC_STAT wrong_key_type(arc_msg* msg) noexcept {
    if (msg->arc_signalg == ARC_ALG_ED25519SHA256) {
        arc_error(msg, "key type mismatch: ed25519-sha256 needs an Ed25519 private key");
    } else {
        arc_error(msg, "EVP_PKEY_get1_RSA() failed");
    }
    return ARC_STAT_NORESOURCE;
}

// Reads a PEM or DER private key and checks that its type (RSA or Ed25519)
// is the one of the message's signing algorithm.
ARC_STAT load_private_key(arc_msg* msg, const unsigned char* key, size_t keylen,
                          pkey_ptr& out) noexcept {
    const int want = msg->arc_signalg == ARC_ALG_ED25519SHA256 ? EVP_PKEY_ED25519 : EVP_PKEY_RSA;
    // A filter seals every message with the same few keys: reusing the parsed
    // key skips decoding it and RSA's per-key precomputation, which otherwise
    // cost more than the two signatures of a seal.
    const std::span<const unsigned char> bytes{key, keylen};
    if (pkey_ptr known{arc_keycache_find_private(msg->arc_lib->arc_keys, bytes)}; known) {
        if (EVP_PKEY_get_base_id(known.get()) != want) {
            return wrong_key_type(msg);
        }
        out = std::move(known);
        return ARC_STAT_OK;
    }
    bio_ptr bio{BIO_new_mem_buf(key, static_cast<int>(keylen))};
    if (!bio) {
        arc_error(msg, "BIO_new_mem_buf() failed");
        return ARC_STAT_NORESOURCE;
    }
    const bool pem = keylen >= 5 && memcmp(key, "-----", 5) == 0;
    pkey_ptr pkey{pem ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                      : d2i_PrivateKey_bio(bio.get(), nullptr)};
    if (!pkey) {
        arc_error(msg, pem ? "PEM_read_bio_PrivateKey() failed" : "d2i_PrivateKey_bio() failed");
        return ARC_STAT_NORESOURCE;
    }
    if (EVP_PKEY_get_base_id(pkey.get()) != want) {
        return wrong_key_type(msg);
    }
    arc_keycache_add_private(msg->arc_lib->arc_keys, bytes, pkey.get());
    out = std::move(pkey);
    return ARC_STAT_OK;
}

// The hash of the message's signing algorithm.
const EVP_MD* sign_md(const arc_msg* msg) noexcept {
    return msg->arc_signalg == ARC_ALG_RSASHA1 ? EVP_sha1() : EVP_sha256();
}

// Signs a digest (PKCS#1 v1.5, or Ed25519 for ed25519-sha256) and appends the
// base64 signature to `out`.
ARC_STAT sign_and_append(arc_msg* msg, EVP_PKEY* key, std::span<unsigned char> sigbuf,
                         std::span<const unsigned char> digest, arc_dstring* out) noexcept {
    size_t siglen = sigbuf.size();
    const int status = arc_sign_digest(key, msg->arc_signalg, sigbuf, siglen, digest);
    if (status != 1 || siglen == 0) {
        arc_error(msg,
                  msg->arc_signalg == ARC_ALG_ED25519SHA256
                      ? "EVP_DigestSign() failed (status %d, length %d)"
                      : "RSA_sign() failed (status %d, length %d)",
                  status, status == 1 ? static_cast<int>(siglen) : 0);
        return ARC_STAT_INTERNAL;
    }
    const size_t b64size = b64_length(siglen) + 1;
    crypto_ptr<unsigned char> b64{static_cast<unsigned char*>(OPENSSL_zalloc(b64size))};
    if (!b64) {
        arc_error(msg, "can't allocate %d bytes for base64 signature", static_cast<int>(b64size));
        return ARC_STAT_NORESOURCE;
    }
    const int len = arc_base64_encode(sigbuf.data(), siglen, b64.get(), b64size);
    if (len <= 0) {
        arc_error(msg, "signature base64 encoding failed");
        return ARC_STAT_INTERNAL;
    }
    if (!append_signature(out,
                          {reinterpret_cast<const char*>(b64.get()), static_cast<size_t>(len)})) {
        arc_error(msg, "can't allocate %d bytes", arc_dstring_len(out) + len);
        return ARC_STAT_INTERNAL;
    }
    return ARC_STAT_OK;
}

// ---- Generated records ----

void append_seal_record(arc_msg* msg, arc_hdr* h) noexcept {
    if (msg->arc_sealtail == nullptr) {
        msg->arc_sealhead = h;
    } else {
        msg->arc_sealtail->hdr_next = h;
    }
    msg->arc_sealtail = h;
}

// Stores a copy of a generated field as the next record of the set.
ARC_STAT store_field(arc_msg* msg, std::string_view text, size_t namelen) noexcept {
    crypto_ptr<arc_hdr> h{static_cast<arc_hdr*>(OPENSSL_zalloc(sizeof(arc_hdr)))};
    if (!h) {
        arc_error(msg, "can't allocate %d bytes", static_cast<int>(sizeof(arc_hdr)));
        return ARC_STAT_INTERNAL;
    }
    char* copy = static_cast<char*>(OPENSSL_malloc(text.size() + 1));
    if (copy == nullptr) {
        arc_error(msg, "can't allocate %d bytes", static_cast<int>(text.size() + 1));
        return ARC_STAT_INTERNAL;
    }
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    h->hdr_text = copy;
    h->hdr_textlen = text.size();
    h->hdr_namelen = namelen;
    h->hdr_colon = copy + namelen;
    append_seal_record(msg, h.release());
    return ARC_STAT_OK;
}

// A record over a text of the working string, for the hashing calls.
arc_hdr field_view(char* text, size_t len, size_t namelen) noexcept {
    arc_hdr h{};
    h.hdr_text = text;
    h.hdr_textlen = len;
    h.hdr_namelen = namelen;
    h.hdr_colon = text + namelen;
    return h;
}

std::string_view text_of(arc_dstring* d) noexcept {
    return {arc_dstring_get(d), static_cast<size_t>(arc_dstring_len(d))};
}

// Writes the field as an MTA inserts it: one blank after the colon and CR LF
// before each continuation line.
bool wire_form(arc_dstring* out, std::string_view field, size_t namelen) noexcept {
    arc_dstring_blank(out);
    if (!cat(out, field.substr(0, namelen + 1)) || !cat(out, " ")) {
        return false;
    }
    for (const char c : field.substr(namelen + 1)) {
        if ((c == '\n' && !cat(out, "\r\n")) || (c != '\n' && !arc_dstring_cat1(out, c))) {
            return false;
        }
    }
    return true;
}

// Hashes the new set alone (relaxed: AAR and AMS with CR LF, then the AS with
// its empty b= and no CR LF), as RFC 8617 section 5.1.2 has a seal over a
// failed chain do.
ARC_STAT seal_hash_new_set(arc_msg* msg, std::string_view as_text,
                           std::array<unsigned char, ARC_MAXDIGEST>& digest,
                           unsigned& dlen) noexcept {
    dstring_ptr input{arc_dstring_new(msg, 4096, 0)};
    if (!input) {
        arc_error(msg, "failed to allocate dynamic string");
        return ARC_STAT_NORESOURCE;
    }
    for (arc_hdr* h = msg->arc_sealhead; h != nullptr; h = h->hdr_next) {
        if (arc_canon_header_string(input.get(), ARC_CANON_RELAXED, h->hdr_text, h->hdr_textlen,
                                    true) != ARC_STAT_OK) {
            arc_error(msg, "arc_canon_add_to_seal() failed");
            return ARC_STAT_NORESOURCE;
        }
    }
    if (arc_canon_header_string(input.get(), ARC_CANON_RELAXED, as_text.data(), as_text.size(),
                                false) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_signature() failed");
        return ARC_STAT_INTERNAL;
    }
    if (EVP_Digest(arc_dstring_get(input.get()), static_cast<size_t>(arc_dstring_len(input.get())),
                   digest.data(), &dlen, sign_md(msg), nullptr) != 1) {
        arc_error(msg, "arc_canon_getseal() failed");
        return ARC_STAT_INTERNAL;
    }
    return ARC_STAT_OK;
}

// The state one arc_getseal() call works with.
struct seal_job {
    arc_msg* msg;
    pkey_ptr key;
    crypto_ptr<unsigned char> sigbuf;
    size_t siglen;
    dstring_ptr work;
    dstring_ptr scratch;
};

ARC_STAT make_aar(seal_job& job, const char* ar) noexcept {
    arc_msg* msg = job.msg;
    arc_dstring* work = job.work.get();
    arc_dstring_blank(work);
    size_t n = arc_dstring_printf(work, "%.*s:i=%u; %s", static_cast<int>(aar_name.size()),
                                  aar_name.data(), msg->arc_nsets + 1, msg->arc_authservid);
    // Without results, RFC 8601's no-result form keeps the value valid.
    const bool none = ar == nullptr || ar[strspn(ar, " \t\r\n")] == '\0';
    if (n != static_cast<size_t>(-1)) {
        n = none ? arc_dstring_printf(work, "; none") : arc_dstring_printf(work, "; %s", ar);
    }
    arc_dstring* folded = job.scratch.get();
    arc_dstring_blank(folded);
    if (n == static_cast<size_t>(-1) || !fold_long_lines(folded, text_of(work))) {
        arc_error(msg, "can't allocate %d bytes", arc_dstring_len(work));
        return ARC_STAT_NORESOURCE;
    }
    arc_hdr* aar = nullptr;
    const ARC_STAT status =
        arc_parse_header_field(msg, reinterpret_cast<const unsigned char*>(arc_dstring_get(folded)),
                               static_cast<size_t>(arc_dstring_len(folded)), &aar);
    if (status != ARC_STAT_OK) {
        arc_error(msg, "arc_parse_header_field() failed");
        return status;
    }
    append_seal_record(msg, aar);
    return ARC_STAT_OK;
}

// Appends "Name:" and the generated value of an AMS or AS to the work string.
ARC_STAT write_field(seal_job& job, std::string_view name, bool seal) noexcept {
    arc_msg* msg = job.msg;
    arc_dstring* work = job.work.get();
    arc_dstring_blank(work);
    if (!cat(work, name) || !cat(work, ":")) {
        arc_error(msg, "failed to allocate dynamic string");
        return ARC_STAT_NORESOURCE;
    }
    const ARC_STAT status = arc_getamshdr_d(msg, name.size() + 1, work, seal);
    if (status != ARC_STAT_OK) {
        arc_error(msg, "arc_getamshdr_d() failed");
    }
    return status;
}

ARC_STAT make_ams(seal_job& job) noexcept {
    arc_msg* msg = job.msg;
    if (ARC_STAT status = arc_canon_closebody(msg); status != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_closebody() failed");
        return status;
    }
    if (ARC_STAT status = write_field(job, ams_name, false); status != ARC_STAT_OK) {
        return status;
    }
    // Under simple header canonicalization the receiver hashes the bytes the
    // MTA wrote, so hash that form; relaxed gives the same bytes for both.
    arc_dstring* hashed = job.work.get();
    if (msg->arc_canonhdr == ARC_CANON_SIMPLE) {
        hashed = job.scratch.get();
        if (!wire_form(hashed, text_of(job.work.get()), ams_name.size())) {
            arc_error(msg, "failed to allocate dynamic string");
            return ARC_STAT_NORESOURCE;
        }
    }
    arc_hdr view = field_view(arc_dstring_get(hashed), static_cast<size_t>(arc_dstring_len(hashed)),
                              ams_name.size());
    if (arc_canon_signature(msg, &view, ARC_CANONTYPE_AMS) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_signature() failed");
        return ARC_STAT_INTERNAL;
    }
    unsigned char* digest = nullptr;
    size_t dlen = 0;
    if (arc_canon_getfinal(msg->arc_sign_hdrcanon, &digest, &dlen) != ARC_STAT_OK) {
        arc_error(msg, "arc_canon_getfinal() failed");
        return ARC_STAT_INTERNAL;
    }
    if (ARC_STAT status = sign_and_append(msg, job.key.get(), {job.sigbuf.get(), job.siglen},
                                          {digest, dlen}, job.work.get());
        status != ARC_STAT_OK) {
        return status;
    }
    return store_field(msg, text_of(job.work.get()), ams_name.size());
}

ARC_STAT make_as(seal_job& job) noexcept {
    arc_msg* msg = job.msg;
    const bool failed = msg->arc_cstate == ARC_CHAIN_FAIL;
    if (!failed) {
        if (ARC_STAT status = arc_canon_add_to_seal(msg); status != ARC_STAT_OK) {
            arc_error(msg, "arc_canon_add_to_seal() failed");
            return status;
        }
    }
    if (ARC_STAT status = write_field(job, as_name, true); status != ARC_STAT_OK) {
        return status;
    }
    std::array<unsigned char, ARC_MAXDIGEST> own{};
    unsigned ownlen = 0;
    unsigned char* digest = nullptr;
    size_t dlen = 0;
    if (failed) {
        if (ARC_STAT status = seal_hash_new_set(msg, text_of(job.work.get()), own, ownlen);
            status != ARC_STAT_OK) {
            return status;
        }
        digest = own.data();
        dlen = ownlen;
    } else {
        arc_hdr view =
            field_view(arc_dstring_get(job.work.get()),
                       static_cast<size_t>(arc_dstring_len(job.work.get())), as_name.size());
        if (arc_canon_signature(msg, &view, ARC_CANONTYPE_SEAL) != ARC_STAT_OK) {
            arc_error(msg, "arc_canon_signature() failed");
            return ARC_STAT_INTERNAL;
        }
        if (ARC_STAT status = arc_canon_getfinal(msg->arc_sealcanon, &digest, &dlen);
            status != ARC_STAT_OK) {
            arc_error(msg, "arc_canon_getseal() failed");
            return status;
        }
    }
    if (ARC_STAT status = sign_and_append(msg, job.key.get(), {job.sigbuf.get(), job.siglen},
                                          {digest, dlen}, job.work.get());
        status != ARC_STAT_OK) {
        return status;
    }
    return store_field(msg, text_of(job.work.get()), as_name.size());
}

}  // namespace

// ---- Signature primitive ----

int arc_sign_digest(EVP_PKEY* key, int alg, std::span<unsigned char> sigbuf, size_t& siglen,
                    std::span<const unsigned char> digest) noexcept {
    assert(key != NULL);
    siglen = sigbuf.size();
    if (alg == ARC_ALG_ED25519SHA256) {
        // RFC 8463 section 3: the digest is the message Ed25519 signs.
        md_ctx_ptr ctx{EVP_MD_CTX_new()};
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1) {
            return 0;
        }
        return EVP_DigestSign(ctx.get(), sigbuf.data(), &siglen, digest.data(), digest.size());
    }
    pkey_ctx_ptr ctx{EVP_PKEY_CTX_new(key, nullptr)};
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(),
                                      alg == ARC_ALG_RSASHA1 ? EVP_sha1() : EVP_sha256()) != 1) {
        return 0;
    }
    return EVP_PKEY_sign(ctx.get(), sigbuf.data(), &siglen, digest.data(), digest.size());
}

// ---- Sealing ----

void arc_set_cv(arc_msg* msg, int cv) noexcept {
    assert(msg != NULL);
    assert(cv == ARC_CHAIN_UNKNOWN || cv == ARC_CHAIN_NONE || cv == ARC_CHAIN_FAIL ||
           cv == ARC_CHAIN_PASS);
    msg->arc_cstate = cv;
}

ARC_STAT arc_getseal(arc_msg* msg, arc_hdr** seal, const char* authservid, const char* selector,
                     const char* domain, const unsigned char* key, size_t keylen,
                     const char* ar) noexcept {
    assert(msg != NULL);
    assert(seal != NULL);
    assert(authservid != NULL);
    assert(selector != NULL);
    assert(domain != NULL);
    assert(key != NULL);
    assert(keylen > 0);
    // The hashes of a set are finished by making it: a second set would not
    // verify, so the first one stays as it is.
    if (msg->arc_sealhead != nullptr) {
        arc_error(msg, "a set was already made for this message; no second set");
        return ARC_STAT_INVALID;
    }
    if (msg->arc_noseal) {
        *seal = nullptr;
        return ARC_STAT_OK;
    }
    // RFC 8617 section 4.2.1: no instance above 50. The highest i= is the one
    // end of header found.
    if (const unsigned n = msg->arc_maxinstance; n >= ARC_MAXINSTANCES) {
        arc_error(msg, "ARC chain already has %u instances (at most %u allowed); no set added", n,
                  ARC_MAXINSTANCES);
        *seal = nullptr;
        return ARC_STAT_OK;
    }
    if ((msg->arc_mode & ARC_MODE_SIGN) == 0) {
        arc_error(msg, "message not ready for sealing: not opened in sign mode");
        return ARC_STAT_INVALID;
    }
    // After a failed end of header the hashes lack header fields, and a set
    // made from them would not verify.
    if (!arc_hashes_ready(msg) || msg->arc_sign_hdrcanon == nullptr ||
        msg->arc_sign_bodycanon == nullptr || msg->arc_sealcanon == nullptr) {
        arc_error(msg, "message not ready for sealing: end of header did not complete");
        return ARC_STAT_INVALID;
    }
    msg->arc_domain = domain;
    msg->arc_selector = selector;
    msg->arc_authservid = authservid;

    seal_job job{msg, nullptr, nullptr, 0, nullptr, nullptr};
    if (ARC_STAT status = load_private_key(msg, key, keylen, job.key); status != ARC_STAT_OK) {
        return status;
    }
    job.siglen = static_cast<size_t>(EVP_PKEY_get_size(job.key.get()));
    msg->arc_keybits = static_cast<uint32_t>(job.siglen * 8);
    // The minimum key size is a rule for RSA; Ed25519 keys have one size.
    if (msg->arc_signalg != ARC_ALG_ED25519SHA256 &&
        msg->arc_keybits < msg->arc_lib->arc_minkeybits) {
        arc_error(msg, "key size (%u) below minimum (%u)", msg->arc_keybits,
                  msg->arc_lib->arc_minkeybits);
        return ARC_STAT_CANTVRFY;
    }
    job.sigbuf.reset(static_cast<unsigned char*>(OPENSSL_malloc(job.siglen)));
    if (!job.sigbuf) {
        arc_error(msg, "can't allocate %d bytes for signature", static_cast<int>(job.siglen));
        return ARC_STAT_NORESOURCE;
    }
    job.work.reset(arc_dstring_new(msg, 4096, 0));
    job.scratch.reset(arc_dstring_new(msg, 4096, 0));
    if (!job.work || !job.scratch) {
        return ARC_STAT_NORESOURCE;
    }
    if (ARC_STAT status = make_aar(job, ar); status != ARC_STAT_OK) {
        return status;
    }
    if (ARC_STAT status = make_ams(job); status != ARC_STAT_OK) {
        return status;
    }
    if (ARC_STAT status = make_as(job); status != ARC_STAT_OK) {
        return status;
    }
    *seal = msg->arc_sealhead;
    return ARC_STAT_OK;
}

// ---- Field values ----

ARC_STAT arc_getamshdr_d(arc_msg* msg, size_t initial, arc_dstring* out, bool seal) noexcept {
    assert(msg != NULL);
    assert(out != NULL);
    // No limit: the h= list names every signed field of the header block.
    dstring_ptr toks{arc_dstring_new(msg, 1024, 0)};
    if (!toks) {
        arc_error(msg, "failed to allocate dynamic string");
        return ARC_STAT_NORESOURCE;
    }

    std::array<token, max_tokens> list{};
    size_t n = 0;
    std::array<char, 64> num{};
    const char* alg = arc_code_to_name(algorithms, msg->arc_signalg);
    auto tag = [&](std::string_view name, const char* value) {
        const size_t off = static_cast<size_t>(arc_dstring_len(toks.get()));
        if (n >= list.size() || !cat(toks.get(), name) || !cat(toks.get(), "=") ||
            !arc_dstring_cat(toks.get(), value != nullptr ? value : "") || !cat(toks.get(), ";")) {
            return false;
        }
        list[n++] = token{off, static_cast<size_t>(arc_dstring_len(toks.get())) - off};
        return true;
    };
    snprintf(num.data(), num.size(), "%u", msg->arc_nsets + 1);
    bool ok = tag("i", num.data()) && tag("a", alg) && tag("d", msg->arc_domain) &&
              tag("s", msg->arc_selector);
    snprintf(num.data(), num.size(), "%llu", static_cast<unsigned long long>(msg->arc_timestamp));
    ok = ok && tag("t", num.data());
    if (ok && seal) {
        ok = tag("cv", arc_code_to_name(chainstatus, msg->arc_cstate));
    } else if (ok) {
        char canon[32];
        snprintf(canon, sizeof canon, "%s/%s",
                 arc_code_to_name(canonicalizations, msg->arc_canonhdr),
                 arc_code_to_name(canonicalizations, msg->arc_canonbody));
        ok = tag("c", canon);
        if (ok) {
            if (ARC_STAT status = body_hash_token(msg, toks.get(), list, n);
                status != ARC_STAT_OK) {
                return status == ARC_STAT_NORESOURCE ? ARC_STAT_NORESOURCE : ARC_STAT_INVALID;
            }
            ok = header_list_token(msg, toks.get(), list, n);
        }
    }
    ok = ok && add_token(toks.get(), list, n, "b=");
    if (!ok || !layout_tokens(msg, out, arc_dstring_get(toks.get()),
                              std::span<const token>{list.data(), n}, initial)) {
        arc_error(msg, "failed to allocate dynamic string");
        return ARC_STAT_NORESOURCE;
    }
    return ARC_STAT_OK;
}
