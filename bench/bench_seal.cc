// SPDX-License-Identifier: BSD-2-Clause
// bench_seal.cc - sealing and validation rates of a 4 KiB message with
// 2048-bit keys, next to the RSA-2048 sign and verify rates OpenSSL reaches
// in the same run (contexts reused, as a good caller does), as the median of
// pair ratios over alternating batches of thread CPU time; and where the
// time of a validation goes. The same rates with Ed25519 keys follow, next
// to OpenSSL's Ed25519 rates.
//
// Usage: bench_seal [SECONDS per figure, default 2]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "../tests/test-keys.h"
#include "arc-canon.h"
#include "arc.h"
#include "base64.h"
#include "bench-rates.h"
#include "velmora.h"

namespace {

using bench_rates::compare;
using bench_rates::comparison;
using bench_rates::print;
using bench_rates::rate;

struct message {
    std::vector<std::string> fields;
    std::string body;
};

message sample_message() {
    message m;
    m.fields = {
        "Received: from client.d0.example (client.d0.example [192.0.2.1])\r\n"
        "\tby mx.d0.example with ESMTPS id 4Xyz; Thu, 10 Dec 2026 10:00:00 +0000",
        "From: Alice <alice@d0.example>",
        "To: Bob <bob@example.net>",
        "Subject: quarterly figures",
        "Date: Thu, 10 Dec 2026 10:00:00 +0000",
        "Message-ID: <20261210100000.1@d0.example>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=us-ascii"};
    size_t header = 0;
    for (const auto& f : m.fields) {
        header += f.size() + 2;
    }
    const std::string line = "The figures for the quarter follow in the attached table.  \r\n";
    while (header + 2 + m.body.size() + line.size() <= 4096) {
        m.body += line;
    }
    return m;
}

std::string make_key(std::string* record) {
    return velmora_test::make_rsa_key(2048, record);
}

arc_msg* intake(arc_library* lib, const message& m, int mode, int alg = ARC_ALG_RSASHA256) {
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, alg, mode, nullptr);
    for (const auto& f : m.fields) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_eoh(msg);
    return msg;
}

void body(arc_msg* msg, const message& m) {
    arc_body(msg, reinterpret_cast<const unsigned char*>(m.body.data()), m.body.size());
}

// Seals the message with `alg`; returns it with the new set on top (empty on
// failure).
message seal(arc_library* lib, const message& m, const std::string& key, const char* sel,
             const char* dom, int mode, int alg = ARC_ALG_RSASHA256) {
    arc_msg* msg = intake(lib, m, mode, alg);
    body(msg, m);
    arc_eom(msg);
    arc_hdr* set = nullptr;
    message out;
    if (arc_getseal(msg, &set, "mx.example", sel, dom,
                    reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                    "spf=pass smtp.mailfrom=d0.example") == ARC_STAT_OK &&
        set != nullptr) {
        std::vector<std::string> fields;
        for (arc_hdr* h = set; h != nullptr; h = arc_hdr_next(h)) {
            size_t namelen = 0;
            std::string f{arc_hdr_name(h, &namelen), namelen};
            f += ": ";
            for (const char* p = arc_hdr_value(h); *p != '\0'; ++p) {
                f += *p == '\n' ? std::string{"\r\n"} : std::string(1, *p);
            }
            fields.insert(fields.begin(), f);
        }
        out.fields = fields;
        out.fields.insert(out.fields.end(), m.fields.begin(), m.fields.end());
        out.body = m.body;
    }
    arc_free(msg);
    return out;
}

// ---- Ed25519 ----

// The Ed25519 rows: sealing and validating a three-instance chain with
// Ed25519 keys, next to OpenSSL's Ed25519 sign and verify rates over a
// 32-byte digest (what ed25519-sha256 signs), key already loaded. Returns
// false when the chain does not validate.
bool ed25519_rows(double secs, const message& m) {
    std::string records[3];
    std::string keys3[3];
    std::string keyfile;
    for (int i = 0; i < 3; ++i) {
        keys3[i] = velmora_test::make_ed25519_key(&records[i]);
        keyfile += "e1._domainkey.d" + std::to_string(i + 1) + ".example " + records[i] + "\n";
    }
    char path[] = "/tmp/bench-seal-ed25519.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 ||
        write(fd, keyfile.data(), keyfile.size()) != static_cast<ssize_t>(keyfile.size())) {
        perror("bench_seal: key file");
        return false;
    }
    close(fd);
    arc_library* lib = arc_init();
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, path, strlen(path));

    BIO* kb = BIO_new_mem_buf(keys3[0].data(), static_cast<int>(keys3[0].size()));
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    BIO_free(kb);
    unsigned char digest[32];
    memset(digest, 0x5a, sizeof digest);
    unsigned char sig[64];
    size_t siglen = sizeof sig;
    auto sign_once = [&] {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey);
        siglen = sizeof sig;
        EVP_DigestSign(ctx, sig, &siglen, digest, sizeof digest);
        EVP_MD_CTX_free(ctx);
    };
    auto verify_once = [&] {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey);
        EVP_DigestVerify(ctx, sig, siglen, digest, sizeof digest);
        EVP_MD_CTX_free(ctx);
    };
    sign_once();

    const comparison sealing = compare(secs, sign_once, [&] {
        seal(lib, m, keys3[0], "e1", "d1.example", ARC_MODE_SIGN, ARC_ALG_ED25519SHA256);
    });

    message chain = m;
    const char* domains[3] = {"d1.example", "d2.example", "d3.example"};
    for (int i = 0; i < 3; ++i) {
        chain = seal(lib, chain, keys3[i], "e1", domains[i], ARC_MODE_SIGN | ARC_MODE_VERIFY,
                     ARC_ALG_ED25519SHA256);
    }
    bool passed = false;
    auto validate_once = [&] {
        arc_msg* msg = intake(lib, chain, ARC_MODE_VERIFY);
        body(msg, chain);
        arc_eom(msg);
        passed = msg->arc_cstate == ARC_CHAIN_PASS;
        arc_free(msg);
    };
    validate_once();
    const bool ok = passed;
    if (ok) {
        const comparison validating = compare(secs, verify_once, validate_once);
        printf("\nEd25519 keys (ed25519-sha256), same message\n");
        print("seals", sealing, "OpenSSL Ed25519 sign", 2, "goal >= 0.9");
        print("validations (3 sets)", validating, "OpenSSL Ed25519 verify", 4, "goal >= 0.8");
    } else {
        fprintf(stderr, "bench_seal: the Ed25519 chain does not validate\n");
    }
    EVP_PKEY_free(pkey);
    arc_close(lib);
    unlink(path);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const double secs = argc > 1 ? atof(argv[1]) : 2.0;
    // One key per sealer of the chain; the first also seals and signs alone.
    std::string records[3];
    const std::string keys3[3] = {make_key(&records[0]), make_key(&records[1]),
                                  make_key(&records[2])};
    const std::string& key = keys3[0];

    char path[] = "/tmp/bench-seal-keys.XXXXXX";
    const int fd = mkstemp(path);
    std::string keys;
    for (int i = 0; i < 3; ++i) {
        keys += "s1._domainkey.d" + std::to_string(i + 1) + ".example " + records[i] + "\n";
    }
    if (fd < 0 || write(fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
        perror("bench_seal: key file");
        return 1;
    }
    close(fd);

    arc_library* lib = arc_init();
    arc_options(lib, ARC_OP_SETOPT, ARC_OPTS_QUERYFILE, path, strlen(path));

    // Baselines: OpenSSL RSA-2048 over a SHA-256 digest, key loaded and
    // contexts set up once, as a caller that signs or verifies in a loop does.
    BIO* kb = BIO_new_mem_buf(key.data(), static_cast<int>(key.size()));
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    BIO_free(kb);
    unsigned char digest[32];
    memset(digest, 0x5a, sizeof digest);
    unsigned char sig[256];
    size_t siglen = sizeof sig;
    EVP_PKEY_CTX* sctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(sctx);
    EVP_PKEY_CTX_set_rsa_padding(sctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(sctx, EVP_sha256());
    EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_verify_init(vctx);
    EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha256());
    auto sign_once = [&] {
        siglen = sizeof sig;
        EVP_PKEY_sign(sctx, sig, &siglen, digest, sizeof digest);
    };
    auto verify_once = [&] { EVP_PKEY_verify(vctx, sig, siglen, digest, sizeof digest); };
    sign_once();

    const message m = sample_message();
    size_t size = m.body.size() + 2;
    for (const auto& f : m.fields) {
        size += f.size() + 2;
    }

    // Sealing: a message without a chain, from intake to the signed set.
    const comparison sealing =
        compare(secs, sign_once, [&] { seal(lib, m, key, "s1", "d1.example", ARC_MODE_SIGN); });

    // Validation of a three-instance chain.
    message chain = m;
    const char* domains[3] = {"d1.example", "d2.example", "d3.example"};
    for (int i = 0; i < 3; ++i) {
        chain = seal(lib, chain, keys3[i], "s1", domains[i], ARC_MODE_SIGN | ARC_MODE_VERIFY);
    }
    bool passed = false;
    auto validate_once = [&] {
        arc_msg* msg = intake(lib, chain, ARC_MODE_VERIFY);
        body(msg, chain);
        arc_eom(msg);
        passed = msg->arc_cstate == ARC_CHAIN_PASS;
        arc_free(msg);
    };
    validate_once();
    if (!passed) {
        fprintf(stderr, "bench_seal: the three-instance chain does not validate\n");
        return 1;
    }
    const comparison validating = compare(secs, verify_once, validate_once);
    const double verify_rate = validating.base_rate;
    const double validate_rate = validating.lib_rate;

    // Where a validation's time goes: intake (parsing the fields, setting up
    // and feeding the header and seal hashes), body hashing, and the checks
    // at end of message, of which key lookups and RSA verifications are
    // measured on their own.
    const double intake_rate = rate(secs, [&] { arc_free(intake(lib, chain, ARC_MODE_VERIFY)); });
    const double body_rate = rate(secs, [&] {
        arc_msg* msg = intake(lib, chain, ARC_MODE_VERIFY);
        body(msg, chain);
        arc_canon_closebody(msg);
        arc_free(msg);
    });
    // Four lookups on a fresh message, as a validation does them.
    const double lookups_rate = rate(secs, [&] {
        arc_msg* msg = intake(lib, chain, ARC_MODE_VERIFY);
        msg->arc_selector = "s1";
        msg->arc_hashtype = ARC_HASHTYPE_SHA256;
        for (const char* d : {"d3.example", "d3.example", "d2.example", "d1.example"}) {
            msg->arc_domain = d;
            arc_get_key(msg, false);
        }
        arc_free(msg);
    });
    arc_msg* keymsg = intake(lib, chain, ARC_MODE_VERIFY);
    keymsg->arc_selector = "s1";
    keymsg->arc_domain = "d1.example";
    keymsg->arc_hashtype = ARC_HASHTYPE_SHA256;
    arc_get_key(keymsg, false);
    // One verification as the library does it: the DER key decoded anew.
    const std::string der(reinterpret_cast<char*>(keymsg->arc_key), keymsg->arc_keylen);
    const double pubkey_verify_rate = rate(secs, [&] {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        EVP_PKEY* pub = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
        EVP_PKEY_verify_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        EVP_PKEY_verify(ctx, sig, siglen, digest, sizeof digest);
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(pub);
    });
    arc_free(keymsg);

    const double total_us = 1e6 / validate_rate;
    const double intake_us = 1e6 / intake_rate;
    const double body_us = std::max(0.0, 1e6 / body_rate - intake_us);
    const double keys_us = std::max(0.0, 1e6 / lookups_rate - intake_us);
    const double rsa_us = 4 * 1e6 / verify_rate;
    const double rest_us = total_us - intake_us - body_us - keys_us - rsa_us;
    const double decode_us = 1e6 / pubkey_verify_rate - 1e6 / verify_rate;

    printf("message: %zu bytes, RSA-2048 keys, thread CPU time, alternating batches\n", size);
    print("seals", sealing, "OpenSSL RSA-2048 sign (context reused)", 2, "goal >= 0.9");
    print("validations (3 sets)", validating, "OpenSSL RSA-2048 verify (context reused)", 4,
          "goal >= 0.8");
    printf("one validation: %.1f us\n", total_us);
    auto part = [&](const char* what, double us) {
        printf("  %-48s %7.1f us (%4.1f%%)\n", what, us, 100 * us / total_us);
    };
    part("intake (parse fields, header and seal hashes):", intake_us);
    part("body hashing:", body_us);
    part("key lookups (4, key file and record checks):", keys_us);
    part("RSA verifications (4):", rsa_us);
    part("rest (digests, base64, cv checks, key reuse):", rest_us);
    printf(
        "a public key met for the first time costs %.1f us more to decode and set up (then kept by "
        "the "
        "library handle)\n",
        decode_us);

    EVP_PKEY_CTX_free(sctx);
    EVP_PKEY_CTX_free(vctx);
    EVP_PKEY_free(pkey);
    arc_close(lib);
    unlink(path);
    return ed25519_rows(secs, m) ? 0 : 1;
}
