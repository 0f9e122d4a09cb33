// SPDX-License-Identifier: BSD-2-Clause
// chain-support.cc - helpers of the validation and sealing tests.
#include "chain-support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "base64.h"
#include "test-keys.h"
#include "test-support.h"

namespace chain_test {

message split_message(std::string_view text) {
    message m;
    std::vector<std::string> lines;
    size_t pos = 0;
    bool in_body = false;
    while (pos < text.size() && !in_body) {
        size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (line.empty()) {
            in_body = true;
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !m.fields.empty()) {
            m.fields.back() += "\r\n";
            m.fields.back() += line;
        } else {
            m.fields.emplace_back(line);
        }
    }
    for (size_t i = pos; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == pos || text[i - 1] != '\r')) {
            m.body += "\r\n";
        } else {
            m.body += text[i];
        }
    }
    return m;
}

std::string join_message(const message& m) {
    std::string out;
    for (const auto& f : m.fields) {
        out += f;
        out += "\r\n";
    }
    out += "\r\n";
    out += m.body;
    return out;
}

lib_ptr make_library(const std::string& keyfile, unsigned flags) {
    lib_ptr lib{arc_init()};
    if (!lib) {
        return lib;
    }
    if (!keyfile.empty()) {
        arc_options(lib.get(), ARC_OP_SETOPT, ARC_OPTS_QUERYFILE,
                    const_cast<char*>(keyfile.c_str()), keyfile.size());
    }
    if (flags != 0) {
        arc_options(lib.get(), ARC_OP_SETOPT, ARC_OPTS_FLAGS, &flags, sizeof flags);
    }
    return lib;
}

msg_ptr run_message(arc_library* lib, const message& m, int mode, int canonhdr, int canonbody,
                    int alg, ARC_STAT* status) {
    const char* err = nullptr;
    msg_ptr msg{arc_message(lib, canonhdr, canonbody, alg, mode, &err)};
    ARC_STAT first = ARC_STAT_OK;
    auto note = [&](ARC_STAT s) {
        if (first == ARC_STAT_OK) {
            first = s;
        }
    };
    if (msg) {
        for (const auto& f : m.fields) {
            if (!f.empty()) {
                note(arc_header_field(msg.get(), reinterpret_cast<const unsigned char*>(f.data()),
                                      f.size()));
            }
        }
        note(arc_eoh(msg.get()));
        if (!m.body.empty()) {
            note(arc_body(msg.get(), reinterpret_cast<const unsigned char*>(m.body.data()),
                          m.body.size()));
        }
        note(arc_eom(msg.get()));
    }
    if (status != nullptr) {
        *status = first;
    }
    return msg;
}

std::string validate(arc_library* lib, const message& m, std::string* error) {
    msg_ptr msg = run_message(lib, m, ARC_MODE_VERIFY);
    if (!msg) {
        return "(no handle)";
    }
    if (error != nullptr) {
        const char* e = arc_geterror(msg.get());
        *error = e != nullptr ? e : "";
    }
    return arc_chain_status_str(msg.get());
}

std::string wire_field(arc_hdr* h) {
    size_t namelen = 0;
    const char* text = arc_hdr_name(h, &namelen);
    std::string out{text, namelen};
    out += ": ";
    for (const char* p = arc_hdr_value(h); *p != '\0'; ++p) {
        if (*p == '\n' && (p == text || p[-1] != '\r')) {
            out += "\r\n";
        } else {
            out += *p;
        }
    }
    return out;
}

arc_hdr* set_field(arc_hdr* set, int i) {
    for (; set != nullptr && i > 0; --i) {
        set = arc_hdr_next(set);
    }
    return set;
}

message with_set(const message& m, arc_hdr* set) {
    message out;
    for (int i = 2; i >= 0; --i) {
        if (arc_hdr* h = set_field(set, i); h != nullptr) {
            out.fields.push_back(wire_field(h));
        }
    }
    out.fields.insert(out.fields.end(), m.fields.begin(), m.fields.end());
    out.body = m.body;
    return out;
}

message seal_once(arc_library* lib, const message& m, const seal_params& p, std::string* error,
                  std::string* cv) {
    msg_ptr msg = run_message(lib, m, p.mode, p.canonhdr, p.canonbody, p.alg);
    arc_hdr* set = nullptr;
    ARC_STAT st = ARC_STAT_INTERNAL;
    if (msg) {
        st = arc_getseal(msg.get(), &set, p.authservid.c_str(), p.selector.c_str(),
                         p.domain.c_str(), reinterpret_cast<const unsigned char*>(p.key.data()),
                         p.key.size(), p.results);
    }
    if (error != nullptr) {
        const char* e = msg ? arc_geterror(msg.get()) : nullptr;
        *error = e != nullptr ? e : "";
    }
    if (st != ARC_STAT_OK || set == nullptr) {
        return {};
    }
    if (cv != nullptr) {
        *cv = tags_of(arc_hdr_value(set_field(set, 2)))["cv"];
    }
    return with_set(m, set);
}

namespace {

std::string strip_ws(std::string_view s) {
    std::string out;
    for (const char c : s) {
        if (!isspace(static_cast<unsigned char>(c))) {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> tags_of(std::string_view value) {
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t semi = value.find(';', pos);
        const std::string_view part =
            value.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos);
        const size_t eq = part.find('=');
        if (eq != std::string_view::npos) {
            out.emplace(strip_ws(part.substr(0, eq)), strip_ws(part.substr(eq + 1)));
        }
        if (semi == std::string_view::npos) {
            break;
        }
        pos = semi + 1;
    }
    return out;
}

const test_key& key_of_bits(int bits) {
    static std::map<int, test_key> keys;
    auto it = keys.find(bits);
    if (it == keys.end()) {
        test_key k;
        if (bits == 8192) {
            k.pem = velmora_test::read_file(velmora_test::data_path("test-8192.pem"));
            k.record = velmora_test::record_of_pem(k.pem);
        } else {
            k.pem = velmora_test::make_rsa_key(bits, &k.record);
        }
        it = keys.emplace(bits, std::move(k)).first;
    }
    return it->second;
}

std::string pem_to_der(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    unsigned char* der = nullptr;
    const int len = i2d_PrivateKey(key, &der);
    std::string out{reinterpret_cast<char*>(der), static_cast<size_t>(len > 0 ? len : 0)};
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    return out;
}

std::string write_key_file(const std::vector<std::pair<std::string, std::string>>& records) {
    char path[] = "/tmp/velmora-keys.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return {};
    }
    std::string text;
    for (const auto& [name, rec] : records) {
        text += name + " " + rec + "\n";
    }
    const ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    return n == static_cast<ssize_t>(text.size()) ? std::string{path} : std::string{};
}

void remove_file(const std::string& path) {
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

std::string relaxed_header(std::string_view field) {
    const size_t colon = field.find(':');
    std::string out;
    for (const char c : field.substr(0, colon)) {
        if (!isspace(static_cast<unsigned char>(c))) {
            out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    out += ':';
    std::string value;
    bool blank = false;
    for (const char c : field.substr(colon + 1)) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        if (c == ' ' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !value.empty()) {
            value += ' ';
        }
        blank = false;
        value += c;
    }
    return out + value;
}

namespace {

// Drops the value of the b= tag, keeping every other byte.
std::string without_b(std::string_view field) {
    std::string out;
    size_t pos = 0;
    while (true) {
        const size_t semi = field.find(';', pos);
        std::string_view part =
            field.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos);
        const size_t eq = part.find('=');
        const size_t colon = pos == 0 ? part.find(':') : std::string_view::npos;
        std::string_view name = eq == std::string_view::npos ? "" : part.substr(0, eq);
        if (colon != std::string_view::npos && colon < eq) {
            name = name.substr(colon + 1);
        }
        if (strip_ws(name) == "b") {
            out += part.substr(0, eq + 1);
        } else {
            out += part;
        }
        if (semi == std::string_view::npos) {
            return out;
        }
        out += ';';
        pos = semi + 1;
    }
}

}  // namespace

namespace {

// The public key of a key record: k=ed25519 carries the 32 raw bytes (RFC
// 8463 section 4), k=rsa (or no k=) a DER SubjectPublicKeyInfo. Null when p=
// is not such a key.
EVP_PKEY* record_key(const std::string& record) {
    auto rec = tags_of(record);
    std::string der(rec["p"].size() + 1, '\0');
    const int derlen = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                       reinterpret_cast<const unsigned char*>(rec["p"].data()),
                                       static_cast<int>(rec["p"].size()));
    if (derlen <= 0) {
        return nullptr;
    }
    // EVP_DecodeBlock() counts the bytes of the padding "=" as data.
    const size_t len =
        static_cast<size_t>(derlen) - std::count(rec["p"].begin(), rec["p"].end(), '=');
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    if (rec["k"] == "ed25519") {
        return len == 32 ? EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, p, len) : nullptr;
    }
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(len));
    if (key != nullptr && EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

}  // namespace

bool verify_with_record(const std::string& input, const std::string& b64sig, const std::string& alg,
                        const std::string& record) {
    std::string sig(b64sig.size(), '\0');
    const int siglen = arc_base64_decode(reinterpret_cast<const unsigned char*>(b64sig.c_str()),
                                         reinterpret_cast<unsigned char*>(sig.data()), sig.size());
    EVP_PKEY* key = record_key(record);
    const bool ed25519 = alg == "ed25519-sha256";
    // The key record's type must be the signature's.
    if (key == nullptr || siglen <= 0 ||
        ed25519 != (EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519) ||
        (alg != "rsa-sha1" && alg != "rsa-sha256" && !ed25519)) {
        EVP_PKEY_free(key);
        return false;
    }
    const auto* sigp = reinterpret_cast<const unsigned char*>(sig.data());
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = false;
    if (ed25519) {
        // RFC 8463 section 3: Ed25519 signs the SHA-256 digest of the data.
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int dlen = 0;
        ok = EVP_Digest(in, input.size(), digest, &dlen, EVP_sha256(), nullptr) == 1 &&
             EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
             EVP_DigestVerify(ctx, sigp, static_cast<size_t>(siglen), digest, dlen) == 1;
    } else {
        ok = EVP_DigestVerifyInit(ctx, nullptr, alg == "rsa-sha1" ? EVP_sha1() : EVP_sha256(),
                                  nullptr, key) == 1 &&
             EVP_DigestVerify(ctx, sigp, static_cast<size_t>(siglen), in, input.size()) == 1;
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

namespace {

std::string lower_name(std::string_view field) {
    std::string out;
    for (const char c : field.substr(0, field.find(':'))) {
        if (!isspace(static_cast<unsigned char>(c))) {
            out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

}  // namespace

bool ams_signature_verifies(const message& m, arc_hdr* set, const std::string& record) {
    arc_hdr* ams = set_field(set, 1);
    if (ams == nullptr) {
        return false;
    }
    auto tags = tags_of(arc_hdr_value(ams));
    // The header part of c=; without c= both parts are simple.
    const bool simple = tags["c"].substr(0, tags["c"].find('/')) != "relaxed";
    auto canon = [simple](std::string_view field) {
        return simple ? std::string{field} : relaxed_header(field);
    };
    std::string input;
    std::vector<bool> used(m.fields.size(), false);
    std::string list = tags["h"] + ":";
    for (size_t pos = 0, c; (c = list.find(':', pos)) != std::string::npos; pos = c + 1) {
        std::string name = lower_name(list.substr(pos, c - pos) + ":");
        for (size_t i = m.fields.size(); i-- > 0;) {
            if (!used[i] && lower_name(m.fields[i]) == name) {
                used[i] = true;
                input += canon(m.fields[i]) + "\r\n";
                break;
            }
        }
    }
    input += canon(without_b(wire_field(ams)));
    return verify_with_record(input, tags["b"], tags["a"], record);
}

bool seal_covers_set_alone(arc_hdr* set, const std::string& record) {
    arc_hdr* aar = set_field(set, 0);
    arc_hdr* ams = set_field(set, 1);
    arc_hdr* as = set_field(set, 2);
    if (aar == nullptr || ams == nullptr || as == nullptr) {
        return false;
    }
    const std::string input = relaxed_header(wire_field(aar)) + "\r\n" +
                              relaxed_header(wire_field(ams)) + "\r\n" +
                              relaxed_header(without_b(wire_field(as)));
    auto tags = tags_of(arc_hdr_value(as));
    return verify_with_record(input, tags["b"], tags["a"], record);
}

bool seal_verifies_over_chain(const message& m, arc_hdr* set, const std::string& record) {
    arc_hdr* as = set_field(set, 2);
    if (as == nullptr) {
        return false;
    }
    auto tags = tags_of(arc_hdr_value(as));
    // cv=fail covers the new set alone, and so does cv=none: at instance 1,
    // or over a chain the sealer did not validate (sign mode only).
    if (tags["cv"] != "pass") {
        return seal_covers_set_alone(set, record);
    }
    const int newest = std::atoi(tags["i"].c_str());
    std::string input;
    for (int k = 1; k <= newest; ++k) {
        for (const char* name :
             {"arc-authentication-results", "arc-message-signature", "arc-seal"}) {
            const std::string* found = nullptr;
            for (const std::string& f : m.fields) {
                if (lower_name(f) == name &&
                    tags_of(f.substr(f.find(':') + 1))["i"] == std::to_string(k)) {
                    if (found != nullptr) {
                        return false;  // two fields for one place
                    }
                    found = &f;
                }
            }
            if (found == nullptr) {
                return false;
            }
            const bool last = k == newest && std::string_view{name} == "arc-seal";
            input += last ? relaxed_header(without_b(*found)) : relaxed_header(*found) + "\r\n";
        }
    }
    return verify_with_record(input, tags["b"], tags["a"], record);
}

size_t longest_wire_line(arc_hdr* h) {
    const std::string wire = wire_field(h);
    size_t longest = 0;
    size_t start = 0;
    while (start <= wire.size()) {
        size_t end = wire.find("\r\n", start);
        if (end == std::string::npos) {
            end = wire.size();
        }
        longest = std::max(longest, end - start);
        start = end + 2;
    }
    return longest;
}

}  // namespace chain_test
