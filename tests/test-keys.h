// SPDX-License-Identifier: BSD-2-Clause
// test-keys.h - RSA and Ed25519 keys generated for the tests, benchmarks and
// fuzz targets, and the public key records that publish them. Header-only, so that programs
// built outside the test tree (bench/, tests/fuzz/) can use it too.
#ifndef VELMORA_TESTS_TEST_KEYS_H
#define VELMORA_TESTS_TEST_KEYS_H

#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace velmora_test {

// The base64 text of a key's DER SubjectPublicKeyInfo (the p= of its record).
inline std::string public_key_base64(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(key, &der);
    if (len <= 0) {
        return {};
    }
    std::string b64(4 * ((static_cast<size_t>(len) + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der, len);
    b64.resize(static_cast<size_t>(n));
    OPENSSL_free(der);
    return b64;
}

// The base64 text of an Ed25519 key's 32 raw public bytes (the p= of its
// record, RFC 8463 section 4).
inline std::string raw_public_key_base64(EVP_PKEY* key) {
    unsigned char raw[32];
    size_t len = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &len) != 1) {
        return {};
    }
    std::string b64(4 * ((len + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), raw, static_cast<int>(len));
    b64.resize(static_cast<size_t>(n));
    return b64;
}

// The public key record of a key: "v=DKIM1; k=rsa; p=..." for RSA,
// "v=DKIM1; k=ed25519; p=..." for Ed25519.
inline std::string key_record(EVP_PKEY* key) {
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519) {
        return "v=DKIM1; k=ed25519; p=" + raw_public_key_base64(key);
    }
    return "v=DKIM1; k=rsa; p=" + public_key_base64(key);
}

// The public key record of a PEM private key; empty when it does not parse.
inline std::string record_of_pem(const std::string& pem) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (key == nullptr) {
        return {};
    }
    std::string record = key_record(key);
    EVP_PKEY_free(key);
    return record;
}

// The PKCS#8 PEM text of a private key (empty on failure); stores its public
// key record in *record when that is not null. Frees the key.
inline std::string pem_of_key(EVP_PKEY* key, std::string* record) {
    if (key == nullptr) {
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string pem{data, static_cast<size_t>(n)};
    BIO_free(bio);
    if (record != nullptr) {
        *record = key_record(key);
    }
    EVP_PKEY_free(key);
    return pem;
}

// Generates an RSA key of `bits` bits; returns it as PKCS#8 PEM (empty on
// failure) and stores its public key record in *record when that is not null.
inline std::string make_rsa_key(int bits, std::string* record) {
    return pem_of_key(EVP_RSA_gen(static_cast<unsigned>(bits)), record);
}

// Generates an Ed25519 key, as make_rsa_key() does.
inline std::string make_ed25519_key(std::string* record) {
    return pem_of_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), record);
}

}  // namespace velmora_test

#endif  // VELMORA_TESTS_TEST_KEYS_H
