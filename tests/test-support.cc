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

std::atomic<long> live{0};
std::atomic<long> count{0};
std::atomic<long> fail_at{0};  // absolute allocation number to fail, 0 = none
bool installed = false;

// Each block carries its size in front so that realloc and free can account.
constexpr size_t header = 16;

bool should_fail() {
    const long n = ++count;
    const long target = fail_at.load();
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
    ++live;
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
    --live;
    std::free(static_cast<unsigned char*>(p) - header);
}

}  // namespace

bool install_counting_allocator() {
    installed = CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free) == 1;
    return installed;
}

long live_allocations() {
    return live.load();
}
long allocation_count() {
    return count.load();
}
bool allocator_installed() {
    return installed;
}

void fail_allocation_in(long n) {
    fail_at.store(n == 0 ? 0 : count.load() + n);
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
