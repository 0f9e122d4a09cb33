// SPDX-License-Identifier: BSD-2-Clause
// arc-keycache_test.cc - the key cache of a library handle: keys found by their
// exact bytes, tables bounded with the least recently used key dropped, and
// nothing kept once the handle is closed, whatever thread used it.
#include "arc-keycache.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "chain-support.h"
#include "test-support.h"

using namespace chain_test;

namespace {

struct cache_free {
    void operator()(arc_keycache* c) const { arc_keycache_free(c); }
};
using cache_ptr = std::unique_ptr<arc_keycache, cache_free>;

struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using key_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;

std::span<const unsigned char> span_of(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// A parsed key to store; the tables key entries by bytes, not by the key.
key_ptr some_key() {
    const std::string& pem = key_of_bits(1024).pem;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    key_ptr k{PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)};
    BIO_free(bio);
    return k;
}

// One table of the cache, seen through its find and add operations.
struct table_ops {
    const char* name;
    size_t capacity;
    EVP_PKEY* (*find)(arc_keycache*, std::span<const unsigned char>);
    void (*add)(arc_keycache*, std::span<const unsigned char>, EVP_PKEY*);
};
const table_ops tables[] = {
    {"public", ARC_KEYCACHE_PUBLIC, arc_keycache_find_public, arc_keycache_add_public},
    {"private", ARC_KEYCACHE_PRIVATE, arc_keycache_find_private, arc_keycache_add_private},
};

TEST(ArcKeycache, FindsKeysByTheirExactBytes) {
    const key_ptr key = some_key();
    ASSERT_TRUE(key);
    for (const table_ops& t : tables) {
        SCOPED_TRACE(t.name);
        cache_ptr cache{arc_keycache_new()};
        ASSERT_TRUE(cache);
        const std::string bytes = "key bytes";
        EXPECT_EQ(t.find(cache.get(), span_of(bytes)), nullptr);
        t.add(cache.get(), span_of(bytes), key.get());
        key_ptr found{t.find(cache.get(), span_of(bytes))};
        EXPECT_EQ(found.get(), key.get());
        EXPECT_EQ(t.find(cache.get(), span_of("key byteS")), nullptr);
        EXPECT_EQ(t.find(cache.get(), span_of("key bytes and more")), nullptr);
        // Adding the same bytes again keeps one entry.
        t.add(cache.get(), span_of(bytes), key.get());
        found.reset(t.find(cache.get(), span_of(bytes)));
        EXPECT_EQ(found.get(), key.get());
    }
}

TEST(ArcKeycache, DropsTheLeastRecentlyUsedKeyWhenFull) {
    const key_ptr key = some_key();
    ASSERT_TRUE(key);
    for (const table_ops& t : tables) {
        SCOPED_TRACE(t.name);
        const long live_before = velmora_test::live_allocations();
        cache_ptr cache{arc_keycache_new()};
        ASSERT_TRUE(cache);
        std::vector<std::string> names;
        for (size_t i = 0; i < t.capacity; ++i) {
            names.push_back("key " + std::to_string(i));
            t.add(cache.get(), span_of(names.back()), key.get());
        }
        const long live_full = velmora_test::live_allocations();
        // Key 0 is used again, so key 1 is now the least recently used.
        const key_ptr touched{t.find(cache.get(), span_of(names[0]))};
        EXPECT_TRUE(touched);
        for (size_t i = t.capacity; i < 4 * t.capacity; ++i) {
            names.push_back("key " + std::to_string(i));
            t.add(cache.get(), span_of(names.back()), key.get());
            if (i == t.capacity) {
                EXPECT_NE(key_ptr{t.find(cache.get(), span_of(names[0]))}, nullptr);
                EXPECT_EQ(key_ptr{t.find(cache.get(), span_of(names[1]))}, nullptr);
            }
        }
        // The table holds the newest `capacity` keys and no more memory.
        size_t kept = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            kept += key_ptr{t.find(cache.get(), span_of(names[i]))} != nullptr ? 1 : 0;
        }
        EXPECT_EQ(kept, t.capacity);
        EXPECT_NE(key_ptr{t.find(cache.get(), span_of(names.back()))}, nullptr);
        EXPECT_EQ(velmora_test::live_allocations(), live_full);
        cache.reset();
        EXPECT_EQ(velmora_test::live_allocations(), live_before);
    }
}

constexpr const char* sample =
    "From: Alice <alice@d0.example>\r\n"
    "To: bob@example.net\r\n"
    "Subject: keys\r\n"
    "\r\n"
    "Hello\r\n";

TEST(ArcKeycache, ClosingTheHandleKeepsNoKeyOnAnyThread) {
    const test_key& k = key_of_bits(1024);
    const std::string keyfile = write_key_file({{"s1._domainkey.d1.example", k.record}});
    ASSERT_FALSE(keyfile.empty());
    const message m = split_message(sample);
    seal_params p;
    p.key = k.pem;
    // Seals and validates the result with a handle of its own.
    auto round = [&] {
        lib_ptr lib = make_library(keyfile);
        std::string error;
        const message sealed = seal_once(lib.get(), m, p, &error);
        EXPECT_EQ(validate(lib.get(), sealed, &error), "pass") << error;
    };
    // The first round, on a thread that ends, lets libcrypto set up whatever
    // it keeps for the process.
    std::thread{round}.join();
    const long before = velmora_test::live_allocations();
    round();
    EXPECT_EQ(velmora_test::live_allocations(), before)
        << "parsed keys outlive the library handle on this thread";
    remove_file(keyfile);
}

}  // namespace
