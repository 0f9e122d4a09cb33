// SPDX-License-Identifier: BSD-2-Clause
// arc-keycache.cc - parsed public and private keys kept by a library handle.
//
// Decoding a public key costs several verifications and parsing a private key
// (with RSA's per-key precomputation) more than the two signatures of a seal,
// while a filter meets the same sealers again and again and seals with the
// same few keys. Each table is a handful of entries searched by their exact
// bytes under its own lock; the lock is held only while searching or
// replacing an entry, never while decoding, signing or verifying. EVP_PKEY
// objects are safe to use from several threads at once once built. Beside a
// public key the table keeps verification contexts set up once, which each
// verification duplicates under the lock (a tenth of setting one up).
// Memory:  libcrypto's allocator only; everything dies with the cache.
// Errors:  none reported; a key that cannot be kept is decoded again.
// Threads: any; every table access holds the table's mutex.
#include "arc-keycache.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include <openssl/crypto.h>
#include <openssl/rsa.h>

namespace {

// Digests a kept public key has a verification context for.
constexpr size_t verify_digests = 2;  // SHA-1, SHA-256

// One kept key and the bytes it was read from.
struct key_entry {
    unsigned char* bytes = nullptr;  // owns
    size_t len = 0;
    EVP_PKEY* key = nullptr;  // owns one reference
    uint64_t used = 0;        // the table's clock when last found or added
    // owns: public keys only, set up on first use: PKCS#1 v1.5 verification
    // contexts, SHA-1 and SHA-256, which verifications duplicate
    std::array<EVP_PKEY_CTX*, verify_digests> verify{};
};

// Sets up a PKCS#1 v1.5 verification context of key for digests of md.
EVP_PKEY_CTX* new_verify_ctx(EVP_PKEY* key, const EVP_MD* md) noexcept {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (ctx == nullptr || EVP_PKEY_verify_init(ctx) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx, md) != 1) {
        EVP_PKEY_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// A small table of keys, least recently used first to go. `secret` tables
// wipe the bytes they drop.
template <size_t N, bool secret>
class key_table {
  public:
    key_table() = default;
    key_table(const key_table&) = delete;
    key_table& operator=(const key_table&) = delete;
    ~key_table() {
        for (key_entry& e : entries_) {
            drop(e);
        }
    }

    EVP_PKEY* find(std::span<const unsigned char> bytes) noexcept {
        const std::lock_guard<std::mutex> hold{lock_};
        key_entry* e = lookup(bytes);
        if (e == nullptr || EVP_PKEY_up_ref(e->key) != 1) {
            return nullptr;
        }
        e->used = ++clock_;
        return e->key;
    }

    void add(std::span<const unsigned char> bytes, EVP_PKEY* key) noexcept {
        // Copy outside the lock; a second thread that decoded the same key
        // meanwhile finds it kept and drops its copy.
        key_entry fresh{static_cast<unsigned char*>(OPENSSL_malloc(bytes.size())), bytes.size(),
                        nullptr, 0};
        if (fresh.bytes == nullptr || EVP_PKEY_up_ref(key) != 1) {
            OPENSSL_free(fresh.bytes);
            return;
        }
        std::memcpy(fresh.bytes, bytes.data(), bytes.size());
        fresh.key = key;
        const std::lock_guard<std::mutex> hold{lock_};
        if (lookup(bytes) != nullptr) {
            drop(fresh);
            return;
        }
        key_entry* victim = &entries_[0];
        for (key_entry& e : entries_) {
            if (e.used < victim->used) {
                victim = &e;
            }
        }
        drop(*victim);
        *victim = fresh;
        victim->used = ++clock_;
    }

    // A new verification context of the kept `key` for digests of md (slot
    // `d` of verify_digests), duplicated from the entry's; null when the key
    // is no longer kept or a step fails.
    EVP_PKEY_CTX* verify_ctx(EVP_PKEY* key, size_t d, const EVP_MD* md) noexcept {
        const std::lock_guard<std::mutex> hold{lock_};
        for (key_entry& e : entries_) {
            if (e.key != key) {
                continue;
            }
            if (e.verify[d] == nullptr) {
                e.verify[d] = new_verify_ctx(key, md);
            }
            return e.verify[d] != nullptr ? EVP_PKEY_CTX_dup(e.verify[d]) : nullptr;
        }
        return nullptr;
    }

  private:
    // Returns the entry read from exactly these bytes, or null; lock held.
    key_entry* lookup(std::span<const unsigned char> bytes) noexcept {
        for (key_entry& e : entries_) {
            if (e.key != nullptr && e.len == bytes.size() &&
                CRYPTO_memcmp(e.bytes, bytes.data(), e.len) == 0) {
                return &e;
            }
        }
        return nullptr;
    }

    static void drop(key_entry& e) noexcept {
        if (secret) {
            OPENSSL_clear_free(e.bytes, e.len);
        } else {
            OPENSSL_free(e.bytes);
        }
        for (EVP_PKEY_CTX* ctx : e.verify) {
            EVP_PKEY_CTX_free(ctx);
        }
        EVP_PKEY_free(e.key);
        e = key_entry{};
    }

    std::mutex lock_;  // guards every member below
    std::array<key_entry, N> entries_{};
    uint64_t clock_ = 0;
};

}  // namespace

struct arc_keycache {
    key_table<ARC_KEYCACHE_PUBLIC, false> public_keys;
    key_table<ARC_KEYCACHE_PRIVATE, true> private_keys;
};

arc_keycache* arc_keycache_new() noexcept {
    void* mem = OPENSSL_malloc(sizeof(arc_keycache));
    if (mem == nullptr) {
        return nullptr;
    }
    // Placement only: the memory comes from libcrypto's allocator.
    return ::new (mem) arc_keycache{};
}

void arc_keycache_free(arc_keycache* cache) noexcept {
    if (cache == nullptr) {
        return;
    }
    cache->~arc_keycache();
    OPENSSL_free(cache);
}

EVP_PKEY* arc_keycache_find_public(arc_keycache* cache,
                                   std::span<const unsigned char> der) noexcept {
    return cache->public_keys.find(der);
}

void arc_keycache_add_public(arc_keycache* cache, std::span<const unsigned char> der,
                             EVP_PKEY* key) noexcept {
    cache->public_keys.add(der, key);
}

EVP_PKEY_CTX* arc_keycache_verify_ctx(arc_keycache* cache, EVP_PKEY* key,
                                      const EVP_MD* md) noexcept {
    if (md == EVP_sha1()) {
        return cache->public_keys.verify_ctx(key, 0, md);
    }
    if (md == EVP_sha256()) {
        return cache->public_keys.verify_ctx(key, 1, md);
    }
    return nullptr;
}

EVP_PKEY* arc_keycache_find_private(arc_keycache* cache,
                                    std::span<const unsigned char> bytes) noexcept {
    return cache->private_keys.find(bytes);
}

void arc_keycache_add_private(arc_keycache* cache, std::span<const unsigned char> bytes,
                              EVP_PKEY* key) noexcept {
    cache->private_keys.add(bytes, key);
}
