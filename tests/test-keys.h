// SPDX-License-Identifier: BSD-2-Clause
// test-keys.h - RSA keys generated for the tests, benchmarks and fuzz targets,
// and the public key records that publish them. Header-only, so that programs
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

// The public key record "v=DKIM1; k=rsa; p=..." of a key.
inline std::string key_record(EVP_PKEY* key) {
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

// Generates an RSA key of `bits` bits; returns it as PKCS#8 PEM (empty on
// failure) and stores its public key record in *record when that is not null.
inline std::string make_rsa_key(int bits, std::string* record) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
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

}  // namespace velmora_test

#endif  // VELMORA_TESTS_TEST_KEYS_H
