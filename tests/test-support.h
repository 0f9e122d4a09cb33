// SPDX-License-Identifier: BSD-2-Clause
// test-support.h - helpers shared by the unit tests: the counting allocator
// installed by the test main, and fixture paths.
#ifndef VELMORA_TESTS_TEST_SUPPORT_H
#define VELMORA_TESTS_TEST_SUPPORT_H

#include <cstddef>
#include <string>

namespace velmora_test {

// Installs the counting allocator; called by the test main before anything
// else. False when libcrypto has already allocated.
bool install_counting_allocator();

// Number of blocks from libcrypto's allocator not yet freed.
long live_allocations();

// Makes the allocation `n` calls from now (1 = the next one) fail, and every
// later one succeed again. 0 disarms.
void fail_allocation_in(long n);

// Number of allocations made since the process started.
long allocation_count();

// True when the counting allocator is installed (it always is under the
// shared test main, unless a sanitizer build replaced it).
bool allocator_installed();

// Path of a fixture under tests/data.
std::string data_path(const std::string& name);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// Runs `body` once per allocation it makes, failing each in turn, until a run
// completes without hitting the armed failure. Returns the number of failure
// points tried. `body` must release everything it allocated on every path.
template <typename Body>
long for_each_allocation_failure(Body&& body) {
    long n = 1;
    for (;; ++n) {
        fail_allocation_in(n);
        const long before = allocation_count();
        body();
        const long made = allocation_count() - before;
        fail_allocation_in(0);
        if (made < n) {
            return n - 1;
        }
    }
}

}  // namespace velmora_test

#endif  // VELMORA_TESTS_TEST_SUPPORT_H
