// SPDX-License-Identifier: BSD-2-Clause
// arc-keycache.h - parsed public and private keys kept by a library handle, so
// that a key met again is not decoded again.
//
// Memory:  libcrypto's allocator only; the cache and every key it keeps are
//          freed by arc_keycache_free() (arc_close()).
// Errors:  none reported; a key that cannot be kept is simply decoded again
//          next time.
// Threads: every operation takes the table's lock; the keys handed out are
//          references the caller frees, usable from any thread.
#ifndef VELMORA_LIB_ARC_KEYCACHE_H
#define VELMORA_LIB_ARC_KEYCACHE_H

#include <cstddef>
#include <span>

#include <openssl/evp.h>

// Capacities: how many decoded public keys (the sealers a receiver meets) and
// parsed private keys (the keys one host seals with) a handle keeps. The
// least recently used entry makes room for a new one.
inline constexpr size_t ARC_KEYCACHE_PUBLIC = 16;
inline constexpr size_t ARC_KEYCACHE_PRIVATE = 4;

struct arc_keycache;

// Creates an empty cache; null when memory runs out. The caller owns it and
// frees it with arc_keycache_free().
arc_keycache* arc_keycache_new() noexcept;

// Frees the cache and every key in it; the bytes of private keys are wiped
// first. References handed out earlier stay valid. Null is accepted.
void arc_keycache_free(arc_keycache* cache) noexcept;

// Returns a new reference (the caller frees it with EVP_PKEY_free) to the
// public key decoded from exactly these DER bytes, or null when none is kept.
EVP_PKEY* arc_keycache_find_public(arc_keycache* cache,
                                   std::span<const unsigned char> der) noexcept;

// Keeps `key`, decoded from `der`, taking a reference of its own; the caller
// keeps its reference. A copy failure only means the key is not kept.
void arc_keycache_add_public(arc_keycache* cache, std::span<const unsigned char> der,
                             EVP_PKEY* key) noexcept;

// Returns a new verification context (the caller frees it with
// EVP_PKEY_CTX_free) of `key`, a kept public key this cache handed out, set
// up for PKCS#1 v1.5 signatures over a finished digest of md (EVP_sha1() or
// EVP_sha256()): a duplicate of one the cache sets up on first use and keeps
// beside the key. Null when the key is no longer kept, md is another digest
// or a step fails; the caller then sets one up itself.
EVP_PKEY_CTX* arc_keycache_verify_ctx(arc_keycache* cache, EVP_PKEY* key,
                                      const EVP_MD* md) noexcept;

// As the two above for private keys, keyed by the exact PEM or DER bytes they
// were read from; the copy of those bytes is wiped when dropped.
EVP_PKEY* arc_keycache_find_private(arc_keycache* cache,
                                    std::span<const unsigned char> bytes) noexcept;
void arc_keycache_add_private(arc_keycache* cache, std::span<const unsigned char> bytes,
                              EVP_PKEY* key) noexcept;

#endif  // VELMORA_LIB_ARC_KEYCACHE_H
