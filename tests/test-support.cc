// SPDX-License-Identifier: BSD-2-Clause
// test-support.cc - the counting allocator behind libcrypto's allocator, and
// fixture helpers.
#include "test-support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <openssl/crypto.h>

namespace velmora_test {
namespace {

// Relaxed counters: they order nothing, so that the allocator never makes
// threads of a test synchronize where the code under test does not (a
// sequentially consistent counter would hide races from ThreadSanitizer).
// Exact counts and armed failures are for single-threaded tests.
std::atomic<long> live{0};
std::atomic<long> count{0};
std::atomic<long> fail_at{0};  // absolute allocation number to fail, 0 = none
bool installed = false;

constexpr auto relaxed = std::memory_order_relaxed;

// Each block carries its size in front so that realloc and free can account.
constexpr size_t header = 16;

bool should_fail() {
    const long n = count.fetch_add(1, relaxed) + 1;
    const long target = fail_at.load(relaxed);
    return target != 0 && n == target;
}

void* counting_malloc(size_t n, const char*, int) {
    if (should_fail()) {
        return nullptr;
    }
    auto* p = static_cast<unsigned char*>(std::malloc(n + header));
    if (p == nullptr) {
        return nullptr;
    }
    live.fetch_add(1, relaxed);
    return p + header;
}

void* counting_realloc(void* old, size_t n, const char* file, int line) {
    if (old == nullptr) {
        return counting_malloc(n, file, line);
    }
    if (should_fail()) {
        return nullptr;
    }
    auto* base = static_cast<unsigned char*>(old) - header;
    auto* p = static_cast<unsigned char*>(std::realloc(base, n + header));
    return p == nullptr ? nullptr : p + header;
}

void counting_free(void* p, const char*, int) {
    if (p == nullptr) {
        return;
    }
    live.fetch_sub(1, relaxed);
    std::free(static_cast<unsigned char*>(p) - header);
}

}  // namespace

bool install_counting_allocator() {
    installed = CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free) == 1;
    return installed;
}

long live_allocations() {
    return live.load(relaxed);
}
long allocation_count() {
    return count.load(relaxed);
}
bool allocator_installed() {
    return installed;
}

void fail_allocation_in(long n) {
    fail_at.store(n == 0 ? 0 : count.load(relaxed) + n, relaxed);
}

std::string data_path(const std::string& name) {
    const char* dir = std::getenv("VELMORA_TEST_DATA");
    return std::string(dir != nullptr ? dir : VELMORA_TEST_DATA) + "/" + name;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace velmora_test
